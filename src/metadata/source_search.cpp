#include "metadata/source_search.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrune::metadata {

namespace {

// A chunk this large already reads at full speed; the cap keeps chunk plus
// overlap far from overflowing.
constexpr std::size_t max_chunk_size = std::size_t{1} << 30;

// The pattern byte that memchr looks for: the last one that is not NUL. The markers
// are ASCII or UTF-16 text whose every other byte is NUL, and their first letter is
// a capital: 'C' (0x43) is the top byte of most float32 m/z values, so a search on
// it stops every few records of peak data, while a lower-case letter near the
// marker's end is rare in binary data.
std::size_t anchor_of(std::span<const std::uint8_t> pattern) {
    for (std::size_t i = pattern.size(); i-- > 0;) {
        if (pattern[i] != 0) return i;
    }
    return 0;
}

// The first aligned match in `bytes`, which begin at absolute offset `base`.
// memchr finds candidates for the anchor byte at memory speed; the whole pattern
// is compared only there.
std::optional<std::size_t> find_in(std::span<const std::uint8_t> bytes,
                                   std::span<const std::uint8_t> pattern, std::uint64_t base,
                                   std::uint64_t alignment) {
    if (bytes.size() < pattern.size()) return std::nullopt;
    const std::uint8_t* data = bytes.data();
    const std::size_t anchor = anchor_of(pattern);
    const std::size_t last_start = bytes.size() - pattern.size();
    for (std::size_t from = 0; from <= last_start;) {
        // Candidate starts from..last_start put the anchor in [from + anchor, last_start + anchor].
        const void* hit = std::memchr(data + from + anchor, pattern[anchor], last_start - from + 1);
        if (!hit) return std::nullopt;
        const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) - anchor;
        if ((base + at) % alignment == 0 && std::memcmp(data + at, pattern.data(), pattern.size()) == 0) {
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
