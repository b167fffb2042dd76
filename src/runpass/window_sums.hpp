// The summed intensity within m/z windows of one scan's peaks, each sum over the
// window's peaks in ascending m/z, so that the companion's NumPy reference gives the
// same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::runpass {

// Windows as bounds: bounds[2w] is window w's lowest m/z, bounds[2w + 1] the first
// m/z above it (none NaN), with the windows in the ascending order of their lowest
// m/z, found once per pass.
struct Windows {
    explicit Windows(std::vector<double> bounds);
    std::size_t count() const { return bounds.size() / 2; }
    std::vector<double> bounds;
    std::vector<std::uint32_t> ascending_lows;  // window numbers
};

struct WindowScratch {
    std::vector<std::uint32_t> order;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<double> sample;
};

// Adds window w's summed intensity to out[w * out_stride]; each sum runs over the
// window's peaks in ascending m/z (equal m/z in file order), as float64. Peaks in any
// order: unsorted ones (`sorted` false) are sorted into `scratch` first.
void window_sums(const double* mz, const float* intensity, std::size_t count, bool sorted,
                 const Windows& windows, double* out, std::size_t out_stride, WindowScratch& scratch);

}  // namespace kestrune::runpass
