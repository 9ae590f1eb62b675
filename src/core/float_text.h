// The float syntax of incrbyfloat, shared by the store (stored values) and
// the command layer (operands).
#pragma once

#include <string>
#include <string_view>

namespace mevora {

// Reads a float: the whole text is one finite decimal or exponent number
// (no spaces, no sign '+', no "inf" or "nan", nothing out of range).
bool parse_float(std::string_view text, double& out);

// The shortest text that reads back as exactly v ("3", "0.1", "1e+300"):
// the fixed or the exponent form, whichever is shorter (fixed on a tie; a
// whole number in fixed form shows its exact digits); zero is "0", never
// "-0".
std::string float_text(double v);

}  // namespace mevora
