// CIF structure builder: expands atom sites by the symmetry operations and
// merges close images.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// First letter upper-cased plus a following lower-case ASCII letter:
// "Fe2+" -> "Fe", "CL1" -> "C"; absent unless the text starts with a letter.
std::optional<std::string> element_from_label(std::string_view label);

// Builds the symmetry-expanded structure of a CIF text; images closer than
// `symprec` (fractional, per axis) are merged.
// What was skipped or guessed goes to `notes` when given.
Result<Structure> parse_cif(std::string_view text, double symprec, ReadNotes* notes = nullptr);

}  // namespace molvane
