// Element symbols.
#include "core/elements.hpp"

#include <algorithm>

#include "core/text.hpp"  // for the ASCII tests and case changes

namespace molvane {

bool is_element_symbol(std::string_view symbol) {
    return std::find(element_symbols.begin(), element_symbols.end(), symbol) != element_symbols.end();
}

double covalent_radius(std::string_view symbol) {
    auto it = std::find(element_symbols.begin(), element_symbols.end(), symbol);
    if (it == element_symbols.end()) return 0.0;
    return element_covalent_radii[static_cast<std::size_t>(it - element_symbols.begin())];
}

std::optional<std::string> element_from_text(std::string_view text) {
    if (text.empty() || !is_ascii_letter(text[0])) return std::nullopt;
    if (text.size() > 1 && is_ascii_letter(text[1])) {
        std::string two{to_ascii_upper(text[0]), to_ascii_lower(text[1])};
        if (is_element_symbol(two)) return two;
    }
    std::string one(1, to_ascii_upper(text[0]));
    if (is_element_symbol(one) && !(text.size() > 1 && is_ascii_lower(text[1]))) return one;
    return std::nullopt;
}

std::string clean_symbol(std::string_view token) {
    if (token.empty() || !is_ascii_letter(token[0])) return std::string(token);
    std::string symbol(1, to_ascii_upper(token[0]));
    if (token.size() > 1 && is_ascii_lower(token[1])) symbol.push_back(token[1]);
    return symbol;
}

}  // namespace molvane
