// The number syntaxes of stored values: integer counters and
// floating-point amounts, as the counter operations read and write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mevora {

// The counter syntax: an optional '-', one or more ASCII digits, nothing
// else, within the signed 64-bit range. Leading zeros are accepted.
bool parse_counter(std::string_view text, std::int64_t& out);

// A floating-point amount: an optional sign, then decimal digits with an
// optional fraction and exponent, no spaces, nothing else; NaN and
// infinities are refused, so is a value outside the double range (too
// large, or so small it would read as 0).
std::optional<double> parse_float_text(std::string_view text);

// The shortest text that reads back as exactly v (v finite): plain
// decimal digits when that is as short as the exponent form ("3", "0.1",
// "1.5e+300").
std::string float_text(double v);

}  // namespace mevora
