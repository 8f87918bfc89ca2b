// Partial and total RDF: validation, bin edges, the species table, the
// parallel pair histogram and its normalisation.
#include "engine/rdf.hpp"

#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

#include "engine/neighbor.hpp"
#include "engine/pool.hpp"

namespace molvane {

namespace {

// 4 * pi / 3 as the nearest double.
constexpr double four_thirds_pi = 4.1887902047863905;

// Every site's species as flat arrays: entries offsets[i] .. offsets[i + 1].
struct SpeciesTable {
    std::vector<std::size_t> offsets;
    std::vector<std::uint32_t> species_index;
    std::vector<double> occupancy;
};

SpeciesTable build_species_table(const std::vector<Site>& sites, const std::vector<std::string>& elements) {
    SpeciesTable table;
    table.offsets.reserve(sites.size() + 1);
    table.offsets.push_back(0);
    for (const Site& site : sites) {
        for (const auto& [symbol, occupancy] : site.species) {
            std::uint32_t index = 0;
            while (index < elements.size() && elements[index] != symbol) ++index;
            table.species_index.push_back(index);
            table.occupancy.push_back(occupancy);
        }
        table.offsets.push_back(table.species_index.size());
    }
    return table;
}

// What the histogram step reads for each packed slot of the neighbour
// search, so the inner loop touches one array instead of three.
struct SlotSpecies {
    std::size_t column;  // element index * nbins (single-species sites)
    double occupancy;
};

// Everything the workers share, read-only during the fold.
struct FoldInput {
    const NeighborSearch* search;
    const SpeciesTable* species;
    std::vector<SlotSpecies> by_slot;  // filled only when every site has one species
    bool single_species;
    const double* edges;
    std::int64_t n_edges;
    double inv_bin;
    std::size_t nel;
    std::size_t nbins;
};

// Adds the pairs around centre i into `hist`.
void accumulate_centre(const FoldInput& in, std::size_t i, NeighborSearch::Scratch& scratch, double* hist) {
    const SpeciesTable& sp = *in.species;
    const std::size_t p_begin = sp.offsets[i], p_end = sp.offsets[i + 1];
    if (p_begin == p_end) return;
    const double* edges = in.edges;
    const std::int64_t n_edges = in.n_edges;
    const double inv_bin = in.inv_bin;
    if (in.single_species) {
        const double occ_i = sp.occupancy[p_begin];
        double* row = hist + static_cast<std::size_t>(sp.species_index[p_begin]) * in.nel * in.nbins;
        const SlotSpecies* by_slot = in.by_slot.data();
        in.search->visit(i, scratch, [&](const std::uint32_t* slots, const double* r, std::size_t n) {
            for (std::size_t u = 0; u < n; ++u) {
                std::int64_t k = find_bin(edges, n_edges, r[u], inv_bin);
                if (k < 0) continue;
                const SlotSpecies& s = by_slot[slots[u]];
                row[s.column + static_cast<std::size_t>(k)] += s.occupancy * occ_i;
            }
        });
        return;
    }
    const std::size_t nel = in.nel, nbins = in.nbins;
    in.search->visit(i, scratch, [&](const std::uint32_t* slots, const double* r, std::size_t n) {
        for (std::size_t u = 0; u < n; ++u) {
            std::int64_t k = find_bin(edges, n_edges, r[u], inv_bin);
            if (k < 0) continue;
            const std::size_t j = static_cast<std::size_t>(in.search->site_at(slots[u]));
            const std::size_t q_begin = sp.offsets[j], q_end = sp.offsets[j + 1];
            for (std::size_t p = p_begin; p < p_end; ++p) {
                double* row = hist + static_cast<std::size_t>(sp.species_index[p]) * nel * nbins +
                              static_cast<std::size_t>(k);
                const double occ_p = sp.occupancy[p];
                for (std::size_t q = q_begin; q < q_end; ++q)
                    row[static_cast<std::size_t>(sp.species_index[q]) * nbins] += sp.occupancy[q] * occ_p;
            }
        }
    });
}

// The parallel fold over centres: workers take chunks of centres from a
// shared counter, each adding into its own histogram; the
// histograms are then summed element-wise on the calling thread.
std::vector<double> fill_histogram(const FoldInput& in, std::size_t n_sites, WorkerPool& pool) {
    const std::size_t size = in.nel * in.nel * in.nbins;
    const std::size_t tasks = std::max<std::size_t>(1, std::min(pool.size(), n_sites));
    const std::size_t n_chunks = tasks == 1 ? 1 : std::min(n_sites, tasks * 16);
    std::atomic<std::size_t> next_chunk{0};
    std::vector<std::vector<double>> partial(tasks);
    pool.run(tasks, [&](std::size_t task) {
        auto scratch = std::make_unique<NeighborSearch::Scratch>();
        for (;;) {
            std::size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= n_chunks) break;
            if (partial[task].empty()) partial[task].assign(size, 0.0);
            double* hist = partial[task].data();
            const std::size_t lo = chunk * n_sites / n_chunks, hi = (chunk + 1) * n_sites / n_chunks;
            // Centres go in packed (sub-cell) order, so consecutive centres
            // scan the same neighbouring sub-cells while they are in cache.
            for (std::size_t slot = lo; slot < hi; ++slot) {
                const auto i = static_cast<std::size_t>(in.search->site_at(static_cast<std::uint32_t>(slot)));
                accumulate_centre(in, i, *scratch, hist);
            }
        }
    });
    std::vector<double> hist(size, 0.0);
    for (const auto& part : partial) {
        if (part.empty()) continue;
        for (std::size_t k = 0; k < size; ++k) hist[k] = part[k] + hist[k];
    }
    return hist;
}

std::string count_text(std::uint64_t n) { return std::to_string(n); }

}  // namespace

std::uint64_t bin_edge_count(double cutoff, double bin_size) {
    double n = std::ceil((cutoff + bin_size) / bin_size);
    if (std::isnan(n) || n <= 0.0) return 0;
    if (n >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(n);
}

Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool) {
    // A NaN or infinite cutoff is not a usable positive distance.
    if (!(cutoff > 0.0) || std::isinf(cutoff)) return fail("cutoff must be positive");
    if (!(bin_size > 0.0) || !(bin_size <= cutoff))
        return fail("bin_size must be positive and no larger than the cutoff");
    const std::uint64_t n_edges = bin_edge_count(cutoff, bin_size);
    if (n_edges <= 1) return fail("cutoff and bin_size give no bins");
    const std::uint64_t nbins = n_edges - 1;

    const std::vector<Site>& sites = structure.sites();
    std::vector<std::string> elements = structure.elements();
    const std::uint64_t nel = elements.size();
    const std::uint64_t pairs = nel * nel;
    if (nbins > max_histogram_entries / std::max<std::uint64_t>(pairs, 1)) {
        return fail("cutoff and bin_size give ", count_text(nbins), " bins, too many to hold for ",
                    count_text(pairs), " element pairs (at most ", count_text(max_histogram_entries),
                    " histogram entries)");
    }
    if (sites.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return fail("structure has ", count_text(sites.size()), " sites; the neighbour search holds at most ",
                    count_text(std::numeric_limits<std::int32_t>::max()));
    }
    const Mat3& m = structure.lattice().matrix();
    CellGrid grid = plan_cell_grid(m, cutoff);
    {
        // The reach grows with cutoff / cell width without limit; refuse a
        // search that could never finish.
        std::uint64_t images = 1;
        bool too_far = false;
        for (std::int64_t r : grid.search_range) {
            if (r < 0) continue;
            if (r > (std::int64_t{1} << 30)) {
                too_far = true;
                break;
            }
            const std::uint64_t span = 2 * static_cast<std::uint64_t>(r) + 1;
            if (images > max_images_per_centre / span) {
                too_far = true;
                break;
            }
            images *= span;
        }
        if (too_far)
            return fail("cutoff is too large for this cell: the search would visit more than ",
                        count_text(max_images_per_centre), " periodic images of the cell around each site");
    }

    std::vector<double> edges(n_edges);
    for (std::uint64_t k = 0; k < n_edges; ++k) edges[k] = static_cast<double>(k) * bin_size;

    SpeciesTable species = build_species_table(sites, elements);
    std::vector<Vec3> wrapped = wrap_coordinates(sites);
    file_sites(grid, wrapped);
    NeighborSearch search(m, wrapped, grid, cutoff);
    grid = CellGrid{};  // the packed copy is all the visit needs

    FoldInput in;
    in.search = &search;
    in.species = &species;
    in.single_species = true;
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (species.offsets[i + 1] - species.offsets[i] != 1) in.single_species = false;
    if (in.single_species) {
        in.by_slot.resize(search.n_slots());
        for (std::uint32_t slot = 0; slot < search.n_slots(); ++slot) {
            std::size_t j = static_cast<std::size_t>(search.site_at(slot));
            in.by_slot[slot] = {static_cast<std::size_t>(species.species_index[j]) * nbins, species.occupancy[j]};
        }
    }
    in.edges = edges.data();
    in.n_edges = static_cast<std::int64_t>(n_edges);
    in.inv_bin = 1.0 / bin_size;
    in.nel = nel;
    in.nbins = nbins;
    std::vector<double> hist = fill_histogram(in, sites.size(), pool);

    std::vector<double> shell(nbins);
    for (std::uint64_t k = 0; k < nbins; ++k) {
        double hi = edges[k + 1] * edges[k + 1] * edges[k + 1];
        double lo = edges[k] * edges[k] * edges[k];
        shell[k] = (hi - lo) * four_thirds_pi;
    }
    std::map<std::string, double> composition = structure.composition();
    std::vector<double> amount(nel);
    for (std::uint64_t a = 0; a < nel; ++a) amount[a] = composition[elements[a]];
    const double total_amount = structure.n_atoms();

    PrdfResult result;
    result.total.assign(nbins, 0.0);
    result.partials.reserve(pairs);
    for (std::uint64_t a = 0; a < nel; ++a) {
        for (std::uint64_t b = 0; b < nel; ++b) {
            std::vector<double> curve(nbins);
            const double* h = hist.data() + (a * nel + b) * nbins;
            for (std::uint64_t k = 0; k < nbins; ++k) {
                result.total[k] = h[k] / (shell[k] * total_amount) + result.total[k];
                curve[k] = amount[a] > 0.0 ? h[k] / (amount[a] * shell[k]) : 0.0;
            }
            result.partials.push_back(std::move(curve));
        }
    }
    result.elements = std::move(elements);
    result.r.assign(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(nbins));
    result.edges = std::move(edges);
    return result;
}

Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size) {
    if (n_threads == 0) return compute_prdf_inner(structure, cutoff, bin_size, default_pool());
    auto pool = WorkerPool::create(static_cast<std::size_t>(std::min(n_threads, max_pool_threads)), n_threads);
    if (!pool) return pool.error();
    return compute_prdf_inner(structure, cutoff, bin_size, **pool);
}

}  // namespace molvane
