// Pair sums behind the pair distribution function G(r): every pair of atoms
// within reach adds a Gaussian whose width comes from the two sites'
// displacement tensors along the pair, per element pair, on a grid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

class PairRules;
struct DecisionSummary;

// Most grid points one computation may use.
inline constexpr std::uint64_t max_pdf_points = std::uint64_t{1} << 22;

// Gaussians are added out to this many widths from their centre.
inline constexpr double gaussian_reach = 7.0;

struct PdfGrid {
    double rmin = 0.0;
    double rstep = 0.01;
    std::uint64_t n_points = 0;  // r_k = rmin + k * rstep, k < n_points
};

// Peak width of a pair at distance d: sigma' sqrt(1 - delta1/d - delta2/d^2
// + qbroad^2 d^2), sigma'^2 = n^T (U_i + U_j) n with n the pair's direction.
struct PeakWidth {
    double delta1 = 0.0;
    double delta2 = 0.0;
    double qbroad = 0.0;
};

struct PdfPairSums {
    std::vector<std::string> elements;  // byte order
    // One curve per unordered element pair (a, b), a <= b, in the order
    // (0,0), (0,1), .., (0,n-1), (1,1), ..: at r_k the sum over ordered atom
    // pairs (i, j), i != j, of o_i o_j Gauss(r_k; d_ij, sigma_ij).
    std::vector<std::vector<double>> curves;
};

// Checks the arguments and the displacements (one per site, or one per
// species entry site by site, so that species sharing a site may move
// differently; positive definite; `none` refused with the sites named) and sums the
// pairs on the default pool (n_threads = 0) or a pool of its own. The sum
// is the same bits on any number of threads. With `rules`, every pair they
// decide takes its decided weight (decided_weight, species by species)
// instead of o_i o_j; exclusive pairs add nothing and need no width; pairs
// the rules leave alone keep their bits. `summary` then counts the decided
// pairs within the search's reach, in piece order.
Result<PdfPairSums> compute_pdf_pairs(const Structure& structure, const std::vector<Displacement>& displacements,
                                      const PdfGrid& grid, const PeakWidth& width, std::uint64_t n_threads,
                                      const PairRules* rules = nullptr, DecisionSummary* summary = nullptr);

}  // namespace molvane
