#include "io/byte_window.hpp"

#include <algorithm>

namespace kestrune::io {

std::optional<ByteWindow> read_window(const ByteSource& source, std::uint64_t offset,
                                      std::uint64_t width) {
    const auto length = source.length();
    if (!length) return std::nullopt;
    if (offset >= *length) return ByteWindow(offset, {});
    const std::uint64_t wanted = std::min(width, *length - offset);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(wanted));
    const auto got = source.read_at(offset, bytes);
    if (!got) return std::nullopt;
    bytes.resize(*got);
    return ByteWindow(offset, std::move(bytes));
}

bool window_is_complete(const ByteWindow& window, std::uint64_t offset, std::uint64_t width,
                        std::uint64_t length) {
    if (offset >= length) return true;
    return window.size() == std::min(width, length - offset);
}

}  // namespace kestrune::io
