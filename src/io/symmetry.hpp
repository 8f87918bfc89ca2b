// Symmetry operations written as texts such as "-y, x-y, z+1/2": the record,
// its reader and its application to fractional coordinates.
#pragma once

#include <string_view>

#include "core/lattice.hpp"  // for Vec3, Mat3
#include "core/result.hpp"

namespace molvane {

struct SymmOp {
    Mat3 rotation{};      // row i: coefficients of x, y, z in component i
    Vec3 translation{};   // constant part of each component

    static SymmOp identity();

    // ((R[i][0]*x + R[i][1]*y) + R[i][2]*z) + t[i], each wrapped into [0, 1).
    Vec3 apply_wrapped(const Vec3& f) const;
};

// v - floor(v): in [0, 1), except that a tiny negative v gives exactly 1.
double wrap_unit(double v);

// Reads an operation text: three comma-separated components of signed terms
// (x, y, z with optional multiplier and divisor, or constants).
Result<SymmOp> parse_symmop(std::string_view text);

// A decimal, or a fraction "n/d" of two decimals.
Result<double> parse_number(std::string_view text);

}  // namespace molvane
