// Space groups by name: the 530 Hall settings of the 230 groups, found by
// Hall symbol, Hermann-Mauguin (H-M) symbol or International Tables number,
// each with its symmetry operations. The table is compiled in; lookups
// never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "io/symmetry.hpp"

namespace molvane {

// One setting of the table (a handle; the table owns the data).
class SpaceGroup {
public:
    static constexpr int n_settings = 530;

    // Settings are numbered 1..530 in the usual order of Hall settings.
    static std::optional<SpaceGroup> from_hall_number(int hall_number);

    int hall_number() const { return index_ + 1; }
    int it_number() const;                // 1..230
    std::string_view hall_symbol() const; // "-P 2ybc"
    std::string_view hm_full() const;     // "P 1 21/c 1"
    std::string_view hm_short() const;    // "P21/c"
    std::string_view choice() const;      // setting code: "", "b1", "1", "2", "H", "R", "cab"...

    // The operations with centring, in table order. x -> R x + t with
    // integer R and t in twelfths: the same doubles as reading the
    // operation text (e.g. "-x+1/2,y,z+1/4") with parse_symmop.
    std::size_t n_operations() const;
    SymmOp operation(std::size_t k) const;

private:
    explicit SpaceGroup(int index) : index_(index) {}
    int index_;
};

// A symbol may leave the setting open; then the first setting of the group
// in table order is taken (unique axis b, cell choice 1, origin choice 1),
// except that R groups take rhombohedral axes on a rhombohedral cell and
// hexagonal axes otherwise.
struct SpaceGroupMatch {
    SpaceGroup group;
    bool origin_assumed;  // the group has two origins and none was named
};

// Hall symbol, compared without case and with runs of spaces as one space.
std::optional<SpaceGroup> find_hall_symbol(std::string_view symbol);

// H-M symbol, compared without spaces, underscores, "~" and parentheses and
// without case ("P 21/c", "P121/c1", "P2(1)/c", "Fm-3m", "F m 3 m", "Cmca"
// for "C m c e"). A setting follows after ":" ("F d -3 m :2", "C2:b1",
// "R -3 m :H") or, for R groups, as a final H or R ("R -3 m H"); a final S
// or Z names origin choice 1 or 2 ("F d -3 m Z").
std::optional<SpaceGroupMatch> find_hm_symbol(std::string_view symbol, bool rhombohedral_cell);

// International Tables number; absent outside 1..230.
std::optional<SpaceGroupMatch> find_it_number(std::uint64_t number, bool rhombohedral_cell);

// Cell lengths and angles (degrees).
struct CellParameters {
    double a, b, c, alpha, beta, gamma;
};

// Lengths within this fraction of the longest, and angles within this many
// degrees, count as equal when a cell is matched to a crystal system.
inline constexpr double cell_length_tolerance = 1e-3;
inline constexpr double cell_angle_tolerance = 0.1;

// Empty when the cell has the metric of the setting's crystal system (for
// monoclinic settings the unique axis of the setting, for R groups the axes
// of the setting); else what such cells have, for a message: "cubic cells
// have a = b = c and all angles 90 degrees".
std::string cell_misfit(const SpaceGroup& group, const CellParameters& cell);

}  // namespace molvane
