// Text helpers shared by every reader.
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <cmath>
#include <limits>
#include <system_error>

namespace molvane {

// Four eight-byte words of `s` are tested at once: long texts are mostly ASCII.
std::size_t ascii_prefix(std::string_view s) {
    std::size_t i = 0;
    for (; i + 32 <= s.size(); i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, s.data() + i, 32);
        if ((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) break;
    }
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

bool is_ascii(std::string_view s) {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        seen |= word;
    }
    for (; i < s.size(); ++i) seen |= static_cast<unsigned char>(s[i]);
    return (seen & 0x8080808080808080ULL) == 0;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = to_ascii_lower(c);
    return out;
}

bool starts_with_ascii_nocase(std::string_view s, std::string_view lower_prefix) {
    if (s.size() < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i)
        if (to_ascii_lower(s[i]) != lower_prefix[i]) return false;
    return true;
}

bool equals_ascii_nocase(std::string_view s, std::string_view lower) {
    return s.size() == lower.size() && starts_with_ascii_nocase(s, lower);
}

char32_t decode_utf8(std::string_view s, std::size_t pos, std::size_t& len) {
    unsigned char b0 = static_cast<unsigned char>(s[pos]);
    len = 1;
    if (b0 < 0x80) return b0;
    std::size_t need;
    char32_t c, min;
    if ((b0 & 0xE0) == 0xC0) { need = 1; c = b0 & 0x1F; min = 0x80; }
    else if ((b0 & 0xF0) == 0xE0) { need = 2; c = b0 & 0x0F; min = 0x800; }
    else if ((b0 & 0xF8) == 0xF0) { need = 3; c = b0 & 0x07; min = 0x10000; }
    else return 0xFFFD;
    if (s.size() - pos <= need) return 0xFFFD;
    for (std::size_t k = 1; k <= need; ++k) {
        unsigned char b = static_cast<unsigned char>(s[pos + k]);
        if ((b & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
    len = need + 1;
    return c;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_valid_utf8(std::string_view s) {
    if (is_ascii(s)) return true;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len;
        // U+FFFD written out takes three bytes; the error marker takes one.
        if (decode_utf8(s, i, len) == 0xFFFD && len == 1) return false;
        i += len;
    }
    return true;
}

bool is_unicode_space(char32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    if (c < 0x80) return c == 0x20;
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

bool take_space(std::string_view s, std::size_t& pos) {
    unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
        ++pos;
        return is_ascii_space(static_cast<char>(b));
    }
    std::size_t len;
    bool space = is_unicode_space(decode_utf8(s, pos, len));
    pos += len;
    return space;
}

// Byte length of the whitespace character ending at `end` (exclusive), or 0.
static std::size_t space_before(std::string_view s, std::size_t end) {
    // A UTF-8 character is at most four bytes; find its start.
    std::size_t start = end;
    for (std::size_t back = 1; back <= 4 && back <= end; ++back) {
        unsigned char b = static_cast<unsigned char>(s[end - back]);
        if ((b & 0xC0) != 0x80) { start = end - back; break; }
    }
    if (start == end) return 0;
    std::size_t len;
    char32_t c = decode_utf8(s, start, len);
    if (start + len != end || !is_unicode_space(c)) return 0;
    return len;
}

std::string_view trim_start(std::string_view s) {
    std::size_t pos = 0;
    for (std::size_t next = 0; next < s.size() && take_space(s, next);) pos = next;
    return s.substr(pos);
}

std::string_view trim(std::string_view s) {
    s = trim_start(s);
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t len = space_before(s, end);
        if (len == 0) break;
        end -= len;
    }
    return s.substr(0, end);
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        std::size_t end = nl;
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

namespace {

// What a byte is to the splitter: 0 an ASCII non-space, 1 an ASCII space
// (space, tab, line feed, vertical tab, form feed, carriage return), 2 a
// byte of a multi-byte character, which take_space decodes.
constexpr std::array<unsigned char, 256> byte_kinds = [] {
    std::array<unsigned char, 256> kinds{};
    for (int b = 0x80; b < 256; ++b) kinds[b] = 2;
    for (int b : {' ', '\t', '\n', '\v', '\f', '\r'}) kinds[b] = 1;
    return kinds;
}();

}  // namespace

// The general splitter: byte by byte, decoding multi-byte characters.
static void split_any_whitespace(std::string_view s, std::vector<std::string_view>& out) {
    out.clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    // True when the character at i is whitespace; i moves past it either way.
    const auto space_at = [&](std::size_t& i) {
        const unsigned char kind = byte_kinds[bytes[i]];
        if (kind == 2) return take_space(s, i);
        ++i;
        return kind == 1;
    };
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t start = i;
        if (space_at(i)) continue;
        std::size_t end = i;
        while (end < n && !space_at(i)) end = i;
        out.push_back(s.substr(start, end - start));
    }
}

namespace {

// One bit per byte of eight ASCII bytes: set for whitespace. Sets `ascii`
// to false (and returns 0) when a byte is not ASCII.
inline unsigned ascii_space_marks(std::uint64_t w, bool& ascii) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, high = 0x8080808080808080ULL;
    if (w & high) {
        ascii = false;
        return 0;
    }
    // For ASCII bytes b, (b | 0x80) - k keeps its high bit exactly when b >= k.
    const std::uint64_t space = ~(((w ^ (0x20 * ones)) | high) - ones) & high;
    const std::uint64_t from_tab = ((w | high) - 0x09 * ones) & high;
    const std::uint64_t to_return = ~((w | high) - 0x0E * ones) & high;
    return static_cast<unsigned>((((space | (from_tab & to_return)) >> 7) * 0x0102040810204080ULL) >> 56);
}

// The bytes [from, from + len) of `s` (len <= 8) as a little-endian word,
// without reading outside `s`.
inline std::uint64_t load_word(std::string_view s, std::size_t from, std::size_t len) {
    std::uint64_t w = 0;
    if (len == 8) {
        std::memcpy(&w, s.data() + from, 8);
    } else if (s.size() >= 8) {
        // The last eight bytes, shifted so that the tail comes first.
        std::memcpy(&w, s.data() + s.size() - 8, 8);
        if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
        return w >> (8 * (8 - len));
    } else {
        for (std::size_t k = 0; k < len; ++k) w |= std::uint64_t{static_cast<unsigned char>(s[from + k])} << (8 * k);
        return w;
    }
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

}  // namespace

void split_whitespace_into(std::string_view s, std::vector<std::string_view>& out) {
    // ASCII text, 64 bytes at a time: a bit per byte marks whitespace, and
    // each word runs from a mark's fall to its next rise, so the loops turn
    // once per word rather than once per byte. The first non-ASCII byte
    // hands the whole text to the general splitter.
    out.clear();
    const std::size_t n = s.size();
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t open = none;  // start of a word that runs into the next block
    bool after_space = true;
    for (std::size_t base = 0; base < n; base += 64) {
        const std::size_t block = std::min<std::size_t>(64, n - base);
        std::uint64_t marks = 0;
        bool ascii = true;
        for (std::size_t k = 0; k < block; k += 8) {
            const std::size_t len = std::min<std::size_t>(8, block - k);
            marks |= std::uint64_t{ascii_space_marks(load_word(s, base + k, len), ascii)} << k;
        }
        if (!ascii) return split_any_whitespace(s, out);
        if (block < 64) marks |= ~std::uint64_t{0} << block;  // past the end counts as whitespace
        const std::uint64_t before = (marks << 1) | (after_space ? 1 : 0);
        std::uint64_t starts = ~marks & before;
        std::uint64_t ends = marks & ~before;
        if (open != none && ends) {
            out.push_back(s.substr(open, base + static_cast<std::size_t>(std::countr_zero(ends)) - open));
            ends &= ends - 1;
            open = none;
        }
        while (starts) {
            const std::size_t from = base + static_cast<std::size_t>(std::countr_zero(starts));
            starts &= starts - 1;
            if (!ends) {
                open = from;
                break;
            }
            out.push_back(s.substr(from, base + static_cast<std::size_t>(std::countr_zero(ends)) - from));
            ends &= ends - 1;
        }
        after_space = (marks >> 63) != 0;
    }
    if (open != none) out.push_back(s.substr(open));
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    std::vector<std::string_view> words;
    split_whitespace_into(s, words);
    return words;
}

std::string_view strip_quotes(std::string_view s) {
    for (char quote : {'\'', '"'}) {
        while (!s.empty() && s.front() == quote) s.remove_prefix(1);
        while (!s.empty() && s.back() == quote) s.remove_suffix(1);
    }
    return s;
}

namespace {

// Eight bytes of digit values 0-9, the first in the lowest byte, as the
// number they spell.
inline std::uint64_t eight_digits(std::uint64_t d) {
    d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFULL;
    d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFULL;
    return (d * 10000 + (d >> 32)) & 0xFFFFFFFFULL;
}

// Reads the run of digits at `p` into w (w * 10 + digit for each) and counts
// them in `digits`; null when the count would pass 19, which could overflow
// w. Eight bytes are looked at a time while eight remain: the first byte
// that is no digit is the lowest flagged one, since neither the carries of
// the addition nor the borrows of the subtraction reach a byte above a
// digit from below.
inline const char* read_digit_run(const char* p, const char* end, std::uint64_t& w, unsigned& digits) {
    static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    constexpr std::uint64_t zeros = 0x3030303030303030ULL, high = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        const std::uint64_t flags = ((word + 0x4646464646464646ULL) | (word - zeros)) & high;
        const unsigned k = flags ? static_cast<unsigned>(std::countr_zero(flags)) / 8 : 8;
        if (digits + k > 19) return nullptr;
        if (k == 0) return p;
        // The k digits moved to the top bytes, zeros below them.
        w = w * scale[k] + eight_digits((word - zeros) << (8 * (8 - k)));
        digits += k;
        p += k;
        if (k < 8) return p;
    }
    for (; p < end && is_ascii_digit(*p); ++p) {
        if (digits == 19) return nullptr;
        w = w * 10 + static_cast<std::uint64_t>(*p - '0');
        ++digits;
    }
    return p;
}

}  // namespace

// Clinger's fast path: a number of the grammar whose digits, read as one
// integer w, stay within 2^53 and whose decimal exponent e lies within
// +-22 is w * 10^e or w / 10^-e, and as both operands are exact doubles the
// one operation rounds correctly.
const char* scan_small_decimal(const char* p, const char* end, double& out) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    std::uint64_t w = 0;
    unsigned digits = 0;
    p = read_digit_run(p, end, w, digits);
    if (!p) return nullptr;
    long exponent = 0;
    if (p < end && *p == '.') {
        const unsigned before = digits;
        p = read_digit_run(p + 1, end, w, digits);
        if (!p) return nullptr;
        exponent = -static_cast<long>(digits - before);
    }
    if (digits == 0) return nullptr;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool exp_negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* exp_start = p;
        long e = 0;
        for (; p < end && is_ascii_digit(*p); ++p) {
            if (p - exp_start == 4) return nullptr;
            e = e * 10 + (*p - '0');
        }
        if (p == exp_start) return nullptr;
        exponent += exp_negative ? -e : e;
    }
    if (w > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return nullptr;
    const double value = static_cast<double>(w);
    out = exponent < 0 ? value / powers[-exponent] : value * powers[exponent];
    if (negative) out = -out;
    return p;
}

namespace {

// A whole token of the fast path; false for every other token.
bool small_decimal(std::string_view t, double& out) {
    const char* end = t.data() + t.size();
    const char* stop = scan_small_decimal(t.data(), end, out);
    return stop && stop == end;  // an empty view may have no data at all
}

// Tokens that small_decimal does not take. Other plain numbers
// ("1.2345678901234567890", "3e-300") go straight to from_chars: given a
// first character that is a digit or a point, it takes the whole token
// exactly when the grammar does. Everything else takes the full path.
std::optional<double> other_decimal(std::string_view text) {
    {
        const std::size_t first = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
        if (first < text.size() && (is_ascii_digit(text[first]) || text[first] == '.')) {
            double value = 0.0;
            const char* end = text.data() + text.size();
            auto [stop, ec] = std::from_chars(text.data() + first, end, value, std::chars_format::general);
            if (ec == std::errc() && stop == end) return text[0] == '-' ? -value : value;
        }
    }
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::string_view body = text.substr(pos);
    if (equals_ascii_nocase(body, "inf") || equals_ascii_nocase(body, "infinity")) {
        double inf = std::numeric_limits<double>::infinity();
        return negative ? -inf : inf;
    }
    if (equals_ascii_nocase(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

    // Mantissa: digits with an optional point, at least one digit in all.
    std::size_t int_digits = 0, frac_digits = 0;
    long long first_nonzero_exp = 0;  // decimal exponent of the leading nonzero digit + 1
    bool seen_nonzero = false;
    while (pos < text.size() && is_ascii_digit(text[pos])) {
        if (seen_nonzero) ++first_nonzero_exp;
        else if (text[pos] != '0') { seen_nonzero = true; first_nonzero_exp = 1; }
        ++int_digits;
        ++pos;
    }
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        long long zeros = 0;
        while (pos < text.size() && is_ascii_digit(text[pos])) {
            if (!seen_nonzero) {
                if (text[pos] != '0') { seen_nonzero = true; first_nonzero_exp = -zeros; }
                else ++zeros;
            }
            ++frac_digits;
            ++pos;
        }
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    long long exponent = 0;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        bool exp_negative = false;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            exp_negative = text[pos] == '-';
            ++pos;
        }
        std::size_t exp_digits = 0;
        while (pos < text.size() && is_ascii_digit(text[pos])) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[pos] - '0');
            ++exp_digits;
            ++pos;
        }
        if (exp_digits == 0) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (pos != text.size()) return std::nullopt;

    // from_chars takes no leading '+'; the sign is applied afterwards.
    std::string_view digits = text.substr(text.size() - body.size());
    double value = 0.0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Out of range only when the value is nonzero: too large or too small.
        value = (first_nonzero_exp + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
    if (double value; small_decimal(text, value)) return value;
    return other_decimal(text);
}

bool parse_decimal_to(std::string_view text, double& out) {
    if (small_decimal(text, out)) return true;
    auto value = other_decimal(text);
    if (value) out = *value;
    return value.has_value();
}

Result<double> parse_f64(std::string_view token) {
    if (double value; small_decimal(token, value)) return value;
    if (auto value = other_decimal(token)) return *value;
    return fail("expected a number, found '", token, "'");
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
    std::size_t pos = 0;
    if (!text.empty() && text[0] == '+') pos = 1;
    if (pos == text.size()) return std::nullopt;
    std::uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (!is_ascii_digit(c)) return std::nullopt;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
        value = value * 10 + d;
    }
    return value;
}

std::string format_fixed4(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 4);
    if (ec != std::errc()) return "NaN";
    return std::string(buf, end);
}

}  // namespace molvane

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace molvane {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r returns the text (possibly a static string, not buf).
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Result<InputFile> InputFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail("file name contained an unexpected NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(os_error_text(errno));
    // Files are read front to back: a longer read-ahead keeps the disk busy
    // while the reader works (a hint; failure changes nothing).
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return InputFile(fd);
}

Result<bool> InputFile::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(os_error_text(EINVAL));
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(os_error_text(errno));
    return true;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> InputFile::read(char* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return fail(os_error_text(errno));
    }
}

std::size_t InputFile::size_hint() const {
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        return static_cast<std::size_t>(info.st_size);
    return 0;
}

FileIdentity InputFile::identity() const {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return {};
    const std::int64_t ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    return {S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0, ns,
            static_cast<std::uint64_t>(info.st_ino)};
}

Result<std::string> read_text_file(const std::string& path) {
    auto file = InputFile::open(path);
    if (!file) return std::move(file).error();
    std::string data;
    data.reserve(file->size_hint());
    char chunk[65536];
    for (;;) {
        auto got = file->read(chunk, sizeof chunk);
        if (!got) return std::move(got).error();
        if (*got == 0) break;
        data.append(chunk, *got);
    }
    if (!is_valid_utf8(data)) return fail("stream did not contain valid UTF-8");
    return data;
}

}  // namespace molvane
