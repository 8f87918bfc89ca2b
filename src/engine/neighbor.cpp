// Periodic neighbour search: planning, packing and pruning bounds. The
// distance kernels it runs are in kernels.cpp.
#include "engine/neighbor.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace molvane {

std::uint64_t cells_for_width(double width, double cutoff) {
    std::int64_t n = saturating_i64(std::floor(width / cutoff));
    return static_cast<std::uint64_t>(std::clamp<std::int64_t>(n, 1, max_cells_per_axis));
}

std::int64_t reach_for(double width, std::uint64_t cells, double cutoff) {
    double sub_width = width / static_cast<double>(cells);
    return saturating_i64(std::ceil(cutoff / sub_width));
}

// Sites per sub-cell by a counting sort: sub-cells in flat order, each
// holding its sites in increasing index order. Coordinates along periodic
// axes are wrapped, the others kept as they are.
void NeighborSearch::pack_sites(std::span<const Vec3> frac) {
    const std::size_t n_sites = frac.size();
    std::vector<std::uint32_t> cell_of(n_sites);
    std::vector<Vec3> coords(n_sites);
    start_.assign(n_[0] * n_[1] * n_[2] + 1, 0);
    for (std::size_t i = 0; i < n_sites; ++i) {
        const Vec3& f = frac[i];
        Vec3& w = coords[i];
        std::uint64_t k[3];
        for (int axis = 0; axis < 3; ++axis) {
            w[axis] = periodic_[axis] ? wrap_fraction(f[axis]) : f[axis];
            k[axis] = cell_along(axis, w[axis]);
        }
        cell_of[i] = static_cast<std::uint32_t>((k[0] * n_[1] + k[1]) * n_[2] + k[2]);
        ++start_[cell_of[i] + 1];
    }
    for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
    std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
    // Padding for the kernels' whole-vector loads past the last slot.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    sites_.x.assign(n_sites + max_lanes, nan);
    sites_.y.assign(n_sites + max_lanes, nan);
    sites_.z.assign(n_sites + max_lanes, nan);
    sites_.site.resize(n_sites);
    for (std::size_t i = 0; i < n_sites; ++i) {
        const std::uint32_t slot = fill[cell_of[i]]++;
        sites_.x[slot] = coords[i][0];
        sites_.y[slot] = coords[i][1];
        sites_.z[slot] = coords[i][2];
        sites_.site[slot] = static_cast<std::int32_t>(i);
    }
}

// Fractional margin for points filed by a rounded product w * n.
static constexpr double filing_margin = 1e-9;

void NeighborSearch::plan_axes(std::span<const Vec3> frac, double cutoff, double cell_width) {
    const Vec3 widths = perpendicular_widths(m_);
    for (int axis = 0; axis < 3; ++axis) {
        if (periodic_[axis]) {
            n_[axis] = cells_for_width(widths[axis], cell_width);
            reach_[axis] = reach_for(widths[axis], n_[axis], cutoff);
            cell_frac_[axis] = 1.0 / static_cast<double>(n_[axis]);
            margin_[axis] = filing_margin;
            continue;
        }
        // Only the home image: sub-cells over the range the sites span.
        double lo = frac[0][axis], hi = lo;
        for (const Vec3& f : frac) {
            lo = std::min(lo, f[axis]);
            hi = std::max(hi, f[axis]);
        }
        const double extent = hi - lo, span = extent * widths[axis];
        n_[axis] = cells_for_width(span, cell_width);
        origin_[axis] = lo;
        scale_[axis] = extent > 0.0 ? static_cast<double>(n_[axis]) / extent : 0.0;
        cell_frac_[axis] = extent / static_cast<double>(n_[axis]);
        margin_[axis] = filing_margin * std::max({1.0, std::abs(lo), std::abs(hi)});
        const std::int64_t most = static_cast<std::int64_t>(n_[axis]) - 1;
        reach_[axis] = most == 0 ? 0 : std::min(most, reach_for(span, n_[axis], cutoff));
    }
}

// Sub-cell images visited around one centre, or nothing when more than the
// limit (the reach grows with cutoff / cell width without bound).
static std::optional<std::uint64_t> images_per_centre(const std::array<std::int64_t, 3>& reach) {
    std::uint64_t images = 1;
    for (std::int64_t r : reach) {
        if (r < 0) continue;
        if (r > (std::int64_t{1} << 30)) return std::nullopt;
        const std::uint64_t span = 2 * static_cast<std::uint64_t>(r) + 1;
        if (images > max_images_per_centre / span) return std::nullopt;
        images *= span;
    }
    return images;
}

Result<NeighborSearch> NeighborSearch::build(const Structure& structure, double cutoff, double cells_per_cutoff) {
    const std::span<const Vec3> frac = structure.sites().frac_coords();
    if (frac.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return fail("structure has ", std::to_string(frac.size()), " sites; the neighbour search holds at most ",
                    std::to_string(std::numeric_limits<std::int32_t>::max()));
    }
    NeighborSearch search;
    search.m_ = structure.lattice().matrix();
    search.cutoff_sq_ = cutoff * cutoff;
    search.periodic_ = structure.pbc();
    search.plan_axes(frac, cutoff, cutoff / cells_per_cutoff);
    if (!images_per_centre(search.reach_))
        return fail("cutoff is too large for this cell: the search would visit more than ",
                    std::to_string(max_images_per_centre), " periodic images of the cell around each site");
    search.pack_sites(frac);
    search.collect_ = collect_fn(current_kernel());
    const Mat3& m = search.m_;
    search.diagonal_ = m[0][1] == 0.0 && m[0][2] == 0.0 && m[1][0] == 0.0 && m[1][2] == 0.0 && m[2][0] == 0.0 &&
                       m[2][1] == 0.0;
    search.plan_bounds(cutoff);
    return search;
}

void NeighborSearch::plan_bounds(double cutoff) {
    // Pruning bounds. A point at fractional offset f from the centre lies at
    // a Cartesian distance of at least |f_a| times the face width d_a along
    // every axis. When the off-diagonal entries E are small, the distance is
    // also at least |f D| - |E| |f| with D the diagonal part, so per-axis
    // squared gaps can be summed against a slightly widened radius.
    const Mat3& m = m_;
    Vec3 widths = perpendicular_widths(m);
    double off_sq = 0.0, frac_span_sq = 0.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            if (r != c) off_sq += m[r][c] * m[r][c];
        double span = (static_cast<double>(std::max<std::int64_t>(reach_[r], 0)) + 2.0) * cell_frac_[r];
        frac_span_sq += span * span;
    }
    const double slack = std::sqrt(off_sq) * std::sqrt(frac_span_sq);
    orthogonal_ = slack <= 1e-6 * cutoff;
    for (int r = 0; r < 3; ++r) length_[r] = orthogonal_ ? std::abs(m[r][r]) : widths[r];
    bound_radius_ = cutoff * (1.0 + 1e-9) + (orthogonal_ ? slack : 0.0) + 1e-12;
    if (!std::isfinite(bound_radius_) || !(length_[0] > 0.0 && length_[1] > 0.0 && length_[2] > 0.0)) {
        // Degenerate numbers: no pruning at all.
        orthogonal_ = false;
        length_ = {0.0, 0.0, 0.0};
    }
}

double NeighborSearch::candidate_pairs() const {
    // Half of the (2r + 1)^3 sub-cell images (no more than there are along an
    // axis without images), each holding n_slots / cells sites.
    double pairs = 0.5 * static_cast<double>(n_slots()) * static_cast<double>(n_slots());
    for (int axis = 0; axis < 3; ++axis) {
        std::uint64_t span = 2 * static_cast<std::uint64_t>(std::max<std::int64_t>(reach_[axis], 0)) + 1;
        if (!periodic_[axis]) span = std::min(span, n_[axis]);
        pairs *= static_cast<double>(span) / static_cast<double>(n_[axis]);
    }
    return pairs;
}

double NeighborSearch::gap_sq(int axis, std::int64_t d) const {
    if (!orthogonal_) return 0.0;
    const std::int64_t cells_between = (d < 0 ? -d : d) - 1;
    if (cells_between <= 0) return 0.0;
    // Sites lie within the margin of their sub-cell's slab.
    double gap = static_cast<double>(cells_between) * cell_frac_[axis] - 2.0 * margin_[axis];
    if (!(gap > 0.0)) return 0.0;
    gap *= length_[axis];
    return gap * gap * (1.0 - 1e-9);
}

std::int64_t NeighborSearch::reach_within(int axis, double left_sq) const {
    if (left_sq < 0.0) return -1;
    const std::int64_t reach = reach_[axis];
    const double len = length_[axis];
    if (!(len > 0.0) || !(cell_frac_[axis] > 0.0)) return reach;
    // Sub-cells up to d away have (d - 1) whole sub-cells between them and home.
    const double half = (std::sqrt(left_sq) / len + 2.0 * margin_[axis]) / cell_frac_[axis];
    const double most = std::floor(half * (1.0 + 1e-9)) + 1.0;
    return most < static_cast<double>(reach) ? static_cast<std::int64_t>(most) : reach;
}

}  // namespace molvane
