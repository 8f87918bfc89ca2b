// Which pairs of partially occupied positions can be filled together: pairs
// that exclude one another, pairs that come together, and the correction that
// turns an independently weighted pair histogram into the physical one.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

// Occupancy sums of two positions that may exclude one another exceed 1 by
// at most this much.
inline constexpr double exclusive_sum_tolerance = 1e-3;
// A site is partially occupied when its occupancy sum lies in (0, 1 - this).
inline constexpr double partial_tolerance = 1e-6;
// Positions closer than max(too_close_floor, too_close_factor * (r_i + r_j)),
// with r the covalent radii, cannot both be filled.
inline constexpr double too_close_floor = 0.7;
inline constexpr double too_close_factor = 0.6;

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

// Every decision between partially occupied positions within `reach`
// (disorder labels) or the too-close distance. Candidates come from the
// neighbour search over the partial sites alone. Fails for a reach that is
// not a positive finite distance.
Result<PairDecisions> decide_pairs(const Structure& structure, double reach);

// The physical weight of species p (occupancy p) on site i with species q on
// site j, for a decided pair whose sites hold o_i and o_j in all.
double decided_weight(PairKind kind, double o_i, double o_j, double p, double q);

// Corrects a pair histogram (element a * nel + b, bins of `edges`) filled
// with independent weights o_p * o_q: each decided pair's two ordered entries
// lose their independent weight and gain the decided one, in the order of
// `decisions`. Entries that a correction brings within 1e-12 of their former
// size of zero are set to zero (rounding of the removal). `element_of` maps
// each species entry of each site, in site order, to its element index.
void correct_histogram(const Structure& structure, const PairDecisions& decisions,
                       const std::vector<std::size_t>& offsets, const std::vector<std::uint32_t>& element_of,
                       const std::vector<double>& edges, std::size_t nel, std::vector<double>& hist);

}  // namespace molvane
