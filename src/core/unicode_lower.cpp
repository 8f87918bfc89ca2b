// Full Unicode lower-casing: simple mappings from the generated run tables
// (unicode_lower_table.cpp), the two-character mapping of U+0130 and the
// final-sigma rule.
#include "core/unicode_lower.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/text.hpp"  // for is_ascii, ascii_lower, decode_utf8, append_utf8

namespace molvane {

// ---------------------------------------------------------------------------
// Lower-casing of tags
// ---------------------------------------------------------------------------

namespace {

using unicode_data::CaseRun;

// Finds the entry of a sorted, disjoint range table holding c.
template <typename T>
const T* find_range(std::span<const T> table, char32_t c) {
    auto it = std::upper_bound(table.begin(), table.end(), c,
                               [](char32_t v, const T& r) { return v < r.first; });
    if (it == table.begin()) return nullptr;
    --it;
    return c <= it->last ? &*it : nullptr;
}

char32_t simple_lower(char32_t c) {
    if (c < 0x80) return static_cast<char32_t>(to_ascii_lower(static_cast<char>(c)));
    const CaseRun* run = find_range(unicode_data::lower_runs, c);
    if (!run || (c - run->first) % static_cast<char32_t>(run->stride) != 0) return c;
    return static_cast<char32_t>(static_cast<std::int64_t>(c) + run->delta);
}

bool is_cased(char32_t c) { return find_range(unicode_data::cased_ranges, c) != nullptr; }
bool is_case_ignorable(char32_t c) { return find_range(unicode_data::ignorable_ranges, c) != nullptr; }

}  // namespace

std::string unicode_lower(std::string_view text) {
    if (is_ascii(text)) return ascii_lower(text);
    std::vector<char32_t> chars;
    chars.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t len;
        chars.push_back(decode_utf8(text, pos, len));
        pos += len;
    }
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        char32_t c = chars[i];
        if (c == 0x130) {  // capital I with dot above: "i" + combining dot
            append_utf8(out, 0x69);
            append_utf8(out, 0x307);
            continue;
        }
        if (c == 0x3A3) {  // capital sigma: final form at the end of a word
            std::size_t k = i;
            while (k > 0 && is_case_ignorable(chars[k - 1])) --k;
            bool after_cased = k > 0 && is_cased(chars[k - 1]);
            k = i + 1;
            while (k < chars.size() && is_case_ignorable(chars[k])) ++k;
            bool before_cased = k < chars.size() && is_cased(chars[k]);
            append_utf8(out, after_cased && !before_cased ? 0x3C2 : 0x3C3);
            continue;
        }
        append_utf8(out, simple_lower(c));
    }
    return out;
}

}  // namespace molvane
