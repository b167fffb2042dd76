// Bounded reads over a whole file: a pattern search that holds one chunk at a time,
// so memory stays fixed whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "io/byte_source.hpp"

namespace kestrune::io {

// The chunk that scans over the file hold at a time.
inline constexpr std::size_t default_chunk_size = std::size_t{1} << 20;

// What a whole-file scan calls between chunks: the caller's chance to end a long
// scan, which it takes by throwing (the scan holds nothing that unwinding does not
// release). Refers to a callable that must outlive the scan; empty by default.
class BetweenChunks {
public:
    BetweenChunks() = default;
    template <class Callable>
    explicit BetweenChunks(Callable& callable)
        : call_([](void* context) { (*static_cast<Callable*>(context))(); }), context_(&callable) {}

    void operator()() const {
        if (call_) call_(context_);
    }

private:
    void (*call_)(void*) = nullptr;
    void* context_ = nullptr;
};

// The smallest offset o, a multiple of `alignment`, at which `pattern` (not empty)
// stands wholly inside [0, limit). Reads the source `chunk_size` bytes at a time,
// each chunk extended by the pattern's length less one so that a pattern crossing
// a chunk boundary is still seen. nullopt when the pattern is absent or a read
// fails: for every caller an unreadable file has no match. Calls `between_chunks`
// before each read after the first.
std::optional<std::uint64_t> find_pattern(const ByteSource& source,
                                          std::span<const std::uint8_t> pattern, std::uint64_t limit,
                                          std::uint64_t alignment, std::size_t chunk_size,
                                          const BetweenChunks& between_chunks = {});

}  // namespace kestrune::io
