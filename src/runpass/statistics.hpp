// The per-scan arithmetic of a run-level pass: the statistics of one scan's peaks
// and the summed intensity within m/z windows. Plain loops over arrays; every sum
// has a fixed order, so that the companion's NumPy reference gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::runpass {

// The summed intensity is taken over this many interleaved lanes (peak k goes to
// lane k % sum_lanes, the tail past the last whole group is added after them), the
// lanes combined pairwise: ((0+1)+(2+3))+((4+5)+(6+7)). The lanes let the loop run
// in vector registers; the order is part of the answer.
inline constexpr std::size_t sum_lanes = 8;

struct PeakSummary {
    std::uint32_t count = 0;
    double tic = 0.0;                  // float64 sum of the intensities, in the lane order
    double base_peak_mz = 0.0;         // of the first peak of the largest intensity
    double base_peak_intensity = 0.0;  // (a NaN intensity counts as the largest)
    double lowest_mz = 0.0;            // NaN when any m/z is NaN
    double highest_mz = 0.0;
    bool ascending = true;  // as ascending() answers
};

// The intensities' sum in the lane order.
double lane_sum(const float* intensity, std::size_t count);

// The position of the first largest intensity, the first NaN if any (0 for none).
std::size_t first_largest(const float* intensity, std::size_t count);

// Whether every m/z is at least its predecessor (false with any NaN among them).
bool ascending(const double* mz, std::size_t count);

// All zero for a scan without peaks.
PeakSummary summarise(const double* mz, const float* intensity, std::size_t count);

// Windows as bounds: bounds[2w] is window w's lowest m/z, bounds[2w + 1] the first
// m/z above it (none NaN), with the bounds' ascending order, found once per pass.
struct Windows {
    explicit Windows(std::vector<double> bounds);
    std::size_t count() const { return bounds.size() / 2; }
    std::vector<double> bounds;
    std::vector<std::uint32_t> ascending_bounds;  // indices into bounds
};

struct WindowScratch {
    std::vector<std::uint32_t> order;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<std::size_t> positions;
    std::vector<double> sample;
};

// Adds window w's summed intensity to out[w * out_stride]; each sum runs over the
// window's peaks in ascending m/z (equal m/z in file order), as float64. Peaks in any
// order: unsorted ones (`sorted` false) are sorted into `scratch` first.
void window_sums(const double* mz, const float* intensity, std::size_t count, bool sorted,
                 const Windows& windows, double* out, std::size_t out_stride, WindowScratch& scratch);

}  // namespace kestrune::runpass
