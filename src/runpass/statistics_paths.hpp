// The individual implementations behind summarise, named so that a check program can
// compare every path this machine can run against the portable one. Callers use
// statistics.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "runpass/statistics.hpp"
#include "simd/processor.hpp"

namespace kestrune::runpass::statistics_paths {

using Summarise = PeakSummary (*)(const double* mz, const float* intensity, std::size_t count);

// A loop a statistic, each in vector registers of the compiler's generic width.
PeakSummary summarise_portable(const double* mz, const float* intensity, std::size_t count);
#if defined(KESTRUNE_VECTOR_X86)
// Every statistic in one loop over the peaks, eight at a time as the lanes of the sum:
// per lane the sum, the largest intensity and the group of eight where it first
// occurs (a NaN never wins there; any NaN is looked for at the end), and each m/z
// against its predecessor. Kept here between the chunks of a block.
struct LaneCarry {
    static constexpr float none = -std::numeric_limits<float>::infinity();
    alignas(32) double lanes[sum_lanes] = {};
    alignas(32) float top[sum_lanes] = {none, none, none, none, none, none, none, none};
    alignas(32) std::int32_t top_group[sum_lanes] = {};
    bool any_nan = false;
    bool in_order = true;
    double last_mz = 0.0;
    std::size_t taken = 0;  // peaks in the lanes, a multiple of eight
};

// The functions below are only to be called where processor_has_avx2() holds.

// Splits wide records first .. first + n - 1 of a block as split_wide_records does
// and takes their whole groups of eight into `carry`: a block's chunks in order, each
// but the last a multiple of eight records.
void split_wide_summarising_avx2(LaneCarry& carry, const std::uint8_t* records, std::size_t first, std::size_t n,
                                 double* mz, float* intensity);
// The statistics of the block's `count` peaks, the ones past carry.taken added here.
PeakSummary summary_of_lanes(const LaneCarry& carry, const double* mz, const float* intensity, std::size_t count);
PeakSummary summarise_avx2(const double* mz, const float* intensity, std::size_t count);
#endif

}  // namespace kestrune::runpass::statistics_paths
