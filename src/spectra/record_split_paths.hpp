// The individual implementations behind split_wide_records and widen_narrow_records,
// named so that a check program can compare every path this machine can run against
// the portable one. Callers use record_split.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/processor.hpp"

namespace kestrune::spectra::record_split_paths {

// Each takes the arguments of the function it stands behind.
using WideSplit = void (*)(const std::uint8_t* records, std::size_t count, double* mz,
                           float* intensity);
using NarrowWiden = void (*)(double* mz, std::size_t count, float* intensity);

void split_wide_portable(const std::uint8_t* records, std::size_t count, double* mz,
                         float* intensity);
void widen_narrow_portable(double* mz, std::size_t count, float* intensity);

#if defined(KESTRUNE_VECTOR_X86)
void split_wide_sse2(const std::uint8_t* records, std::size_t count, double* mz,
                     float* intensity);
void widen_narrow_sse2(double* mz, std::size_t count, float* intensity);
// Only to be called where processor_has_avx2() holds.
void widen_narrow_avx2(double* mz, std::size_t count, float* intensity);
#elif defined(KESTRUNE_VECTOR_NEON)
void split_wide_neon(const std::uint8_t* records, std::size_t count, double* mz,
                     float* intensity);
void widen_narrow_neon(double* mz, std::size_t count, float* intensity);
#endif

}  // namespace kestrune::spectra::record_split_paths
