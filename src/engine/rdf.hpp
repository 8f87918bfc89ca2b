// Partial and total radial distribution functions of a periodic structure:
// a weighted pair histogram filled on a worker pool, then normalised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

struct PrdfResult {
    std::vector<std::string> elements;          // byte order
    std::vector<double> r;                      // left edge of every bin
    std::vector<double> edges;                  // nbins + 1 edges
    std::vector<std::vector<double>> partials;  // curve a * nel + b: centre a, neighbour b
    std::vector<double> total;
};

// Most histogram entries (element pairs times bins) one computation may use.
inline constexpr std::uint64_t max_histogram_entries = std::uint64_t{1} << 27;

// Most sub-cell images the neighbour search may visit around one centre.
inline constexpr std::uint64_t max_images_per_centre = std::uint64_t{1} << 30;

// Bin edges k * bin_size for k = 0 .. ceil((cutoff + bin_size) / bin_size) - 1.
// Returns just the count when `out` is null.
std::uint64_t bin_edge_count(double cutoff, double bin_size);

// The bin of distance r by the stored edges, or -1 when r lies beyond the
// last edge. `inv_bin` only seeds the search.
inline std::int64_t find_bin(const double* edges, std::int64_t n_edges, double r, double inv_bin) {
    double guess = r * inv_bin;
    std::int64_t g = guess >= 0.0 && guess < 9.0e18 ? static_cast<std::int64_t>(guess) : 0;
    if (g > n_edges - 1) g = n_edges - 1;
    while (g > 0 && edges[g] > r) --g;
    std::int64_t j = g + 1;
    while (j < n_edges && r >= edges[j]) ++j;
    std::int64_t k = j - 1;
    const std::int64_t nbins = n_edges - 1;
    if (k >= nbins) return r == edges[nbins] ? nbins - 1 : -1;
    return k;
}

// The computation on the current pool: the default pool for the parallel
// part unless `pool` says otherwise (used by compute_prdf).
class WorkerPool;
Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool);

// Chooses the pool (the default one for n_threads = 0, otherwise a dedicated
// pool of min(n_threads, 65535) threads for this call) and computes.
Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size);

}  // namespace molvane
