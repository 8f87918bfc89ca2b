// Periodic neighbour search.
#include "neighbor.hpp"

#include <cmath>
#include <limits>

namespace molvane {

// Float to signed 64-bit: NaN gives 0, out-of-range values saturate.
static std::int64_t saturating_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// Float to unsigned 64-bit, truncating: NaN and negatives give 0, large values saturate.
static std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

static double cross_length(const Vec3& u, const Vec3& v) {
    double x = u[1] * v[2] - u[2] * v[1];
    double y = u[2] * v[0] - u[0] * v[2];
    double z = u[0] * v[1] - u[1] * v[0];
    return std::sqrt(x * x + y * y + z * z);
}

double wrap_fraction(double f) {
    double w = f - std::floor(f);
    return w < 1.0 ? w : 0.0;
}

std::vector<Vec3> wrap_coordinates(const std::vector<Site>& sites) {
    std::vector<Vec3> out;
    out.reserve(sites.size());
    for (const Site& s : sites)
        out.push_back({wrap_fraction(s.frac_coords[0]), wrap_fraction(s.frac_coords[1]),
                       wrap_fraction(s.frac_coords[2])});
    return out;
}

Vec3 perpendicular_widths(const Mat3& m) {
    const Vec3 &a = m[0], &b = m[1], &c = m[2];
    double volume = std::abs(Lattice::determinant_of(m));
    return {volume / cross_length(b, c), volume / cross_length(c, a), volume / cross_length(a, b)};
}

std::uint64_t sub_cell_of(double w, std::uint64_t n) {
    std::uint64_t k = saturating_u64((w - std::floor(w)) * static_cast<double>(n));
    return std::min(k, n - 1);
}

std::uint64_t cells_for_width(double width, double cutoff) {
    std::int64_t n = saturating_i64(std::floor(width / cutoff));
    return static_cast<std::uint64_t>(std::clamp<std::int64_t>(n, 1, max_cells_per_axis));
}

std::int64_t reach_for(double width, std::uint64_t cells, double cutoff) {
    double sub_width = width / static_cast<double>(cells);
    return saturating_i64(std::ceil(cutoff / sub_width));
}

CellGrid plan_cell_grid(const Mat3& m, double cutoff) {
    CellGrid grid;
    Vec3 widths = perpendicular_widths(m);
    for (int axis = 0; axis < 3; ++axis) {
        grid.cells_per_axis[axis] = cells_for_width(widths[axis], cutoff);
        grid.search_range[axis] = reach_for(widths[axis], grid.cells_per_axis[axis], cutoff);
    }
    return grid;
}

void file_sites(CellGrid& grid, const std::vector<Vec3>& wrapped) {
    const auto& n = grid.cells_per_axis;
    grid.heads.assign(n[0] * n[1] * n[2], -1);
    grid.next.assign(wrapped.size(), -1);
    for (std::size_t i = 0; i < wrapped.size(); ++i) {
        const Vec3& w = wrapped[i];
        std::uint64_t cell = grid.flat_index(sub_cell_of(w[0], n[0]), sub_cell_of(w[1], n[1]),
                                             sub_cell_of(w[2], n[2]));
        grid.next[i] = grid.heads[cell];
        grid.heads[cell] = static_cast<std::int32_t>(i);
    }
}

NeighborSearch::NeighborSearch(const Mat3& m, const std::vector<Vec3>& wrapped, const CellGrid& grid,
                               double cutoff)
    : m_(m), cutoff_sq_(cutoff * cutoff), n_(grid.cells_per_axis), reach_(grid.search_range), home_(wrapped) {
    const std::size_t n_cells = grid.heads.size();
    start_.resize(n_cells + 1);
    x_.reserve(wrapped.size());
    y_.reserve(wrapped.size());
    z_.reserve(wrapped.size());
    site_.reserve(wrapped.size());
    for (std::size_t cell = 0; cell < n_cells; ++cell) {
        start_[cell] = static_cast<std::uint32_t>(site_.size());
        for (std::int32_t j = grid.heads[cell]; j != -1; j = grid.next[static_cast<std::size_t>(j)]) {
            const Vec3& w = wrapped[static_cast<std::size_t>(j)];
            x_.push_back(w[0]);
            y_.push_back(w[1]);
            z_.push_back(w[2]);
            site_.push_back(j);
        }
    }
    start_[n_cells] = static_cast<std::uint32_t>(site_.size());
}

// The hot loop. Squared distances are computed for the whole block first (a
// loop the compiler vectorises), then the accepted ones are packed without
// branches. Every operation is a plain IEEE one in a fixed order, so each
// instruction set gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MOLVANE_KERNEL_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define MOLVANE_KERNEL_CLONES
#endif

MOLVANE_KERNEL_CLONES
std::size_t collect_images(const double* x, const double* y, const double* z, std::uint32_t lo,
                           std::uint32_t hi, const double* shift, const double* centre, const Mat3& m,
                           double cutoff_sq, std::uint32_t* out_slot, double* out_d2) {
    constexpr std::size_t block = NeighborSearch::Scratch::capacity;
    double d2[block];
    const std::size_t len = hi - lo;
    const double sa = shift[0], sb = shift[1], sc = shift[2];
    const double wa = centre[0], wb = centre[1], wc = centre[2];
    const double m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
    const double m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
    const double m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    const double* xs = x + lo;
    const double* ys = y + lo;
    const double* zs = z + lo;
    for (std::size_t t = 0; t < len; ++t) {
        double fx = (xs[t] + sa) - wa;
        double fy = (ys[t] + sb) - wb;
        double fz = (zs[t] + sc) - wc;
        double cx = (m00 * fx + m10 * fy) + m20 * fz;
        double cy = (m01 * fx + m11 * fy) + m21 * fz;
        double cz = (m02 * fx + m12 * fy) + m22 * fz;
        d2[t] = (cy * cy + cx * cx) + cz * cz;
    }
    std::size_t count = 0;
    for (std::size_t t = 0; t < len; ++t) {
        double v = d2[t];
        out_slot[count] = lo + static_cast<std::uint32_t>(t);
        out_d2[count] = v;
        count += static_cast<std::size_t>((v <= cutoff_sq) & (v > 1e-16));
    }
    return count;
}

MOLVANE_KERNEL_CLONES
void square_roots(const double* in, double* out, std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) out[t] = std::sqrt(in[t]);
}

}  // namespace molvane
