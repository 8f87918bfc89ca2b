// CIF structure builder: expands atom sites by the symmetry operations and
// merges close images.
#pragma once

#include <string_view>

#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/cif_syntax.hpp"  // for BlockChoice
#include "io/read_notes.hpp"

namespace molvane {

// Builds the symmetry-expanded structure of a data block of a CIF text (see
// BlockChoice); images closer than `symprec` (fractional, per axis) are
// merged. What was skipped goes to `notes` when given.
Result<Structure> parse_cif(std::string_view text, double symprec, ReadNotes* notes = nullptr,
                            const BlockChoice& choice = {});

}  // namespace molvane
