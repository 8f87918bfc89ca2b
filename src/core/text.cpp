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

}  // namespace molvane
