#include "runpass/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kestrune::runpass {

namespace {

// NaN sorts last, as in NumPy's sort.
bool mz_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

void sorted_window_sums(const double* mz, const float* intensity, std::size_t count, const double* bounds,
                        std::size_t windows, double* out, std::size_t out_stride) {
    const double* end = mz + count;
    for (std::size_t w = 0; w < windows; ++w) {
        // The first peak at or above each bound; NaNs, last, are above every bound.
        const auto from = static_cast<std::size_t>(std::lower_bound(mz, end, bounds[2 * w], mz_before) - mz);
        const auto to = static_cast<std::size_t>(std::lower_bound(mz, end, bounds[2 * w + 1], mz_before) - mz);
        double sum = 0.0;
        for (std::size_t k = from; k < to; ++k) sum += intensity[k];
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

std::size_t first_largest(const float* intensity, std::size_t count) {
    // Two passes: the largest value (and whether any is NaN) in lanes the compiler
    // can keep in vector registers, then its first position.
    std::array<float, sum_lanes> largest;
    largest.fill(-std::numeric_limits<float>::infinity());
    bool any_nan = false;
    const std::size_t whole = count - count % sum_lanes;
    for (std::size_t k = 0; k < whole; k += sum_lanes) {
        for (std::size_t lane = 0; lane < sum_lanes; ++lane) {
            const float value = intensity[k + lane];
            any_nan |= value != value;
            largest[lane] = value > largest[lane] ? value : largest[lane];
        }
    }
    float top = -std::numeric_limits<float>::infinity();
    for (float value : largest) top = value > top ? value : top;
    for (std::size_t k = whole; k < count; ++k) {
        any_nan |= std::isnan(intensity[k]);
        top = intensity[k] > top ? intensity[k] : top;
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (any_nan ? std::isnan(intensity[k]) : intensity[k] == top) return k;
    }
    return 0;
}

bool ascending(const double* mz, std::size_t count) {
    bool in_order = true;
    for (std::size_t k = 1; k < count; ++k) in_order &= mz[k] >= mz[k - 1];
    return in_order;
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

void window_sums(const double* mz, const float* intensity, std::size_t count, bool sorted,
                 const double* bounds, std::size_t windows, double* out, std::size_t out_stride,
                 WindowScratch& scratch) {
    if (sorted) return sorted_window_sums(mz, intensity, count, bounds, windows, out, out_stride);
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
    sorted_window_sums(scratch.mz.data(), scratch.intensity.data(), count, bounds, windows, out, out_stride);
}

}  // namespace kestrune::runpass
