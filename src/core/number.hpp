// The one decimal-number grammar shared by every reader, unsigned counts, and
// amounts written with four decimals as messages show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace molvane {

// The decimal grammar: optional sign, digits with an optional point (at least
// one digit), optional exponent; or inf / infinity / nan in any case. No
// surrounding whitespace is accepted. Correctly rounded.
std::optional<double> parse_decimal(std::string_view text);

// parse_decimal into `out`; false (and `out` unspecified) when the text is
// no number. The form for loops over many numbers.
bool parse_decimal_to(std::string_view text, double& out);

// Reads a number of the decimal grammar from `p` on, as far as it goes,
// when its digits fit in 53 bits and its exponent within +-22 (the forms
// files mostly hold): the value goes to `out` and the byte after the number
// is returned. Null for every other start, which parse_decimal decides.
const char* scan_small_decimal(const char* p, const char* end, double& out);

// parse_decimal of an untrimmed token; fails with "expected a number, found '<token>'".
Result<double> parse_f64(std::string_view token);

// Unsigned count: optional "+" then ASCII digits, value within 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view text);

// Exactly four digits after the point, rounded from the exact binary value,
// ties to even; "NaN", "inf" and "-inf" for the special values.
std::string format_fixed4(double value);

}  // namespace molvane
