#include "runpass/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace kestrune::runpass {

namespace {

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

// Where each bound falls in ascending m/z without NaN: walking the peaks once where
// the bounds are dense among them, else a binary search per bound.
void bound_positions(const double* mz, std::size_t count, const Windows& windows, std::vector<std::size_t>& at,
                     std::vector<double>& sample) {
    at.resize(windows.bounds.size());
    constexpr std::size_t walk_density = 128;  // bounds per peak, times this, above which a walk wins
    if (windows.bounds.size() * walk_density >= count) {
        std::size_t position = 0;
        for (const std::uint32_t bound : windows.ascending_bounds) {
            const double value = windows.bounds[bound];
            while (position < count && mz[position] < value) ++position;
            at[bound] = position;
        }
        return;
    }
    // Every 64th m/z first, a table that stays in the nearest cache, then the 64 peaks
    // between two of its entries.
    constexpr std::size_t stride = 64;
    sample.resize((count + stride - 1) / stride);
    for (std::size_t k = 0; k < sample.size(); ++k) sample[k] = mz[k * stride];
    for (std::size_t bound = 0; bound < windows.bounds.size(); ++bound) {
        const double value = windows.bounds[bound];
        const std::size_t above = first_not_below(sample.data(), sample.size(), value);
        if (above == 0) {
            at[bound] = 0;
            continue;
        }
        const std::size_t from = (above - 1) * stride, to = std::min(count, above * stride);
        at[bound] = from + first_not_below(mz + from, to - from, value);
    }
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

PeakSummary summarise(const double* mz, const float* intensity, std::size_t count) {
    PeakSummary summary;
    if (count == 0) return summary;
    const std::size_t top = first_largest(intensity, count);
    summary.count = static_cast<std::uint32_t>(count);
    summary.tic = lane_sum(intensity, count);
    summary.base_peak_mz = mz[top];
    summary.base_peak_intensity = intensity[top];
    summary.ascending = ascending(mz, count);
    if (summary.ascending) {
        summary.lowest_mz = mz[0];
        summary.highest_mz = mz[count - 1];
        return summary;
    }
    double lowest = mz[0], highest = mz[0];
    bool any_nan = false;
    for (std::size_t k = 0; k < count; ++k) {
        any_nan |= std::isnan(mz[k]);
        lowest = std::min(lowest, mz[k]);
        highest = std::max(highest, mz[k]);
    }
    summary.lowest_mz = any_nan ? std::numeric_limits<double>::quiet_NaN() : lowest;
    summary.highest_mz = any_nan ? std::numeric_limits<double>::quiet_NaN() : highest;
    return summary;
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
