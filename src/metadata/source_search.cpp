#include "metadata/source_search.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrune::metadata {

namespace {

// A chunk this large already reads at full speed; the cap keeps chunk plus
// overlap far from overflowing.
constexpr std::size_t max_chunk_size = std::size_t{1} << 30;

// The first aligned match in `bytes`, which begin at absolute offset `base`.
// memchr finds candidates for the first byte at memory speed; the rest is compared
// only there.
std::optional<std::size_t> find_in(std::span<const std::uint8_t> bytes,
                                   std::span<const std::uint8_t> pattern, std::uint64_t base,
                                   std::uint64_t alignment) {
    if (bytes.size() < pattern.size()) return std::nullopt;
    const std::uint8_t* data = bytes.data();
    const std::size_t last_start = bytes.size() - pattern.size();
    for (std::size_t from = 0; from <= last_start;) {
        const void* hit = std::memchr(data + from, pattern[0], last_start - from + 1);
        if (!hit) return std::nullopt;
        const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if ((base + at) % alignment == 0 &&
            std::memcmp(data + at + 1, pattern.data() + 1, pattern.size() - 1) == 0) {
            return at;
        }
        from = at + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> find_pattern(const ByteSource& source,
                                          std::span<const std::uint8_t> pattern, std::uint64_t limit,
                                          std::uint64_t alignment, std::size_t chunk_size) {
    if (pattern.empty() || alignment == 0) return std::nullopt;
    const std::size_t chunk = std::clamp<std::size_t>(chunk_size, 1, max_chunk_size);
    const std::size_t overlap = pattern.size() - 1;
    std::vector<std::uint8_t> buffer;
    std::uint64_t base = 0;
    while (base < limit && limit - base >= pattern.size()) {
        const auto width = static_cast<std::size_t>(std::min<std::uint64_t>(limit - base, chunk + overlap));
        buffer.resize(width);
        const auto got = source.read_at(base, buffer);
        if (!got) return std::nullopt;
        if (const auto at = find_in(std::span(buffer).first(*got), pattern, base, alignment)) {
            return base + *at;
        }
        // A short read means the file ended early (it shrank during the call).
        if (*got < width || limit - base <= chunk) return std::nullopt;
        base += chunk;
    }
    return std::nullopt;
}

}  // namespace kestrune::metadata
