// The individual implementations behind next_pair_candidate, named so that a check
// program can compare every path this machine can run against the portable one.
// Callers use pair_scan.hpp.
#pragma once

#include "metadata/pair_scan.hpp"

#if defined(__x86_64__) && defined(__SSE2__)
#define KESTRUNE_PAIR_SCAN_X86 1
#elif defined(__aarch64__) && defined(__AARCH64EL__) && defined(__ARM_NEON)
#define KESTRUNE_PAIR_SCAN_NEON 1
#endif

namespace kestrune::metadata::pair_scan_paths {

using PairScan = std::size_t (*)(const std::uint8_t* data, std::size_t from, std::size_t end,
                                 const BytePair& pair);

std::size_t next_pair_portable(const std::uint8_t* data, std::size_t from, std::size_t end,
                               const BytePair& pair);
#if defined(KESTRUNE_PAIR_SCAN_X86)
std::size_t next_pair_sse2(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
// Only to be called where processor_has_avx2() holds.
std::size_t next_pair_avx2(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
#elif defined(KESTRUNE_PAIR_SCAN_NEON)
std::size_t next_pair_neon(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
#endif

}  // namespace kestrune::metadata::pair_scan_paths
