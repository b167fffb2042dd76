#include "simd/pair_scan.hpp"

#include <bit>
#include <cstring>

#include "simd/pair_scan_paths.hpp"
#include "simd/processor.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <immintrin.h>
#elif defined(KESTRUNE_VECTOR_NEON)
#include <arm_neon.h>
#endif

namespace kestrune::simd {

namespace pair_scan_paths {

// memchr skips to each anchor byte at memory speed; the second byte is checked there.
std::size_t next_pair_portable(const std::uint8_t* data, std::size_t from, std::size_t end,
                               const BytePair& pair) {
    while (from < end) {
        const void* hit = std::memchr(data + from + pair.anchor_offset, pair.anchor, end - from);
        if (!hit) return end;
        const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) -
                        pair.anchor_offset;
        if (data[at + pair.second_offset] == pair.second) return at;
        from = at + 1;
    }
    return end;
}

// The vector paths test 64 or 128 starts a step: first the anchor bytes alone, so that
// a stretch without them (a hole of zeros, most of a large file) costs a few
// instructions, then both bytes. In text or packed numbers the anchor turns up every
// few hundred bytes, where restarting memchr at each one would dominate the search.
// Fewer starts than a step are left to the portable path.
#if defined(KESTRUNE_VECTOR_X86)

namespace {

__m128i equal_bytes(const std::uint8_t* at, __m128i value) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), value);
}

std::uint64_t byte_mask(__m128i equal) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(equal)));
}

__attribute__((target("avx2"))) __m256i equal_bytes_256(const std::uint8_t* at, __m256i value) {
    return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), value);
}

}  // namespace

std::size_t next_pair_sse2(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair) {
    const __m128i anchor = _mm_set1_epi8(static_cast<char>(pair.anchor));
    const __m128i second = _mm_set1_epi8(static_cast<char>(pair.second));
    std::size_t p = from;
    for (; p + 64 <= end; p += 64) {
        const std::uint8_t* a = data + p + pair.anchor_offset;
        const __m128i a0 = equal_bytes(a, anchor), a1 = equal_bytes(a + 16, anchor);
        const __m128i a2 = equal_bytes(a + 32, anchor), a3 = equal_bytes(a + 48, anchor);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a0, a1), _mm_or_si128(a2, a3))) == 0) continue;
        const std::uint8_t* s = data + p + pair.second_offset;
        const std::uint64_t both = byte_mask(_mm_and_si128(a0, equal_bytes(s, second))) |
                                   byte_mask(_mm_and_si128(a1, equal_bytes(s + 16, second))) << 16 |
                                   byte_mask(_mm_and_si128(a2, equal_bytes(s + 32, second))) << 32 |
                                   byte_mask(_mm_and_si128(a3, equal_bytes(s + 48, second))) << 48;
        if (both) return p + static_cast<std::size_t>(std::countr_zero(both));
    }
    return next_pair_portable(data, p, end, pair);
}

__attribute__((target("avx2"))) std::size_t next_pair_avx2(const std::uint8_t* data,
                                                           std::size_t from, std::size_t end,
                                                           const BytePair& pair) {
    const __m256i anchor = _mm256_set1_epi8(static_cast<char>(pair.anchor));
    const __m256i second = _mm256_set1_epi8(static_cast<char>(pair.second));
    std::size_t p = from;
    for (; p + 128 <= end; p += 128) {
        const std::uint8_t* a = data + p + pair.anchor_offset;
        const __m256i found[4] = {equal_bytes_256(a, anchor), equal_bytes_256(a + 32, anchor),
                                  equal_bytes_256(a + 64, anchor), equal_bytes_256(a + 96, anchor)};
        const __m256i any = _mm256_or_si256(_mm256_or_si256(found[0], found[1]),
                                            _mm256_or_si256(found[2], found[3]));
        if (_mm256_testz_si256(any, any)) continue;
        const std::uint8_t* s = data + p + pair.second_offset;
        for (std::size_t j = 0; j < 4; ++j) {
            const auto both = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_and_si256(found[j], equal_bytes_256(s + 32 * j, second))));
            if (both) return p + 32 * j + static_cast<std::size_t>(std::countr_zero(both));
        }
    }
    return next_pair_sse2(data, p, end, pair);
}

#elif defined(KESTRUNE_VECTOR_NEON)

namespace {

uint8x16_t equal_bytes(const std::uint8_t* at, uint8x16_t value) {
    return vceqq_u8(vld1q_u8(at), value);
}

// Four bits per byte of a comparison, in byte order.
std::uint64_t nibble_mask(uint8x16_t equal) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(equal), 4)), 0);
}

}  // namespace

std::size_t next_pair_neon(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair) {
    const uint8x16_t anchor = vdupq_n_u8(pair.anchor);
    const uint8x16_t second = vdupq_n_u8(pair.second);
    std::size_t p = from;
    for (; p + 64 <= end; p += 64) {
        const std::uint8_t* a = data + p + pair.anchor_offset;
        const uint8x16_t found[4] = {equal_bytes(a, anchor), equal_bytes(a + 16, anchor),
                                     equal_bytes(a + 32, anchor), equal_bytes(a + 48, anchor)};
        if (vmaxvq_u8(vorrq_u8(vorrq_u8(found[0], found[1]), vorrq_u8(found[2], found[3]))) == 0) {
            continue;
        }
        const std::uint8_t* s = data + p + pair.second_offset;
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint64_t both = nibble_mask(vandq_u8(found[j], equal_bytes(s + 16 * j, second)));
            if (both) return p + 16 * j + static_cast<std::size_t>(std::countr_zero(both)) / 4;
        }
    }
    return next_pair_portable(data, p, end, pair);
}

#endif

}  // namespace pair_scan_paths

std::size_t next_pair_candidate(const std::uint8_t* data, std::size_t from, std::size_t end,
                                const BytePair& pair) {
    using namespace pair_scan_paths;
#if defined(KESTRUNE_VECTOR_X86)
    if (processor_has_avx2()) return next_pair_avx2(data, from, end, pair);
    return next_pair_sse2(data, from, end, pair);
#elif defined(KESTRUNE_VECTOR_NEON)
    return next_pair_neon(data, from, end, pair);
#else
    return next_pair_portable(data, from, end, pair);
#endif
}

}  // namespace kestrune::simd
