// Strict Unicode handling for text taken from the file: UTF-8 validation as a
// strict decoder does it, the trimming of Unicode white space, and UTF-16 code
// units re-encoded as UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrune::metadata {

// True when every byte belongs to a well-formed UTF-8 sequence: no overlong forms,
// no surrogates (U+D800 to U+DFFF), nothing above U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::span<const std::uint8_t> bytes);

// `text` (valid UTF-8) without the Unicode white space at either end. NUL and the
// other control characters outside U+0009 to U+000D are kept.
std::string_view trim_white_space(std::string_view text);

// Appends the UTF-8 form of a Unicode scalar value.
void append_utf8(std::string& out, char32_t scalar);

// Turns UTF-16 code units, fed one at a time, into UTF-8. A unit sequence that
// holds an unpaired surrogate makes the whole text invalid.
class Utf16Decoder {
public:
    void feed(std::uint16_t unit);
    // The decoded text, or false when the units did not form valid UTF-16.
    bool finish(std::string& out);
    void reset();

private:
    std::string text_;
    std::uint16_t pending_high_ = 0;  // a high surrogate waiting for its low half
    bool invalid_ = false;
};

}  // namespace kestrune::metadata
