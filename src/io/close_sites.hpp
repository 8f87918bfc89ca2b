// Sites that lie closer than two atoms can: after a symmetry expansion, a
// sign that the operations do not belong to the cell or the sites.
#pragma once

#include <cstddef>
#include <optional>

#include "core/structure.hpp"

namespace molvane {

// Images of one atom-site row closer than this (angstrom) are one atom: a
// special position written with rounded coordinates (0.3333 for 1/3, or
// 0.0001 for 0) gives images a rounding step apart, far closer than any
// split position a refinement resolves.
inline constexpr double same_atom_bound = 0.05;

// Pairs of distinct fully occupied sites (occupancy sum within 1e-6 of 1)
// closer than the too-close distance of their elements (each site's
// element of largest occupancy), counting periodic images; the first pair in site
// order and their distance.
struct ClosePairs {
    std::size_t count = 0;
    std::size_t first = 0, second = 0;
    double distance = 0;
    double bound = 0;  // the too-close distance of the first pair's elements
};
ClosePairs close_full_sites(const Structure& structure);

}  // namespace molvane
