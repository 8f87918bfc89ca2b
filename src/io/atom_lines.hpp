// Pieces shared by the readers of atom lines (POSCAR, extended XYZ).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"
#include "core/text.hpp"  // for parse_f64

namespace molvane {

// Cartesian (x, y, z) to fractional: the row vector times the inverse,
// summed from the last axis to the first.
inline Vec3 cartesian_to_fractional(const Mat3& inv, double x, double y, double z) {
    Vec3 f;
    for (int j = 0; j < 3; ++j) f[j] = (z * inv[2][j] + y * inv[1][j]) + x * inv[0][j];
    return f;
}

// A site holding one species with occupancy 1.
inline Site single_atom_site(const Vec3& frac, std::string symbol) {
    Site site;
    site.frac_coords = frac;
    site.species.emplace_back(std::move(symbol), 1.0);
    return site;
}

// Reads the first three tokens of a line as numbers.
inline Result<Vec3> read_three(const std::vector<std::string_view>& tokens, std::size_t first) {
    Vec3 v;
    for (std::size_t i = 0; i < 3; ++i) {
        auto value = parse_f64(tokens[first + i]);
        if (!value) return std::move(value).error();
        v[i] = *value;
    }
    return v;
}

}  // namespace molvane
