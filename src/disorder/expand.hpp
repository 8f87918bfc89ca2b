// Occupancy expansion: turns partial occupancies into an explicit ordered
// n x n x n supercell, placing atoms with a seeded, reproducible shuffle.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

// One element of one pool: what was asked for and what was placed.
struct ReportRow {
    std::string element;
    double target_occupancy = 0.0;   // as the pool's first site gives it
    std::uint64_t sites_in_pool = 0;
    std::uint64_t atoms_placed = 0;  // as decided by the allocation
};

struct Expansion {
    Structure structure;
    std::vector<ReportRow> occupancy_report;
    std::vector<std::string> warnings;
    std::array<std::uint64_t, 3> scale{};
    std::uint64_t n_vacancies = 0;
};

// Two partial positions that are linked: site i and the image of site j
// shifted by `offset` cells either come together or exclude one another.
struct LinkedPair {
    std::uint32_t i, j;
    std::array<std::int64_t, 3> offset;
    bool together;
};

// Most sites one cluster of linked positions may hold in the supercell.
inline constexpr std::size_t max_cluster_sites = 64;

// Runs the whole expansion on `source` (which is only read). Positions
// joined by `links` form clusters in the supercell; each cluster is filled
// as one choice among its configurations (the positions of one together
// class, or none), with largest-remainder counts over the clusters that are
// images of one another, so linked positions never hold atoms that exclude
// one another. Without links the expansion is the plain one. Fails when a
// cluster would exceed max_cluster_sites, or when linked positions reach
// their own image in another cell (a chain through the crystal).
Result<Expansion> expand_occupancies(const Structure& source, std::uint64_t max_sites,
                                     std::uint64_t seed, std::uint64_t max_denominator,
                                     const std::vector<LinkedPair>& links = {});

// The denominator q <= max_denominator whose fraction best approximates x:
// q replaces a smaller one only when |x q - round(x q)| / q improves by more
// than 1e-12, and the search stops at the first improvement below 1e-9.
// Small bounds scan every q; large ones walk the continued fraction of x and
// give the same q without visiting every denominator.
std::uint64_t best_denominator(double x, std::uint64_t max_denominator);

// The two ways of computing best_denominator, exposed for tests.
std::uint64_t best_denominator_scan(double x, std::uint64_t max_denominator);
std::uint64_t best_denominator_cf(double x, std::uint64_t max_denominator);

// Largest n >= 0 with n * n * n <= v.
std::uint64_t integer_cbrt(std::uint64_t v);

// The xorshift64* generator that places the atoms.
class Xorshift64Star {
public:
    explicit Xorshift64Star(std::uint64_t seed);
    std::uint64_t next();

private:
    std::uint64_t state_;
};

}  // namespace molvane
