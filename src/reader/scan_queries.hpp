// Per-scan answers from the scan caches: entry scan - 1, or the cache's default.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrune {

// Scan numbers are 1-based; the index is taken in 64 bits so scan 0 lies beyond
// every cache instead of wrapping to the last scan.
template <class T>
T cache_entry(const std::vector<T>& cache, std::uint32_t scan_number) {
    const std::uint64_t index = static_cast<std::uint64_t>(scan_number) - 1;
    return index < cache.size() ? cache[index] : T{};
}

}  // namespace kestrune
