// Element symbols.
#pragma once

#include <string>
#include <string_view>

namespace molvane {

// Element symbol of a species token: an upper-cased first ASCII letter plus a
// following lower-case ASCII letter ("fe" and "Fe_pv" give "Fe", "FE" gives
// "F"); a token that does not start with an ASCII letter is kept unchanged.
std::string clean_symbol(std::string_view token);

}  // namespace molvane
