// The individual implementations behind next_unit_in_range, named so that a check
// program can compare every path this machine can run against the portable one.
// Callers use text_units.hpp.
#pragma once

#include "simd/text_units.hpp"

#include "simd/processor.hpp"

namespace kestrune::simd::text_units_paths {

using UnitScan = std::size_t (*)(const std::uint8_t* units, std::size_t from, std::size_t end,
                                 UnitRange range);

std::size_t next_unit_portable(const std::uint8_t* units, std::size_t from, std::size_t end,
                               UnitRange range);
#if defined(KESTRUNE_VECTOR_X86)
std::size_t next_unit_sse2(const std::uint8_t* units, std::size_t from, std::size_t end,
                           UnitRange range);
// Only to be called where processor_has_avx2() holds.
std::size_t next_unit_avx2(const std::uint8_t* units, std::size_t from, std::size_t end,
                           UnitRange range);
#elif defined(KESTRUNE_VECTOR_NEON)
std::size_t next_unit_neon(const std::uint8_t* units, std::size_t from, std::size_t end,
                           UnitRange range);
#endif

}  // namespace kestrune::simd::text_units_paths
