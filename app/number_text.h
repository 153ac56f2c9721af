#pragma once

#include <string>
#include <string_view>

namespace pelvane {

// Text of the form's numeric boxes, in both directions. The parsers accept
// optional blanks (spaces and tabs), then the value, then optional blanks.
// An empty text does not parse, and a text whose value is zero parses only
// when it starts (after the blanks) with the digit 0, so "-0" and ".0" are
// refused. On failure `value` is left untouched.

// An optional sign and decimal digits; refused when outside 32-bit range.
bool parse_integer(std::string_view text, int& value);

// An optional sign, digits with an optional point (".5" and "5." included)
// and an optional exponent; refused when the value is beyond double range.
bool parse_number(std::string_view text, double& value);

// Plain decimal.
std::string format_integer(int value);

// Shortest general notation with at most 15 significant digits, so 255.0
// shows as "255" and 0.1 as "0.1".
std::string format_number(double value);

}  // namespace pelvane
