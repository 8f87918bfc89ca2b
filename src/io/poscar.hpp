// VASP POSCAR/CONTCAR reader.
#pragma once

#include <string_view>

#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// What was skipped or guessed goes to `notes` when given.
Result<Structure> parse_poscar(std::string_view text, ReadNotes* notes = nullptr);

}  // namespace molvane
