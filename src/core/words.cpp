// Whitespace splitting with an ASCII fast path.
#include "core/words.hpp"

#include "core/text.hpp"  // for is_unicode_space, decode_utf8

namespace molvane {

namespace {

// True when the character at s[i] is whitespace; `i` moves past it either way.
inline bool take_space(std::string_view s, std::size_t& i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        ++i;
        return b == ' ' || static_cast<unsigned>(b - 0x09) < 5u;
    }
    std::size_t len;
    const bool space = is_unicode_space(decode_utf8(s, i, len));
    i += len;
    return space;
}

}  // namespace

void split_whitespace_into(std::string_view s, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        std::size_t start = i;
        if (take_space(s, i)) continue;
        std::size_t end = i;
        while (end < n && !take_space(s, i)) end = i;
        out.push_back(s.substr(start, end - start));
    }
}

}  // namespace molvane
