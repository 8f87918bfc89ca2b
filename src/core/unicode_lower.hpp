// Full Unicode lower-casing, used for CIF tags.
#pragma once

#include <string>
#include <string_view>

namespace molvane {

// Full Unicode lower-casing (one- and two-character mappings, final sigma).
std::string unicode_lower(std::string_view text);

}  // namespace molvane
