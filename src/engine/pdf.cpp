// Pair sums of G(r): argument and displacement checks, Cartesian tensors,
// the reach of the widest Gaussian, and the Gaussians added piece by piece
// on a worker pool over the neighbour search's pairs (isotropic ones through
// exact fixed-point sums in fine bins).
#include "engine/pdf.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/exclusions.hpp"
#include "engine/neighbor.hpp"
#include "engine/pool.hpp"
#include "engine/rdf.hpp"  // for piece_count, max_histogram_entries

namespace molvane {

namespace {

// 1 / sqrt(2 pi) as the nearest double.
constexpr double inv_sqrt_two_pi = 0.3989422804014327;

// A symmetric tensor as xx yy zz xy xz yz.
using Sym6 = std::array<double, 6>;

std::string site_name(const Structure& s, std::size_t i) {
    const Sites& sites = s.sites();
    return "site " + std::to_string(i) + " (" + sites.symbol(sites.entry(sites.entries_begin(i)).symbol) + ")";
}

Result<bool> validate(const PdfGrid& grid, const PeakWidth& width) {
    if (!(grid.rstep > 0.0) || !std::isfinite(grid.rstep)) return fail("rstep must be a positive number");
    if (!(grid.rmin >= 0.0) || !std::isfinite(grid.rmin)) return fail("rmin must be a number of at least 0");
    if (grid.n_points < 1 || grid.n_points > max_pdf_points)
        return fail("the grid would hold ", std::to_string(grid.n_points), " points; at most ",
                    std::to_string(max_pdf_points), " are allowed");
    const double values[3] = {width.delta1, width.delta2, width.qbroad};
    const char* names[3] = {"delta1", "delta2", "qbroad"};
    for (int k = 0; k < 3; ++k)
        if (!(values[k] >= 0.0) || !std::isfinite(values[k])) return fail(names[k], " must be a number of at least 0");
    return true;
}

// U in Cartesian axes: U_c = L^T N U N L, L the lattice matrix (rows a, b,
// c) and N = diag(a*, b*, c*); U_iso times the unit tensor when isotropic.
Sym6 cartesian(const Displacement& d, const Lattice& lattice) {
    if (d.kind == Displacement::isotropic) return {d.u[0], d.u[0], d.u[0], 0.0, 0.0, 0.0};
    const Mat3& l = lattice.matrix();
    const Mat3& inv = lattice.inverse();
    Vec3 recip{};
    for (int k = 0; k < 3; ++k)
        recip[k] = std::sqrt(inv[0][k] * inv[0][k] + inv[1][k] * inv[1][k] + inv[2][k] * inv[2][k]);
    const int row[6] = {0, 1, 2, 0, 0, 1}, col[6] = {0, 1, 2, 1, 2, 2};
    Mat3 u{};
    for (int k = 0; k < 6; ++k) u[row[k]][col[k]] = u[col[k]][row[k]] = d.u[k] * recip[row[k]] * recip[col[k]];
    Sym6 out{};
    for (int k = 0; k < 6; ++k) {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) sum += l[i][row[k]] * u[i][j] * l[j][col[k]];
        out[k] = sum;
    }
    return out;
}

// Leading minors all positive.
bool positive_definite(const Sym6& u) {
    const double m2 = u[0] * u[1] - u[3] * u[3];
    const double m3 = u[0] * (u[1] * u[2] - u[5] * u[5]) - u[3] * (u[3] * u[2] - u[5] * u[4]) +
                      u[4] * (u[3] * u[5] - u[1] * u[4]);
    return u[0] > 0.0 && m2 > 0.0 && m3 > 0.0;
}

// One Cartesian tensor per species entry (site by site), from one
// displacement per site or one per species entry.
Result<std::vector<Sym6>> cartesian_tensors(const Structure& s, const std::vector<Displacement>& displacements) {
    const Sites& sites = s.sites();
    const std::size_t n_entries = sites.n_entries();
    const bool per_site = displacements.size() == sites.size();
    if (!per_site && displacements.size() != n_entries) {
        if (displacements.empty()) return fail("the structure has no displacement parameters; give uiso");
        return fail("got displacement parameters for ", std::to_string(displacements.size()),
                    " sites, but the structure has ", std::to_string(sites.size()));
    }
    std::string missing;
    std::size_t n_missing = 0;
    std::vector<Sym6> out;
    out.reserve(n_entries);
    for (std::size_t i = 0, e = 0; i < sites.size(); ++i) {
        bool site_missing = false;
        for (std::size_t k = sites.entries_begin(i); k < sites.entries_end(i); ++k, ++e) {
            const Displacement& d = displacements[per_site ? i : e];
            if (d.kind == Displacement::none) {
                site_missing = true;
                out.push_back({});
                continue;
            }
            out.push_back(cartesian(d, s.lattice()));
            const Sym6& u = out.back();
            if (!positive_definite(u) || !std::isfinite(u[0] + u[1] + u[2] + u[3] + u[4] + u[5]))
                return fail("the displacement parameters of ", site_name(s, i), " are not positive definite");
        }
        if (site_missing && ++n_missing <= 5) missing += (missing.empty() ? "" : ", ") + site_name(s, i);
    }
    if (n_missing)
        return fail(std::to_string(n_missing), n_missing == 1 ? " site has" : " sites have",
                    " no displacement parameters (", missing, n_missing > 5 ? ", ..." : "", "); give uiso");
    return out;
}

// The search cutoff: the grid's last point plus the reach of the widest
// Gaussian there. Widths grow with qbroad, so the bound is iterated to a
// fixed point; it fails when qbroad makes the reach run away.
Result<double> search_cutoff(const PdfGrid& grid, const PeakWidth& width, const std::vector<Sym6>& u) {
    double largest = 0.0;  // bounds every eigenvalue (Gershgorin: the largest absolute row sum)
    for (const Sym6& t : u) {
        const double rows[3] = {std::fabs(t[0]) + std::fabs(t[3]) + std::fabs(t[4]),
                                std::fabs(t[3]) + std::fabs(t[1]) + std::fabs(t[5]),
                                std::fabs(t[4]) + std::fabs(t[5]) + std::fabs(t[2])};
        largest = std::max({largest, rows[0], rows[1], rows[2]});
    }
    const double r_last = grid.rmin + static_cast<double>(grid.n_points - 1) * grid.rstep;
    const double sigma0 = std::sqrt(2.0 * largest);
    double cutoff = r_last;
    for (int pass = 0; pass < 60; ++pass) {
        const double next = r_last + gaussian_reach * sigma0 * std::sqrt(1.0 + width.qbroad * width.qbroad * cutoff * cutoff);
        if (next <= cutoff * (1.0 + 1e-12)) return cutoff + grid.rstep;
        cutoff = next;
        if (!(cutoff < 2.0 * r_last + 100.0))
            return fail("qbroad widens the peaks beyond the range; use a smaller qbroad");
    }
    return cutoff + grid.rstep;
}

// Pairs of isotropic species are not given a Gaussian one by one: their
// weights w and w x (x the pair's place within its bin) are added into fine
// bins, one row of bins per combination of element pair and width
// sigma'^2 = U_p + U_q, and every filled bin then gives one Gaussian at its
// weighted mean distance. In a crystal the pairs of one bin share their
// distance, so this is the same sum; otherwise the mean stands in for
// distances at most one fine bin apart, off by about (bin / sigma)^2 / 24 of
// the peak. The sums are fixed-point integers (units of 2^-40), so they add
// up exactly, in any order: every worker sums its own pairs, the totals are
// the same on any number of threads, and each bin's Gaussian is added once.
struct Binned {
    std::vector<std::int32_t> type;  // per species entry: its (element, U_iso) type, -1 when anisotropic
    std::size_t n_types = 0;
    std::vector<std::int32_t> row;    // per type pair p * n_types + q: the bin row
    std::vector<std::size_t> curve;   // per row
    std::vector<double> var;          // per row: U_p + U_q
    // Per slot of the search: the type of a site with one species entry
    // (-1 otherwise, or when the occupancy is not a binnable weight) and
    // that entry's occupancy.
    std::vector<std::int32_t> slot_type;
    std::vector<std::int32_t> slot_row;  // slot_type * n_types, or -1
    std::vector<double> slot_occupancy;
    bool unit_occupancy = false;  // every slot with a type has occupancy 1
    double origin = 0.0, width = 0.0, inv_width = 0.0;
    std::size_t n_fine = 0;
    bool on = false;
};

// Most fine bins of all rows together, twice (each worker holds one set).
constexpr std::size_t max_fine_entries = std::size_t{1} << 22;
// Most (element, U_iso) types for the binned sums.
constexpr std::size_t max_types = 64;

// Fixed-point unit of the binned sums: 2^-40. Binned pair weights lie in
// [2^-12, 2] (sites of occupancy at least 2^-6), so each is kept to 2^-29 of
// itself, and a pair adds at most 2^41 + 1 units to a sum: a worker's 64-bit
// sums take 2^22 pairs (and one batch of the search more) before they are
// folded into the 128-bit totals.
constexpr double fixed_scale = 1099511627776.0;
constexpr double min_binned_weight = 1.0 / 4096.0;
constexpr double min_binned_occupancy = 1.0 / 64.0;
constexpr std::size_t fold_every = std::size_t{1} << 22;

bool binnable(double weight) { return weight >= min_binned_weight && weight <= 2.0; }

// A value in [0, 2] in units of 2^-40, rounded (through a signed integer,
// which converts without a branch).
inline std::uint64_t fixed(double value) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value * fixed_scale + 0.5));
}

// The binned sums of all workers: per bin row and fine bin, the weight and
// the weighted place, each as 128 bits (low and high words). The first
// worker to fold hands over its sums as the low words; the high words are
// made at the first carry.
struct BinTotals {
    std::mutex lock;
    std::vector<std::uint64_t> low, high;
};

// Everything the workers read.
struct Plan {
    PdfGrid grid;
    PeakWidth width;
    const Sites* sites = nullptr;  // the species entries (symbol indices in byte order)
    std::vector<Sym6> u;
    NeighborSearch search;
    Mat3 m{};
    std::size_t n_curves = 0;
    std::size_t pieces = 1;
    Binned binned;
    const Structure* structure = nullptr;
    const PairRules* rules = nullptr;  // the decided pairs' weights, if any
};

std::size_t curve_index(std::size_t a, std::size_t b, std::size_t nel) {
    if (a > b) std::swap(a, b);
    return a * (2 * nel - a + 1) / 2 + (b - a);
}

// The fine bins of the isotropic pairs: types, rows and the bin grid over
// the reach of the widest Gaussian around the grid; off (every pair on its
// own) when there are too many types or bins.
Binned binned_layout(const Sites& sites, const std::vector<Sym6>& u, const PdfGrid& grid, double cutoff) {
    Binned b;
    b.type.assign(u.size(), -1);
    std::vector<std::pair<std::uint32_t, double>> types;  // (element, U_iso)
    double min_u = 0.0;
    for (std::size_t e = 0; e < u.size(); ++e) {
        const Sym6& t = u[e];
        if (!(t[3] == 0.0 && t[4] == 0.0 && t[5] == 0.0 && t[0] == t[1] && t[1] == t[2])) continue;
        const std::pair<std::uint32_t, double> key{sites.entry_symbols()[e], t[0]};
        auto it = std::find(types.begin(), types.end(), key);
        if (it == types.end()) {
            if (types.size() == max_types) return Binned{};
            it = types.insert(types.end(), key);
        }
        b.type[e] = static_cast<std::int32_t>(it - types.begin());
        min_u = min_u == 0.0 ? t[0] : std::min(min_u, t[0]);
    }
    if (types.empty()) return Binned{};
    b.n_types = types.size();
    b.row.assign(b.n_types * b.n_types, -1);
    const std::size_t nel = sites.symbols().size();
    for (std::size_t p = 0; p < b.n_types; ++p)
        for (std::size_t q = p; q < b.n_types; ++q) {
            const std::size_t c = curve_index(types[p].first, types[q].first, nel);
            const double var = types[p].second + types[q].second;
            std::size_t r = 0;
            while (r < b.curve.size() && !(b.curve[r] == c && b.var[r] == var)) ++r;
            if (r == b.curve.size()) {
                b.curve.push_back(c);
                b.var.push_back(var);
            }
            b.row[p * b.n_types + q] = b.row[q * b.n_types + p] = static_cast<std::int32_t>(r);
        }
    // Bins an eighth of a grid step wide, and narrow beside the narrowest peak.
    b.width = std::min(grid.rstep / 8.0, std::sqrt(2.0 * min_u) / 30.0);
    b.origin = std::max(0.0, grid.rmin - (cutoff - (grid.rmin + static_cast<double>(grid.n_points - 1) * grid.rstep)));
    const double span = (cutoff - b.origin) / b.width + 2.0;
    if (!(span * static_cast<double>(b.curve.size()) * 2.0 <= static_cast<double>(max_fine_entries))) return Binned{};
    b.n_fine = static_cast<std::size_t>(span);
    b.inv_width = 1.0 / b.width;
    b.on = true;
    return b;
}

// The piece's sums of the pairs not binned (empty until one comes), plus
// the shortest pair whose width came out imaginary and the pairs the rules
// decided.
struct PieceSums {
    std::vector<double> curves;
    double bad_distance = 0.0;
    DecisionSummary summary;
};

// Gauss(r_k; d, sigma) over the grid points within reach, into `values`
// (indices lo .. hi of the span).
struct Span {
    std::size_t lo = 0, hi = 0;
    bool empty = true;
};

Span gaussian(const PdfGrid& g, double d, double var, double* v) {
    const double sigma = std::sqrt(var);
    const double reach = gaussian_reach * sigma;
    const double lo = std::ceil((d - reach - g.rmin) / g.rstep);
    const double hi = std::floor((d + reach - g.rmin) / g.rstep);
    const double last = static_cast<double>(g.n_points - 1);
    if (hi < 0.0 || lo > last || hi < lo) return {};
    const std::size_t k_lo = static_cast<std::size_t>(std::max(lo, 0.0));
    const std::size_t k_hi = static_cast<std::size_t>(std::min(hi, last));
    // From the grid point nearest d outwards: g(k +- 1) = g(k) f, where
    // each step's factor f shrinks by c = exp(-h^2 / sigma^2).
    const double centre_k = std::min(std::max(std::nearbyint((d - g.rmin) / g.rstep), static_cast<double>(k_lo)),
                                     static_cast<double>(k_hi));
    const std::size_t k0 = static_cast<std::size_t>(centre_k);
    const double a = 0.5 / var, h = g.rstep;
    const double x0 = (g.rmin + static_cast<double>(k0) * h) - d;
    const double c = std::exp(-2.0 * a * h * h);
    v[k0] = inv_sqrt_two_pi / sigma * std::exp(-a * x0 * x0);
    double f = std::exp(-a * (2.0 * x0 * h + h * h));
    for (std::size_t k = k0; k < k_hi; ++k) {
        v[k + 1] = v[k] * f;
        f *= c;
    }
    f = std::exp(-a * (h * h - 2.0 * x0 * h));
    for (std::size_t k = k0; k > k_lo; --k) {
        v[k - 1] = v[k] * f;
        f *= c;
    }
    return {k_lo, k_hi, false};
}

// sigma'^2 (1 - delta1/d - delta2/d^2 + qbroad^2 d^2).
double widened(double var, double d, const PeakWidth& w) {
    return var * (1.0 - w.delta1 / d - w.delta2 / (d * d) + w.qbroad * w.qbroad * d * d);
}

// One Gaussian per filled fine bin of the totals, into the curves (one
// after another); returns the shortest distance whose width came out
// imaginary (0 when none).
double spread_totals(const Plan& p, const BinTotals& totals, double* curves) {
    const Binned& b = p.binned;
    const std::size_t n = p.grid.n_points;
    std::vector<double> values(n);
    double bad = 0.0;
    constexpr double word = 18446744073709551616.0;  // 2^64
    for (std::size_t r = 0; r < b.curve.size(); ++r) {
        double* curve = curves + b.curve[r] * n;
        for (std::size_t j = 0; j < b.n_fine; ++j) {
            const std::size_t at = 2 * (r * b.n_fine + j);
            const std::uint64_t high = totals.high.empty() ? 0 : totals.high[at];
            const std::uint64_t place_high = totals.high.empty() ? 0 : totals.high[at + 1];
            if (totals.low[at] == 0 && high == 0) continue;
            const double sum = static_cast<double>(high) * word + static_cast<double>(totals.low[at]);
            const double place = static_cast<double>(place_high) * word + static_cast<double>(totals.low[at + 1]);
            const double weight = sum / fixed_scale;
            const double d = b.origin + (static_cast<double>(j) + place / sum) * b.width;
            const double var = widened(b.var[r], d, p.width);
            if (!(var > 0.0)) {
                if (bad == 0.0 || d < bad) bad = d;
                continue;
            }
            const Span span = gaussian(p.grid, d, var, values.data());
            if (!span.empty)
                for (std::size_t k = span.lo; k <= span.hi; ++k) curve[k] += weight * values[k];
        }
    }
    return bad;
}

class GaussianAdder {
public:
    GaussianAdder(const Plan& plan, BinTotals& totals)
        : p_(plan), totals_(totals), values_(plan.grid.n_points),
          sums_(plan.binned.on ? 2 * plan.binned.curve.size() * plan.binned.n_fine : 0) {}

    // Every unordered pair of the centres [lo, hi) once (weight 2: both
    // orders). Pairs of two single-species isotropic sites go straight into
    // their fine bin (the loop keeps what it needs in locals, out of reach
    // of its stores); the others, and those the rules may decide, take the
    // long way.
    void centres(std::uint32_t lo, std::uint32_t hi, NeighborSearch::Scratch& scratch, PieceSums& out) {
        auto sink = [&](const std::uint32_t* centres, const std::uint32_t* slots, const double* r,
                        const std::uint8_t* sides, const Vec3* shifts, std::size_t n) {
            if (p_.binned.unit_occupancy) add_batch<true>(centres, slots, r, sides, shifts, n, out);
            else add_batch<false>(centres, slots, r, sides, shifts, n, out);
        };
        p_.search.visit_unordered(lo, hi, scratch, sink);
    }

    // Adds this worker's binned sums into the totals and clears them (the
    // last fold of a worker may leave them unusable: `last`).
    void fold(bool last = false) {
        since_fold_ = 0;
        std::lock_guard<std::mutex> guard(totals_.lock);
        if (totals_.low.empty()) {
            totals_.low = std::move(sums_);
            if (!last) sums_.assign(totals_.low.size(), 0);
            return;
        }
        for (std::size_t k = 0; k < sums_.size(); ++k) {
            if (sums_[k] == 0) continue;
            std::uint64_t& low = totals_.low[k];
            low += sums_[k];
            if (low < sums_[k]) {  // the carry
                if (totals_.high.empty()) totals_.high.assign(totals_.low.size(), 0);
                ++totals_.high[k];
            }
            sums_[k] = 0;
        }
    }

private:
    // The pair's unit vector (Cartesian), from the packed coordinates.
    Vec3 direction(std::uint32_t centre, std::uint32_t slot, double d, const Vec3& shift) const {
        const Vec3 x = p_.search.coords_at(centre), y = p_.search.coords_at(slot);
        const Vec3 f{y[0] + shift[0] - x[0], y[1] + shift[1] - x[1], y[2] + shift[2] - x[2]};
        Vec3 c{};
        for (int k = 0; k < 3; ++k) c[k] = ((f[0] * p_.m[0][k] + f[1] * p_.m[1][k]) + f[2] * p_.m[2][k]) / d;
        return c;
    }

    static bool isotropic(const Sym6& a) {
        return a[3] == 0.0 && a[4] == 0.0 && a[5] == 0.0 && a[0] == a[1] && a[1] == a[2];
    }

    // sigma'^2 of species entries p and q: their tensors along n.
    double projected(const Sym6& a, const Sym6& b, const Vec3& n) const {
        Sym6 s{};
        for (int k = 0; k < 6; ++k) s[k] = a[k] + b[k];
        return n[0] * n[0] * s[0] + n[1] * n[1] * s[1] + n[2] * n[2] * s[2] +
               2.0 * (n[0] * n[1] * s[3] + n[0] * n[2] * s[4] + n[1] * n[2] * s[5]);
    }

    // A batch of the search's entries. With Unit, every binned site has
    // occupancy 1, so that a pair weighs 1 or 2 (both orders).
    template <bool Unit>
    void add_batch(const std::uint32_t* centres, const std::uint32_t* slots, const double* r,
                   const std::uint8_t* sides, const Vec3* shifts, std::size_t n, PieceSums& out) {
        const Binned& b = p_.binned;
        const double bound = p_.rules ? p_.rules->bound() : 0.0;
        const std::int32_t* const types = b.slot_type.data();
        const std::int32_t* const row_of = b.slot_row.data();
        const double* const occupancy = b.slot_occupancy.data();
        const std::int32_t* const rows = b.row.data();
        const std::size_t n_fine = b.n_fine;
        const double origin = b.origin, inv_width = b.inv_width, end = static_cast<double>(n_fine);
        std::uint64_t* const sums = sums_.data();
        // Room for the whole batch (pair() keeps its own count).
        if (since_fold_ > fold_every - n) fold();
        since_fold_ += n;
        for (std::size_t e = 0; e < n; ++e) {
            const std::uint32_t c = centres[e], s = slots[e];
            const double d = r[e];
            const std::int32_t ts = types[s];
            if ((row_of[c] | ts) < 0 || d < bound) {
                pair(c, s, d, sides[e], shifts[e], out);
                continue;
            }
            const double at = (d - origin) * inv_width;
            if (!(at >= 0.0 && at < end)) continue;
            const std::int64_t j = static_cast<std::int64_t>(at);
            const double place = at - static_cast<double>(j);
            const double times = sides[e] == side_both ? 2.0 : 1.0;
            const double weight = Unit ? times : times * (occupancy[c] * occupancy[s]);
            const std::size_t row = static_cast<std::size_t>(rows[row_of[c] + ts]);
            std::uint64_t* sum = sums + 2 * (row * n_fine + static_cast<std::size_t>(j));
            sum[0] += fixed(weight);
            sum[1] += fixed(weight * place);
        }
    }

    // A pair of binned types at distance d (a binnable weight) into its fine
    // bin of the row.
    void bin(std::size_t row, double d, double weight) {
        const Binned& b = p_.binned;
        const double at = (d - b.origin) * b.inv_width;
        if (!(at >= 0.0 && at < static_cast<double>(b.n_fine))) return;
        const std::size_t j = static_cast<std::size_t>(at);
        const double place = at - static_cast<double>(j);
        if (since_fold_ >= fold_every) fold();
        ++since_fold_;
        std::uint64_t* sum = sums_.data() + 2 * (row * b.n_fine + j);
        sum[0] += fixed(weight);
        sum[1] += fixed(weight * place);
    }

    // What the rules make of a pair: its kind (unresolved when they leave its
    // weight alone) and the two sites' occupancy sums.
    struct Rule {
        PairKind kind = PairKind::unresolved;
        double o_i = 0.0, o_j = 0.0;
    };

    // The rule for sites i and j at distance d, counted once per unordered
    // pair (at its forward entry).
    Rule rule(std::size_t i, std::size_t j, double d, std::uint8_t side, PieceSums& out) const {
        const PairRules& rules = *p_.rules;
        if (!(d < rules.bound())) return {};
        const PartialSite a = rules.site(static_cast<std::uint32_t>(i));
        const PartialSite b = rules.site(static_cast<std::uint32_t>(j));
        PairDecision decision{0, 0, {}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
        if (a.kin == PairRules::no_class || b.kin == PairRules::no_class || !rules.may_decide(a, b, d) ||
            !rules.decide(a, b, d, decision))
            return {};
        if (side & side_forward) out.summary.count(*p_.structure, rules, a.site, b.site, d, decision.kind);
        return {decision.kind, a.occupancy, b.occupancy};
    }

    void pair(std::uint32_t centre, std::uint32_t slot, double d, std::uint8_t side, const Vec3& shift,
              PieceSums& out) {
        const std::size_t i = static_cast<std::size_t>(p_.search.site_at(centre));
        const std::size_t j = static_cast<std::size_t>(p_.search.site_at(slot));
        // Exclusive pairs never occur: no weight and no width.
        const Rule decided = p_.rules ? rule(i, j, d, side, out) : Rule{};
        if (decided.kind == PairKind::exclusive) return;
        const bool together = decided.kind == PairKind::together;
        const PeakWidth& w = p_.width;
        const double factor = 1.0 - w.delta1 / d - w.delta2 / (d * d) + w.qbroad * w.qbroad * d * d;
        const Sites& sites = *p_.sites;
        const std::uint32_t* element = sites.entry_symbols().data();
        const double* occupancy = sites.entry_occupancies().data();
        const std::size_t nel = sites.symbols().size(), n = p_.grid.n_points;
        // Both ordered pairs for an entry that stands for both.
        const double times = side == side_both ? 2.0 : 1.0;
        bool have_direction = false;
        Vec3 unit{};
        double last_var = -1.0;
        Span span{};
        for (std::size_t ps = sites.entries_begin(i); ps < sites.entries_end(i); ++ps)
            for (std::size_t qs = sites.entries_begin(j); qs < sites.entries_end(j); ++qs) {
                const double weight =
                    times * (together ? decided_weight(PairKind::together, decided.o_i, decided.o_j,
                                                       occupancy[ps], occupancy[qs])
                                      : occupancy[ps] * occupancy[qs]);
                const Binned& bins = p_.binned;
                if (bins.on && bins.type[ps] >= 0 && bins.type[qs] >= 0 && binnable(weight)) {
                    bin(static_cast<std::size_t>(bins.row[static_cast<std::size_t>(bins.type[ps]) * bins.n_types +
                                                          static_cast<std::size_t>(bins.type[qs])]),
                        d, weight);
                    continue;
                }
                const Sym6& a = p_.u[ps];
                const Sym6& b = p_.u[qs];
                double var;
                if (isotropic(a) && isotropic(b)) {
                    var = (a[0] + b[0]) * factor;
                } else {
                    if (!have_direction) unit = direction(centre, slot, d, shift);
                    have_direction = true;
                    var = projected(a, b, unit) * factor;
                }
                if (!(var > 0.0)) {
                    if (out.bad_distance == 0.0 || d < out.bad_distance) out.bad_distance = d;
                    return;
                }
                // Species sharing a site usually share the tensor: one Gaussian for all.
                if (var != last_var) {
                    span = gaussian(p_.grid, d, var, values_.data());
                    last_var = var;
                }
                if (span.empty) continue;
                if (out.curves.empty()) out.curves.assign(p_.n_curves * n, 0.0);
                double* curve = out.curves.data() + curve_index(element[ps], element[qs], nel) * n;
                const double* v = values_.data();
                for (std::size_t k = span.lo; k <= span.hi; ++k) curve[k] += weight * v[k];
            }
    }

    const Plan& p_;
    BinTotals& totals_;
    std::vector<double> values_;
    // Per bin row and fine bin: the weight and the weighted place in units of
    // 2^-40 since the last fold, and how many pairs were added since.
    std::vector<std::uint64_t> sums_;
    std::size_t since_fold_ = 0;
};

// Sub-cells of the search per cutoff length: a long cutoff reaches over
// fewer sites it need not test when the sub-cells are finer than the cutoff,
// down to a quarter of it, as long as they hold about 8 sites each (emptier
// ones cost more than they save).
double cells_per_cutoff(const Structure& structure, double cutoff) {
    const double per_site = structure.lattice().volume() / static_cast<double>(structure.sites().size());
    const double fineness = cutoff / std::cbrt(8.0 * per_site);
    return std::isfinite(fineness) ? std::clamp(fineness, 1.0, 4.0) : 1.0;
}

Result<Plan> plan(const Structure& structure, const std::vector<Displacement>& displacements, const PdfGrid& grid,
                  const PeakWidth& width, const PairRules* rules) {
    auto ok = validate(grid, width);
    if (!ok) return ok.error();
    auto u = cartesian_tensors(structure, displacements);
    if (!u) return u.error();
    auto cutoff = search_cutoff(grid, width, *u);
    if (!cutoff) return cutoff.error();
    const Sites& sites = structure.sites();
    const std::size_t nel = sites.symbols().size();
    const std::size_t n_curves = nel * (nel + 1) / 2;
    if (grid.n_points > max_histogram_entries / n_curves)
        return fail("the grid would hold ", std::to_string(grid.n_points), " points for ", std::to_string(n_curves),
                    " element pairs, more than ", std::to_string(max_histogram_entries), " values");
    auto search = NeighborSearch::build(structure, *cutoff, cells_per_cutoff(structure, *cutoff));
    if (!search) return search.error();
    Binned binned = binned_layout(sites, *u, grid, *cutoff);
    // Without binned types every slot keeps -1, so every pair takes the long way.
    binned.slot_type.assign(search->n_slots(), -1);
    binned.slot_row.assign(search->n_slots(), -1);
    binned.slot_occupancy.assign(search->n_slots(), 0.0);
    binned.unit_occupancy = true;
    if (binned.on) {
        for (std::uint32_t slot = 0; slot < search->n_slots(); ++slot) {
            const std::size_t i = static_cast<std::size_t>(search->site_at(slot));
            if (sites.entries_end(i) - sites.entries_begin(i) != 1) continue;
            const double occupancy = sites.entry_occupancies()[sites.entries_begin(i)];
            // Pair weights o_i o_j and 2 o_i o_j then lie in [2^-12, 2].
            if (!(occupancy >= min_binned_occupancy && occupancy <= 1.0)) continue;
            binned.slot_type[slot] = binned.type[sites.entries_begin(i)];
            binned.slot_row[slot] = binned.slot_type[slot] * static_cast<std::int32_t>(binned.n_types);
            binned.slot_occupancy[slot] = occupancy;
            binned.unit_occupancy = binned.unit_occupancy && occupancy == 1.0;
        }
    }
    // The fine bins are the workers' own: a piece holds only its curves.
    const std::size_t pieces =
        piece_count(sites.size(), search->candidate_pairs(), n_curves * grid.n_points);
    return Plan{grid,     width,  &sites, std::move(*u), std::move(*search), structure.lattice().matrix(),
                n_curves, pieces, std::move(binned),  &structure, rules && rules->any() ? rules : nullptr};
}

// Each piece (a fixed run of centres) sums into its own curves; the pieces
// are added in piece order, so the bits do not depend on the pool.
Result<PdfPairSums> fill(Plan& plan, WorkerPool& pool, DecisionSummary* summary) {
    const std::size_t size = plan.n_curves * plan.grid.n_points;
    const std::size_t n_slots = plan.search.n_slots(), pieces = plan.pieces;
    std::vector<PieceSums> partial(pieces);
    BinTotals totals;
    auto fill_piece = [&](std::size_t piece, NeighborSearch::Scratch& scratch, GaussianAdder& adder) {
        const std::size_t lo = piece * n_slots / pieces, hi = (piece + 1) * n_slots / pieces;
        adder.centres(static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi), scratch, partial[piece]);
    };
    const std::size_t tasks = std::min(pool.size(), pieces);
    if (tasks <= 1) {
        auto scratch = std::make_unique<NeighborSearch::Scratch>();
        GaussianAdder adder(plan, totals);
        for (std::size_t piece = 0; piece < pieces; ++piece) fill_piece(piece, *scratch, adder);
        adder.fold(true);
    } else {
        std::atomic<std::size_t> next_piece{0};
        pool.run(tasks, [&](std::size_t) {
            auto scratch = std::make_unique<NeighborSearch::Scratch>();
            GaussianAdder adder(plan, totals);
            for (std::size_t piece; (piece = next_piece.fetch_add(1, std::memory_order_relaxed)) < pieces;)
                fill_piece(piece, *scratch, adder);
            adder.fold(true);
        });
    }
    // The pieces' own curves (pairs not binned) in piece order, then the binned totals.
    std::vector<double> sum(size, 0.0);
    for (PieceSums& part : partial) {
        if (part.curves.empty()) continue;
        for (std::size_t k = 0; k < size; ++k) sum[k] = sum[k] + part.curves[k];
        std::vector<double>().swap(part.curves);
    }
    double bad = totals.low.empty() ? 0.0 : spread_totals(plan, totals, sum.data());
    for (const PieceSums& part : partial)
        if (part.bad_distance > 0.0 && (bad == 0.0 || part.bad_distance < bad)) bad = part.bad_distance;
    if (summary)
        for (const PieceSums& part : partial) summary->join(part.summary);
    if (bad > 0.0)
        return fail("delta1 and delta2 leave no peak width for pairs at ", std::to_string(bad),
                    " A; use smaller values");
    PdfPairSums out;
    out.elements = plan.sites->symbols();
    const std::size_t n = plan.grid.n_points;
    for (std::size_t c = 0; c < plan.n_curves; ++c)
        out.curves.emplace_back(sum.begin() + static_cast<std::ptrdiff_t>(c * n),
                                sum.begin() + static_cast<std::ptrdiff_t>((c + 1) * n));
    return out;
}

}  // namespace

Result<PdfPairSums> compute_pdf_pairs(const Structure& structure, const std::vector<Displacement>& displacements,
                                      const PdfGrid& grid, const PeakWidth& width, std::uint64_t n_threads,
                                      const PairRules* rules, DecisionSummary* summary) {
    auto p = plan(structure, displacements, grid, width, rules);
    if (!p) return p.error();
    if (n_threads == 0) return fill(*p, default_pool(), summary);
    auto pool = WorkerPool::create(static_cast<std::size_t>(std::min(n_threads, max_pool_threads)), n_threads);
    if (!pool) return pool.error();
    return fill(*p, **pool, summary);
}

}  // namespace molvane
