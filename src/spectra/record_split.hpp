// Splitting a peak block's interleaved records into the two result sequences. These
// loops touch every byte of the largest results, so they have vector paths on x86-64
// (SSE2, and AVX2 where the processor has it) and little-endian Arm64 (NEON), and a
// portable one elsewhere; every path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::spectra {

// The bytes of one record of each layout.
inline constexpr std::size_t wide_record_size = 12;
inline constexpr std::size_t narrow_record_size = 8;

// Wide records: a little-endian float64 m/z then a float32 intensity, 12 bytes each.
// `records` holds 12 * count bytes; `mz` and `intensity` hold count elements each and
// do not overlap `records`.
void split_wide_records(const std::uint8_t* records, std::size_t count, double* mz,
                        float* intensity);

// Narrow records: a little-endian float32 m/z then a float32 intensity, 8 bytes each,
// held in `mz`'s own storage. Each record is replaced by its m/z widened to float64
// (a record is exactly as wide as that float64); the intensities go to `intensity`,
// which holds count elements and does not overlap `mz`.
void widen_narrow_records(double* mz, std::size_t count, float* intensity);

}  // namespace kestrune::spectra
