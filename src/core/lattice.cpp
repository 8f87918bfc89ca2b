// The periodic cell.
#include "core/lattice.hpp"

#include <cmath>

namespace molvane {

double Lattice::determinant_of(const Mat3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
         - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
         + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

Result<Lattice> Lattice::create(const Mat3& m) {
    double det = determinant_of(m);
    if (std::abs(det) < 1e-12) return fail("cell matrix is singular (zero volume)");
    for (const auto& row : m)
        for (double v : row)
            if (!std::isfinite(v)) return fail("cell matrix has an entry that is not a finite number");
    double r = 1.0 / det;
    Mat3 inv = {{
        {(m[1][1] * m[2][2] - m[1][2] * m[2][1]) * r,
         (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * r,
         (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * r},
        {(m[1][2] * m[2][0] - m[1][0] * m[2][2]) * r,
         (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * r,
         (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * r},
        {(m[1][0] * m[2][1] - m[1][1] * m[2][0]) * r,
         (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * r,
         (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * r},
    }};
    return Lattice(m, inv);
}

double Lattice::volume() const { return std::abs(determinant()); }

Vec3 Lattice::to_cartesian(const Vec3& f) const {
    const Mat3& m = matrix_;
    Vec3 out;
    for (int j = 0; j < 3; ++j) out[j] = (f[0] * m[0][j] + f[1] * m[1][j]) + f[2] * m[2][j];
    return out;
}

}  // namespace molvane
