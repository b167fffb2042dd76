// The statistics of one scan's peaks, as a run-level pass answers them per scan.
// Plain loops over arrays; the sum has a fixed order, so that the companion's NumPy
// reference gives the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune::runpass {

// The summed intensity is taken over this many interleaved lanes (peak k goes to
// lane k % sum_lanes, the tail past the last whole group is added after them), the
// lanes combined by combine_lanes. The lanes let the loop run in vector registers;
// the order is part of the answer.
inline constexpr std::size_t sum_lanes = 8;

// The lanes' total: ((0+1)+(2+3))+((4+5)+(6+7)).
inline double combine_lanes(const double* lanes) {
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

struct PeakSummary {
    std::uint32_t count = 0;
    double tic = 0.0;                  // float64 sum of the intensities, in the lane order
    double base_peak_mz = 0.0;         // of the first peak of the largest intensity
    double base_peak_intensity = 0.0;  // (a NaN intensity counts as the largest)
    double lowest_mz = 0.0;            // NaN when any m/z is NaN
    double highest_mz = 0.0;
    bool ascending = true;  // as ascending() answers
};

// The statistics a pass answers per scan, each by its name in the companion's answers
// and the member of PeakSummary that holds it, in their order: the count (an int32
// column), then the float64 ones.
template <class T>
struct Statistic {
    const char* name;
    T PeakSummary::*member;
};
inline constexpr Statistic<std::uint32_t> count_statistic{"peak_count", &PeakSummary::count};
inline constexpr std::array<Statistic<double>, 5> value_statistics{{
    {"tic", &PeakSummary::tic},
    {"base_peak_mz", &PeakSummary::base_peak_mz},
    {"base_peak_intensity", &PeakSummary::base_peak_intensity},
    {"lowest_mz", &PeakSummary::lowest_mz},
    {"highest_mz", &PeakSummary::highest_mz},
}};

// The intensities' sum in the lane order.
double lane_sum(const float* intensity, std::size_t count);

// The position of the first largest intensity, the first NaN if any (0 for none).
std::size_t first_largest(const float* intensity, std::size_t count);

// Whether every m/z is at least its predecessor (false with any NaN among them).
bool ascending(const double* mz, std::size_t count);

// All zero for a scan without peaks.
PeakSummary summarise(const double* mz, const float* intensity, std::size_t count);

}  // namespace kestrune::runpass
