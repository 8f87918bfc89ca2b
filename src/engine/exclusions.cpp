// Pair decisions between partial positions: the rules (labels and covalent
// radii of the partial sites), the list of every decided pair from a
// neighbour search over the partial sites alone, and the correction of a
// pair histogram for the entries its own visit met.
#include "engine/exclusions.hpp"

#include <algorithm>
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
#include "engine/rdf.hpp"  // for find_bin

namespace molvane {

namespace {

// Most cell images of one candidate pair the decisions may look at.
constexpr double max_images_per_pair = 1.0e6;

// "-" followed by digits, not all zeros: a negative group number of any size.
bool negative_number(const std::string& text) {
    if (text.size() < 2 || text[0] != '-') return false;
    bool nonzero = false;
    for (std::size_t k = 1; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        nonzero = nonzero || text[k] != '0';
    }
    return nonzero;
}

double too_close_distance(const PartialSite& a, const PartialSite& b) { return molvane::too_close_distance(a.radius, b.radius); }

// Whether the labels of a and b can decide anything within the reach (as
// PairRules::may_decide spells it inline).
bool labels_relate(const PartialSite& a, const PartialSite& b) {
    return a.group >= 0 && b.group >= 0 && a.assembly == b.assembly;
}

}  // namespace

// --- the rules ---

Result<PairRules> PairRules::create(const Structure& structure, double reach) {
    if (!(reach > 0.0) || std::isinf(reach)) return fail("reach must be a positive finite distance in angstrom");
    PairRules rules;
    rules.reach_ = reach;
    const Sites& sites = structure.sites();
    const auto& tags = sites.columns().disorder;
    rules.index_.assign(sites.size(), -1);
    // Assemblies and groups are numbered apart; a group without an assembly
    // belongs to the one implicit assembly "".
    std::unordered_map<std::string_view, std::int64_t> assemblies, groups;
    auto number = [](std::unordered_map<std::string_view, std::int64_t>& names, std::string_view text) {
        return names.try_emplace(text, static_cast<std::int64_t>(names.size())).first->second;
    };
    std::vector<double> radii;  // per symbol index
    for (const std::string& symbol : sites.symbols()) radii.push_back(covalent_radius(symbol));
    bool labelled = false;
    const auto* last = tags.empty() ? nullptr : &tags[0];
    std::int64_t last_assembly = -1, last_group = -1;
    bool last_negative = false;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const double o = sites.occupancy_sum(i);
        if (!(o > 0.0 && o < 1.0 - partial_tolerance)) continue;
        PartialSite p{static_cast<std::uint32_t>(i), o, 0.0};
        for (std::size_t e = sites.entries_begin(i); e < sites.entries_end(i); ++e)
            p.radius = std::max(p.radius, radii[sites.entry(e).symbol]);
        if (!tags.empty() && !tags[i].group.empty()) {
            // Neighbouring sites mostly repeat the labels of the last one.
            if (!labelled || tags[i].assembly != last->assembly || tags[i].group != last->group) {
                labelled = true;
                last = &tags[i];
                last_assembly = number(assemblies, tags[i].assembly);
                last_group = number(groups, tags[i].group);
                last_negative = negative_number(tags[i].group);
            }
            p.assembly = last_assembly;
            p.group = last_group;
            p.negative = last_negative;
            p.row = tags[i].row;
        }
        rules.bound_ = std::max({rules.bound_, too_close_distance(p, p), p.group >= 0 ? reach : 0.0});
        rules.index_[i] = static_cast<std::int32_t>(rules.partial_.size());
        rules.partial_.push_back(p);
    }
    return rules;
}

bool PairRules::decide(const PartialSite& a, const PartialSite& b, double r, PairDecision& out) const {
    const double limit = too_close_distance(a, b);
    const bool close = r < limit, in_reach = r < reach_ && labels_relate(a, b);
    const bool can_exclude = a.occupancy + b.occupancy <= 1.0 + exclusive_sum_tolerance;
    out.i = std::min(a.site, b.site);
    out.j = std::max(a.site, b.site);
    out.distance = r;
    out.limit = limit;
    auto set = [&](PairKind kind, PairReason reason) {
        out.kind = kind;
        out.reason = reason;
        return true;
    };
    if (can_exclude) {
        if (in_reach && a.group != b.group) return set(PairKind::exclusive, PairReason::other_group);
        if (in_reach && a.negative && b.negative && a.row == b.row)
            return set(PairKind::exclusive, PairReason::negative_group);
        if (close) return set(PairKind::exclusive, PairReason::too_close);
    }
    if (in_reach && a.group == b.group && !a.negative) return set(PairKind::together, PairReason::same_group);
    if (close) return set(PairKind::unresolved, PairReason::too_close);
    return false;
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
std::vector<std::pair<std::uint32_t, std::uint32_t>> candidates(const NeighborSearch& found,
                                                                const PairRules& rules) {
    const auto& partial = rules.sites();
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
                        PairDecisions& out) {
    const auto& partial = rules.sites();
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
    const std::vector<PartialSite>& partial = rules->sites();
    if (partial.empty()) return out;
    double search = 0.0;
    bool labelled = false;
    for (const PartialSite& p : partial) {
        search = std::max(search, too_close_distance(p, p));
        labelled = labelled || p.group >= 0;
    }
    if (labelled) search = std::max(search, reach);
    auto found = partial_search(structure, partial, search);
    if (!found) return found.error();
    const Vec3 widths = perpendicular_widths(structure.lattice().matrix());
    bool one_image = true;
    for (int k = 0; k < 3; ++k) one_image = one_image && (!structure.pbc()[k] || 2.0 * search < widths[k]);
    if (one_image) {
        decide_from_search(structure, *found, *rules, out);
        return out;
    }
    for (const auto& [a, b] : candidates(*found, *rules)) {
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

double decided_weight(PairKind kind, double o_i, double o_j, double p, double q) {
    if (kind == PairKind::exclusive) return 0.0;
    if (kind == PairKind::together) return std::min(o_i, o_j) * (p / o_i) * (q / o_j);
    return q * p;
}

// --- the correction ---

void CorrectionSummary::count(const Structure& structure, const PairRules& rules, std::uint32_t i, std::uint32_t j,
                              double r, PairKind kind) {
    ++(kind == PairKind::exclusive ? exclusive : kind == PairKind::together ? together : unresolved);
    auto& kept = kind == PairKind::unresolved ? first_unresolved : first;
    PairDecision d{0, 0, {}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
    if (!kept && rules.decide(*rules.find(i), *rules.find(j), r, d)) {
        d.offset = offset_at(structure, d.i, d.j, r);
        kept = d;
    }
}

void CorrectionSummary::join(const CorrectionSummary& later) {
    exclusive += later.exclusive;
    together += later.together;
    unresolved += later.unresolved;
    if (!first) first = later.first;
    if (!first_unresolved) first_unresolved = later.first_unresolved;
}

CorrectionSummary correct_histogram(const Structure& structure, const PairRules& rules,
                                    const std::vector<PairEntry>& entries, const std::vector<double>& edges,
                                    double* hist) {
    const Sites& sites = structure.sites();
    const std::size_t nel = sites.symbols().size();
    CorrectionSummary summary;
    if (entries.empty() || edges.size() < 2) return summary;
    const std::size_t nbins = edges.size() - 1;
    const double inv_bin = 1.0 / (edges[1] - edges[0]);
    // The size of every corrected histogram entry before its first
    // correction (NaN: untouched), over the bins below the rules' bound.
    const std::int64_t last = find_bin(edges.data(), static_cast<std::int64_t>(edges.size()), rules.bound(), inv_bin);
    const std::size_t low_bins = last < 0 ? nbins : static_cast<std::size_t>(last) + 1;
    std::vector<double> before(nel * nel * low_bins, std::numeric_limits<double>::quiet_NaN());
    std::vector<std::size_t> touched;
    auto adjust = [&](std::size_t pair, std::size_t bin, double remove, double add) {
        const std::size_t at = pair * nbins + bin;
        double& first = before[pair * low_bins + bin];
        if (std::isnan(first)) {
            first = hist[at];
            touched.push_back(pair * low_bins + bin);
        }
        hist[at] = hist[at] - remove;
        if (add != 0.0) hist[at] = hist[at] + add;
    };
    for (const PairEntry& e : entries) {
        // An unordered pair comes as one entry for both orders or as two.
        if (e.sides & side_forward) summary.count(structure, rules, e.i, e.j, e.r, e.kind);
        if (e.kind == PairKind::unresolved) continue;
        const std::int64_t k = find_bin(edges.data(), static_cast<std::int64_t>(edges.size()), e.r, inv_bin);
        if (k < 0) continue;
        const std::size_t bin = static_cast<std::size_t>(k);
        const double o_i = e.o_i, o_j = e.o_j;
        for (std::size_t p = sites.entries_begin(e.i); p < sites.entries_end(e.i); ++p) {
            const SpeciesEntry sp = sites.entry(p);
            const double occ_p = sp.occupancy;
            for (std::size_t q = sites.entries_begin(e.j); q < sites.entries_end(e.j); ++q) {
                const SpeciesEntry sq = sites.entry(q);
                const double occ_q = sq.occupancy;
                const double independent = occ_q * occ_p;
                const double physical = decided_weight(e.kind, o_i, o_j, occ_p, occ_q);
                const std::size_t a = sp.symbol, b = sq.symbol;
                if (e.sides & side_forward) adjust(a * nel + b, bin, independent, physical);
                if (e.sides & side_reverse) adjust(b * nel + a, bin, independent, physical);
            }
        }
    }
    // Entries emptied by the corrections keep no rounding residue.
    for (std::size_t t : touched) {
        double& value = hist[t / low_bins * nbins + t % low_bins];
        if (std::abs(value) <= 1e-12 * std::abs(before[t])) value = 0.0;
    }
    return summary;
}

}  // namespace molvane
