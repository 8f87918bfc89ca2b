// Text helpers shared by every reader: Unicode whitespace, trimming, line
// splitting, the one decimal-number grammar and fixed four-decimal formatting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace molvane {

// True for code points with the Unicode White_Space property.
bool is_unicode_space(char32_t c);

// Decodes the UTF-8 scalar starting at text[pos]; sets `len` to its byte
// length. Invalid bytes decode as U+FFFD with length 1.
char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t& len);

// Removes leading and trailing Unicode whitespace.
std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);

// Splits at "\n", dropping one "\r" before each "\n". A final line without
// "\n" counts; no empty line follows a final "\n".
std::vector<std::string_view> split_lines(std::string_view text);

// Whitespace-separated words (Unicode whitespace, no empty words).
std::vector<std::string_view> split_whitespace(std::string_view text);

// The decimal grammar: optional sign, digits with an optional point (at least
// one digit), optional exponent; or inf / infinity / nan in any case. No
// surrounding whitespace is accepted. Correctly rounded.
std::optional<double> parse_decimal(std::string_view text);

// parse_decimal of an untrimmed token; fails with "expected a number, found '<token>'".
Result<double> parse_f64(std::string_view token);

// True for ASCII A-Z and a-z.
inline bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Unsigned count: optional "+" then ASCII digits, value within 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view text);

// Exactly four digits after the point, rounded from the exact binary value,
// ties to even; "NaN", "inf" and "-inf" for the special values.
std::string format_fixed4(double value);

// Copy with ASCII A-Z turned into a-z; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace molvane

namespace molvane {

// The system's description of an error number followed by " (os error N)",
// as in "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// Reads a whole file as UTF-8 text. Failure descriptions: os_error_text of the
// failing call, "stream did not contain valid UTF-8", or "file name contained
// an unexpected NUL byte".
Result<std::string> read_text_file(const std::string& path);

}  // namespace molvane
