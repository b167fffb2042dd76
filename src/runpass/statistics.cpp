#include "runpass/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "runpass/kernel_paths.hpp"
#include "spectra/record_split.hpp"
#include "io/byte_window.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <immintrin.h>
#endif

namespace kestrune::runpass {

namespace {

// Four and two lanes in a vector register (SSE2 on x86-64, NEON on Arm64), written
// with the compiler's vector types: the loops below would not vectorise as scalars
// (a float min/max or a flag reduction needs reassociation the compiler may not do).
using Floats = float __attribute__((vector_size(16)));
using FloatMask = std::int32_t __attribute__((vector_size(16)));
using Doubles = double __attribute__((vector_size(16)));
using DoubleMask = std::int64_t __attribute__((vector_size(16)));

template <class Vector, class T>
Vector load(const T* at) {
    Vector value;
    std::memcpy(&value, at, sizeof value);
    return value;
}


// NaN sorts last, as in NumPy's sort.
bool mz_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// The first position whose m/z is not below `bound` in ascending m/z without NaN:
// a binary search without branches on the data, which would mispredict half the time.
std::size_t first_not_below(const double* mz, std::size_t count, double bound) {
    const double* base = mz;
    std::size_t length = count;
    while (length > 1) {
        const std::size_t half = length / 2;
        base = base[half - 1] < bound ? base + half : base;
        length -= half;
    }
    return static_cast<std::size_t>(base - mz) + (length == 1 && *base < bound);
}

// The first position from `from` on whose m/z is not below `bound`, in ascending m/z
// without NaN, every m/z before `from` being below it: steps of 1, 2, 4, ... until one
// lands at or above the bound, then a binary search within the last step. About twice
// the logarithm of the distance: bounds dense among the peaks cost about what a merge
// walk costs, sparse ones about what a binary search over all the peaks costs.
std::size_t next_not_below(const double* mz, std::size_t count, std::size_t from, double bound) {
    std::size_t low = from, step = 1;  // every m/z before `low` is below the bound
    while (low + step <= count && mz[low + step - 1] < bound) {
        low += step;
        step *= 2;
    }
    const std::size_t high = std::min(count, low + step - 1);  // at or above the bound, or the end
    return low + first_not_below(mz + low, high - low, bound);
}

// Where each bound falls in ascending m/z without NaN, each bound searched from where
// the one below it fell.
void galloped_positions(const double* mz, std::size_t count, const Windows& windows, std::vector<std::size_t>& at) {
    std::size_t position = 0;
    for (const std::uint32_t bound : windows.ascending_bounds) {
        position = next_not_below(mz, count, position, windows.bounds[bound]);
        at[bound] = position;
    }
}

// How many of the `block` m/z from `mz` on are below `bound`: a fixed amount of work
// without branches on the data.
template <std::size_t block>
std::size_t block_below(const double* mz, double bound) {
    static_assert(block % 2 == 0);
    const Doubles wanted = {bound, bound};
    DoubleMask below = {0, 0};
    for (std::size_t k = 0; k < block; k += 2) below += load<Doubles>(mz + k) < wanted;  // -1 where true
    return static_cast<std::size_t>(-(below[0] + below[1]));
}

constexpr std::size_t sample_stride = 16;  // peaks per entry of the table of m/z
constexpr std::size_t sample_reach = 8;    // table entries a bound's step looks at
constexpr std::size_t merge_streams = 4;   // runs of bounds merged side by side

// A table of every 16th m/z, padded with infinities for the steps past its end.
struct SampleTable {
    SampleTable(const double* mz, std::size_t count, std::vector<double>& storage)
        : entries((count + sample_stride - 1) / sample_stride), values(storage) {
        values.assign(entries + sample_reach, std::numeric_limits<double>::infinity());
        for (std::size_t k = 0; k < entries; ++k) values[k] = mz[k * sample_stride];
    }
    std::size_t entries;
    std::vector<double>& values;
};

// One bound's step of the merge: `entry` (the table's entries below the bound before
// it, at most) moves on to those below this one, counted among the next eight (and
// searched on only when all eight are), then the bound's position among the 16 peaks
// the table leaves it among.
std::size_t merge_step(const double* mz, std::size_t count, const SampleTable& table, double value,
                       std::size_t& entry) {
    const std::size_t below = block_below<sample_reach>(table.values.data() + entry, value);
    entry += below;
    if (below == sample_reach) entry += first_not_below(table.values.data() + entry, table.entries - entry, value);
    if (entry == 0) return 0;
    const std::size_t from = (entry - 1) * sample_stride;
    return from + (from + sample_stride <= count ? block_below<sample_stride>(mz + from, value)
                                                 : first_not_below(mz + from, count - from, value));
}

// The same positions where the bounds are dense among the peaks (galloping would
// mispredict a branch at nearly every bound): merge steps, the ascending bounds cut
// into four runs merged side by side, as each step waits on the one before it in its
// run.
void merged_positions(const double* mz, std::size_t count, const Windows& windows, std::vector<std::size_t>& at,
                      std::vector<double>& sample) {
    const SampleTable table(mz, count, sample);
    const std::vector<std::uint32_t>& order = windows.ascending_bounds;
    const std::size_t run = order.size() / merge_streams;
    std::array<std::size_t, merge_streams> entry{};
    for (std::size_t s = 0; s < merge_streams && run; ++s) {
        entry[s] = first_not_below(table.values.data(), table.entries, windows.bounds[order[s * run]]);
    }
    for (std::size_t j = 0; j < run; ++j) {
        for (std::size_t s = 0; s < merge_streams; ++s) {
            const std::uint32_t bound = order[s * run + j];
            at[bound] = merge_step(mz, count, table, windows.bounds[bound], entry[s]);
        }
    }
    for (std::size_t k = merge_streams * run; k < order.size(); ++k) {  // the last run's rest
        at[order[k]] = merge_step(mz, count, table, windows.bounds[order[k]], entry[merge_streams - 1]);
    }
}

// Where each bound falls in ascending m/z without NaN, by whichever search costs less
// for bounds this dense among these peaks.
void bound_positions(const double* mz, std::size_t count, const Windows& windows, std::vector<std::size_t>& at,
                     std::vector<double>& sample) {
    constexpr std::size_t dense_gap = 64;  // peaks per bound, at most, where merging wins
    at.resize(windows.bounds.size());
    if (count <= windows.bounds.size() * dense_gap) return merged_positions(mz, count, windows, at, sample);
    galloped_positions(mz, count, windows, at);
}

void sorted_window_sums(const double* mz, const float* intensity, std::size_t count, const Windows& windows,
                        double* out, std::size_t out_stride, WindowScratch& scratch) {
    bound_positions(mz, count, windows, scratch.positions, scratch.sample);
    const std::vector<std::size_t>& at = scratch.positions;
    for (std::size_t w = 0; w < windows.count(); ++w) {
        double sum = 0.0;
        for (std::size_t k = at[2 * w]; k < at[2 * w + 1]; ++k) sum += intensity[k];
        out[w * out_stride] += sum;
    }
}

}  // namespace

double lane_sum(const float* intensity, std::size_t count) {
    std::array<double, sum_lanes> lanes{};
    const std::size_t whole = count - count % sum_lanes;
    for (std::size_t k = 0; k < whole; k += sum_lanes) {
        for (std::size_t lane = 0; lane < sum_lanes; ++lane) lanes[lane] += intensity[k + lane];
    }
    double sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
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

namespace kernel_paths {

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
    // As the reader's split: a 16-byte load at a record's start holds its m/z, its
    // intensity and 4 bytes of the next record, so a group needs a record after it.
    if (first == carry.taken && n > sum_lanes) {
        GroupLanes lanes = lanes_of(carry, first ? carry.last_mz : io::decode_le<double>(records));
        for (; k + sum_lanes < n; k += sum_lanes) {
            const auto* group = reinterpret_cast<const float*>(records + spectra::wide_record_size * k);
            __m128 r[sum_lanes];
            for (std::size_t j = 0; j < sum_lanes; ++j) r[j] = _mm_loadu_ps(group + 3 * j);
            const __m128d m0 = _mm_unpacklo_pd(_mm_castps_pd(r[0]), _mm_castps_pd(r[1]));
            const __m128d m1 = _mm_unpacklo_pd(_mm_castps_pd(r[2]), _mm_castps_pd(r[3]));
            const __m128d m2 = _mm_unpacklo_pd(_mm_castps_pd(r[4]), _mm_castps_pd(r[5]));
            const __m128d m3 = _mm_unpacklo_pd(_mm_castps_pd(r[6]), _mm_castps_pd(r[7]));
            const __m128 i0 = _mm_movelh_ps(_mm_unpackhi_ps(r[0], r[1]), _mm_unpackhi_ps(r[2], r[3]));
            const __m128 i1 = _mm_movelh_ps(_mm_unpackhi_ps(r[4], r[5]), _mm_unpackhi_ps(r[6], r[7]));
            double* out = mz + first + k;
            _mm_storeu_pd(out, m0);
            _mm_storeu_pd(out + 2, m1);
            _mm_storeu_pd(out + 4, m2);
            _mm_storeu_pd(out + 6, m3);
            _mm_storeu_ps(intensity + first + k, i0);
            _mm_storeu_ps(intensity + first + k + 4, i1);
            take_group(lanes, _mm256_set_m128(i1, i0), m0, m1, m2, m3);
        }
        keep(lanes, carry, first + k);
    }
    spectra::split_wide_records(records + spectra::wide_record_size * k, n - k, mz + first + k,
                                intensity + first + k);
    take_groups(carry, mz, intensity, first + n - n % sum_lanes);
}

PeakSummary summary_of_lanes(const LaneCarry& carry, const double* mz, const float* intensity, std::size_t count) {
    if (carry.taken == 0) return summarise_portable(mz, intensity, count);
    const double* lanes = carry.lanes;
    double tic = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
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

}  // namespace kernel_paths

PeakSummary summarise(const double* mz, const float* intensity, std::size_t count) {
#if defined(KESTRUNE_VECTOR_X86)
    if (simd::processor_has_avx2()) return kernel_paths::summarise_avx2(mz, intensity, count);
#endif
    return kernel_paths::summarise_portable(mz, intensity, count);
}

Windows::Windows(std::vector<double> values) : bounds(std::move(values)), ascending_bounds(bounds.size()) {
    for (std::size_t k = 0; k < bounds.size(); ++k) ascending_bounds[k] = static_cast<std::uint32_t>(k);
    std::sort(ascending_bounds.begin(), ascending_bounds.end(),
              [this](std::uint32_t a, std::uint32_t b) { return bounds[a] < bounds[b]; });
}

void window_sums(const double* mz, const float* intensity, std::size_t count, bool sorted,
                 const Windows& windows, double* out, std::size_t out_stride, WindowScratch& scratch) {
    if (sorted) return sorted_window_sums(mz, intensity, count, windows, out, out_stride, scratch);
    scratch.order.resize(count);
    for (std::size_t k = 0; k < count; ++k) scratch.order[k] = static_cast<std::uint32_t>(k);
    std::stable_sort(scratch.order.begin(), scratch.order.end(),
                     [mz](std::uint32_t a, std::uint32_t b) { return mz_before(mz[a], mz[b]); });
    scratch.mz.resize(count);
    scratch.intensity.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        scratch.mz[k] = mz[scratch.order[k]];
        scratch.intensity[k] = intensity[scratch.order[k]];
    }
    // NaNs sort last, and no bound is NaN: only the peaks before them can count.
    const auto numbers = static_cast<std::size_t>(
        std::find_if(scratch.mz.begin(), scratch.mz.end(), [](double v) { return std::isnan(v); }) - scratch.mz.begin());
    sorted_window_sums(scratch.mz.data(), scratch.intensity.data(), numbers, windows, out, out_stride, scratch);
}

}  // namespace kestrune::runpass
