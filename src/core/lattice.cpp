// The periodic cell.
#include "core/lattice.hpp"

#include <cmath>

namespace molvane {

static double cross_length(const Vec3& u, const Vec3& v) {
    double x = u[1] * v[2] - u[2] * v[1];
    double y = u[2] * v[0] - u[0] * v[2];
    double z = u[0] * v[1] - u[1] * v[0];
    return std::sqrt(x * x + y * y + z * z);
}

Vec3 perpendicular_widths(const Mat3& m) {
    const Vec3 &a = m[0], &b = m[1], &c = m[2];
    double volume = std::abs(Lattice::determinant_of(m));
    return {volume / cross_length(b, c), volume / cross_length(c, a), volume / cross_length(a, b)};
}

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
