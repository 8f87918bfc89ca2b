// Which pairs of partially occupied positions can be filled together: pairs
// that exclude one another, pairs that come together, their weights in a
// pair histogram, and the counts of what the decisions changed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/elements.hpp"  // for too_close_distance
#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

// Occupancy sums of two positions that may exclude one another exceed 1 by
// at most this much.
inline constexpr double exclusive_sum_tolerance = 1e-3;
// A site is partially occupied when its occupancy sum lies in (0, 1 - this).
inline constexpr double partial_tolerance = 1e-6;

enum class PairKind : std::uint8_t {
    exclusive,   // never both filled: weight 0
    together,    // filled together: weight min(o_i, o_j)
    unresolved,  // too close, but the occupancies sum above 1: kept independent
};

enum class PairReason : std::uint8_t {
    other_group,     // different groups of one disorder assembly
    negative_group,  // images of one row of a negative (SHELX-style) group
    too_close,       // closer than the too-close distance
    same_group,      // one group of one disorder assembly
};

// What the rules make of one pair: decided (with a kind and its reason) or
// left independent.
struct PairVerdict {
    PairKind kind = PairKind::unresolved;
    PairReason reason = PairReason::too_close;
    bool decided = false;
};

// One decided pair: site i and the image of site j shifted by `offset`
// cells (i <= j; for i == j the offset is the lexicographically positive one
// of the two that name the pair).
struct PairDecision {
    std::uint32_t i, j;
    std::array<std::int64_t, 3> offset;
    double distance;
    double limit;  // the too-close distance of the two positions
    PairKind kind;
    PairReason reason;
};

// The decided pairs, in an order fixed by the structure and the reach (the
// order the search meets them): `pairs` are exclusive or together,
// `unresolved` too close yet not exclusive.
struct PairDecisions {
    std::vector<PairDecision> pairs;
    std::vector<PairDecision> unresolved;
};

// What the decisions read of a partially occupied site. Sites that share
// all of it (the images of one site or row) form a class: the rules decide
// a pair of sites as they decide the pair of their classes.
struct SiteClass {
    double occupancy;  // summed over its species
    double radius;     // largest covalent radius of its species
    std::int64_t assembly = -1, group = -1;  // label texts (DisorderLabels); -1: no group
    bool negative = false;                   // the group is a negative number
    std::uint64_t row = 0;                   // the row, for a negative group
};

// One partially occupied site: its index in the structure, its class and
// (as the class has it) its occupancy sum.
struct PartialSite {
    std::uint32_t site;
    std::uint32_t kin;  // index into PairRules::classes()
    double occupancy;
};

// The rules of the decisions for one structure and reach: every partially
// occupied site with its radius and labels, found by site index.
class PairRules {
public:
    // Fails for a reach that is not a positive finite distance.
    static Result<PairRules> create(const Structure& structure, double reach);

    double reach() const { return reach_; }
    // No decision applies at this distance or beyond.
    double bound() const { return bound_; }
    // Whether the structure has partial sites at all.
    bool any() const { return !classes_.empty(); }
    // The partial sites in site order.
    std::vector<PartialSite> sites() const;
    // The class of structure site s (an index into classes()), or no_class.
    static constexpr std::uint32_t no_class = 0xffffffffu;
    std::uint32_t kin_of(std::uint32_t s) const { return kin_[s]; }
    // Structure site s as a partial site (kin no_class when it is not one).
    PartialSite site(std::uint32_t s) const {
        const std::uint32_t k = kin_[s];
        return {s, k, k == no_class ? 0.0 : classes_[k].occupancy};
    }
    // The classes of the partial sites, in order of first appearance.
    const std::vector<SiteClass>& classes() const { return classes_; }
    // The distances below which sites of two classes are too close (close)
    // and linked by their labels (linked: the reach, or 0 when the labels do
    // not link them).
    struct Limits {
        double close, linked;
    };
    Limits limits(const SiteClass& a, const SiteClass& b) const {
        return {too_close_distance(a.radius, b.radius),
                a.group >= 0 && b.group >= 0 && a.assembly == b.assembly ? reach_ : 0.0};
    }
    // Whether two partial sites at distance r may be decided at all (cheap).
    bool may_decide(const PartialSite& a, const PartialSite& b, double r) const {
        const Limits l = limits(classes_[a.kin], classes_[b.kin]);
        return r < l.close || r < l.linked;
    }
    // The kind and reason of the decision for sites of classes a and b that
    // are too close and/or linked (decided false: they stay independent). In
    // order: exclusive as other groups, as images of one negative row, as too
    // close; together; too close yet independent (unresolved).
    static PairVerdict verdict(const SiteClass& a, const SiteClass& b, bool close, bool linked) {
        // Without a branch: the outcome varies from pair to pair.
        const bool fits = a.occupancy + b.occupancy <= 1.0 + exclusive_sum_tolerance;
        const bool other = fits & linked & (a.group != b.group);
        const bool images = fits & linked & a.negative & b.negative & (a.row == b.row);
        const bool exclusive = other | images | (fits & close);
        const bool together = !exclusive & linked & (a.group == b.group) & !a.negative;
        const int kind = (1 - exclusive) * (2 - together);  // exclusive 0, together 1, unresolved 2
        const int reason = other ? 0 : images ? 1 : together ? 3 : 2;
        return {static_cast<PairKind>(kind), static_cast<PairReason>(reason),
                static_cast<bool>(exclusive | together | close)};
    }
    // The decision for sites of classes a and b at distance r.
    PairVerdict classify(const SiteClass& a, const SiteClass& b, double r) const {
        const Limits l = limits(a, b);
        return verdict(a, b, r < l.close, r < l.linked);
    }
    // The decision for sites of classes ka and kb (no_class: not partial,
    // never decided) at distance r; from a table of the class pairs when the
    // classes are few.
    PairVerdict verdict_of(std::uint32_t ka, std::uint32_t kb, double r) const {
        if (table_classes_ != 0) {
            const std::size_t n = table_classes_;  // row and column n: not partial
            const PairTable& t = table_[std::min<std::size_t>(ka, n) * (n + 1) + std::min<std::size_t>(kb, n)];
            return t.verdicts[static_cast<unsigned>(r < t.limits.close) | static_cast<unsigned>(r < t.limits.linked) << 1];
        }
        if (ka == no_class || kb == no_class) return {};
        return classify(classes_[ka], classes_[kb], r);
    }
    // The decision for partial sites a and b at distance r (i, j, distance,
    // limit, kind and reason; the offset is left as it is); false when they
    // stay independent.
    bool decide(const PartialSite& a, const PartialSite& b, double r, PairDecision& out) const;

private:
    // Most classes for which verdict_of reads a table.
    static constexpr std::size_t max_table_classes = 32;
    // A pair of classes: its limits and its verdict for each of (too close,
    // linked) as bits 0 and 1.
    struct PairTable {
        Limits limits;
        std::array<PairVerdict, 4> verdicts;
    };

    double reach_ = 0.0;
    double bound_ = 0.0;
    std::vector<std::uint32_t> kin_;  // per structure site: its class, or no_class
    std::vector<SiteClass> classes_;
    std::vector<PairTable> table_;    // (classes + 1)^2 of them, or none
    std::size_t table_classes_ = 0;  // the classes the table has, 0 without one
};

// Every decision between partially occupied positions within `reach`
// (disorder labels) or the too-close distance. Candidates come from the
// neighbour search over the partial sites alone. Fails for a reach that is
// not a positive finite distance.
Result<PairDecisions> decide_pairs(const Structure& structure, double reach);

// The physical weight of species p (occupancy p) on site i with species q on
// site j, for a decided pair whose sites hold o_i and o_j in all.
inline double decided_weight(PairKind kind, double o_i, double o_j, double p, double q) {
    if (kind == PairKind::exclusive) return 0.0;
    if (kind == PairKind::together) return std::min(o_i, o_j) * (p / o_i) * (q / o_j);
    return q * p;
}

// What the decisions changed in a histogram: unordered pairs decided each
// way, and the first of each kind met (with the offset of the image it names).
struct DecisionSummary {
    std::uint64_t exclusive = 0, together = 0, unresolved = 0;
    std::optional<PairDecision> first, first_unresolved;
    // Counts one unordered pair of partial sites i and j at distance r,
    // decided as `kind`; the first of each kind is kept with its decision
    // and the offset of the image at that distance.
    void count(const Structure& structure, const PairRules& rules, std::uint32_t i, std::uint32_t j, double r,
               PairKind kind) {
        if (count(kind)) keep_first(structure, rules, i, j, r, kind);
    }
    // Counts one pair decided as `kind`, if `counted`: true when it is the
    // first of its kind, which keep_first then keeps.
    bool count(PairKind kind, bool counted = true) {
        // Without a branch on the kind, which varies from pair to pair.
        exclusive += static_cast<std::uint64_t>(counted & (kind == PairKind::exclusive));
        together += static_cast<std::uint64_t>(counted & (kind == PairKind::together));
        unresolved += static_cast<std::uint64_t>(counted & (kind == PairKind::unresolved));
        return counted & !(kind == PairKind::unresolved ? first_unresolved : first).has_value();
    }
    // Adds the counts of `later` and takes its first pairs where none is set.
    void join(const DecisionSummary& later);
    // Keeps the pair as the first of its kind, with its decision and the
    // offset of the image at distance r.
    void keep_first(const Structure& structure, const PairRules& rules, std::uint32_t i, std::uint32_t j, double r,
                    PairKind kind);
};

// The lattice offset n that puts the image f_j + n of site j at distance r
// from site i: the nearest image by rounding when its distance is r, else
// the one of the 27 around it whose distance comes closest to r.
std::array<std::int64_t, 3> offset_at(const Structure& structure, std::uint32_t i, std::uint32_t j, double r);

}  // namespace molvane
