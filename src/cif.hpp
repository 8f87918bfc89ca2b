// CIF reader: tokenizer and data blocks, then the structure builder that
// expands atom sites by the symmetry operations and merges close images.
#pragma once

#include <string_view>

#include "result.hpp"
#include "structure.hpp"

namespace molvane {

// Builds the symmetry-expanded structure of a CIF text; images closer than
// `symprec` (fractional, per axis) are merged.
Result<Structure> parse_cif(std::string_view text, double symprec);

}  // namespace molvane
