// Element symbols.
#include "core/elements.hpp"

#include "core/text.hpp"  // for is_ascii_letter

namespace molvane {

std::string clean_symbol(std::string_view token) {
    if (token.empty() || !is_ascii_letter(token[0])) return std::string(token);
    std::string symbol(1, token[0]);
    if (symbol[0] >= 'a' && symbol[0] <= 'z') symbol[0] = static_cast<char>(symbol[0] - 'a' + 'A');
    if (token.size() > 1 && token[1] >= 'a' && token[1] <= 'z') symbol.push_back(token[1]);
    return symbol;
}

}  // namespace molvane
