// Single-structure extended XYZ reader.
#pragma once

#include <string_view>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// The cell from the nine numbers of a Lattice="..." value (rows a, b, c).
Result<Lattice> lattice_from_text(std::string_view text);

// What was skipped or guessed goes to `notes` when given.
Result<Structure> parse_extxyz(std::string_view text, ReadNotes* notes = nullptr);

}  // namespace molvane
