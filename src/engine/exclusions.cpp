// Pair decisions between partial positions: the rules (labels and covalent
// radii of the partial sites), the list of every decided pair from a
// neighbour search over the partial sites alone, and the counts of the
// decisions a pair histogram's visit met.
#include "engine/exclusions.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/elements.hpp"  // for covalent_radius
#include "core/numeric.hpp"  // for saturating_i64
#include "engine/neighbor.hpp"

namespace molvane {

namespace {

// Most cell images of one candidate pair the decisions may look at.
constexpr double max_images_per_pair = 1.0e6;

// "-" followed by digits, not all zeros: a negative group number of any size.
bool negative_number(std::string_view text) {
    if (text.size() < 2 || text[0] != '-') return false;
    bool nonzero = false;
    for (std::size_t k = 1; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        nonzero = nonzero || text[k] != '0';
    }
    return nonzero;
}

// A class as a key (occupancy and radius by their bits).
struct ClassKey {
    std::uint64_t occupancy, radius;
    std::int64_t assembly, group;
    std::uint64_t row;
    bool operator==(const ClassKey&) const = default;
};

struct ClassKeyHash {
    std::size_t operator()(const ClassKey& k) const {
        std::uint64_t h = k.occupancy;
        for (std::uint64_t v : {k.radius, static_cast<std::uint64_t>(k.assembly), static_cast<std::uint64_t>(k.group),
                                k.row})
            h = (h ^ v) * 0x9e3779b97f4a7c15ULL + (h >> 29);
        return static_cast<std::size_t>(h);
    }
};

// The class a site of some row, occupancy, radius and labels was last found
// in: the images of one row, which share all of these, find their class
// without a look-up. A small table indexed by the row.
struct RowSeen {
    std::uint64_t row = 0, occupancy = 0, radius = 0;
    std::int64_t assembly = -1, group = -1;
    std::uint32_t kin = PairRules::no_class;
};
constexpr std::size_t rows_seen = 256;

}  // namespace

// --- the rules ---

Result<PairRules> PairRules::create(const Structure& structure, double reach) {
    if (!(reach > 0.0) || std::isinf(reach)) return fail("reach must be a positive finite distance in angstrom");
    PairRules rules;
    rules.reach_ = reach;
    const Sites& sites = structure.sites();
    const auto& tags = sites.columns().disorder;
    rules.kin_.assign(sites.size(), PairRules::no_class);
    // The labels are numbered by the structure's table of their texts; a
    // group without an assembly belongs to the one implicit assembly "".
    std::vector<char> negative;  // per label text
    if (!tags.empty())
        for (const std::string& text : *sites.columns().disorder_labels) negative.push_back(negative_number(text));
    std::vector<double> radii;  // per symbol index
    for (const std::string& symbol : sites.symbols()) radii.push_back(covalent_radius(symbol));
    std::unordered_map<ClassKey, std::uint32_t, ClassKeyHash> kins;
    std::vector<RowSeen> seen(rows_seen);
    const bool one_species = sites.one_entry_per_site();
    const double* occupancy = sites.entry_occupancies().data();
    const std::uint32_t* symbol = sites.entry_symbols().data();
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const double o = one_species ? occupancy[i] : sites.occupancy_sum(i);
        if (!(o > 0.0 && o < 1.0 - partial_tolerance)) continue;
        SiteClass c{o, 0.0};
        if (one_species) c.radius = radii[symbol[i]];
        else
            for (std::size_t e = sites.entries_begin(i); e < sites.entries_end(i); ++e)
                c.radius = std::max(c.radius, radii[symbol[e]]);
        std::uint64_t row = 0;
        if (!tags.empty() && tags[i].group != 0) {
            c.assembly = tags[i].assembly;
            c.group = tags[i].group;
            row = tags[i].row;
        }
        const auto o_bits = std::bit_cast<std::uint64_t>(o), r_bits = std::bit_cast<std::uint64_t>(c.radius);
        RowSeen& last = seen[row % rows_seen];
        std::uint32_t kin = last.kin;
        if (kin == PairRules::no_class || last.row != row || last.occupancy != o_bits || last.radius != r_bits ||
            last.assembly != c.assembly || last.group != c.group) {
            c.negative = c.group >= 0 && negative[static_cast<std::size_t>(c.group)];
            c.row = c.negative ? row : 0;
            const ClassKey key{o_bits, r_bits, c.assembly, c.group, c.row};
            const auto [found, added] = kins.try_emplace(key, static_cast<std::uint32_t>(rules.classes_.size()));
            kin = found->second;
            if (added) {
                rules.classes_.push_back(c);
                rules.bound_ = std::max({rules.bound_, rules.limits(c, c).close, c.group >= 0 ? reach : 0.0});
            }
            last = {row, o_bits, r_bits, c.assembly, c.group, kin};
        }
        rules.kin_[i] = kin;
    }
    const std::size_t n = rules.classes_.size();
    if (n > 0 && n <= max_table_classes) {
        // The last row and column stand for sites that are not partial: no
        // distance is below their limits.
        rules.table_.assign((n + 1) * (n + 1), {{-1.0, -1.0}, {}});
        rules.table_classes_ = n;
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < n; ++b) {
                const SiteClass &p = rules.classes_[a], &q = rules.classes_[b];
                PairTable& t = rules.table_[a * (n + 1) + b];
                t.limits = rules.limits(p, q);
                for (unsigned bits = 0; bits < 4; ++bits) t.verdicts[bits] = verdict(p, q, bits & 1u, bits & 2u);
            }
    }
    return rules;
}

std::vector<PartialSite> PairRules::sites() const {
    std::vector<PartialSite> out;
    for (std::uint32_t s = 0; s < kin_.size(); ++s)
        if (kin_[s] != no_class) out.push_back(site(s));
    return out;
}

bool PairRules::decide(const PartialSite& a, const PartialSite& b, double r, PairDecision& out) const {
    const SiteClass &p = classes_[a.kin], &q = classes_[b.kin];
    const PairVerdict verdict = classify(p, q, r);
    if (!verdict.decided) return false;
    out.kind = verdict.kind;
    out.reason = verdict.reason;
    out.i = std::min(a.site, b.site);
    out.j = std::max(a.site, b.site);
    out.distance = r;
    out.limit = limits(p, q).close;
    return true;
}

// --- the list of every decision ---

namespace {

void record(const PairDecision& d, PairDecisions& out) {
    (d.kind == PairKind::unresolved ? out.unresolved : out.pairs).push_back(d);
}

// The neighbour search over the partial sites alone (their positions; the
// species do not matter to it).
Result<NeighborSearch> partial_search(const Structure& structure, const std::vector<PartialSite>& partial,
                                      double search) {
    Sites sites;
    sites.reserve(partial.size(), partial.size());
    const std::uint32_t any = sites.symbol_index("X");
    for (const PartialSite& p : partial) sites.add_atom(structure.sites().frac(p.site), any);
    auto sub = Structure::create(structure.lattice(), std::move(sites), structure.pbc());
    if (!sub) return sub.error();
    return NeighborSearch::build(*sub, search);
}

// Unordered pairs of partial sites (indices into the rules' sites, first <=
// second) that some image brings within a distance where a decision can apply.
std::vector<std::pair<std::uint32_t, std::uint32_t>> candidates(const NeighborSearch& found, const PairRules& rules,
                                                                const std::vector<PartialSite>& partial) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    auto scratch = std::make_unique<NeighborSearch::Scratch>();
    found.visit(0, static_cast<std::uint32_t>(found.n_slots()), *scratch,
                [&](const std::uint32_t* centres, const std::uint32_t* slots, const double* r, const std::uint8_t*,
                    std::size_t n) {
                    for (std::size_t u = 0; u < n; ++u) {
                        auto a = static_cast<std::uint32_t>(found.site_at(centres[u]));
                        auto b = static_cast<std::uint32_t>(found.site_at(slots[u]));
                        if (rules.may_decide(partial[a], partial[b], r[u]))
                            out.emplace_back(std::min(a, b), std::max(a, b));
                    }
                });
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// The decisions straight from the search, when no pair of sites has two
// images within the search distance (twice that distance below every face
// width of the cell): every pair the search meets is one (site, image)
// pair, taken once from its forward entry, at the search's own distance.
void decide_from_search(const Structure& structure, const NeighborSearch& found, const PairRules& rules,
                        const std::vector<PartialSite>& partial, PairDecisions& out) {
    auto scratch = std::make_unique<NeighborSearch::Scratch>();
    found.visit(0, static_cast<std::uint32_t>(found.n_slots()), *scratch,
                [&](const std::uint32_t* centres, const std::uint32_t* slots, const double* r,
                    const std::uint8_t* sides, std::size_t n) {
                    for (std::size_t u = 0; u < n; ++u) {
                        if (!(sides[u] & side_forward)) continue;
                        const PartialSite& a = partial[static_cast<std::size_t>(found.site_at(centres[u]))];
                        const PartialSite& b = partial[static_cast<std::size_t>(found.site_at(slots[u]))];
                        PairDecision d{0, 0, {}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
                        if (!rules.may_decide(a, b, r[u]) || !rules.decide(a, b, r[u], d)) continue;
                        d.offset = offset_at(structure, d.i, d.j, r[u]);
                        record(d, out);
                    }
                });
}

// Every image of b within `search` of a, decided; lattice offsets in
// increasing (n_a, n_b, n_c) order.
Result<bool> decide_images(const Structure& structure, const PairRules& rules, const PartialSite& a,
                           const PartialSite& b, double search, const Vec3& widths, PairDecisions& out) {
    const Mat3& m = structure.lattice().matrix();
    const Vec3& fa = structure.sites().frac(a.site);
    const Vec3& fb = structure.sites().frac(b.site);
    Vec3 df;
    std::int64_t lo[3], hi[3];
    double images = 1.0;
    for (int k = 0; k < 3; ++k) {
        df[k] = fb[k] - fa[k];
        lo[k] = hi[k] = 0;
        if (structure.pbc()[k]) {
            const double span = search / widths[k];
            const double l = std::ceil(-span - df[k]), h = std::floor(span - df[k]);
            images *= std::max(h - l + 1.0, 0.0);
            if (!(images <= max_images_per_pair))
                return fail("the reach spans too many cell images (at most ", std::to_string(max_images_per_pair),
                            " per pair)");
            // Whole cells are counted exactly up to 2^52; coordinates beyond
            // that give no image offset one could name.
            if (!(std::fabs(l) < 0x1p52 && std::fabs(h) < 0x1p52))
                return fail("a site lies too far outside the cell (more than 2^52 cells) to place its images");
            lo[k] = static_cast<std::int64_t>(l);
            hi[k] = static_cast<std::int64_t>(h);
        }
    }
    for (std::int64_t na = lo[0]; na <= hi[0]; ++na)
        for (std::int64_t nb = lo[1]; nb <= hi[1]; ++nb)
            for (std::int64_t nc = lo[2]; nc <= hi[2]; ++nc) {
                if (a.site == b.site && !(na > 0 || (na == 0 && (nb > 0 || (nb == 0 && nc > 0))))) continue;
                const double d0 = df[0] + static_cast<double>(na), d1 = df[1] + static_cast<double>(nb),
                             d2 = df[2] + static_cast<double>(nc);
                double c[3];
                for (int x = 0; x < 3; ++x) c[x] = d0 * m[0][x] + d1 * m[1][x] + d2 * m[2][x];
                const double d = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
                if (!(d > 1e-8) || d > search) continue;  // the histogram skips coincident positions too
                PairDecision p{0, 0, {na, nb, nc}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
                if (rules.decide(a, b, d, p)) record(p, out);
            }
    return true;
}

}  // namespace

Result<PairDecisions> decide_pairs(const Structure& structure, double reach) {
    auto rules = PairRules::create(structure, reach);
    if (!rules) return rules.error();
    PairDecisions out;
    const std::vector<PartialSite> partial = rules->sites();
    if (partial.empty()) return out;
    double search = 0.0;
    bool labelled = false;
    for (const SiteClass& c : rules->classes()) {
        search = std::max(search, rules->limits(c, c).close);
        labelled = labelled || c.group >= 0;
    }
    if (labelled) search = std::max(search, reach);
    auto found = partial_search(structure, partial, search);
    if (!found) return found.error();
    const Vec3 widths = perpendicular_widths(structure.lattice().matrix());
    bool one_image = true;
    for (int k = 0; k < 3; ++k) one_image = one_image && (!structure.pbc()[k] || 2.0 * search < widths[k]);
    if (one_image) {
        decide_from_search(structure, *found, *rules, partial, out);
        return out;
    }
    for (const auto& [a, b] : candidates(*found, *rules, partial)) {
        auto done = decide_images(structure, *rules, partial[a], partial[b], search, widths, out);
        if (!done) return done.error();
    }
    return out;
}

constexpr std::int64_t max_offset = std::numeric_limits<std::int64_t>::max() - 1;
constexpr std::int64_t min_offset = std::numeric_limits<std::int64_t>::min() + 1;

std::array<std::int64_t, 3> offset_at(const Structure& structure, std::uint32_t i, std::uint32_t j, double r) {
    const Mat3& m = structure.lattice().matrix();
    const Vec3& fa = structure.sites().frac(i);
    const Vec3& fb = structure.sites().frac(j);
    std::array<std::int64_t, 3> base{};
    for (int k = 0; k < 3; ++k)
        // Coordinates are not wrapped and may be far out: the offset saturates
        // (and keeps one step of room) rather than overflow.
        base[k] = structure.pbc()[k] ? std::clamp<std::int64_t>(saturating_i64(std::round(fa[k] - fb[k])),
                                                                  min_offset, max_offset)
                                     : 0;
    std::array<std::int64_t, 3> best = base;
    double best_gap = std::numeric_limits<double>::infinity();
    for (int t = 0; t < 27 && best_gap > 1e-9 * (1.0 + r); ++t) {
        const std::int64_t step[3] = {t / 9 % 3, t / 3 % 3, t % 3};
        std::array<std::int64_t, 3> n{};
        bool skip = false;
        for (int k = 0; k < 3; ++k) {
            const std::int64_t dk = step[k] == 2 ? -1 : step[k];
            skip = skip || (dk != 0 && !structure.pbc()[k]);
            n[k] = base[k] + dk;
        }
        if (skip) continue;
        double c[3];
        for (int x = 0; x < 3; ++x) {
            c[x] = 0.0;
            for (int k = 0; k < 3; ++k) c[x] = c[x] + (fb[k] + static_cast<double>(n[k]) - fa[k]) * m[k][x];
        }
        const double gap = std::abs(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) - r);
        if (gap < best_gap) {
            best_gap = gap;
            best = n;
        }
    }
    return best;
}

// --- the counts ---

void DecisionSummary::keep_first(const Structure& structure, const PairRules& rules, std::uint32_t i,
                                   std::uint32_t j, double r, PairKind kind) {
    PairDecision d{0, 0, {}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
    if (!rules.decide(rules.site(i), rules.site(j), r, d)) return;
    d.offset = offset_at(structure, d.i, d.j, r);
    (kind == PairKind::unresolved ? first_unresolved : first) = d;
}

void DecisionSummary::join(const DecisionSummary& later) {
    exclusive += later.exclusive;
    together += later.together;
    unresolved += later.unresolved;
    if (!first) first = later.first;
    if (!first_unresolved) first_unresolved = later.first_unresolved;
}

}  // namespace molvane
