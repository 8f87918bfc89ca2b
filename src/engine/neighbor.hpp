// Neighbour search: a linked-cell grid of at most 64 sub-cells per axis, over
// the cell along periodic directions (coordinates wrapped) and over the range
// the sites span along the others (home image only), packed so that every
// sub-cell's sites are contiguous; the visit of every pair within a cutoff.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/lattice.hpp"
#include "core/numeric.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"
#include "engine/kernels.hpp"

namespace molvane {

// Most sub-cells along one axis of the grid.
inline constexpr std::uint64_t max_cells_per_axis = 64;

// Most sub-cell images the search may visit around one centre.
inline constexpr std::uint64_t max_images_per_centre = std::uint64_t{1} << 30;

// f - floor(f), with a result that rounds up to 1.0 folded back to 0.0.
inline double wrap_fraction(double f) {
    if (f > 0.0 && f < 1.0) return f;  // f - floor(f) is f itself
    double w = f - std::floor(f);
    return w < 1.0 ? w : 0.0;
}

// The sub-cell (0 .. n-1) that holds the wrapped coordinate w:
// (w - floor(w)) * n truncated, at most n - 1.
inline std::uint64_t sub_cell_of(double w, std::uint64_t n) {
    // For a wrapped w (the usual case) w - floor(w) is w, or +0.0 for -0.0.
    const double from_floor = w >= 0.0 && w < 1.0 ? w + 0.0 : w - std::floor(w);
    return std::min(saturating_u64(from_floor * static_cast<double>(n)), n - 1);
}

// Sub-cells per axis (1 .. 64) for a face width and cutoff.
std::uint64_t cells_for_width(double width, double cutoff);

// How many sub-cells of `cells` across `width` must be searched on each side.
std::int64_t reach_for(double width, std::uint64_t cells, double cutoff);

class NeighborSearch {
public:
    // Plans the grid for the structure's cell and cutoff, wraps, files and
    // packs the sites. Fails when the structure has more sites than 32-bit
    // indices hold, or when the cutoff would reach over too many images.
    // Sub-cells are about cutoff / cells_per_cutoff wide (at most 64 per
    // axis): finer sub-cells prune more of the space a long cutoff reaches
    // over, at a cost per sub-cell.
    static Result<NeighborSearch> build(const Structure& structure, double cutoff, double cells_per_cutoff = 1.0);

    std::size_t n_slots() const { return sites_.site.size(); }
    // The site stored at a slot.
    std::int32_t site_at(std::uint32_t slot) const { return sites_.site[slot]; }
    // The fractional coordinates stored at a slot (wrapped along periodic axes).
    Vec3 coords_at(std::uint32_t slot) const { return {sites_.x[slot], sites_.y[slot], sites_.z[slot]}; }
    // About how many (centre, image) pairs a visit of every centre tests,
    // were the sites spread evenly.
    double candidate_pairs() const;

    // Buffers of one worker; reused from centre to centre.
    struct Scratch {
        static constexpr std::size_t capacity = 2048;
        std::array<double, capacity> d2;
        std::array<double, capacity> r;
        std::array<std::uint32_t, capacity> centre;
        std::array<std::uint32_t, capacity> slot;
        std::array<std::uint8_t, capacity> side;
        std::array<Vec3, capacity> shift;  // filled only for sinks that take shifts
        std::size_t count = 0;
        // Set by a sink that wants them: the entries of each batch closer
        // than sqrt(near_sq), listed in increasing order (near_count of
        // them) as the batch's square roots are taken. Every entry with
        // r < bound is listed for near_sq = near_bound_sq(bound), perhaps
        // with a few just beyond.
        double near_sq = 0.0;
        std::array<std::uint32_t, capacity> near;
        std::size_t near_count = 0;
    };
    // near_sq for every entry below `bound`, whatever the rounding of r.
    static double near_bound_sq(double bound) { return bound * bound * (1.0 + 1e-12); }

    // A sink may take one more argument, before n: the image shift of each
    // entry (const Vec3*), so that coords_at(slot) + shift - coords_at(centre)
    // is the pair's fractional vector (up to its sign).
    template <typename Sink>
    static constexpr bool takes_shifts =
        std::is_invocable_v<Sink&, const std::uint32_t*, std::uint32_t*, const double*, std::uint8_t*, const Vec3*,
                            std::size_t>;

    // Visits, for the centres at the slots [lo, hi), every pair of a centre
    // with an image of a site exactly once, as one of two halves: images in
    // the raw sub-cells after the centre's own (in (da, db, dc) order) and the
    // slots after the centre in its own sub-cell. Every ordered pair within
    // the cutoff (the centre itself and anything closer than 1e-8 excluded)
    // is thus met once, from its centre (forward) or from its neighbour
    // (reverse). Accepted entries reach
    //   sink(const uint32_t* centres, uint32_t* slots, const double* r,
    //        uint8_t* sides, size_t n)
    // in batches, in an order fixed by lo and hi alone; the slots and sides
    // are the worker's own and the sink may rewrite them.
    template <typename Sink>
    void visit(std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink&& sink) const;

    // The same, but every unordered pair once: an entry of the pair (i, j)
    // at image shift S stands for both ordered pairs (i -> j + S and
    // j -> i - S) and is marked side_both; the entries are the same-image
    // and forward ones of visit(), so half as many for long cutoffs.
    template <typename Sink>
    void visit_unordered(std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink&& sink) const {
        visit_all<true>(lo, hi, scratch, sink);
    }

private:
    NeighborSearch() = default;

    // The visit of the centres [lo, hi), of ordered or unordered pairs.
    template <bool Unordered, typename Sink>
    void visit_all(std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink& sink) const;

    // The centres [lo, hi), all in the sub-cell `cell`.
    template <bool Unordered, typename Sink>
    void visit_cell(std::size_t cell, std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink& sink) const;
    // One run of packed slots [lo, hi) at one image shift, seen from the
    // centres [c_lo, c_hi): both directions at once for the same image,
    // otherwise forward, then reverse (Unordered: forward alone, standing
    // for both).
    template <bool Unordered, typename Sink>
    void scan_run(std::uint32_t lo, std::uint32_t hi, std::uint32_t c_lo, std::uint32_t c_hi, bool home,
                  const std::int64_t (&shift)[3], Scratch& scratch, Sink& sink) const;
    // Hands the run to the kernel, flushing whenever the scratch runs full.
    template <typename Sink>
    void collect(const RunProbe& run, PairSide side, Scratch& scratch, Sink& sink) const;
    // Takes square roots of the collected squared distances and hands them on.
    template <typename Sink>
    void flush(Scratch& scratch, Sink& sink) const;

    // Largest raw offset |d| along `axis` whose sub-cells can come within
    // sqrt(left_sq) of a point of the home sub-cell (capped by the reach;
    // -1 when left_sq < 0).
    std::int64_t reach_within(int axis, double left_sq) const;
    // Squared gap along `axis` between sub-cells d apart (a lower bound; zero
    // when the lattice is not treated as orthogonal).
    double gap_sq(int axis, std::int64_t d) const;
    // Sets up the pruning bounds from the cell and the grid.
    void plan_bounds(double cutoff);
    // Sub-cells, reach and filing of every axis: over the cell along periodic
    // axes, over the sites' range (home image only) along the others.
    void plan_axes(std::span<const Vec3> frac, double cutoff, double cell_width);
    // Files and packs the sites into start_ and sites_.
    void pack_sites(std::span<const Vec3> frac);
    // The sub-cell along `axis` that holds coordinate w (wrapped if periodic).
    std::uint64_t cell_along(int axis, double w) const {
        if (periodic_[axis]) return sub_cell_of(w, n_[axis]);
        return std::min(saturating_u64((w - origin_[axis]) * scale_[axis]), n_[axis] - 1);
    }
    // Raw sub-cell offsets [lo, hi] from `home` along `axis`, cut to the
    // sub-cells that exist when the axis has no images.
    void clip(int axis, std::int64_t home, std::int64_t& lo, std::int64_t& hi) const {
        if (periodic_[axis]) return;
        lo = std::max(lo, -home);
        hi = std::min(hi, static_cast<std::int64_t>(n_[axis]) - 1 - home);
    }

    Mat3 m_{};
    double cutoff_sq_ = 0.0;
    bool diagonal_ = false;
    CollectFn collect_ = nullptr;
    // Pruning of sub-cells. With `orthogonal_`, squared gaps along the three
    // axes add up (lengths are the diagonal entries); otherwise each axis is
    // bounded on its own by the reach. `bound_radius_` is the cutoff widened
    // to cover rounding and small off-diagonal entries.
    bool orthogonal_ = false;
    std::array<double, 3> length_{};
    double bound_radius_ = 0.0;
    std::array<std::uint64_t, 3> n_{};
    std::array<std::int64_t, 3> reach_{};
    // Per axis: periodic or not; where sub-cell 0 starts, sub-cells per unit
    // of coordinate (no images only; 0 for one sub-cell over no extent) and
    // one sub-cell's fractional width; the rounding margin of the filing.
    Pbc periodic_{true, true, true};
    std::array<double, 3> origin_{}, scale_{}, cell_frac_{}, margin_{};
    std::vector<std::uint32_t> start_;  // per sub-cell, first slot; one extra entry at the end
    PackedSites sites_;
};

// --- template definitions ---

namespace detail {

// floor(raw / n) and the remainder in 0 .. n-1.
inline void floor_divmod(std::int64_t raw, std::int64_t n, std::int64_t& cell, std::int64_t& shift) {
    std::int64_t q = raw / n;
    std::int64_t rem = raw % n;
    if (rem < 0) {
        rem += n;
        q -= 1;
    }
    cell = rem;
    shift = q;
}

}  // namespace detail

template <typename Sink>
void NeighborSearch::flush(Scratch& scratch, Sink& sink) const {
    if (scratch.count == 0) return;
    if (scratch.near_sq > 0.0)
        scratch.near_count = square_roots_listing(scratch.d2.data(), scratch.r.data(), scratch.count, scratch.near_sq,
                                                  scratch.near.data());
    else
        square_roots(scratch.d2.data(), scratch.r.data(), scratch.count);
    if constexpr (takes_shifts<Sink>) {
        sink(static_cast<const std::uint32_t*>(scratch.centre.data()), scratch.slot.data(),
             static_cast<const double*>(scratch.r.data()), scratch.side.data(),
             static_cast<const Vec3*>(scratch.shift.data()), scratch.count);
    } else {
        sink(static_cast<const std::uint32_t*>(scratch.centre.data()), scratch.slot.data(),
             static_cast<const double*>(scratch.r.data()), scratch.side.data(), scratch.count);
    }
    scratch.count = 0;
}

template <typename Sink>
void NeighborSearch::collect(const RunProbe& run, PairSide side, Scratch& scratch, Sink& sink) const {
    RunOutput out{run.c_lo, 0, 0, nullptr, nullptr, nullptr};
    while (out.next < run.c_hi) {
        const std::size_t at = scratch.count;
        out.room = Scratch::capacity - at;
        out.centre = scratch.centre.data() + at;
        out.slot = scratch.slot.data() + at;
        out.d2 = scratch.d2.data() + at;
        const std::size_t found = collect_(sites_, run, m_, cutoff_sq_, out);
        std::fill_n(scratch.side.data() + at, found, static_cast<std::uint8_t>(side));
        if constexpr (takes_shifts<Sink>)
            std::fill_n(scratch.shift.data() + at, found, Vec3{run.shift[0], run.shift[1], run.shift[2]});
        scratch.count += found;
        if (out.next < run.c_hi) flush(scratch, sink);
    }
}

template <bool Unordered, typename Sink>
void NeighborSearch::scan_run(std::uint32_t lo, std::uint32_t hi, std::uint32_t c_lo, std::uint32_t c_hi,
                              bool home, const std::int64_t (&shift)[3], Scratch& scratch, Sink& sink) const {
    RunProbe run{lo, hi, c_lo, c_hi, home, diagonal_, ProbeForm::same_image,
                 {static_cast<double>(shift[0]), static_cast<double>(shift[1]), static_cast<double>(shift[2])}};
    if (shift[0] == 0 && shift[1] == 0 && shift[2] == 0) {
        collect(run, side_both, scratch, sink);
        return;
    }
    run.form = ProbeForm::forward;
    if constexpr (Unordered) {
        collect(run, side_both, scratch, sink);
        return;
    }
    collect(run, side_forward, scratch, sink);
    run.form = ProbeForm::reverse;
    collect(run, side_reverse, scratch, sink);
}

template <bool Unordered, typename Sink>
void NeighborSearch::visit_cell(std::size_t cell, std::uint32_t lo, std::uint32_t hi, Scratch& scratch,
                                Sink& sink) const {
    const std::int64_t na = static_cast<std::int64_t>(n_[0]), nb = static_cast<std::int64_t>(n_[1]),
                       nc = static_cast<std::int64_t>(n_[2]);
    const std::int64_t ca = static_cast<std::int64_t>(cell) / (nb * nc),
                       cb = static_cast<std::int64_t>(cell) / nc % nb, cc = static_cast<std::int64_t>(cell) % nc;
    // Raw sub-cells in increasing (da, db, dc) order from the home one, only
    // the half after (0, 0, 0); along each axis only as far as sub-cells can
    // hold a point within the cutoff of the home sub-cell.
    const double limit_sq = bound_radius_ * bound_radius_;
    std::int64_t da_lo = 0, da_hi = reach_within(0, limit_sq);
    clip(0, ca, da_lo, da_hi);
    for (std::int64_t da = 0; da <= da_hi; ++da) {
        std::int64_t ia, sa;
        detail::floor_divmod(ca + da, na, ia, sa);
        const double left_a = limit_sq - gap_sq(0, da);
        const std::int64_t mb = reach_within(1, left_a);
        std::int64_t db_lo = da == 0 ? 0 : -mb, db_hi = mb;
        clip(1, cb, db_lo, db_hi);
        for (std::int64_t db = db_lo; db <= db_hi; ++db) {
            std::int64_t ib, sb;
            detail::floor_divmod(cb + db, nb, ib, sb);
            const double left_b = left_a - gap_sq(1, db);
            const std::int64_t mc = reach_within(2, left_b);
            const bool home_row = da == 0 && db == 0;
            const std::int64_t row = (ia * nb + ib) * nc;
            // Along c, consecutive sub-cells with the same image shift are
            // adjacent in the packed order, so they are scanned as one run.
            std::int64_t dc_lo = home_row ? 0 : -mc, dc_hi = mc;
            clip(2, cc, dc_lo, dc_hi);
            std::int64_t kc = cc + dc_lo;
            const std::int64_t c_hi = cc + dc_hi;
            while (kc <= c_hi) {
                std::int64_t ic, shift[3] = {sa, sb, 0};
                detail::floor_divmod(kc, nc, ic, shift[2]);
                const std::int64_t run = std::min(nc - ic, c_hi - kc + 1);
                const std::uint32_t run_lo = start_[static_cast<std::size_t>(row + ic)];
                const std::uint32_t run_hi = start_[static_cast<std::size_t>(row + ic + run)];
                if (run_lo < run_hi)
                    scan_run<Unordered>(run_lo, run_hi, lo, hi, home_row && kc == cc, shift, scratch, sink);
                kc += run;
            }
        }
    }
}

template <typename Sink>
void NeighborSearch::visit(std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink&& sink) const {
    visit_all<false>(lo, hi, scratch, sink);
}

template <bool Unordered, typename Sink>
void NeighborSearch::visit_all(std::uint32_t lo, std::uint32_t hi, Scratch& scratch, Sink& sink) const {
    scratch.count = 0;
    if (reach_[0] < 0 || reach_[1] < 0 || reach_[2] < 0) return;
    // The first sub-cell that holds slot lo, then one sub-cell at a time.
    std::size_t cell = static_cast<std::size_t>(std::upper_bound(start_.begin(), start_.end(), lo) - start_.begin()) - 1;
    while (lo < hi) {
        const std::uint32_t end = std::min(hi, start_[cell + 1]);
        if (lo < end) visit_cell<Unordered>(cell, lo, end, scratch, sink);
        lo = std::max(lo, end);
        ++cell;
    }
    flush(scratch, sink);
}

}  // namespace molvane
