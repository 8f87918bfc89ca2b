// Partial and total RDF: validation, the plan (bin edges, species table,
// neighbour search, pieces), the pair histogram filled piece by piece on a
// worker pool, and its normalisation.
#include "engine/rdf.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

#include "engine/exclusions.hpp"
#include "engine/neighbor.hpp"
#include "engine/pool.hpp"

namespace molvane {

namespace {

// 4 * pi / 3 as the nearest double.
constexpr double four_thirds_pi = 4.1887902047863905;

// The sites' species as the structure holds them (a symbol's index is its
// element's place in byte order), with the elements, each one's summed
// occupancy, added in site order (the structure's composition), and the
// number of atoms (the site sums added in site order).
struct SpeciesTable {
    const Sites* sites = nullptr;
    std::vector<std::string> elements;
    std::vector<double> amount;
    double n_atoms = 0.0;
};

SpeciesTable species_table(const Structure& structure) {
    return {&structure.sites(), structure.elements(), structure.amounts(), structure.n_atoms()};
}

// What the histogram step reads for each packed slot when every site holds
// one species: where its element's curves start as centre (row) and as
// neighbour (column), and its occupancy.
struct SlotSpecies {
    std::size_t row;     // element index * nel * nbins
    std::size_t column;  // element index * nbins
    double occupancy;
};

// Everything the workers share, read-only during the fill.
struct Plan {
    std::vector<double> edges;
    std::size_t nel = 0;
    std::size_t nbins = 0;
    SpeciesTable species;
    NeighborSearch search;
    std::vector<SlotSpecies> by_slot;  // filled only when every site has one species
    std::size_t pieces = 1;
    const PairRules* rules = nullptr;  // the pairs to collect for a correction, if any
    // With rules: every slot's partial site, or one of occupancy -1 for a
    // site that is not partial (read in packed order, close at hand).
    std::vector<PartialSite> partial_by_slot;
};

std::string count_text(std::uint64_t n) { return std::to_string(n); }

// The argument checks, in their fixed order; the number of bin edges.
Result<std::uint64_t> validate(double cutoff, double bin_size) {
    // A NaN or infinite cutoff is not a usable positive distance.
    if (!(cutoff > 0.0) || std::isinf(cutoff)) return fail("cutoff must be positive");
    if (!(bin_size > 0.0) || !(bin_size <= cutoff))
        return fail("bin_size must be positive and no larger than the cutoff");
    const std::uint64_t n_edges = bin_edge_count(cutoff, bin_size);
    if (n_edges <= 1) return fail("cutoff and bin_size give no bins");
    return n_edges;
}

// The species, the histogram's size and bin edges, the neighbour search and
// the pieces.
Result<Plan> plan(const Structure& structure, double cutoff, double bin_size, std::uint64_t n_edges) {
    SpeciesTable sp = species_table(structure);
    auto search = NeighborSearch::build(structure, cutoff);
    const std::size_t nel = sp.elements.size(), nbins = n_edges - 1;
    const std::uint64_t pairs = std::uint64_t{nel} * nel;
    if (nbins > max_histogram_entries / std::max<std::uint64_t>(pairs, 1)) {
        return fail("cutoff and bin_size give ", count_text(nbins), " bins, too many to hold for ",
                    count_text(pairs), " element pairs (at most ", count_text(max_histogram_entries),
                    " histogram entries)");
    }
    std::vector<double> edges(n_edges);
    for (std::uint64_t k = 0; k < n_edges; ++k) edges[k] = static_cast<double>(k) * bin_size;
    if (!search) return search.error();
    const NeighborSearch& found = *search;
    std::vector<SlotSpecies> by_slot;
    const Sites& sites = structure.sites();
    if (sites.one_entry_per_site()) {
        const auto symbols = sites.entry_symbols();
        const auto occupancies = sites.entry_occupancies();
        by_slot.resize(found.n_slots());
        for (std::uint32_t slot = 0; slot < found.n_slots(); ++slot) {
            const std::size_t j = static_cast<std::size_t>(found.site_at(slot));
            const std::size_t element = symbols[j];
            by_slot[slot] = {element * nel * nbins, element * nbins, occupancies[j]};
        }
    }
    const std::size_t pieces =
        piece_count(structure.sites().size(), found.candidate_pairs(), pairs * nbins);
    return Plan{std::move(edges), nel, nbins, std::move(sp), std::move(*search), std::move(by_slot), pieces, nullptr, {}};
}

// The histogram step for one centre: every pair the search hands back is
// binned once per distinct distance and added to the centre's row, the
// neighbour's row, or both. With pair rules, the entries between partial
// sites that the rules may decide are also collected, as met.
class PairAdder {
public:
    PairAdder(const Plan& plan, double inv_bin)
        : plan_(plan), edges_(plan.edges.data()),
          n_edges_(static_cast<std::int64_t>(plan.edges.size())), inv_bin_(inv_bin) {}

    // The pairs owned by the centres at the slots [lo, hi).
    void centres(std::uint32_t lo, std::uint32_t hi, NeighborSearch::Scratch& scratch, double* hist,
                 std::vector<PairEntry>& entries) const {
        if (plan_.rules) fill_centres<true>(lo, hi, scratch, hist, entries);
        else fill_centres<false>(lo, hi, scratch, hist, entries);
    }

private:
    // With `Collect`, also keeps the binned entries of a batch between
    // partial sites that the rules decide, in batch order. A pass of its
    // own, so that the histogram loop stays the one of the plain fill: few
    // entries lie within the rules' bound, and they are picked without a
    // branch per entry.
    template <bool Collect>
    void keep(const std::uint32_t* centres, const std::uint32_t* slots, const double* r, const std::uint8_t* sides,
              std::size_t n, std::vector<PairEntry>& entries) const {
        if constexpr (Collect) {
            const double bound = plan_.rules->bound();
            std::array<std::uint32_t, NeighborSearch::Scratch::capacity> near;
            for (std::size_t base = 0; base < n; base += near.size()) {
                const std::size_t end = std::min(n, base + near.size());
                std::size_t m = 0;
                for (std::size_t u = base; u < end; ++u) {
                    near[m] = static_cast<std::uint32_t>(u);
                    m += static_cast<std::size_t>(r[u] < bound);
                }
                keep_listed(near.data(), m, centres, slots, r, sides, entries);
            }
        }
    }

    // The entries near[0..m) of a batch that the rules decide, in order.
    void keep_listed(const std::uint32_t* near, std::size_t m, const std::uint32_t* centres,
                     const std::uint32_t* slots, const double* r, const std::uint8_t* sides,
                     std::vector<PairEntry>& entries) const {
        const PairRules& rules = *plan_.rules;
        const double bound = rules.bound();
        const PartialSite* partial = plan_.partial_by_slot.data();
        for (std::size_t t = 0; t < m; ++t) {
            const std::size_t u = near[t];
            if (!(r[u] < bound)) continue;
            const PartialSite& a = partial[centres[u]];
            const PartialSite& b = partial[slots[u]];
            if (a.occupancy < 0.0 || b.occupancy < 0.0 || !rules.may_decide(a, b, r[u])) continue;
            if (find_bin(edges_, n_edges_, r[u], inv_bin_) < 0) continue;
            PairDecision d{0, 0, {}, 0.0, 0.0, PairKind::exclusive, PairReason::too_close};
            if (rules.decide(a, b, r[u], d))
                entries.push_back({a.site, b.site, a.occupancy, b.occupancy, r[u], sides[u], d.kind});
        }
    }

    template <bool Collect>
    void fill_centres(std::uint32_t lo, std::uint32_t hi, NeighborSearch::Scratch& scratch, double* hist,
                      std::vector<PairEntry>& entries) const {
        if (!plan_.by_slot.empty()) {
            const SlotSpecies* by_slot = plan_.by_slot.data();
            // With `Collect`, the binned entries in a bin that reaches below
            // the rules' bound are listed as met (a batch is never longer
            // than the scratch), then sorted out by keep_listed.
            const std::int64_t near_bins = Collect ? near_bin_count() : 0;
            plan_.search.visit(lo, hi, scratch, [&](const std::uint32_t* centres, const std::uint32_t* slots,
                                                    const double* r, const std::uint8_t* sides, std::size_t n) {
                [[maybe_unused]] std::array<std::uint32_t, Collect ? NeighborSearch::Scratch::capacity : 1> near;
                [[maybe_unused]] std::size_t m = 0;
                for (std::size_t u = 0; u < n; ++u) {
                    const std::int64_t k = find_bin(edges_, n_edges_, r[u], inv_bin_);
                    if (k < 0) continue;
                    const SlotSpecies& i = by_slot[centres[u]];
                    const SlotSpecies& j = by_slot[slots[u]];
                    const double weight = j.occupancy * i.occupancy;
                    if (sides[u] & side_forward) hist[i.row + j.column + static_cast<std::size_t>(k)] += weight;
                    if (sides[u] & side_reverse) hist[j.row + i.column + static_cast<std::size_t>(k)] += weight;
                    if constexpr (Collect) {
                        near[m] = static_cast<std::uint32_t>(u);
                        m += static_cast<std::size_t>(k < near_bins);
                    }
                }
                if constexpr (Collect) keep_listed(near.data(), m, centres, slots, r, sides, entries);
            });
            return;
        }
        plan_.search.visit(lo, hi, scratch, [&](const std::uint32_t* centres, const std::uint32_t* slots,
                                                const double* r, const std::uint8_t* sides, std::size_t n) {
            for (std::size_t u = 0; u < n; ++u) {
                const std::int64_t k = find_bin(edges_, n_edges_, r[u], inv_bin_);
                if (k < 0) continue;
                const std::size_t i = static_cast<std::size_t>(plan_.search.site_at(centres[u]));
                const std::size_t j = static_cast<std::size_t>(plan_.search.site_at(slots[u]));
                if (sides[u] & side_forward) add_species(i, j, static_cast<std::size_t>(k), hist);
                if (sides[u] & side_reverse) add_species(j, i, static_cast<std::size_t>(k), hist);
            }
            keep<Collect>(centres, slots, r, sides, n, entries);
        });
    }

    // Every species entry p of centre site i with every entry q of neighbour site j.
    void add_species(std::size_t i, std::size_t j, std::size_t k, double* hist) const {
        const Sites& sites = *plan_.species.sites;
        const std::uint32_t* symbol = sites.entry_symbols().data();
        const double* occupancy = sites.entry_occupancies().data();
        const std::size_t nel = plan_.nel, nbins = plan_.nbins;
        const std::size_t q_begin = sites.entries_begin(j), q_end = sites.entries_end(j);
        for (std::size_t p = sites.entries_begin(i); p < sites.entries_end(i); ++p) {
            double* row = hist + static_cast<std::size_t>(symbol[p]) * nel * nbins + k;
            const double occ_p = occupancy[p];
            for (std::size_t q = q_begin; q < q_end; ++q)
                row[static_cast<std::size_t>(symbol[q]) * nbins] += occupancy[q] * occ_p;
        }
    }

    // Bins [0, this) hold every distance below the rules' bound (with a bin
    // to spare for rounding of the bin search).
    std::int64_t near_bin_count() const {
        const double bins = plan_.rules->bound() * inv_bin_ + 2.0;
        return bins < static_cast<double>(n_edges_) ? static_cast<std::int64_t>(bins) : n_edges_;
    }

    const Plan& plan_;
    const double* edges_;
    std::int64_t n_edges_;
    double inv_bin_;
};

// The pair histogram: every piece fills its own histogram with its centres
// in packed order; workers take pieces from a shared counter; the pieces are
// then summed in piece order, so the bits never depend on the pool. With
// pair rules, each piece's histogram is corrected for the entries its own
// visit collected, in the order met, once the piece is filled.
std::vector<double> fill(const Plan& plan, const Structure& structure, double bin_size, WorkerPool& pool,
                         CorrectionSummary& summary) {
    const std::size_t size = plan.nel * plan.nel * plan.nbins;
    const std::size_t n_slots = plan.search.n_slots(), pieces = plan.pieces;
    const PairAdder adder(plan, 1.0 / bin_size);
    std::vector<std::vector<double>> partial(pieces);
    std::vector<CorrectionSummary> made(pieces);
    auto fill_piece = [&](std::size_t piece, NeighborSearch::Scratch& scratch) {
        partial[piece].assign(size, 0.0);
        const std::size_t lo = piece * n_slots / pieces, hi = (piece + 1) * n_slots / pieces;
        std::vector<PairEntry> entries;
        adder.centres(static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi), scratch, partial[piece].data(),
                      entries);
        if (plan.rules)
            made[piece] = correct_histogram(structure, *plan.rules, entries, plan.edges, partial[piece].data());
    };
    const std::size_t tasks = std::min(pool.size(), pieces);
    if (tasks <= 1) {
        // One worker would take every piece in turn: the calling thread does.
        auto scratch = std::make_unique<NeighborSearch::Scratch>();
        for (std::size_t piece = 0; piece < pieces; ++piece) fill_piece(piece, *scratch);
    } else {
        std::atomic<std::size_t> next_piece{0};
        pool.run(tasks, [&](std::size_t) {
            auto scratch = std::make_unique<NeighborSearch::Scratch>();
            for (std::size_t piece; (piece = next_piece.fetch_add(1, std::memory_order_relaxed)) < pieces;)
                fill_piece(piece, *scratch);
        });
    }
    std::vector<double> hist = std::move(partial[0]);
    for (std::size_t piece = 1; piece < pieces; ++piece) {
        const std::vector<double>& part = partial[piece];
        for (std::size_t k = 0; k < size; ++k) hist[k] = hist[k] + part[k];
        std::vector<double>().swap(partial[piece]);
    }
    for (const CorrectionSummary& piece : made) summary.join(piece);
    return hist;
}

// Shell volumes, element amounts and the curves.
PrdfResult normalise(Plan& plan, const std::vector<double>& hist) {
    const std::size_t nel = plan.nel, nbins = plan.nbins;
    const std::vector<double>& edges = plan.edges;
    std::vector<double> shell(nbins);
    for (std::size_t k = 0; k < nbins; ++k) {
        double hi = edges[k + 1] * edges[k + 1] * edges[k + 1];
        double lo = edges[k] * edges[k] * edges[k];
        shell[k] = (hi - lo) * four_thirds_pi;
    }
    const std::vector<double>& amount = plan.species.amount;
    const double total_amount = plan.species.n_atoms;

    PrdfResult result;
    result.total.assign(nbins, 0.0);
    result.partials.reserve(nel * nel);
    for (std::size_t a = 0; a < nel; ++a) {
        for (std::size_t b = 0; b < nel; ++b) {
            std::vector<double> curve(nbins);
            const double* h = hist.data() + (a * nel + b) * nbins;
            for (std::size_t k = 0; k < nbins; ++k) {
                result.total[k] = h[k] / (shell[k] * total_amount) + result.total[k];
                curve[k] = amount[a] > 0.0 ? h[k] / (amount[a] * shell[k]) : 0.0;
            }
            result.partials.push_back(std::move(curve));
        }
    }
    result.elements = std::move(plan.species.elements);
    result.r.assign(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(nbins));
    result.edges = std::move(plan.edges);
    return result;
}

}  // namespace

std::uint64_t bin_edge_count(double cutoff, double bin_size) {
    return saturating_u64(std::ceil((cutoff + bin_size) / bin_size));
}

std::uint64_t piece_count(std::uint64_t n_sites, double work, std::uint64_t entries) {
    std::uint64_t pieces = std::min(max_pieces, n_sites);
    if (work < work_per_piece * static_cast<double>(pieces))
        pieces = static_cast<std::uint64_t>(work / work_per_piece);  // also for NaN: 0
    pieces = std::min(pieces, max_piece_entries / std::max<std::uint64_t>(entries, 1));
    return std::max<std::uint64_t>(pieces, 1);
}

Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool, const PairRules* rules, CorrectionSummary* summary) {
    auto n_edges = validate(cutoff, bin_size);
    if (!n_edges) return n_edges.error();
    auto p = plan(structure, cutoff, bin_size, *n_edges);
    if (!p) return p.error();
    if (rules && !rules->sites().empty()) {
        p->rules = rules;
        const PartialSite none{0, -1.0, 0.0};
        p->partial_by_slot.assign(p->search.n_slots(), none);
        for (std::uint32_t slot = 0; slot < p->search.n_slots(); ++slot)
            if (const PartialSite* site = rules->find(static_cast<std::uint32_t>(p->search.site_at(slot))))
                p->partial_by_slot[slot] = *site;
    }
    CorrectionSummary made;
    std::vector<double> hist = fill(*p, structure, bin_size, pool, made);
    if (summary) *summary = made;
    return normalise(*p, hist);
}

Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size, const PairRules* rules, CorrectionSummary* summary) {
    if (n_threads == 0) return compute_prdf_inner(structure, cutoff, bin_size, default_pool(), rules, summary);
    auto pool = WorkerPool::create(static_cast<std::size_t>(std::min(n_threads, max_pool_threads)), n_threads);
    if (!pool) return pool.error();
    return compute_prdf_inner(structure, cutoff, bin_size, **pool, rules, summary);
}

}  // namespace molvane
