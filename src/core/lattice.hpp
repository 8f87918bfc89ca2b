// The periodic cell: three cell vectors as matrix rows plus the inverse,
// computed once. Immutable after construction.
#pragma once

#include <array>

#include "core/result.hpp"

namespace molvane {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;

class Lattice {
public:
    // Fails with "cell matrix is singular (zero volume)" when |det| < 1e-12,
    // and rejects a matrix holding NaN or infinite entries.
    static Result<Lattice> create(const Mat3& matrix);

    const Mat3& matrix() const { return matrix_; }
    const Mat3& inverse() const { return inverse_; }

    // Cofactor expansion along row 0.
    double determinant() const { return determinant_of(matrix_); }
    double volume() const;

    // Row vector times matrix: f0*a + f1*b + f2*c.
    Vec3 to_cartesian(const Vec3& frac) const;
    // Row vector times inverse (inline: readers call it once per atom).
    Vec3 to_fractional(const Vec3& c) const {
        Vec3 out;
        for (int j = 0; j < 3; ++j) out[j] = c[0] * inverse_[0][j] + c[1] * inverse_[1][j] + c[2] * inverse_[2][j];
        return out;
    }

    static double determinant_of(const Mat3& m);

private:
    Lattice(const Mat3& matrix, const Mat3& inverse) : matrix_(matrix), inverse_(inverse) {}

    Mat3 matrix_;
    Mat3 inverse_;
};

// Distances between the opposite faces of the cell with rows `m` (d_a, d_b, d_c).
Vec3 perpendicular_widths(const Mat3& m);

}  // namespace molvane
