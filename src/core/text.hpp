// Text helpers shared by every reader: ASCII and UTF-8, Unicode whitespace,
// trimming and splitting, quotes. Numbers are in number.hpp, files in file.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace molvane {

// ASCII tests and case changes; every other byte is left as it is.
inline bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_ascii_lower(char c) { return c >= 'a' && c <= 'z'; }
inline bool is_ascii_letter(char c) { return is_ascii_upper(c) || is_ascii_lower(c); }
inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
// The ASCII members of Unicode whitespace: space, tab, LF, VT, FF, CR.
inline bool is_ascii_space(char c) { return c == ' ' || static_cast<unsigned char>(c - 0x09) < 5u; }
inline char to_ascii_upper(char c) { return is_ascii_lower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
inline char to_ascii_lower(char c) { return is_ascii_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// True when no byte has its high bit set.
bool is_ascii(std::string_view text);
// The number of leading bytes without the high bit set.
std::size_t ascii_prefix(std::string_view text);

// Copy with ASCII A-Z turned into a-z; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// `text` equals, or starts with, a lower-case ASCII word when its ASCII
// upper-case letters are lower-cased ("LOOP_" matches "loop_").
bool equals_ascii_nocase(std::string_view text, std::string_view lower);
bool starts_with_ascii_nocase(std::string_view text, std::string_view lower_prefix);

// Decodes the UTF-8 scalar starting at text[pos]; sets `len` to its byte
// length. Invalid bytes (a bad or cut sequence, an overlong form, a
// surrogate, a value above U+10FFFF) decode as U+FFFD with length 1.
char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t& len);

// Appends the UTF-8 form of the scalar `c`.
void append_utf8(std::string& out, char32_t c);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// True for code points with the Unicode White_Space property.
bool is_unicode_space(char32_t c);

// True when the character at text[pos] is whitespace; `pos` moves past it
// either way.
bool take_space(std::string_view text, std::size_t& pos);

// Removes leading and trailing Unicode whitespace.
std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);

// Splits at "\n", dropping one "\r" before each "\n". A final line without
// "\n" counts; no empty line follows a final "\n".
std::vector<std::string_view> split_lines(std::string_view text);

// Whitespace-separated words (Unicode whitespace, no empty words).
std::vector<std::string_view> split_whitespace(std::string_view text);
// The same into `out` (cleared first), reusing its storage.
void split_whitespace_into(std::string_view text, std::vector<std::string_view>& out);

// Every leading and trailing "'" removed, then every leading and trailing '"'.
std::string_view strip_quotes(std::string_view text);

}  // namespace molvane
