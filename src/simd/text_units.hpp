// Finding the next 16-bit unit of a text-run scan that falls in a range of values:
// the step that passes over control units, zeros and binary data between the texts
// of the status log and the error log. It has vector paths on x86-64 (SSE2, and
// AVX2 where the processor has it) and little-endian Arm64 (NEON), and a portable
// one elsewhere; every path gives the same answer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::simd {

// The unit values [low, high] a scan looks for.
struct UnitRange {
    std::uint16_t low;
    std::uint16_t high;
};

// The smallest index i in [from, end) whose little-endian unit, bytes 2i and 2i+1 of
// `units`, lies in `range`, or `end` when there is none. Reads only bytes 2*from to
// 2*end - 1.
std::size_t next_unit_in_range(const std::uint8_t* units, std::size_t from, std::size_t end,
                               UnitRange range);

}  // namespace kestrune::simd
