#include "metadata/decimal_literal.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace kestrune::metadata {

namespace {

// Exponents and digit counts are capped here; any value this far out is already
// infinity or zero, so the cap changes no result and keeps the sums from overflowing.
constexpr std::int64_t count_cap = 1'000'000'000'000'000;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != word[i]) return false;
    }
    return true;
}

constexpr std::int64_t capped_step(std::int64_t count, std::int64_t digit) {
    return count < count_cap ? count * 10 + digit : count;
}

// Matches digits with at most one point and at least one digit, then an optional
// exponent, over the whole of `text` (its sign already removed). Returns the
// decimal exponent of the first significant digit, which tells a value too large
// from one too small when the conversion is out of range.
std::optional<std::int64_t> match_decimal(std::string_view text) {
    std::size_t i = 0;
    bool any_digit = false, seen_point = false, seen_nonzero = false;
    std::int64_t integer_digits = 0;  // significant digits before the point
    std::int64_t fraction_zeros = 0;  // zeros after the point before the first non-zero digit
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !seen_point) {
            seen_point = true;
            continue;
        }
        if (!is_digit(c)) break;
        any_digit = true;
        seen_nonzero = seen_nonzero || c != '0';
        if (!seen_point && seen_nonzero && integer_digits < count_cap) ++integer_digits;
        if (seen_point && !seen_nonzero && fraction_zeros < count_cap) ++fraction_zeros;
    }
    if (!any_digit) return std::nullopt;

    std::int64_t exponent = 0;
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        const std::size_t exponent_start = i;
        for (; i < text.size() && is_digit(text[i]); ++i) exponent = capped_step(exponent, text[i] - '0');
        if (i == exponent_start || i != text.size()) return std::nullopt;
        if (negative) exponent = -exponent;
    }
    const std::int64_t first_digit = integer_digits > 0 ? integer_digits - 1 : -(fraction_zeros + 1);
    return first_digit + exponent;
}

}  // namespace

std::optional<double> parse_decimal_literal(std::string_view text) {
    std::string_view body = text;
    const bool negative = !body.empty() && body.front() == '-';
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);

    double value = 0.0;
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        const auto magnitude = match_decimal(body);
        if (!magnitude) return std::nullopt;
        // Only the literal the grammar accepted reaches the converter, which reads
        // it the same way in every locale.
        const auto result = std::from_chars(body.data(), body.data() + body.size(), value,
                                            std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range) {
            // Rounded to nearest, a value too large is infinity and one too small zero.
            value = *magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
            return std::nullopt;
        }
    }
    return negative ? -value : value;
}

}  // namespace kestrune::metadata
