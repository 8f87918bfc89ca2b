// Element symbols.
#include "core/elements.hpp"

#include <algorithm>

#include "core/text.hpp"  // for is_ascii_letter

namespace molvane {

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }

}  // namespace

bool is_element_symbol(std::string_view symbol) {
    return std::find(element_symbols.begin(), element_symbols.end(), symbol) != element_symbols.end();
}

std::optional<std::string> element_from_text(std::string_view text) {
    if (text.empty() || !is_ascii_letter(text[0])) return std::nullopt;
    if (text.size() > 1 && is_ascii_letter(text[1])) {
        std::string two{upper(text[0]), lower(text[1])};
        if (is_element_symbol(two)) return two;
    }
    std::string one(1, upper(text[0]));
    if (is_element_symbol(one) && !(text.size() > 1 && is_lower(text[1]))) return one;
    return std::nullopt;
}

std::string clean_symbol(std::string_view token) {
    if (token.empty() || !is_ascii_letter(token[0])) return std::string(token);
    std::string symbol(1, upper(token[0]));
    if (token.size() > 1 && is_lower(token[1])) symbol.push_back(token[1]);
    return symbol;
}

}  // namespace molvane
