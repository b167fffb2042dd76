#include "simd/processor.hpp"

#if defined(KESTRUNE_VECTOR_X86)
#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

namespace kestrune::simd {

#if defined(KESTRUNE_VECTOR_X86)
namespace {

struct CpuidWords {
    std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// The instructions themselves rather than a compiler's runtime: some runtimes answer
// "no" to every feature, and the answer must not depend on the toolchain.
CpuidWords cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidWords words;
#if defined(_MSC_VER) && !defined(__clang__)
    int registers[4] = {};
    __cpuidex(registers, static_cast<int>(leaf), static_cast<int>(subleaf));
    words = {static_cast<std::uint32_t>(registers[0]), static_cast<std::uint32_t>(registers[1]),
             static_cast<std::uint32_t>(registers[2]), static_cast<std::uint32_t>(registers[3])};
#else
    __asm__ volatile("cpuid"
                     : "=a"(words.eax), "=b"(words.ebx), "=c"(words.ecx), "=d"(words.edx)
                     : "a"(leaf), "c"(subleaf));
#endif
    return words;
}

// The register states the system saves on a switch (XCR0); only asked once OSXSAVE
// says the instruction may be used.
std::uint64_t saved_register_states() {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#endif
}

constexpr std::uint32_t osxsave_bit = 1u << 27;        // leaf 1, ecx
constexpr std::uint32_t avx_bit = 1u << 28;            // leaf 1, ecx
constexpr std::uint32_t avx2_bit = 1u << 5;            // leaf 7, ebx
constexpr std::uint64_t sse_and_avx_states = 0b110;    // XCR0: the XMM and YMM halves

bool detect_avx2() {
    if (cpuid(0, 0).eax < 7) return false;
    const CpuidWords features = cpuid(1, 0);
    if ((features.ecx & osxsave_bit) == 0 || (features.ecx & avx_bit) == 0) return false;
    if ((saved_register_states() & sse_and_avx_states) != sse_and_avx_states) return false;
    return (cpuid(7, 0).ebx & avx2_bit) != 0;
}

}  // namespace

bool processor_has_avx2() {
    static const bool has_avx2 = detect_avx2();
    return has_avx2;
}
#endif

}  // namespace kestrune::simd
