#include "metadata/unicode.hpp"

namespace kestrune::metadata {

namespace {

constexpr bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The length of the sequence that `lead` starts and the range its second byte
// must fall in; the narrowed ranges exclude overlong forms, surrogates and values
// above U+10FFFF. Length 0 for a byte that cannot start a sequence.
struct LeadRule {
    std::size_t length;
    std::uint8_t second_low;
    std::uint8_t second_high;
};

constexpr LeadRule lead_rule(std::uint8_t lead) {
    if (lead < 0x80) return {1, 0, 0};
    if (lead < 0xC2) return {0, 0, 0};
    if (lead < 0xE0) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead < 0xF0) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead < 0xF4) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Decodes the scalar value of the sequence starting at text[at]. A byte that does
// not start a whole sequence decodes as itself (never white space), so a caller
// handing in text that is not UTF-8 gets no read past its end.
char32_t decode_at(std::string_view text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    length = lead_rule(lead).length;
    if (length == 0 || length > text.size() - at) {
        length = 1;
        return lead;
    }
    if (length == 1) return lead;
    char32_t scalar = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        scalar = (scalar << 6) | (static_cast<std::uint8_t>(text[at + i]) & 0x3F);
    }
    return scalar;
}

// The White_Space characters of Unicode (NUL and U+001C to U+001F are not).
constexpr bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

constexpr bool is_high_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const LeadRule rule = lead_rule(bytes[i]);
        if (rule.length == 0 || bytes.size() - i < rule.length) return false;
        if (bytes[i + 1] < rule.second_low || bytes[i + 1] > rule.second_high) return false;
        for (std::size_t k = 2; k < rule.length; ++k) {
            if (!is_continuation(bytes[i + k])) return false;
        }
        i += rule.length;
    }
    return true;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 0;
        if (!is_white_space(decode_at(text, begin, length))) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && is_continuation(static_cast<std::uint8_t>(text[start]))) --start;
        std::size_t length = 0;
        if (!is_white_space(decode_at(text, start, length))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

void append_utf8(std::string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out.push_back(static_cast<char>(scalar));
    } else if (scalar < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else if (scalar < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    }
}

void Utf16Decoder::feed(std::uint16_t unit) {
    // Once invalid, the text is dropped whole: stop growing it.
    if (invalid_) return;
    if (pending_high_ != 0) {
        if (!is_low_surrogate(unit)) {
            invalid_ = true;
            return;
        }
        const char32_t scalar = 0x10000 + ((char32_t(pending_high_) - 0xD800) << 10) + (unit - 0xDC00);
        pending_high_ = 0;
        append_utf8(text_, scalar);
    } else if (is_high_surrogate(unit)) {
        pending_high_ = unit;
    } else if (is_low_surrogate(unit)) {
        invalid_ = true;
    } else {
        append_utf8(text_, unit);
    }
}

bool Utf16Decoder::finish(std::string& out) {
    const bool valid = !invalid_ && pending_high_ == 0;
    if (valid) out = std::move(text_);
    reset();
    return valid;
}

void Utf16Decoder::reset() {
    text_.clear();
    pending_high_ = 0;
    invalid_ = false;
}

}  // namespace kestrune::metadata
