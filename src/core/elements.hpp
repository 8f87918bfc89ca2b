// Element symbols: the one table of elements every reader shares (H to Lr,
// and D for deuterium), and the rules that turn a species token into one.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace molvane {

// H to Lr in order of atomic number, then D (element_table.cpp, generated).
extern const std::array<std::string_view, 104> element_symbols;
// Their covalent radii in angstrom, in the same order (0 where none is known).
extern const std::array<double, 104> element_covalent_radii;

// The covalent radius of an element symbol spelled exactly; 0 for any other text.
double covalent_radius(std::string_view symbol);

// Two atoms whose covalent radii are r_a and r_b cannot lie closer than
// max(too_close_floor, too_close_factor * (r_a + r_b)) angstrom: the
// too-close distance that decides split positions and flags sites a symmetry
// expansion put on top of one another.
inline constexpr double too_close_floor = 0.7;
inline constexpr double too_close_factor = 0.6;
inline double too_close_distance(double radius_a, double radius_b) {
    const double d = too_close_factor * (radius_a + radius_b);
    return d > too_close_floor ? d : too_close_floor;
}

// True when `symbol` is spelled exactly as an element symbol ("Fe", not "FE").
bool is_element_symbol(std::string_view symbol);

// The element a type symbol or site label names: its first two characters,
// in any case, when they form a two-letter symbol ("CA", "Ca2+" -> Ca;
// "CL1" -> Cl); else its first letter when that is a one-letter symbol and is
// not followed by a lower-case letter ("NH3" -> N, "O1" -> O); else absent
// ("Wat", "T1(o)", "M2"). Leading whitespace is not skipped.
std::optional<std::string> element_from_text(std::string_view text);

// Element symbol of a species token: an upper-cased first ASCII letter plus a
// following lower-case ASCII letter ("fe" and "Fe_pv" give "Fe", "FE" gives
// "F"); a token that does not start with an ASCII letter is kept unchanged.
std::string clean_symbol(std::string_view token);

}  // namespace molvane
