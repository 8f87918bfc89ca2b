// The one decimal-number grammar, unsigned counts and fixed four-decimal formatting.
#include "core/number.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <cmath>
#include <limits>
#include <system_error>

#include "core/text.hpp"  // for trim and the ASCII tests

namespace molvane {

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
