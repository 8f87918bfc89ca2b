// Too-close sites: a grid of buckets at least a part of the largest bound
// wide, so that a close pair lies a few buckets apart, and the nearest
// periodic image of each candidate pair.
#include "io/close_sites.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <vector>

#include "core/elements.hpp"  // for covalent_radius, too_close_distance
#include "core/lattice.hpp"  // for perpendicular_widths
#include "core/numeric.hpp"  // for nearest_whole

namespace molvane {

namespace {

constexpr std::size_t max_buckets_per_axis = 64;
// How many buckets apart along an axis a close pair can lie. Many sites:
// buckets a third of the largest bound wide, so that the buckets searched
// hug the sphere of the bound; few: as wide as the bound.
constexpr std::size_t max_reach = 3;
constexpr std::size_t many_sites = 4096;

double norm(const Vec3& v) { return std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]); }

// The shortest length of df + n over integer vectors n near the wrapped
// difference, looking only at the images that could lie closer than `bound`:
// an image n whose fraction |df_k + n_k| along an axis times the distance
// between that axis's lattice planes reaches `bound` is at least that far
// away. Infinity when no image is nearer than `bound`.
double image_distance_below(const Mat3& m, const double (&plane_gap)[3], Vec3 df, double bound) {
    int lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        df[a] -= nearest_whole(df[a]);
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

// A lower bound of |v M|^2 over the fractional differences v between points
// of two buckets d[a] buckets apart along each axis (of n[a]): each term of
// the sum over the box at its own least, less an allowance for rounding.
double min_squared_length(const Mat3& m, const std::size_t (&n)[3], const long (&d)[3]) {
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = double(d[a] - 1) / double(n[a]);
        hi[a] = double(d[a] + 1) / double(n[a]);
    }
    auto gram = [&](int a, int b) { return (m[a][0] * m[b][0] + m[a][1] * m[b][1]) + m[a][2] * m[b][2]; };
    double sum = 0, scale = 0;
    for (int a = 0; a < 3; ++a) {
        const double least = lo[a] <= 0 && hi[a] >= 0 ? 0.0 : std::min(std::fabs(lo[a]), std::fabs(hi[a]));
        const double term = gram(a, a) * least * least;
        sum += term, scale += std::fabs(term);
        for (int b = a + 1; b < 3; ++b) {
            const double g = gram(a, b);
            const std::initializer_list<double> corners{lo[a] * lo[b], lo[a] * hi[b], hi[a] * lo[b], hi[a] * hi[b]};
            const double cross_term = 2 * g * (g >= 0 ? std::min(corners) : std::max(corners));
            sum += cross_term, scale += std::fabs(cross_term);
        }
    }
    return sum - 1e-9 * scale;
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
    const std::size_t reach = full.size() >= many_sites ? max_reach : 1;
    double widest = 0;
    std::vector<double> radius(full.size());
    for (std::size_t p = 0; p < full.size(); ++p) {
        radius[p] = main_radius(sites, full[p]);
        widest = std::max(widest, radius[p]);
    }
    const double largest_bound = too_close_distance(widest, widest);

    // Buckets per axis: the cell's width across that axis over a part of the
    // largest bound, so that a close pair lies within `reach` buckets, and
    // not many more buckets than sites.
    const Vec3 widths = perpendicular_widths(m);
    std::size_t n[3];
    double plane_gap[3];
    bool one_image = true;  // no two images of a pair can both be close
    for (int a = 0; a < 3; ++a) {
        const double width = widths[a];
        plane_gap[a] = width;
        one_image = one_image && 0.5 * width >= largest_bound;
        const double count = std::floor(width * reach / largest_bound);
        n[a] = count >= 1 ? static_cast<std::size_t>(std::min(count, double(max_buckets_per_axis))) : 1;
    }
    while (n[0] * n[1] * n[2] > 2 * full.size()) {
        std::size_t& most = *std::max_element(n, n + 3);  // wider buckets keep pairs within reach
        most = (most + 1) / 2;
    }
    auto bucket_of = [&](double f, int a) {
        const double w = f - std::floor(f);
        return std::min(static_cast<std::size_t>(w * static_cast<double>(n[a])), n[a] - 1);
    };
    // The sites by bucket, in columns: bucket b holds [start[b], start[b + 1]).
    const std::size_t n_buckets = n[0] * n[1] * n[2];
    std::vector<std::size_t> start(n_buckets + 1, 0), bucket(full.size());
    for (std::size_t p = 0; p < full.size(); ++p) {
        const Vec3& f = sites.frac(full[p]);
        bucket[p] = (bucket_of(f[0], 0) * n[1] + bucket_of(f[1], 1)) * n[2] + bucket_of(f[2], 2);
        ++start[bucket[p] + 1];
    }
    for (std::size_t b = 0; b < n_buckets; ++b) start[b + 1] += start[b];
    std::vector<double> fx(full.size()), fy(full.size()), fz(full.size()), rad(full.size());
    std::vector<std::size_t> site(full.size()), sorted_at(full.size());
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t p = 0; p < full.size(); ++p) {
            const std::size_t k = sorted_at[p] = fill[bucket[p]]++;
            const Vec3& f = sites.frac(full[p]);
            fx[k] = f[0], fy[k] = f[1], fz[k] = f[2], rad[k] = radius[p], site[k] = full[p];
        }
    }

    // Where one image is all a pair can have: the squared length of the
    // nearest, and whether it lies within `bound` across every pair of
    // lattice planes (else image_distance_below would not measure it). The
    // same whichever site of the pair comes first, as negating the
    // difference is exact. `inside`: the difference needs no rounding (it is
    // below 1/2 on every axis).
    auto nearest_image = [&](std::size_t s, std::size_t t, double bound, double& sq, auto inside) {
        Vec3 w{fx[t] - fx[s], fy[t] - fy[s], fz[t] - fz[s]};
        bool within = true;
        for (int a = 0; a < 3; ++a) {
            if constexpr (!inside) w[a] -= nearest_whole(w[a]);
            within = within & (std::fabs(w[a]) * plane_gap[a] < bound);
        }
        Vec3 c;
        for (int a = 0; a < 3; ++a) c[a] = (w[0] * m[0][a] + w[1] * m[1][a]) + w[2] * m[2][a];
        sq = (c[0] * c[0] + c[1] * c[1]) + c[2] * c[2];
        return within;
    };
    // The distance of sorted sites s and t, as image_distance_below measures
    // it from the earlier site to the later; infinity when not below `bound`.
    auto distance = [&](std::size_t s, std::size_t t, double bound) {
        if (!one_image) {
            Vec3 w{fx[t] - fx[s], fy[t] - fy[s], fz[t] - fz[s]};
            if (site[t] < site[s]) w = {-w[0], -w[1], -w[2]};
            return image_distance_below(m, plane_gap, w, bound);
        }
        double sq;
        return nearest_image(s, t, bound, sq, std::false_type{}) ? std::sqrt(sq)
                                                                  : std::numeric_limits<double>::infinity();
    };
    // distance(s, t, bound) < bound, with a square root only where the
    // squares are too near to tell (their rounding is far below 2^-40).
    auto is_close = [&](std::size_t s, std::size_t t, double bound, auto inside) -> bool {
        if (!one_image) return distance(s, t, bound) < bound;
        double sq;
        const bool within = nearest_image(s, t, bound, sq, inside);
        const double b2 = bound * bound;
        bool below = sq < b2 * (1 - 0x1p-40);
        if (!below & (sq <= b2 * (1 + 0x1p-40))) below = std::sqrt(sq) < bound;
        return within & below;
    };
    // The distinct bucket indices within `reach` along one axis.
    auto around = [&](std::size_t c, int a, std::size_t* out_idx) {
        std::size_t count = 0;
        for (std::size_t d = 0; d <= 2 * reach; ++d) {
            const std::size_t v = (c + reach * n[a] + d - reach) % n[a];
            if (std::find(out_idx, out_idx + count, v) == out_idx + count) out_idx[count++] = v;
        }
        return count;
    };
    // Calls visit(c) for each bucket c near bucket b.
    auto for_near = [&](std::size_t b, auto visit) {
        const std::size_t x = b / (n[1] * n[2]), y = b / n[2] % n[1], z = b % n[2];
        std::size_t xs[2 * max_reach + 1], ys[2 * max_reach + 1], zs[2 * max_reach + 1];
        const std::size_t nx = around(x, 0, xs), ny = around(y, 1, ys), nz = around(z, 2, zs);
        for (std::size_t ix = 0; ix < nx; ++ix)
            for (std::size_t iy = 0; iy < ny; ++iy)
                for (std::size_t iz = 0; iz < nz; ++iz) visit((xs[ix] * n[1] + ys[iy]) * n[2] + zs[iz]);
    };
    // Close pairs of site s with sites [t_begin, t_end).
    auto count_close = [&](std::size_t s, std::size_t t_begin, std::size_t t_end, auto inside) {
        const double r = rad[s];
        std::size_t count = 0;
        for (std::size_t t = t_begin; t < t_end; ++t) {
            const double bound = too_close_distance(r, rad[t]);
            count += is_close(s, t, bound, inside);
        }
        return count;
    };
    // Each pair of neighbouring buckets once, each pair of sites once. The
    // buckets of a column (x, y) follow one another in z, so those within
    // reach along z in another column are one run of sites (two where they
    // wrap around). Coordinates in [0, 1) in buckets that are neighbours
    // without wrapping around, reach + 1 buckets apart at most, differ by
    // less than 1/2 where an axis has more than 2 (reach + 1) buckets.
    bool in_cell = true;
    for (std::size_t k = 0; k < site.size(); ++k)
        in_cell = in_cell && fx[k] >= 0 && fx[k] < 1 && fy[k] >= 0 && fy[k] < 1 && fz[k] >= 0 && fz[k] < 1;
    auto unwrapped = [&](std::size_t from, std::size_t to, int a) {
        return in_cell && n[a] > 2 * (reach + 1) && (from > to ? from - to : to - from) <= reach;
    };
    const std::size_t nz = n[2];
    // Where every axis has more than 2 reach + 1 buckets, column dx, dy
    // (each in [-reach, reach]) can hold a close partner only in the buckets
    // dz in [dz_from, dz_to] along z: beyond, the pair is farther apart than
    // the largest bound (by a lower bound of the squared length of v M over
    // the box of fractional differences v the two buckets allow).
    const std::size_t side = 2 * reach + 1;
    long dz_from[2 * max_reach + 1][2 * max_reach + 1], dz_to[2 * max_reach + 1][2 * max_reach + 1];
    const bool pruned = one_image && n[0] > side && n[1] > side && nz > side;
    for (std::size_t ix = 0; ix < side; ++ix)
        for (std::size_t iy = 0; iy < side; ++iy) {
            dz_from[ix][iy] = 1, dz_to[ix][iy] = 0;  // empty
            for (std::size_t iz = 0; iz < side; ++iz) {
                const long d[3] = {long(ix) - long(reach), long(iy) - long(reach), long(iz) - long(reach)};
                if (pruned && min_squared_length(m, n, d) > largest_bound * largest_bound) continue;
                dz_from[ix][iy] = std::min(dz_from[ix][iy], d[2]);
                dz_to[ix][iy] = std::max(dz_to[ix][iy], d[2]);
            }
        }
    for (std::size_t b = 0; b < n_buckets; ++b) {
        const std::size_t b_begin = start[b], b_end = start[b + 1];
        if (b_begin == b_end) continue;
        auto against = [&](std::size_t t_begin, std::size_t t_end, bool inside) {
            for (std::size_t s = b_begin; s < b_end; ++s)
                out.count += inside ? count_close(s, t_begin, t_end, std::true_type{})
                                    : count_close(s, t_begin, t_end, std::false_type{});
        };
        const std::size_t column = b / nz, z = b % nz, x = column / n[1], y = column % n[1];
        const bool inside_column = unwrapped(x, x, 0) && unwrapped(y, y, 1);
        for (std::size_t s = b_begin; s < b_end; ++s) {
            out.count += inside_column && unwrapped(z, z, 2) ? count_close(s, s + 1, b_end, std::true_type{})
                                                             : count_close(s, s + 1, b_end, std::false_type{});
        }
        std::size_t xs[2 * max_reach + 1], ys[2 * max_reach + 1], zs[2 * max_reach + 1];
        const std::size_t nx = around(x, 0, xs), ny = around(y, 1, ys), nzs = around(z, 2, zs);
        for (std::size_t iz = 0; iz < nzs; ++iz) {
            const long dz = long(iz) - long(reach);  // where pruned
            if (zs[iz] <= z || (pruned && (dz < dz_from[reach][reach] || dz > dz_to[reach][reach]))) continue;
            against(start[column * nz + zs[iz]], start[column * nz + zs[iz] + 1],
                    inside_column && unwrapped(z, zs[iz], 2));
        }
        for (std::size_t ix = 0; ix < nx; ++ix)
            for (std::size_t iy = 0; iy < ny; ++iy) {
                const std::size_t other = xs[ix] * n[1] + ys[iy];
                if (other <= column || dz_from[ix][iy] > dz_to[ix][iy]) continue;
                const std::size_t base = other * nz;
                const bool inside_xy = unwrapped(x, xs[ix], 0) && unwrapped(y, ys[iy], 1);
                if (nz <= side) {
                    against(start[base], start[base + nz], false);
                    continue;
                }
                const long z_from = long(z) + dz_from[ix][iy], z_to = long(z) + dz_to[ix][iy];
                const std::size_t lo = (z + nz + dz_from[ix][iy]) % nz, hi = (z + nz + dz_to[ix][iy]) % nz;
                if (lo <= hi) {  // one run, which wraps around when it lies wholly beyond a face
                    const bool inside_z = z_from >= 0 && z_to < long(nz) && unwrapped(z, z, 2);
                    against(start[base + lo], start[base + hi + 1], inside_xy && inside_z);
                    continue;
                }
                against(start[base + lo], start[base + nz], false);
                against(start[base], start[base + hi + 1], false);
            }
    }
    if (out.count == 0) return out;
    // The first pair in site order: the earliest site with a close partner,
    // and its earliest partner (a later site, or the partner would come first).
    for (std::size_t p = 0; p < full.size(); ++p) {
        const std::size_t s = sorted_at[p];
        bool found = false;
        for_near(bucket[p], [&](std::size_t c) {
            for (std::size_t t = start[c]; t < start[c + 1]; ++t) {
                if (t == s) continue;
                const double bound = too_close_distance(rad[s], rad[t]);
                const double d = distance(s, t, bound);
                if (!(d < bound) || (found && site[t] >= out.second)) continue;
                found = true;
                out.first = full[p];
                out.second = site[t];
                out.distance = d;
                out.bound = bound;
            }
        });
        if (found) break;
    }
    return out;
}

}  // namespace molvane
