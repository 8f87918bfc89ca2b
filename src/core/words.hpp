// Splitting a line into whitespace-separated words without allocating per
// line: the readers of atom lines call it once per line with one vector.
#pragma once

#include <string_view>
#include <vector>

namespace molvane {

// The words of `text` separated by Unicode whitespace (no empty words) into
// `out`, which is cleared first; ASCII bytes are tested without decoding.
void split_whitespace_into(std::string_view text, std::vector<std::string_view>& out);

}  // namespace molvane
