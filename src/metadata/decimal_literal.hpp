// The number grammar of trailer text fields: a decimal floating-point literal
// (optional sign, digits with at most one point, optional exponent) or one of the
// words inf, infinity and nan in any letter case.
#pragma once

#include <optional>
#include <string_view>

namespace kestrune::metadata {

// The nearest double to `text` when the whole of it is one literal of the
// grammar; nullopt for anything else (hex forms, a lone point, a bare exponent,
// a second point, trailing characters, NUL included).
std::optional<double> parse_decimal_literal(std::string_view text);

}  // namespace kestrune::metadata
