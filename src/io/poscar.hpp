// VASP POSCAR/CONTCAR reader.
#pragma once

#include <string_view>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

Result<Structure> parse_poscar(std::string_view text);

}  // namespace molvane
