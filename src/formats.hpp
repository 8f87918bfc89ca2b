// VASP POSCAR/CONTCAR and single-structure extended XYZ readers, with the
// number and element-symbol helpers they share.
#pragma once

#include <string_view>

#include "result.hpp"
#include "structure.hpp"

namespace molvane {

Result<Structure> parse_poscar(std::string_view text);
Result<Structure> parse_extxyz(std::string_view text);

}  // namespace molvane
