// Per-scan answers from the scan caches: entry scan - 1, or the cache's default.
#pragma once

#include <cstdint>
#include <vector>

#include "reader/format.hpp"

namespace kestrune::reader {

template <class T>
T cache_entry(const std::vector<T>& cache, std::uint32_t scan_number) {
    const std::uint64_t index = scan_index(scan_number);
    return index < cache.size() ? cache[index] : T{};
}

}  // namespace kestrune::reader
