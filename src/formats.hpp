// VASP POSCAR/CONTCAR and single-structure extended XYZ readers, with the
// number and element-symbol helpers they share with the trajectory reader.
#pragma once

#include <string>
#include <string_view>

#include "result.hpp"
#include "structure.hpp"

namespace molvane {

// A token read with the decimal grammar of text.hpp, untrimmed; fails with
// "expected a number, found '<token>'".
Result<double> parse_f64(std::string_view token);

// Element symbol of a species token: an upper-cased first ASCII letter plus a
// following lower-case ASCII letter ("fe" and "Fe_pv" give "Fe", "FE" gives
// "F"); a token that does not start with an ASCII letter is kept unchanged.
std::string clean_symbol(std::string_view token);

// The cell from the nine numbers of a Lattice="..." value (rows a, b, c).
Result<Lattice> lattice_from_text(std::string_view text);

Result<Structure> parse_poscar(std::string_view text);
Result<Structure> parse_extxyz(std::string_view text);

}  // namespace molvane
