// Periodic neighbour search: wrapped coordinates, a linked-cell grid of at
// most 64 sub-cells per axis, and the visit of every image within a cutoff.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/lattice.hpp"
#include "core/structure.hpp"

namespace molvane {

// Most sub-cells along one axis of the grid.
inline constexpr std::uint64_t max_cells_per_axis = 64;

// f - floor(f), with a result that rounds up to 1.0 folded back to 0.0.
double wrap_fraction(double f);

// Wrapped fractional coordinates of every site, in site order.
std::vector<Vec3> wrap_coordinates(const std::vector<Site>& sites);

// Distances between the opposite faces of the cell (d_a, d_b, d_c).
Vec3 perpendicular_widths(const Mat3& m);

// The sub-cell (0 .. n-1) that holds the wrapped coordinate w.
std::uint64_t sub_cell_of(double w, std::uint64_t n);

// Sub-cells per axis (1 .. 64) for a face width and cutoff.
std::uint64_t cells_for_width(double width, double cutoff);

// How many sub-cells of `cells` across `width` must be searched on each side.
std::int64_t reach_for(double width, std::uint64_t cells, double cutoff);

// The linked-cell grid: per-sub-cell list heads and per-site links. Each
// sub-cell's list runs from its highest site index down to its lowest.
struct CellGrid {
    std::array<std::uint64_t, 3> cells_per_axis{};
    std::array<std::int64_t, 3> search_range{};
    std::vector<std::int32_t> heads;  // -1: empty sub-cell
    std::vector<std::int32_t> next;   // -1: end of list

    std::uint64_t flat_index(std::uint64_t ia, std::uint64_t ib, std::uint64_t ic) const {
        return (ia * cells_per_axis[1] + ib) * cells_per_axis[2] + ic;
    }
};

// Grid dimensions and reach only; the lists are left empty.
CellGrid plan_cell_grid(const Mat3& m, double cutoff);

// Files every site (wrapped coordinates) into the planned grid.
void file_sites(CellGrid& grid, const std::vector<Vec3>& wrapped);

// The grid flattened for the visit: the sites of every sub-cell stored
// contiguously (sub-cells in flat order, each in its list order), with their
// wrapped coordinates as three separate arrays. A "slot" is a position in
// this packed order.
class NeighborSearch {
public:
    NeighborSearch(const Mat3& m, const std::vector<Vec3>& wrapped, const CellGrid& grid, double cutoff);

    std::size_t n_slots() const { return site_.size(); }
    // The site stored at a slot.
    std::int32_t site_at(std::uint32_t slot) const { return site_[slot]; }

    // Buffers of one worker; reused from centre to centre.
    struct Scratch {
        static constexpr std::size_t capacity = 2048;
        std::array<double, capacity> d2;
        std::array<double, capacity> r;
        std::array<std::uint32_t, capacity> slot;
        std::size_t count = 0;
    };

    // Visits every image of every site within the cutoff of centre i (the
    // centre itself and anything closer than 1e-8 excluded). Accepted images
    // reach `sink(const uint32_t* slots, const double* r, size_t n)` in
    // batches, in visit order: sub-cell offsets in increasing (da, db, dc)
    // order, then each sub-cell's list order.
    template <typename Sink>
    void visit(std::size_t i, Scratch& scratch, Sink&& sink) const;

private:
    struct Shifted {
        double sa, sb, sc;
    };
    // Tests the packed slots [lo, hi) at one image shift, appending accepted
    // ones to the scratch; flushes to the sink when the buffer runs full.
    template <typename Sink>
    void scan(std::uint32_t lo, std::uint32_t hi, const Shifted& s, const Vec3& wi, Scratch& scratch,
              Sink& sink) const;
    // Takes square roots of the collected squared distances and hands them on.
    template <typename Sink>
    void flush(Scratch& scratch, Sink& sink) const;

    // The raw sub-cells k (image shifts folded in) along `axis` in [lo, hi]
    // whose slab of fractional coordinates comes within sqrt(left_sq) of w.
    void pruned_range(double w, int axis, double left_sq, std::int64_t lo, std::int64_t hi,
                      std::int64_t& out_lo, std::int64_t& out_hi) const;
    // Squared distance along `axis` from w to raw sub-cell k (lower bound,
    // zero when the lattice is not treated as orthogonal).
    double axis_gap_sq(double w, int axis, std::int64_t k) const;

    Mat3 m_;
    double cutoff_sq_;
    // Pruning of sub-cells. With `orthogonal_`, squared gaps along the three
    // axes add up (lengths are the diagonal entries); otherwise each axis is
    // bounded on its own by the face widths. `bound_radius_` is the cutoff
    // widened to cover rounding and small off-diagonal entries.
    bool orthogonal_ = false;
    std::array<double, 3> length_{};
    double bound_radius_ = 0.0;
    std::array<std::uint64_t, 3> n_;
    std::array<std::int64_t, 3> reach_;
    std::vector<Vec3> home_;          // wrapped coordinates by site index
    std::vector<std::uint32_t> start_;  // per sub-cell, first slot; one extra entry at the end
    std::vector<double> x_, y_, z_;   // wrapped coordinates by slot
    std::vector<std::int32_t> site_;  // site index by slot
};

// Appends the accepted slots of [lo, hi) (squared distance at most cutoff_sq
// and above 1e-16) to out_slot/out_d2; returns how many were appended.
// At most NeighborSearch::Scratch::capacity slots at a time.
std::size_t collect_images(const double* x, const double* y, const double* z, std::uint32_t lo,
                           std::uint32_t hi, const double* shift, const double* centre, const Mat3& m,
                           double cutoff_sq, std::uint32_t* out_slot, double* out_d2);

// Instruction-set variants of collect_images. All give the same bits; the
// fastest one the CPU supports is chosen when the library loads. Tests force
// each in turn (Python: molvane._molvane._set_kernel(name), which returns the
// previous name) to check that they agree. A search keeps the variant that
// was current when it was built.
enum class Kernel { plain, avx2, avx512 };
std::optional<Kernel> kernel_named(std::string_view name);
const char* kernel_name(Kernel k);
bool kernel_supported(Kernel k);
Kernel current_kernel();
// Makes k current (it must be supported) and returns the previous one.
Kernel set_kernel(Kernel k);

// Square roots of n values.
void square_roots(const double* in, double* out, std::size_t n);

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
    square_roots(scratch.d2.data(), scratch.r.data(), scratch.count);
    sink(static_cast<const std::uint32_t*>(scratch.slot.data()), static_cast<const double*>(scratch.r.data()),
         scratch.count);
    scratch.count = 0;
}

template <typename Sink>
void NeighborSearch::scan(std::uint32_t lo, std::uint32_t hi, const Shifted& s, const Vec3& wi,
                          Scratch& scratch, Sink& sink) const {
    const double shift[3] = {s.sa, s.sb, s.sc};
    constexpr std::size_t keep_free = 256;
    while (lo < hi) {
        std::size_t room = Scratch::capacity - scratch.count;
        std::uint32_t len = static_cast<std::uint32_t>(std::min<std::size_t>(room, hi - lo));
        scratch.count += collect_images(x_.data(), y_.data(), z_.data(), lo, lo + len, shift, wi.data(), m_,
                                        cutoff_sq_, scratch.slot.data() + scratch.count,
                                        scratch.d2.data() + scratch.count);
        lo += len;
        if (Scratch::capacity - scratch.count < keep_free) flush(scratch, sink);
    }
}

template <typename Sink>
void NeighborSearch::visit(std::size_t i, Scratch& scratch, Sink&& sink) const {
    const Vec3& wi = home_[i];
    const std::int64_t na = static_cast<std::int64_t>(n_[0]), nb = static_cast<std::int64_t>(n_[1]),
                       nc = static_cast<std::int64_t>(n_[2]);
    const std::int64_t ca = static_cast<std::int64_t>(sub_cell_of(wi[0], n_[0]));
    const std::int64_t cb = static_cast<std::int64_t>(sub_cell_of(wi[1], n_[1]));
    const std::int64_t cc = static_cast<std::int64_t>(sub_cell_of(wi[2], n_[2]));
    const std::int64_t ra = reach_[0], rb = reach_[1], rc = reach_[2];
    scratch.count = 0;
    if (ra < 0 || rb < 0 || rc < 0) return;
    // Sub-cells are visited in increasing (da, db, dc) order; along each
    // axis only those that can hold a point within the cutoff are entered.
    const double limit_sq = bound_radius_ * bound_radius_;
    std::int64_t a_lo, a_hi;
    pruned_range(wi[0], 0, limit_sq, ca - ra, ca + ra, a_lo, a_hi);
    for (std::int64_t ka = a_lo; ka <= a_hi; ++ka) {
        std::int64_t ia, sa;
        detail::floor_divmod(ka, na, ia, sa);
        const double left_a = limit_sq - axis_gap_sq(wi[0], 0, ka);
        if (left_a < 0.0) continue;
        std::int64_t b_lo, b_hi;
        pruned_range(wi[1], 1, left_a, cb - rb, cb + rb, b_lo, b_hi);
        for (std::int64_t kb = b_lo; kb <= b_hi; ++kb) {
            std::int64_t ib, sb;
            detail::floor_divmod(kb, nb, ib, sb);
            const double left_b = left_a - axis_gap_sq(wi[1], 1, kb);
            if (left_b < 0.0) continue;
            std::int64_t c_lo, c_hi;
            pruned_range(wi[2], 2, left_b, cc - rc, cc + rc, c_lo, c_hi);
            const std::int64_t row = (ia * nb + ib) * nc;
            // Along c, consecutive sub-cells with the same image shift are
            // adjacent in the packed order, so they are scanned as one run.
            std::int64_t kc = c_lo;
            while (kc <= c_hi) {
                std::int64_t ic, sc;
                detail::floor_divmod(kc, nc, ic, sc);
                std::int64_t run = std::min(nc - ic, c_hi - kc + 1);
                std::uint32_t lo = start_[static_cast<std::size_t>(row + ic)];
                std::uint32_t hi = start_[static_cast<std::size_t>(row + ic + run)];
                if (lo < hi) {
                    Shifted s{static_cast<double>(sa), static_cast<double>(sb), static_cast<double>(sc)};
                    scan(lo, hi, s, wi, scratch, sink);
                }
                kc += run;
            }
        }
    }
    flush(scratch, sink);
}

}  // namespace molvane
