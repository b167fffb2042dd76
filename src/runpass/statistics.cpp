#include "runpass/statistics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "io/byte_window.hpp"
#include "runpass/statistics_paths.hpp"
#include "runpass/vector_registers.hpp"
#include "spectra/record_split.hpp"
#include "spectra/record_split_paths.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <immintrin.h>
#endif

namespace kestrune::runpass {

using namespace vector_registers;

double lane_sum(const float* intensity, std::size_t count) {
    std::array<double, sum_lanes> lanes{};
    const std::size_t whole = count - count % sum_lanes;
    for (std::size_t k = 0; k < whole; k += sum_lanes) {
        for (std::size_t lane = 0; lane < sum_lanes; ++lane) lanes[lane] += intensity[k + lane];
    }
    double sum = combine_lanes(lanes.data());
    for (std::size_t k = whole; k < count; ++k) sum += intensity[k];
    return sum;
}

namespace {

// The largest value (a NaN never wins) and whether any value is NaN.
std::pair<float, bool> largest_of(const float* values, std::size_t count) {
    constexpr float lowest = -std::numeric_limits<float>::infinity();
    Floats top = {lowest, lowest, lowest, lowest};
    FloatMask unordered = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const Floats value = load<Floats>(values + k);
        top = value > top ? value : top;
        unordered += value != value;  // -1 where true
    }
    float largest = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    bool any_nan = (unordered[0] | unordered[1] | unordered[2] | unordered[3]) != 0;
    for (; k < count; ++k) {
        largest = values[k] > largest ? values[k] : largest;
        any_nan |= std::isnan(values[k]);
    }
    return {largest, any_nan};
}

}  // namespace

std::size_t first_largest(const float* intensity, std::size_t count) {
    // The largest value first, then its first position: one loop tracking the
    // position would not vectorise.
    const auto [top, any_nan] = largest_of(intensity, count);
    std::size_t k = 0;
    if (!any_nan) {
        const Floats wanted = {top, top, top, top};
        for (; k + 4 <= count; k += 4) {
            const FloatMask hit = load<Floats>(intensity + k) == wanted;
            std::uint64_t halves[2];
            std::memcpy(halves, &hit, sizeof halves);
            if (halves[0] | halves[1]) break;
        }
    }
    for (; k < count; ++k) {
        if (any_nan ? std::isnan(intensity[k]) : intensity[k] == top) return k;
    }
    return 0;
}

bool ascending(const double* mz, std::size_t count) {
    if (count == 0) return true;
    if (std::isnan(mz[0])) return false;
    // A step down or a NaN (NaN != NaN), blocks at a time: an unsorted list usually
    // shows it early.
    constexpr std::size_t block = 64;
    std::size_t k = 1;
    while (k + block <= count) {
        DoubleMask wrong = {0, 0};
        for (const std::size_t end = k + block; k < end; k += 2) {
            const Doubles here = load<Doubles>(mz + k), before = load<Doubles>(mz + k - 1);
            wrong += (here < before) + (here != here);  // each -1 where true
        }
        if (wrong[0] | wrong[1]) return false;
    }
    for (; k < count; ++k) {
        if (!(mz[k] >= mz[k - 1])) return false;
    }
    return true;
}

namespace {

// Lowest and highest m/z of peaks not in ascending order: NaN when any m/z is NaN.
void unordered_extent(const double* mz, std::size_t count, PeakSummary& summary) {
    double lowest = mz[0], highest = mz[0];
    bool any_nan = false;
    for (std::size_t k = 0; k < count; ++k) {
        any_nan |= std::isnan(mz[k]);
        lowest = std::min(lowest, mz[k]);
        highest = std::max(highest, mz[k]);
    }
    summary.lowest_mz = any_nan ? std::numeric_limits<double>::quiet_NaN() : lowest;
    summary.highest_mz = any_nan ? std::numeric_limits<double>::quiet_NaN() : highest;
}

// The fields that follow from the count, the sum, the base peak's position and the order.
PeakSummary summary_of(const double* mz, const float* intensity, std::size_t count, double tic, std::size_t top,
                       bool in_order) {
    PeakSummary summary;
    summary.count = static_cast<std::uint32_t>(count);
    summary.tic = tic;
    summary.base_peak_mz = mz[top];
    summary.base_peak_intensity = intensity[top];
    summary.ascending = in_order;
    if (in_order) {
        summary.lowest_mz = mz[0];
        summary.highest_mz = mz[count - 1];
    } else {
        unordered_extent(mz, count, summary);
    }
    return summary;
}

}  // namespace

namespace statistics_paths {

PeakSummary summarise_portable(const double* mz, const float* intensity, std::size_t count) {
    if (count == 0) return PeakSummary{};
    return summary_of(mz, intensity, count, lane_sum(intensity, count), first_largest(intensity, count),
                      ascending(mz, count));
}

#if defined(KESTRUNE_VECTOR_X86)

namespace {

// The running statistics in registers: see LaneCarry.
struct GroupLanes {
    __m256d low, high;  // the sum's lanes 0-3 and 4-7
    __m256 top;
    __m256i top_group, group;
    __m256 unordered;
    __m128d out_of_order;
    __m128d last;  // the high half: the m/z before the next group
};

__attribute__((target("avx2"))) GroupLanes lanes_of(const LaneCarry& carry, double before) {
    return {_mm256_load_pd(carry.lanes), _mm256_load_pd(carry.lanes + 4), _mm256_load_ps(carry.top),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(carry.top_group)),
            _mm256_set1_epi32(static_cast<std::int32_t>(carry.taken / sum_lanes)), _mm256_setzero_ps(),
            _mm_setzero_pd(), _mm_set1_pd(before)};
}

__attribute__((target("avx2"))) void keep(const GroupLanes& lanes, LaneCarry& carry, std::size_t taken) {
    _mm256_store_pd(carry.lanes, lanes.low);
    _mm256_store_pd(carry.lanes + 4, lanes.high);
    _mm256_store_ps(carry.top, lanes.top);
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry.top_group), lanes.top_group);
    carry.any_nan |= _mm256_movemask_ps(lanes.unordered) != 0;
    carry.in_order &= _mm_movemask_pd(lanes.out_of_order) == 0;
    carry.last_mz = _mm_cvtsd_f64(_mm_unpackhi_pd(lanes.last, lanes.last));
    carry.taken = taken;
}

// One group of eight peaks: the intensities in one register, the m/z in four pairs.
__attribute__((target("avx2"), always_inline)) inline void take_group(GroupLanes& lanes, __m256 value, __m128d m0,
                                                                      __m128d m1, __m128d m2, __m128d m3) {
    lanes.low = _mm256_add_pd(lanes.low, _mm256_cvtps_pd(_mm256_castps256_ps128(value)));
    lanes.high = _mm256_add_pd(lanes.high, _mm256_cvtps_pd(_mm256_extractf128_ps(value, 1)));
    const __m256 above = _mm256_cmp_ps(value, lanes.top, _CMP_GT_OQ);
    lanes.top = _mm256_blendv_ps(lanes.top, value, above);
    lanes.top_group = _mm256_blendv_epi8(lanes.top_group, lanes.group, _mm256_castps_si256(above));
    lanes.group = _mm256_add_epi32(lanes.group, _mm256_set1_epi32(1));
    lanes.unordered = _mm256_or_ps(lanes.unordered, _mm256_cmp_ps(value, value, _CMP_UNORD_Q));
    // Each m/z against its predecessor: not at least it, or NaN.
    const __m128d d0 = _mm_cmp_pd(m0, _mm_shuffle_pd(lanes.last, m0, 1), _CMP_NGE_UQ);
    const __m128d d1 = _mm_cmp_pd(m1, _mm_shuffle_pd(m0, m1, 1), _CMP_NGE_UQ);
    const __m128d d2 = _mm_cmp_pd(m2, _mm_shuffle_pd(m1, m2, 1), _CMP_NGE_UQ);
    const __m128d d3 = _mm_cmp_pd(m3, _mm_shuffle_pd(m2, m3, 1), _CMP_NGE_UQ);
    lanes.out_of_order = _mm_or_pd(lanes.out_of_order, _mm_or_pd(_mm_or_pd(d0, d1), _mm_or_pd(d2, d3)));
    lanes.last = m3;
}

// The whole groups of peaks carry.taken .. `to` - 1 from the arrays.
__attribute__((target("avx2"))) void take_groups(LaneCarry& carry, const double* mz, const float* intensity,
                                                 std::size_t to) {
    std::size_t k = carry.taken;
    if (k >= to) return;
    GroupLanes lanes = lanes_of(carry, k ? carry.last_mz : mz[0]);  // the first m/z against itself: NaN fails
    for (; k < to; k += sum_lanes) {
        take_group(lanes, _mm256_loadu_ps(intensity + k), _mm_loadu_pd(mz + k), _mm_loadu_pd(mz + k + 2),
                   _mm_loadu_pd(mz + k + 4), _mm_loadu_pd(mz + k + 6));
    }
    keep(lanes, carry, to);
}

}  // namespace

__attribute__((target("avx2"))) void split_wide_summarising_avx2(LaneCarry& carry, const std::uint8_t* records,
                                                                 std::size_t first, std::size_t n, double* mz,
                                                                 float* intensity) {
    std::size_t k = 0;
    // A group of eight is split as the reader's split takes four: a record must follow it.
    if (first == carry.taken && n > sum_lanes) {
        GroupLanes lanes = lanes_of(carry, first ? carry.last_mz : io::decode_le<double>(records));
        for (; k + sum_lanes < n; k += sum_lanes) {
            const std::uint8_t* group = records + spectra::wide_record_size * k;
            const auto low = spectra::record_split_paths::split_wide_quad(group, mz + first + k, intensity + first + k);
            const auto high = spectra::record_split_paths::split_wide_quad(
                group + 4 * spectra::wide_record_size, mz + first + k + 4, intensity + first + k + 4);
            take_group(lanes, _mm256_set_m128(high.intensity, low.intensity), low.mz_low, low.mz_high, high.mz_low,
                       high.mz_high);
        }
        keep(lanes, carry, first + k);
    }
    spectra::split_wide_records(records + spectra::wide_record_size * k, n - k, mz + first + k,
                                intensity + first + k);
    take_groups(carry, mz, intensity, first + n - n % sum_lanes);
}

PeakSummary summary_of_lanes(const LaneCarry& carry, const double* mz, const float* intensity, std::size_t count) {
    if (carry.taken == 0) return summarise_portable(mz, intensity, count);
    double tic = combine_lanes(carry.lanes);
    bool any_nan = carry.any_nan, in_order = carry.in_order;
    for (std::size_t k = carry.taken; k < count; ++k) {
        tic += intensity[k];
        any_nan |= std::isnan(intensity[k]);
        in_order &= mz[k] >= mz[k - 1];
    }
    std::size_t best = 0;
    if (any_nan) {
        while (!std::isnan(intensity[best])) ++best;
    } else {
        float largest = carry.top[0];
        for (const float lane_top : carry.top) largest = lane_top > largest ? lane_top : largest;
        best = count;
        for (std::size_t lane = 0; lane < sum_lanes; ++lane) {
            const std::size_t at = static_cast<std::size_t>(carry.top_group[lane]) * sum_lanes + lane;
            if (carry.top[lane] == largest && at < best) best = at;
        }
        for (std::size_t k = carry.taken; k < count; ++k) {
            if (intensity[k] > largest) {
                largest = intensity[k];
                best = k;
            }
        }
    }
    return summary_of(mz, intensity, count, tic, best, in_order);
}

PeakSummary summarise_avx2(const double* mz, const float* intensity, std::size_t count) {
    if (count / sum_lanes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return summarise_portable(mz, intensity, count);
    }
    LaneCarry carry;
    take_groups(carry, mz, intensity, count - count % sum_lanes);
    return summary_of_lanes(carry, mz, intensity, count);
}

#endif

}  // namespace statistics_paths

PeakSummary summarise(const double* mz, const float* intensity, std::size_t count) {
#if defined(KESTRUNE_VECTOR_X86)
    if (simd::processor_has_avx2()) return statistics_paths::summarise_avx2(mz, intensity, count);
#endif
    return statistics_paths::summarise_portable(mz, intensity, count);
}

}  // namespace kestrune::runpass
