// Single-structure extended XYZ reader.
#pragma once

#include <string_view>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

// The cell from the nine numbers of a Lattice="..." value (rows a, b, c).
Result<Lattice> lattice_from_text(std::string_view text);

Result<Structure> parse_extxyz(std::string_view text);

}  // namespace molvane
