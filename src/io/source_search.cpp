#include "io/source_search.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "simd/pair_scan.hpp"

namespace kestrune::io {

namespace {

// A chunk this large already reads at full speed; the cap keeps chunk plus
// overlap far from overflowing.
constexpr std::size_t max_chunk_size = std::size_t{1} << 30;

// The two pattern bytes checked before a full comparison: the last one that is not
// NUL, and the nearest non-NUL byte before it (the same one when there is no other).
// The markers are ASCII or UTF-16 text whose every other byte is NUL, and their first
// letter is a capital: 'C' (0x43) is the top byte of most float32 m/z values, so it
// would stop the search every few records of peak data, while lower-case letters
// near the marker's end are rare in binary data and in holes.
simd::BytePair filter_of(std::span<const std::uint8_t> pattern) {
    std::size_t anchor = pattern.size();
    while (anchor > 0 && pattern[anchor - 1] == 0) --anchor;
    anchor = anchor > 0 ? anchor - 1 : 0;
    std::size_t second = anchor;
    while (second > 0 && pattern[second - 1] == 0) --second;
    second = second > 0 ? second - 1 : anchor;
    return {anchor, pattern[anchor], second, pattern[second]};
}

// The first aligned match in `bytes`, which begin at absolute offset `base`. The
// full pattern is compared only where both filter bytes stand at their places.
std::optional<std::size_t> find_in(std::span<const std::uint8_t> bytes,
                                   std::span<const std::uint8_t> pattern, std::uint64_t base,
                                   std::uint64_t alignment) {
    if (bytes.size() < pattern.size()) return std::nullopt;
    const std::uint8_t* data = bytes.data();
    const simd::BytePair filter = filter_of(pattern);
    // Every start in [0, end) leaves room for the whole pattern.
    const std::size_t end = bytes.size() - pattern.size() + 1;
    for (std::size_t from = 0; from < end;) {
        const std::size_t at = simd::next_pair_candidate(data, from, end, filter);
        if (at == end) return std::nullopt;
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
                                          std::uint64_t alignment, std::size_t chunk_size,
                                          const BetweenChunks& between_chunks) {
    if (pattern.empty() || alignment == 0) return std::nullopt;
    const std::size_t chunk = std::clamp<std::size_t>(chunk_size, 1, max_chunk_size);
    const std::size_t overlap = pattern.size() - 1;
    std::vector<std::uint8_t> buffer;
    std::uint64_t base = 0;
    while (base < limit && limit - base >= pattern.size()) {
        if (base != 0) between_chunks();
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

}  // namespace kestrune::io
