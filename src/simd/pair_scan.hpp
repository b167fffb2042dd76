// Finding where two bytes of a marker stand at their places: the filter in front of
// every marker comparison in a whole-file search. It has vector paths on x86-64
// (SSE2, and AVX2 where the processor has it) and little-endian Arm64 (NEON), and a
// portable one elsewhere; every path gives the same answer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::simd {

// Two of a marker's bytes and their offsets from the marker's start. `anchor` should
// be the rarer one in the data searched: sparse regions are skipped on it alone.
struct BytePair {
    std::size_t anchor_offset;
    std::uint8_t anchor;
    std::size_t second_offset;
    std::uint8_t second;
};

// The smallest start p in [from, end) with data[p + anchor_offset] == anchor and
// data[p + second_offset] == second, or `end` when there is none. Reads only bytes
// below end + max(anchor_offset, second_offset) - 1.
std::size_t next_pair_candidate(const std::uint8_t* data, std::size_t from, std::size_t end,
                                const BytePair& pair);

}  // namespace kestrune::simd
