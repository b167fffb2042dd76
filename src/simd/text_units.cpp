#include "simd/text_units.hpp"

#include <bit>

#include "simd/processor.hpp"
#include "simd/text_units_paths.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <immintrin.h>
#elif defined(KESTRUNE_VECTOR_NEON)
#include <arm_neon.h>
#endif

namespace kestrune::simd {

namespace text_units_paths {

std::size_t next_unit_portable(const std::uint8_t* units, std::size_t from, std::size_t end,
                               UnitRange range) {
    for (std::size_t i = from; i < end; ++i) {
        const auto unit = static_cast<std::uint16_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (unit >= range.low && unit <= range.high) return i;
    }
    return end;
}

// The vector paths test 32 or 64 units a step, loaded as they lie (both processors
// are little-endian). A unit is in the range when unit - low, wrapping, is at most
// high - low: one subtraction and one unsigned comparison, which SSE2 makes with a
// saturating subtraction that leaves zero. A step without a hit (a hole of zeros)
// costs a few instructions; fewer units than a step are left to the portable path.
#if defined(KESTRUNE_VECTOR_X86)

namespace {

__m128i in_range(const std::uint8_t* at, __m128i low, __m128i width) {
    const __m128i shifted = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), low);
    return _mm_cmpeq_epi16(_mm_subs_epu16(shifted, width), _mm_setzero_si128());
}

// Two bits per unit, in unit order.
std::uint64_t unit_bits(__m128i hits) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)));
}

__attribute__((target("avx2"))) __m256i in_range_256(const std::uint8_t* at, __m256i low, __m256i width) {
    const __m256i shifted =
        _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), low);
    return _mm256_cmpeq_epi16(_mm256_subs_epu16(shifted, width), _mm256_setzero_si256());
}

}  // namespace

std::size_t next_unit_sse2(const std::uint8_t* units, std::size_t from, std::size_t end,
                           UnitRange range) {
    const __m128i low = _mm_set1_epi16(static_cast<short>(range.low));
    const __m128i width = _mm_set1_epi16(static_cast<short>(range.high - range.low));
    std::size_t i = from;
    for (; i + 32 <= end; i += 32) {
        const std::uint8_t* at = units + 2 * i;
        const __m128i h0 = in_range(at, low, width), h1 = in_range(at + 16, low, width);
        const __m128i h2 = in_range(at + 32, low, width), h3 = in_range(at + 48, low, width);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(h0, h1), _mm_or_si128(h2, h3))) == 0) continue;
        const std::uint64_t bits =
            unit_bits(h0) | unit_bits(h1) << 16 | unit_bits(h2) << 32 | unit_bits(h3) << 48;
        return i + static_cast<std::size_t>(std::countr_zero(bits)) / 2;
    }
    return next_unit_portable(units, i, end, range);
}

__attribute__((target("avx2"))) std::size_t next_unit_avx2(const std::uint8_t* units, std::size_t from,
                                                           std::size_t end, UnitRange range) {
    const __m256i low = _mm256_set1_epi16(static_cast<short>(range.low));
    const __m256i width = _mm256_set1_epi16(static_cast<short>(range.high - range.low));
    std::size_t i = from;
    for (; i + 64 <= end; i += 64) {
        const std::uint8_t* at = units + 2 * i;
        const __m256i hits[4] = {in_range_256(at, low, width), in_range_256(at + 32, low, width),
                                 in_range_256(at + 64, low, width), in_range_256(at + 96, low, width)};
        const __m256i any = _mm256_or_si256(_mm256_or_si256(hits[0], hits[1]), _mm256_or_si256(hits[2], hits[3]));
        if (_mm256_testz_si256(any, any)) continue;
        for (std::size_t j = 0; j < 4; ++j) {
            const auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits[j]));
            if (bits) return i + 16 * j + static_cast<std::size_t>(std::countr_zero(bits)) / 2;
        }
    }
    return next_unit_sse2(units, i, end, range);
}

#elif defined(KESTRUNE_VECTOR_NEON)

namespace {

uint16x8_t in_range(const std::uint8_t* at, uint16x8_t low, uint16x8_t width) {
    return vcleq_u16(vsubq_u16(vreinterpretq_u16_u8(vld1q_u8(at)), low), width);
}

// Eight bits per unit of a comparison, in unit order.
std::uint64_t unit_bits(uint16x8_t hits) {
    return vget_lane_u64(vreinterpret_u64_u8(vmovn_u16(hits)), 0);
}

}  // namespace

std::size_t next_unit_neon(const std::uint8_t* units, std::size_t from, std::size_t end,
                           UnitRange range) {
    const uint16x8_t low = vdupq_n_u16(range.low);
    const uint16x8_t width = vdupq_n_u16(static_cast<std::uint16_t>(range.high - range.low));
    std::size_t i = from;
    for (; i + 32 <= end; i += 32) {
        const std::uint8_t* at = units + 2 * i;
        const uint16x8_t hits[4] = {in_range(at, low, width), in_range(at + 16, low, width),
                                    in_range(at + 32, low, width), in_range(at + 48, low, width)};
        if (vmaxvq_u16(vorrq_u16(vorrq_u16(hits[0], hits[1]), vorrq_u16(hits[2], hits[3]))) == 0) continue;
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint64_t bits = unit_bits(hits[j]);
            if (bits) return i + 8 * j + static_cast<std::size_t>(std::countr_zero(bits)) / 8;
        }
    }
    return next_unit_portable(units, i, end, range);
}

#endif

}  // namespace text_units_paths

std::size_t next_unit_in_range(const std::uint8_t* units, std::size_t from, std::size_t end,
                               UnitRange range) {
    using namespace text_units_paths;
#if defined(KESTRUNE_VECTOR_X86)
    // AVX2 passes over a chunk of zeros about a quarter faster than SSE2.
    if (processor_has_avx2()) return next_unit_avx2(units, from, end, range);
    return next_unit_sse2(units, from, end, range);
#elif defined(KESTRUNE_VECTOR_NEON)
    return next_unit_neon(units, from, end, range);
#else
    return next_unit_portable(units, from, end, range);
#endif
}

}  // namespace kestrune::simd
