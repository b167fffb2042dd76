#include "spectra/record_split.hpp"

#include "io/byte_window.hpp"
#include "simd/processor.hpp"
#include "spectra/record_split_paths.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <immintrin.h>
#elif defined(KESTRUNE_VECTOR_NEON)
#include <arm_neon.h>
#endif

namespace kestrune::spectra {

namespace record_split_paths {

namespace {

// The portable loops, also the tails of the vector ones: records `first` .. count-1.
void split_wide_from(const std::uint8_t* records, std::size_t first, std::size_t count,
                     double* mz, float* intensity) {
    for (std::size_t k = first; k < count; ++k) {
        const std::uint8_t* record = records + wide_record_size * k;
        mz[k] = io::decode_le<double>(record);
        intensity[k] = io::decode_le<float>(record + 8);
    }
}

void widen_narrow_from(double* mz, std::size_t first, std::size_t count, float* intensity) {
    const auto* records = reinterpret_cast<const std::uint8_t*>(mz);
    for (std::size_t k = first; k < count; ++k) {
        const std::uint8_t* record = records + narrow_record_size * k;
        const float narrow_mz = io::decode_le<float>(record);
        intensity[k] = io::decode_le<float>(record + 4);
        mz[k] = narrow_mz;  // overwrites record k only, after it was decoded
    }
}

}  // namespace

void split_wide_portable(const std::uint8_t* records, std::size_t count, double* mz,
                         float* intensity) {
    split_wide_from(records, 0, count, mz, intensity);
}

void widen_narrow_portable(double* mz, std::size_t count, float* intensity) {
    widen_narrow_from(mz, 0, count, intensity);
}

// The vector loops take four or eight records a step: a few wide stores instead of
// two scalar stores per record, the stores being what bounds these loops. In the
// widening loops every load of a step comes before the stores that overwrite the
// same bytes.
#if defined(KESTRUNE_VECTOR_X86)

void split_wide_sse2(const std::uint8_t* records, std::size_t count, double* mz,
                     float* intensity) {
    std::size_t k = 0;
    for (; k + 4 < count; k += 4) split_wide_quad(records + wide_record_size * k, mz + k, intensity + k);
    split_wide_from(records, k, count, mz, intensity);
}

void widen_narrow_sse2(double* mz, std::size_t count, float* intensity) {
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128 front = _mm_loadu_ps(reinterpret_cast<const float*>(mz + k));
        const __m128 back = _mm_loadu_ps(reinterpret_cast<const float*>(mz + k + 2));
        const __m128 narrow_mz = _mm_shuffle_ps(front, back, _MM_SHUFFLE(2, 0, 2, 0));
        _mm_storeu_ps(intensity + k, _mm_shuffle_ps(front, back, _MM_SHUFFLE(3, 1, 3, 1)));
        _mm_storeu_pd(mz + k, _mm_cvtps_pd(narrow_mz));
        _mm_storeu_pd(mz + k + 2, _mm_cvtps_pd(_mm_movehl_ps(narrow_mz, narrow_mz)));
    }
    widen_narrow_from(mz, k, count, intensity);
}

__attribute__((target("avx2"))) void widen_narrow_avx2(double* mz, std::size_t count,
                                                      float* intensity) {
    // Gathers a 32-byte load's four m/z values into its low half, the intensities high.
    const __m256i fields_apart = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 front = _mm256_permutevar8x32_ps(
            _mm256_loadu_ps(reinterpret_cast<const float*>(mz + k)), fields_apart);
        const __m256 back = _mm256_permutevar8x32_ps(
            _mm256_loadu_ps(reinterpret_cast<const float*>(mz + k + 4)), fields_apart);
        _mm256_storeu_ps(intensity + k, _mm256_permute2f128_ps(front, back, 0x31));
        _mm256_storeu_pd(mz + k, _mm256_cvtps_pd(_mm256_castps256_ps128(front)));
        _mm256_storeu_pd(mz + k + 4, _mm256_cvtps_pd(_mm256_castps256_ps128(back)));
    }
    widen_narrow_from(mz, k, count, intensity);
}

#elif defined(KESTRUNE_VECTOR_NEON)

void split_wide_neon(const std::uint8_t* records, std::size_t count, double* mz,
                     float* intensity) {
    std::size_t k = 0;
    // A wide record is three 32-bit words: the de-interleaving load separates the m/z
    // halves from the intensities, and the interleaving store joins the halves again.
    for (; k + 4 <= count; k += 4) {
        const uint32x4x3_t words =
            vld3q_u32(reinterpret_cast<const std::uint32_t*>(records + wide_record_size * k));
        const uint32x4x2_t mz_halves = {{words.val[0], words.val[1]}};
        vst2q_u32(reinterpret_cast<std::uint32_t*>(mz + k), mz_halves);
        vst1q_u32(reinterpret_cast<std::uint32_t*>(intensity + k), words.val[2]);
    }
    split_wide_from(records, k, count, mz, intensity);
}

void widen_narrow_neon(double* mz, std::size_t count, float* intensity) {
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const float32x4x2_t fields = vld2q_f32(reinterpret_cast<const float*>(mz + k));
        vst1q_f32(intensity + k, fields.val[1]);
        vst1q_f64(mz + k, vcvt_f64_f32(vget_low_f32(fields.val[0])));
        vst1q_f64(mz + k + 2, vcvt_high_f64_f32(fields.val[0]));
    }
    widen_narrow_from(mz, k, count, intensity);
}

#endif

}  // namespace record_split_paths

void split_wide_records(const std::uint8_t* records, std::size_t count, double* mz,
                        float* intensity) {
    using namespace record_split_paths;
#if defined(KESTRUNE_VECTOR_X86)
    split_wide_sse2(records, count, mz, intensity);  // AVX2 measured no faster here
#elif defined(KESTRUNE_VECTOR_NEON)
    split_wide_neon(records, count, mz, intensity);
#else
    split_wide_portable(records, count, mz, intensity);
#endif
}

void widen_narrow_records(double* mz, std::size_t count, float* intensity) {
    using namespace record_split_paths;
#if defined(KESTRUNE_VECTOR_X86)
    if (simd::processor_has_avx2()) {
        widen_narrow_avx2(mz, count, intensity);
    } else {
        widen_narrow_sse2(mz, count, intensity);
    }
#elif defined(KESTRUNE_VECTOR_NEON)
    widen_narrow_neon(mz, count, intensity);
#else
    widen_narrow_portable(mz, count, intensity);
#endif
}

}  // namespace kestrune::spectra
