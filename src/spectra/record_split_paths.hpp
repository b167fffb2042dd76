// The individual implementations behind split_wide_records and widen_narrow_records,
// named so that a check program can compare every path this machine can run against
// the portable one. Callers use record_split.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/processor.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <emmintrin.h>
#endif

namespace kestrune::spectra::record_split_paths {

// Each takes the arguments of the function it stands behind.
using WideSplit = void (*)(const std::uint8_t* records, std::size_t count, double* mz,
                           float* intensity);
using NarrowWiden = void (*)(double* mz, std::size_t count, float* intensity);

void split_wide_portable(const std::uint8_t* records, std::size_t count, double* mz,
                         float* intensity);
void widen_narrow_portable(double* mz, std::size_t count, float* intensity);

#if defined(KESTRUNE_VECTOR_X86)
// Four wide records from `records` on, split into `mz` and `intensity` (four elements
// each) and answered as the registers they were split into: the step of the SSE2
// split, shared with the run pass, which sums the same registers. A 16-byte load at a
// record's start holds its m/z, its intensity and the first 4 bytes of the next
// record, so a fifth record must follow the four.
struct WideQuad {
    __m128d mz_low, mz_high;  // m/z 0-1 and 2-3
    __m128 intensity;
};
inline WideQuad split_wide_quad(const std::uint8_t* records, double* mz, float* intensity) {
    const auto* words = reinterpret_cast<const float*>(records);
    const __m128 r0 = _mm_loadu_ps(words);
    const __m128 r1 = _mm_loadu_ps(words + 3);
    const __m128 r2 = _mm_loadu_ps(words + 6);
    const __m128 r3 = _mm_loadu_ps(words + 9);
    const WideQuad quad{_mm_unpacklo_pd(_mm_castps_pd(r0), _mm_castps_pd(r1)),
                        _mm_unpacklo_pd(_mm_castps_pd(r2), _mm_castps_pd(r3)),
                        _mm_movelh_ps(_mm_unpackhi_ps(r0, r1), _mm_unpackhi_ps(r2, r3))};
    _mm_storeu_pd(mz, quad.mz_low);
    _mm_storeu_pd(mz + 2, quad.mz_high);
    _mm_storeu_ps(intensity, quad.intensity);
    return quad;
}

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
