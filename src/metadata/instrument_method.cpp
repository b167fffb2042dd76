#include "metadata/instrument_method.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "io/byte_window.hpp"
#include "metadata/unicode.hpp"

namespace kestrune::metadata {

namespace {

constexpr std::array<std::uint8_t, 5> declaration = {'<', '?', 'x', 'm', 'l'};
constexpr std::uint64_t search_limit = std::uint64_t{4} << 20;
constexpr std::uint64_t window_width = 200'000;
// The method element's end wins over the data block's, wherever each stands.
constexpr std::array<std::string_view, 2> end_markers = {"</InstrumentMethod>", "</CmData>"};

// The window cut after the first end marker found, or whole when it holds none.
std::string_view cut_at_end_marker(std::string_view window) {
    for (const std::string_view marker : end_markers) {
        if (const auto at = window.find(marker); at != std::string_view::npos) {
            return window.substr(0, at + marker.size());
        }
    }
    return window;
}

}  // namespace

std::string instrument_method(const io::ByteSource& source, std::size_t chunk_size) {
    const auto length = source.length();
    if (!length) return {};
    const std::uint64_t limit = std::min(*length, search_limit);
    const auto start = io::find_pattern(source, declaration, limit, 1, chunk_size);
    if (!start) return {};
    // The window stops at the end of the file, or where a file that shrank now ends.
    const auto window = io::read_window(source, *start, std::min(*length - *start, window_width));
    if (!window) return {};
    const auto bytes = window->slice(window->start(), window->size());
    if (!is_valid_utf8(bytes)) return {};
    return std::string(
        cut_at_end_marker(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

}  // namespace kestrune::metadata
