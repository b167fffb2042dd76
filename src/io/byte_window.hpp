// A run of a source's bytes held in memory, and the little-endian decoding that
// every table of the file goes through.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "io/byte_source.hpp"

namespace kestrune::io {

// A run of a source's bytes beginning at an absolute offset, with loads that
// cannot read outside it. Multi-byte values are little-endian and may be unaligned.
class ByteWindow {
public:
    ByteWindow() = default;
    ByteWindow(std::uint64_t start, std::vector<std::uint8_t> bytes)
        : start_(start), bytes_(std::move(bytes)) {}

    std::uint64_t start() const { return start_; }
    std::uint64_t end() const { return start_ + bytes_.size(); }
    std::size_t size() const { return bytes_.size(); }

    // True when [offset, offset + width) lies wholly inside the window.
    bool contains(std::uint64_t offset, std::uint64_t width) const {
        return offset >= start_ && width <= bytes_.size() &&
               offset - start_ <= bytes_.size() - width;
    }

    // The bytes of [offset, offset + width), or an empty span when they are not all here.
    std::span<const std::uint8_t> slice(std::uint64_t offset, std::uint64_t width) const {
        if (!contains(offset, width)) return {};
        return std::span<const std::uint8_t>(bytes_).subspan(offset - start_, width);
    }

    template <class T>
    std::optional<T> load(std::uint64_t offset) const;

private:
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Decodes a little-endian value of type T from exactly sizeof(T) bytes. Defined here
// so that it inlines: peak extraction decodes two values per record, and on a
// little-endian host each is one unaligned load.
template <class T>
inline T decode_le(const std::uint8_t* bytes) {
    static_assert(std::is_trivially_copyable_v<T> && (sizeof(T) <= 8));
    if constexpr (std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    } else {
        using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                     std::conditional_t<sizeof(T) == 2, std::uint16_t,
                     std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
        Bits bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(Bits(bytes[i]) << (8 * i));
        return std::bit_cast<T>(bits);
    }
}

template <class T>
std::optional<T> ByteWindow::load(std::uint64_t offset) const {
    auto bytes = slice(offset, sizeof(T));
    if (bytes.empty()) return std::nullopt;
    return decode_le<T>(bytes.data());
}

// Reads [offset, offset + width) clipped to the source's length. An empty window
// when offset is at or past the end. nullopt on a read error or an unreadable source.
std::optional<ByteWindow> read_window(const ByteSource& source, std::uint64_t offset,
                                      std::uint64_t width);

// True when a window from read_window holds every byte of [offset, offset + width)
// that lies below `length`: a shortfall means the file shrank during the call.
bool window_is_complete(const ByteWindow& window, std::uint64_t offset, std::uint64_t width,
                        std::uint64_t length);

}  // namespace kestrune::io
