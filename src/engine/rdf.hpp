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

// The histogram is filled in pieces: contiguous runs of centres (in the
// neighbour search's packed order) that each add into a histogram of their
// own, in a fixed order, and are then summed in piece order. The pieces
// depend only on the structure, the cutoff and the histogram size, never on
// the number of threads, so every result is the same bits on any pool.
// One piece per work_per_piece candidate pairs the search will test (at
// least one piece), at most max_pieces, and no more than keep their
// histograms within max_piece_entries together (unless one alone needs
// more): the fill holds at most max(max_piece_entries, one histogram) plus
// the summed histogram.
inline constexpr std::uint64_t max_pieces = 64;
inline constexpr double work_per_piece = 32768.0;
inline constexpr std::uint64_t max_piece_entries = std::uint64_t{1} << 24;

// How many pieces for n_sites centres, `work` candidate pairs in all and
// histograms of `entries` entries.
std::uint64_t piece_count(std::uint64_t n_sites, double work, std::uint64_t entries);

// How many bin edges k * bin_size: ceil((cutoff + bin_size) / bin_size)
// (NaN: 0; beyond the range: the largest count).
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
// part unless `pool` says otherwise (used by compute_prdf). With `rules`
// the pairs the rules decide take their decided weight as the histogram is
// filled (`summary`, when given, says what changed).
class WorkerPool;
class PairRules;
struct DecisionSummary;
Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool, const PairRules* rules = nullptr,
                                      DecisionSummary* summary = nullptr);

// Chooses the pool (the default one for n_threads = 0, otherwise a dedicated
// pool of min(n_threads, 65535) threads for this call) and computes.
Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size, const PairRules* rules = nullptr,
                                DecisionSummary* summary = nullptr);

}  // namespace molvane
