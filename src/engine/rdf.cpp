// Partial and total RDF: validation, the plan (bin edges, species table,
// neighbour search, pieces), the pair histogram filled piece by piece on a
// worker pool, and its normalisation.
#include "engine/rdf.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
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

constexpr std::uint32_t not_partial = PairRules::no_class;

// What the histogram step reads for each packed slot when every site holds
// one species: where its element's curves start as centre (row) and as
// neighbour (column), and its occupancy.
struct SlotSpecies {
    std::uint32_t row;     // element index * nel * nbins (row + column < max_histogram_entries)
    std::uint32_t column;  // element index * nbins
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
    const PairRules* rules = nullptr;  // the pairs to weigh by their decision, if any
    // With rules: the class of every slot's partial site, or not_partial
    // (an array of its own, small enough for the nearer caches).
    std::vector<std::uint32_t> kin_by_slot;
    std::uint32_t empty_slot = 0;  // with rules and one species per site: by_slot's last entry
};

// Room for the neighbours' classes and the verdicts of a batch's entries
// within the rules' bound, and what the decisions of one piece's visit
// counted.
struct Collected {
    std::vector<std::uint32_t> kin;
    std::vector<PairVerdict> verdicts;
    DecisionSummary summary;
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
// the pieces; with pair rules that decide some pairs, the slots' classes.
Result<Plan> plan(const Structure& structure, double cutoff, double bin_size, std::uint64_t n_edges,
                  const PairRules* rules) {
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
    std::vector<std::uint32_t> kin_by_slot;
    const Sites& sites = structure.sites();
    const bool one_species = sites.one_entry_per_site();
    // With rules and one species per site, both one more: the empty slot that
    // decided entries are pointed at (weight 0 in the first bins of the first
    // element pair, not partial).
    const std::size_t extra = rules && one_species ? 1 : 0;
    if (one_species) by_slot.resize(found.n_slots() + extra, {0, 0, 0.0});
    if (rules) kin_by_slot.resize(found.n_slots() + extra, not_partial);
    const auto symbols = sites.entry_symbols();
    const auto occupancies = sites.entry_occupancies();
    const std::uint32_t n_filled = one_species || rules ? static_cast<std::uint32_t>(found.n_slots()) : 0;
    for (std::uint32_t slot = 0; slot < n_filled; ++slot) {
        const auto j = static_cast<std::uint32_t>(found.site_at(slot));
        if (one_species) {
            const std::size_t element = symbols[j];
            by_slot[slot] = {static_cast<std::uint32_t>(element * nel * nbins),
                             static_cast<std::uint32_t>(element * nbins), occupancies[j]};
        }
        if (rules) kin_by_slot[slot] = rules->kin_of(j);
    }
    const std::size_t pieces =
        piece_count(structure.sites().size(), found.candidate_pairs(), pairs * nbins);
    const auto empty_slot = static_cast<std::uint32_t>(found.n_slots());
    return Plan{std::move(edges), nel, nbins, std::move(sp), std::move(*search), std::move(by_slot), pieces, rules,
                std::move(kin_by_slot), empty_slot};
}

// The histogram step for one centre: every pair the search hands back is
// binned once per distinct distance and added to the centre's row, the
// neighbour's row, or both. With pair rules, the entries of each batch
// between partial sites that the rules decide as exclusive or together are
// first weighed by their decision and taken out of the batch, so the fill
// that follows is the plain one and adds nothing for them.
class PairAdder {
public:
    PairAdder(const Plan& plan, const Structure& structure, double inv_bin)
        : plan_(plan), structure_(structure), edges_(plan.edges.data()),
          n_edges_(static_cast<std::int64_t>(plan.edges.size())), last_edge_(plan.edges.back()), inv_bin_(inv_bin) {}

    // The pairs owned by the centres at the slots [lo, hi).
    void centres(std::uint32_t lo, std::uint32_t hi, NeighborSearch::Scratch& scratch, double* hist,
                 Collected& collected) const {
        if (plan_.rules) fill_centres<true>(lo, hi, scratch, hist, collected);
        else fill_centres<false>(lo, hi, scratch, hist, collected);
    }

private:
    // With `Decide`, weighs the entries of a batch between partial sites
    // that the rules decide, in batch order, and empties them: with one
    // species per site their neighbour becomes the plan's empty slot (the
    // fill adds +0.0, branch for branch as before), else they lose their
    // sides. Few entries lie within the rules' bound: the search lists
    // them (`found`, `count` of them) as it takes the batch's square roots.
    template <bool Decide>
    void decide(const std::uint32_t* centres, std::uint32_t* slots, const double* r, std::uint8_t* sides,
                const std::uint32_t* found, std::size_t count, double* hist, Collected& out) const {
        if constexpr (Decide) {
            if (out.kin.size() < count) {
                out.kin.resize(NeighborSearch::Scratch::capacity);
                out.verdicts.resize(NeighborSearch::Scratch::capacity);
            }
            // The neighbours' classes first, all loads at once: they lie
            // anywhere in the structure, mostly beyond the nearest caches.
            std::uint32_t* kin = out.kin.data();
            const std::uint32_t* kin_by_slot = plan_.kin_by_slot.data();
            for (std::size_t q = 0; q < count; ++q) kin[q] = kin_by_slot[slots[found[q]]];
            // The verdicts next, all at once and without a branch, then the
            // entries they decide.
            PairVerdict* verdicts = out.verdicts.data();
            for (std::size_t q = 0; q < count; ++q) {
                const std::uint32_t u = found[q];
                verdicts[q] = plan_.rules->verdict_of(kin_by_slot[centres[u]], kin[q], r[u]);
            }
            for (std::size_t q = 0; q < count; ++q) {
                if (!verdicts[q].decided) continue;
                const std::uint32_t u = found[q];
                decide_one(centres[u], slots[u], kin[q], r[u], sides[u], verdicts[q].kind, hist, out);
            }
        }
    }

    // One entry within the rules' bound that they decide as `kind`: counted;
    // unless left independent, its decided weight is added and the entry
    // emptied.
    void decide_one(std::uint32_t centre, std::uint32_t& slot, std::uint32_t kb, double r, std::uint8_t& sides,
                    PairKind kind, double* hist, Collected& out) const {
        // Within the histogram (find_bin finds a bin) exactly up to its last edge.
        if (!(r <= last_edge_)) return;
        if ((sides & side_forward) && out.summary.count(kind))
            out.summary.keep_first(structure_, *plan_.rules, site_at(centre), site_at(slot), r, kind);
        if (kind == PairKind::unresolved) return;
        if (kind == PairKind::together) {
            // Only pairs that come together add a weight, at the bin of r.
            const double o_i = plan_.rules->classes()[plan_.kin_by_slot[centre]].occupancy;
            const double o_j = plan_.rules->classes()[kb].occupancy;
            const auto k = static_cast<std::size_t>(find_bin(edges_, n_edges_, r, inv_bin_));
            if (plan_.by_slot.empty()) {
                add_decided(site_at(centre), site_at(slot), k, sides, o_i, o_j, hist);
            } else {
                const SlotSpecies& si = plan_.by_slot[centre];
                const SlotSpecies& sj = plan_.by_slot[slot];
                const double weight = decided_weight(kind, o_i, o_j, si.occupancy, sj.occupancy);
                if (sides & side_forward) hist[si.row + sj.column + k] += weight;
                if (sides & side_reverse) hist[sj.row + si.column + k] += weight;
            }
        }
        if (plan_.by_slot.empty()) sides = 0;
        else slot = plan_.empty_slot;
    }

    // The weight of every ordered pair of species of sites i and j that come
    // together (their occupancy sums o_i and o_j), for the sides the entry
    // stands for.
    void add_decided(std::size_t i, std::size_t j, std::size_t k, std::uint8_t sides, double o_i, double o_j,
                     double* hist) const {
        const Sites& sites = *plan_.species.sites;
        const std::uint32_t* symbol = sites.entry_symbols().data();
        const double* occupancy = sites.entry_occupancies().data();
        const std::size_t nel = plan_.nel, nbins = plan_.nbins;
        for (std::size_t p = sites.entries_begin(i); p < sites.entries_end(i); ++p) {
            const std::size_t a = symbol[p];
            for (std::size_t q = sites.entries_begin(j); q < sites.entries_end(j); ++q) {
                const std::size_t b = symbol[q];
                const double weight = decided_weight(PairKind::together, o_i, o_j, occupancy[p], occupancy[q]);
                if (sides & side_forward) hist[(a * nel + b) * nbins + k] += weight;
                if (sides & side_reverse) hist[(b * nel + a) * nbins + k] += weight;
            }
        }
    }

    std::uint32_t site_at(std::uint32_t slot) const { return static_cast<std::uint32_t>(plan_.search.site_at(slot)); }

    template <bool Decide>
    void fill_centres(std::uint32_t lo, std::uint32_t hi, NeighborSearch::Scratch& scratch, double* hist,
                      Collected& collected) const {
        scratch.near_sq = Decide ? NeighborSearch::near_bound_sq(plan_.rules->bound()) : 0.0;
        const std::uint32_t* near = scratch.near.data();
        if (!plan_.by_slot.empty()) {
            plan_.search.visit(lo, hi, scratch, [&](const std::uint32_t* centres, std::uint32_t* slots,
                                                    const double* r, std::uint8_t* sides, std::size_t n) {
                decide<Decide>(centres, slots, r, sides, near, scratch.near_count, hist, collected);
                bin_one_species(centres, slots, r, sides, n, hist);
            });
            return;
        }
        plan_.search.visit(lo, hi, scratch, [&](const std::uint32_t* centres, std::uint32_t* slots, const double* r,
                                                std::uint8_t* sides, std::size_t n) {
            decide<Decide>(centres, slots, r, sides, near, scratch.near_count, hist, collected);
            for (std::size_t u = 0; u < n; ++u) {
                const std::int64_t k = find_bin(edges_, n_edges_, r[u], inv_bin_);
                if (k < 0) continue;
                const std::size_t i = static_cast<std::size_t>(plan_.search.site_at(centres[u]));
                const std::size_t j = static_cast<std::size_t>(plan_.search.site_at(slots[u]));
                if (sides[u] & side_forward) add_species(i, j, static_cast<std::size_t>(k), hist);
                if (sides[u] & side_reverse) add_species(j, i, static_cast<std::size_t>(k), hist);
            }
        });
    }

    // The fill of one batch when every site holds one species. One copy of
    // its own, so that the fill is the same machine code with pair rules
    // and without.
    [[gnu::noinline]] void bin_one_species(const std::uint32_t* centres, const std::uint32_t* slots, const double* r,
                                           const std::uint8_t* sides, std::size_t n, double* hist) const {
        // Locals, which the stores to the histogram cannot change.
        const SlotSpecies* by_slot = plan_.by_slot.data();
        const double* edges = edges_;
        const std::int64_t n_edges = n_edges_;
        const double inv_bin = inv_bin_;
        for (std::size_t u = 0; u < n; ++u) {
            const std::int64_t k = find_bin(edges, n_edges, r[u], inv_bin);
            if (k < 0) continue;
            const SlotSpecies& i = by_slot[centres[u]];
            const SlotSpecies& j = by_slot[slots[u]];
            const double weight = j.occupancy * i.occupancy;
            const std::uint8_t side = sides[u];
            if (side & side_forward) hist[i.row + j.column + static_cast<std::size_t>(k)] += weight;
            if (side & side_reverse) hist[j.row + i.column + static_cast<std::size_t>(k)] += weight;
        }
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

    const Plan& plan_;
    const Structure& structure_;
    const double* edges_;
    std::int64_t n_edges_;
    double last_edge_;
    double inv_bin_;
};

// The pair histogram: every piece fills its own histogram with its centres
// in packed order; workers take pieces from a shared counter; the pieces are
// then summed in piece order, so the bits never depend on the pool. With
// pair rules, the decided entries of each batch are weighed by their
// decision as the piece is filled, in the order met.
std::vector<double> fill(const Plan& plan, const Structure& structure, double bin_size, WorkerPool& pool,
                         DecisionSummary& summary) {
    const std::size_t size = plan.nel * plan.nel * plan.nbins;
    const std::size_t n_slots = plan.search.n_slots(), pieces = plan.pieces;
    const PairAdder adder(plan, structure, 1.0 / bin_size);
    std::vector<std::vector<double>> partial(pieces);
    std::vector<DecisionSummary> made(pieces);
    // Each worker's scratch and room for the decisions, reused piece after piece.
    struct Workspace {
        NeighborSearch::Scratch scratch;
        Collected collected;
    };
    auto fill_piece = [&](std::size_t piece, Workspace& work) {
        partial[piece].assign(size, 0.0);
        const std::size_t lo = piece * n_slots / pieces, hi = (piece + 1) * n_slots / pieces;
        work.collected.summary = {};
        adder.centres(static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi), work.scratch,
                      partial[piece].data(), work.collected);
        made[piece] = work.collected.summary;
    };
    const std::size_t tasks = std::min(pool.size(), pieces);
    if (tasks <= 1) {
        // One worker would take every piece in turn: the calling thread does.
        auto work = std::make_unique<Workspace>();
        for (std::size_t piece = 0; piece < pieces; ++piece) fill_piece(piece, *work);
    } else {
        std::atomic<std::size_t> next_piece{0};
        pool.run(tasks, [&](std::size_t) {
            auto work = std::make_unique<Workspace>();
            for (std::size_t piece; (piece = next_piece.fetch_add(1, std::memory_order_relaxed)) < pieces;)
                fill_piece(piece, *work);
        });
    }
    std::vector<double> hist = std::move(partial[0]);
    for (std::size_t piece = 1; piece < pieces; ++piece) {
        const std::vector<double>& part = partial[piece];
        for (std::size_t k = 0; k < size; ++k) hist[k] = hist[k] + part[k];
        std::vector<double>().swap(partial[piece]);
    }
    for (const DecisionSummary& piece : made) summary.join(piece);
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
                                      WorkerPool& pool, const PairRules* rules, DecisionSummary* summary) {
    auto n_edges = validate(cutoff, bin_size);
    if (!n_edges) return n_edges.error();
    if (rules && !rules->any()) rules = nullptr;  // no pair to decide: the plain fill
    auto p = plan(structure, cutoff, bin_size, *n_edges, rules);
    if (!p) return p.error();
    DecisionSummary made;
    std::vector<double> hist = fill(*p, structure, bin_size, pool, made);
    if (summary) *summary = made;
    return normalise(*p, hist);
}

Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size, const PairRules* rules, DecisionSummary* summary) {
    if (n_threads == 0) return compute_prdf_inner(structure, cutoff, bin_size, default_pool(), rules, summary);
    auto pool = WorkerPool::create(static_cast<std::size_t>(std::min(n_threads, max_pool_threads)), n_threads);
    if (!pool) return pool.error();
    return compute_prdf_inner(structure, cutoff, bin_size, **pool, rules, summary);
}

}  // namespace molvane
