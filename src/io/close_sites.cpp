// Too-close sites: a grid of buckets at least the largest bound wide, so
// that a close pair lies in neighbouring buckets, and the nearest periodic
// image of each candidate pair.
#include "io/close_sites.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/elements.hpp"  // for covalent_radius, too_close_distance

namespace molvane {

namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
constexpr std::size_t max_buckets_per_axis = 64;

double norm(const Vec3& v) { return std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]); }

Vec3 cross(const Vec3& u, const Vec3& v) {
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

// The shortest length of df + n over integer vectors n near the wrapped
// difference, looking only at the images that could lie closer than `bound`:
// an image n whose fraction |df_k + n_k| along an axis times the distance
// between that axis's lattice planes reaches `bound` is at least that far
// away. Infinity when no image is nearer than `bound`.
double image_distance_below(const Mat3& m, const double (&plane_gap)[3], Vec3 df, double bound) {
    int lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        df[a] -= std::round(df[a]);
        lo[a] = std::fabs(df[a] - 1.0) * plane_gap[a] < bound ? -1 : 0;
        hi[a] = std::fabs(df[a] + 1.0) * plane_gap[a] < bound ? 1 : 0;
        if (std::fabs(df[a]) * plane_gap[a] >= bound && lo[a] == 0 && hi[a] == 0)
            return std::numeric_limits<double>::infinity();
    }
    double best = std::numeric_limits<double>::infinity();
    for (int i = lo[0]; i <= hi[0]; ++i)
        for (int j = lo[1]; j <= hi[1]; ++j)
            for (int k = lo[2]; k <= hi[2]; ++k) {
                const double f[3] = {df[0] + i, df[1] + j, df[2] + k};
                Vec3 c;
                for (int a = 0; a < 3; ++a) c[a] = (f[0] * m[0][a] + f[1] * m[1][a]) + f[2] * m[2][a];
                best = std::min(best, norm(c));
            }
    return best;
}

// The covalent radius of the element with the largest occupancy of site i.
double main_radius(const Sites& sites, std::size_t i) {
    std::size_t best = sites.entries_begin(i);
    for (std::size_t e = best; e < sites.entries_end(i); ++e)
        if (sites.entry(e).occupancy > sites.entry(best).occupancy) best = e;
    return covalent_radius(sites.symbol(sites.entry(best).symbol));
}

}  // namespace

ClosePairs close_full_sites(const Structure& structure) {
    ClosePairs out;
    const auto& sites = structure.sites();
    const Mat3& m = structure.lattice().matrix();
    std::vector<std::size_t> full;
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (sites.entries_end(i) > sites.entries_begin(i) && std::fabs(sites.occupancy_sum(i) - 1.0) < 1e-6)
            full.push_back(i);
    if (full.size() < 2) return out;
    bool found = false;
    std::vector<double> radius(full.size());
    double widest = 0;
    for (std::size_t p = 0; p < full.size(); ++p) {
        radius[p] = main_radius(sites, full[p]);
        widest = std::max(widest, radius[p]);
    }
    const double largest_bound = too_close_distance(widest, widest);

    // Buckets per axis: the cell's width across that axis over the largest bound.
    const double volume = std::fabs(structure.lattice().volume());
    std::size_t n[3];
    double plane_gap[3];
    for (int a = 0; a < 3; ++a) {
        const double width = volume / norm(cross(m[(a + 1) % 3], m[(a + 2) % 3]));
        plane_gap[a] = width;
        const double count = std::floor(width / largest_bound);
        n[a] = count >= 1 ? static_cast<std::size_t>(std::min(count, double(max_buckets_per_axis))) : 1;
    }
    auto bucket_of = [&](double f, int a) {
        const double w = f - std::floor(f);
        return std::min(static_cast<std::size_t>(w * static_cast<double>(n[a])), n[a] - 1);
    };
    std::vector<std::size_t> head(n[0] * n[1] * n[2], none), next(full.size(), none);
    std::vector<std::array<std::size_t, 3>> where(full.size());
    for (std::size_t p = 0; p < full.size(); ++p) {
        const Vec3& f = sites.frac(full[p]);
        where[p] = {bucket_of(f[0], 0), bucket_of(f[1], 1), bucket_of(f[2], 2)};
        const std::size_t b = (where[p][0] * n[1] + where[p][1]) * n[2] + where[p][2];
        next[p] = head[b];
        head[b] = p;
    }
    // The distinct neighbouring bucket indices along one axis.
    auto around = [&](std::size_t c, int a, std::size_t* out_idx) {
        std::size_t count = 0;
        for (int d = -1; d <= 1; ++d) {
            const std::size_t v = (c + n[a] + static_cast<std::size_t>(d + 1) - 1) % n[a];
            if (std::find(out_idx, out_idx + count, v) == out_idx + count) out_idx[count++] = v;
        }
        return count;
    };
    for (std::size_t p = 0; p < full.size(); ++p) {
        const Vec3& fi = sites.frac(full[p]);
        std::size_t xs[3], ys[3], zs[3];
        const std::size_t nx = around(where[p][0], 0, xs), ny = around(where[p][1], 1, ys),
                          nz = around(where[p][2], 2, zs);
        std::size_t nearest = none;
        double nearest_d = 0, nearest_bound = 0;
        for (std::size_t ix = 0; ix < nx; ++ix)
            for (std::size_t iy = 0; iy < ny; ++iy)
                for (std::size_t iz = 0; iz < nz; ++iz)
                    for (std::size_t q = head[(xs[ix] * n[1] + ys[iy]) * n[2] + zs[iz]]; q != none; q = next[q]) {
                        if (q <= p) continue;
                        const Vec3& fj = sites.frac(full[q]);
                        const Vec3 df{fj[0] - fi[0], fj[1] - fi[1], fj[2] - fi[2]};
                        const double bound = too_close_distance(radius[p], radius[q]);
                        const double d = image_distance_below(m, plane_gap, df, bound);
                        if (!(d < bound)) continue;
                        ++out.count;
                        if (nearest == none || q < nearest) {
                            nearest = q;
                            nearest_d = d;
                            nearest_bound = bound;
                        }
                    }
        if (nearest != none && !found) {
            found = true;
            out.first = full[p];
            out.second = full[nearest];
            out.distance = nearest_d;
            out.bound = nearest_bound;
        }
    }
    return out;
}

}  // namespace molvane
