// Which pairs of partially occupied positions can be filled together: pairs
// that exclude one another, pairs that come together, and the correction that
// turns an independently weighted pair histogram into the physical one.
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

// What the decisions read of one partially occupied site.
struct PartialSite {
    std::uint32_t site;  // index in the structure
    double occupancy;    // summed over its species
    double radius;       // largest covalent radius of its species
    std::int64_t assembly = -1, group = -1;  // numbered labels; -1: no group
    bool negative = false;                   // the group is a negative number
    std::uint64_t row = 0;
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
    // The partial sites in site order.
    const std::vector<PartialSite>& sites() const { return partial_; }
    // The partial site of structure site s, or nullptr.
    const PartialSite* find(std::uint32_t s) const { return index_[s] < 0 ? nullptr : &partial_[index_[s]]; }
    // Whether two partial sites at distance r may be decided at all (cheap).
    bool may_decide(const PartialSite& a, const PartialSite& b, double r) const {
        return r < too_close_distance(a.radius, b.radius) ||
               (r < reach_ && a.group >= 0 && b.group >= 0 && a.assembly == b.assembly);
    }
    // The decision for partial sites a and b at distance r (i, j, distance,
    // limit, kind and reason; the offset is left as it is); false when they
    // stay independent.
    bool decide(const PartialSite& a, const PartialSite& b, double r, PairDecision& out) const;

private:
    double reach_ = 0.0;
    double bound_ = 0.0;
    std::vector<std::int32_t> index_;  // per structure site: index into partial_, or -1
    std::vector<PartialSite> partial_;
};

// Every decision between partially occupied positions within `reach`
// (disorder labels) or the too-close distance. Candidates come from the
// neighbour search over the partial sites alone. Fails for a reach that is
// not a positive finite distance.
Result<PairDecisions> decide_pairs(const Structure& structure, double reach);

// The physical weight of species p (occupancy p) on site i with species q on
// site j, for a decided pair whose sites hold o_i and o_j in all.
double decided_weight(PairKind kind, double o_i, double o_j, double p, double q);

// One entry of a pair histogram's visit that a decision changed: the sites
// and their occupancy sums, the distance it was binned at, the ordered
// pairs it stands for (PairSide bits: i seeing j, j seeing i) and the
// decision.
struct PairEntry {
    std::uint32_t i, j;
    double o_i, o_j;
    double r;
    std::uint8_t sides;
    PairKind kind;
};

// What a correction changed: unordered pairs decided each way, and the
// first of each kind met (with the offset of the image it names).
struct CorrectionSummary {
    std::uint64_t exclusive = 0, together = 0, unresolved = 0;
    std::optional<PairDecision> first, first_unresolved;
    // Counts one unordered pair of partial sites i and j at distance r,
    // decided as `kind`; the first of each kind is kept with its decision
    // and the offset of the image at that distance.
    void count(const Structure& structure, const PairRules& rules, std::uint32_t i, std::uint32_t j, double r,
               PairKind kind);
    // Adds the counts of `later` and takes its first pairs where none is set.
    void join(const CorrectionSummary& later);
};

// Corrects a pair histogram (element a * nel + b, bins of `edges`) filled
// with independent weights o_p * o_q: every decided entry loses its
// independent weight and gains the decided one in each ordered pair it
// stands for, in the order of `entries`, at the bin its own distance falls
// in (unresolved entries are only counted). Histogram entries that a correction brings within 1e-12 of their
// former size of zero are set to zero (rounding of the removal). The
// elements are the structure's symbols, in the order of its table.
CorrectionSummary correct_histogram(const Structure& structure, const PairRules& rules,
                                    const std::vector<PairEntry>& entries, const std::vector<double>& edges,
                                    double* hist);

// The lattice offset n that puts the image f_j + n of site j at distance r
// from site i: the nearest image by rounding when its distance is r, else
// the one of the 27 around it whose distance comes closest to r.
std::array<std::int64_t, 3> offset_at(const Structure& structure, std::uint32_t i, std::uint32_t j, double r);

}  // namespace molvane
