// The individual implementations behind next_pair_candidate, named so that a check
// program can compare every path this machine can run against the portable one.
// Callers use pair_scan.hpp.
#pragma once

#include "simd/pair_scan.hpp"

#include "simd/processor.hpp"

namespace kestrune::simd::pair_scan_paths {

using PairScan = std::size_t (*)(const std::uint8_t* data, std::size_t from, std::size_t end,
                                 const BytePair& pair);

std::size_t next_pair_portable(const std::uint8_t* data, std::size_t from, std::size_t end,
                               const BytePair& pair);
#if defined(KESTRUNE_VECTOR_X86)
std::size_t next_pair_sse2(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
// Only to be called where processor_has_avx2() holds.
std::size_t next_pair_avx2(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
#elif defined(KESTRUNE_VECTOR_NEON)
std::size_t next_pair_neon(const std::uint8_t* data, std::size_t from, std::size_t end,
                           const BytePair& pair);
#endif

}  // namespace kestrune::simd::pair_scan_paths
