// Text helpers shared by every reader: ASCII and UTF-8, Unicode whitespace,
// trimming and splitting, quotes, the one decimal-number grammar, fixed
// four-decimal formatting and reading files.
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

namespace molvane {

// The system's description of an error number followed by " (os error N)",
// as in "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// What tells one state of a file from another for a reader that comes back
// to it later: its size (0 when not a regular file), modification time in
// nanoseconds and inode. Rewriting the file changes the time, replacing it
// the inode.
struct FileIdentity {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A file open for reading, closed when the object goes. Opening and reading
// retry when a signal interrupts them. Failure descriptions: os_error_text of
// the failing call, or "file name contained an unexpected NUL byte".
class InputFile {
public:
    static Result<InputFile> open(const std::string& path);
    InputFile(InputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    InputFile& operator=(InputFile&&) = delete;
    ~InputFile();

    // Up to `size` bytes into `buffer`; 0 at the end of the file.
    Result<std::size_t> read(char* buffer, std::size_t size);
    // Moves the read position to `offset` bytes from the start.
    Result<bool> seek(std::uint64_t offset);
    // The size of a regular file, else 0 (a hint for reserving).
    std::size_t size_hint() const;
    // The identity of the open file (all zero when it cannot be had).
    FileIdentity identity() const;

private:
    explicit InputFile(int fd) : fd_(fd) {}
    int fd_;
};

// Reads a whole file as UTF-8 text. Failure descriptions: os_error_text of the
// failing call, "stream did not contain valid UTF-8", or "file name contained
// an unexpected NUL byte".
Result<std::string> read_text_file(const std::string& path);

}  // namespace molvane
