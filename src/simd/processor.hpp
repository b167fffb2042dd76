// What the processor running this code supports, for the loops that have faster
// paths on some processors: the vector instruction set the build targets, and what
// the processor adds at run time (asked once per process).
#pragma once

// Vector paths are built for x86-64 (SSE2 is part of it) and little-endian Arm64.
// Their functions use GNU attributes (target, vector_size): GCC and Clang, including
// clang-cl on Windows, build them; MSVC's own compiler is not supported.
#if defined(__x86_64__) && defined(__SSE2__)
#define KESTRUNE_VECTOR_X86 1
#elif defined(__aarch64__) && defined(__AARCH64EL__) && defined(__ARM_NEON)
#define KESTRUNE_VECTOR_NEON 1
#endif

namespace kestrune::simd {

#if defined(KESTRUNE_VECTOR_X86)
// True when the processor has AVX2 and the system saves its registers.
bool processor_has_avx2();
#endif

}  // namespace kestrune::simd
