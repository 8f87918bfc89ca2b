// Sites and structures: a lattice plus an ordered, non-empty list of sites,
// held as arrays: fractional coordinates, a table of element symbols and, per
// site, a run of (symbol index, occupancy) entries.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"

namespace molvane {

// (element symbol, occupancy); symbols compare byte by byte.
using Species = std::pair<std::string, double>;

// Distinct element symbols. A structure's table holds exactly the symbols its
// sites use, in ascending byte order, so a symbol's index orders it; frames
// of one trajectory with the same symbols share one table.
using SymbolTable = std::vector<std::string>;

// One species entry of a site: the index of its symbol and its occupancy.
struct SpeciesEntry {
    std::uint32_t symbol;
    double occupancy;
};

// Atomic displacement parameters of one site, in Å². Anisotropic: U11 U22
// U33 U12 U13 U23 in the crystal basis of the CIF dictionary (axes along
// a, b, c scaled by the reciprocal lengths a*, b*, c*). Isotropic: u[0] is
// U_iso, the rest zero. `none`: the site has none.
struct Displacement {
    enum Kind : std::uint8_t { none, isotropic, anisotropic };
    Kind kind = none;
    std::array<double, 6> u{};
};

// Disorder labels of one site: the disorder assembly and group a file gives,
// as indices into the structure's label texts (DisorderLabels; 0 is "",
// none), and the atom-site row the site came from, shared by that row's
// symmetry and lattice images.
struct DisorderTag {
    std::uint32_t assembly = 0;
    std::uint32_t group = 0;
    std::uint64_t row = 0;
};

// The texts of disorder labels, each held once: text 0 is "" (none). Tags
// of one structure index one table, which its copies share.
using DisorderLabels = std::vector<std::string>;

// Numbers label texts as a producer meets them, for its tags, then hands
// the texts over once.
class DisorderLabelTable {
public:
    DisorderLabelTable() : texts_(std::make_shared<DisorderLabels>(1)) { index_.emplace("", 0); }
    // The index of `text`, added when new.
    std::uint32_t add(std::string_view text);
    // The texts; the table is empty afterwards.
    std::shared_ptr<const DisorderLabels> take() {
        index_.clear();
        return std::move(texts_);
    }

private:
    std::shared_ptr<DisorderLabels> texts_;
    std::unordered_map<std::string, std::uint32_t> index_;
};

// Optional per-site data. Each column is a std::vector that is empty when the
// producer has no such data and holds one value per site when it has. To add
// a column, declare its vector here and pass it to `fn` in `each`; the
// size check in Structure::create, make_supercell and the expansion then
// carry it along (each output site takes the value of the site it copies).
struct SiteColumns {
    std::vector<Displacement> displacements;

    // fn(column_of_a, column_of_b) for every column, a and b of this type.
    template <class A, class B, class Fn>
    static void each(A& a, B& b, Fn&& fn) {
        fn(a.displacements, b.displacements);
        fn(a.disorder, b.disorder);
    }

    std::vector<DisorderTag> disorder;  // CIF disorder assembly, group and row
    // The texts the disorder tags index (set whenever there are tags).
    std::shared_ptr<const DisorderLabels> disorder_labels;

    // The columns of n new sites, site i copying site origin(i) of these.
    template <class Origin>
    SiteColumns copied(std::size_t n, Origin&& origin) const {
        SiteColumns out;
        out.disorder_labels = disorder_labels;
        each(out, *this, [&](auto& to, const auto& from) {
            if (from.empty()) return;
            to.reserve(n);
            for (std::size_t i = 0; i < n; ++i) to.push_back(from[origin(i)]);
        });
        return out;
    }
};

// The sites of a structure as arrays, and the builder readers append to:
// add sites in order, each with its species (repeats kept, in order), then
// hand the whole to Structure::create, which sorts the symbol table and
// settles the layout. A site of one species costs no allocation of its own.
class Sites {
public:
    Sites() = default;
    // Starts from the symbols of `table` (a previous frame's), which stays
    // shared when exactly its symbols are used.
    explicit Sites(std::shared_ptr<const SymbolTable> table) : table_(std::move(table)) {}

    // --- building ---
    void reserve(std::size_t sites, std::size_t entries);
    // The index of `symbol`, added to the table when new.
    std::uint32_t symbol_index(std::string_view symbol);
    // A site holding one species, by default with occupancy 1.
    void add_atom(const Vec3& frac, std::uint32_t symbol, double occupancy = 1.0) {
        frac_.push_back(frac);
        symbol_.push_back(symbol);
        occupancy_.push_back(occupancy);
        if (!offsets_.empty()) offsets_.push_back(symbol_.size());
    }
    // A site whose species follow through add_species (none is allowed here;
    // Structure::create refuses it).
    void add_site(const Vec3& frac);
    void add_species(std::uint32_t symbol, double occupancy) {
        symbol_.push_back(symbol);
        occupancy_.push_back(occupancy);
        offsets_.back() = symbol_.size();
    }
    void add_species(std::string_view symbol, double occupancy) { add_species(symbol_index(symbol), occupancy); }
    // Changes the occupancy of entry e (a builder merging images into sites).
    void set_occupancy(std::size_t e, double occupancy) { occupancy_[e] = occupancy; }
    SiteColumns& columns() { return columns_; }

    // --- reading ---
    std::size_t size() const { return frac_.size(); }
    bool empty() const { return frac_.empty(); }
    const Vec3& frac(std::size_t i) const { return frac_[i]; }
    std::span<const Vec3> frac_coords() const { return frac_; }

    // The entries of site i are [entries_begin(i), entries_end(i)).
    std::size_t entries_begin(std::size_t i) const { return offsets_.empty() ? i : offsets_[i]; }
    std::size_t entries_end(std::size_t i) const { return offsets_.empty() ? i + 1 : offsets_[i + 1]; }
    std::size_t n_entries() const { return symbol_.size(); }
    SpeciesEntry entry(std::size_t e) const { return {symbol_[e], occupancy_[e]}; }
    std::span<const std::uint32_t> entry_symbols() const { return symbol_; }
    std::span<const double> entry_occupancies() const { return occupancy_; }
    // True when every site holds exactly one entry (entry i is site i's).
    bool one_entry_per_site() const { return offsets_.empty() && symbol_.size() == frac_.size(); }

    const SymbolTable& symbols() const;
    const std::string& symbol(std::uint32_t index) const { return (*table_)[index]; }
    const std::shared_ptr<const SymbolTable>& shared_symbols() const { return table_; }
    const SiteColumns& columns() const { return columns_; }

    // Occupancies of site i added left to right from zero.
    double occupancy_sum(std::size_t i) const;
    // Exactly one species with |occupancy - 1| < 1e-6.
    bool is_ordered(std::size_t i) const;

private:
    friend class Structure;

    // Sorts the table, keeps only the symbols in use (sharing the table
    // when it already is so) and drops the offsets when every site holds one
    // entry.
    void settle();

    // Copies share the table and copy it before adding to it.
    struct Editable {
        std::shared_ptr<SymbolTable> table;
        Editable() = default;
        Editable(const Editable&) {}
        Editable(Editable&&) = default;
        Editable& operator=(const Editable&) {
            table.reset();
            return *this;
        }
        Editable& operator=(Editable&&) = default;
    };

    std::shared_ptr<const SymbolTable> table_;
    Editable editable_;  // table_, when this builder added to it
    std::unordered_map<std::string, std::uint32_t> lookup_;  // while building a large table
    std::uint32_t last_ = 0;                                  // the symbol found last
    std::vector<Vec3> frac_;              // not wrapped into [0, 1)
    std::vector<std::size_t> offsets_;    // size() + 1 of them, or none when one entry per site
    std::vector<std::uint32_t> symbol_;   // per entry, in the producer's order
    std::vector<double> occupancy_;       // per entry
    SiteColumns columns_;
};

// The largest occupancy sum a site may have (rounding in files allowed for).
inline constexpr double max_occupancy_sum = 1.001;

// Which of the directions a, b, c are periodic.
using Pbc = std::array<bool, 3>;
inline constexpr Pbc all_periodic{true, true, true};

// Most sites a supercell may hold; larger requests are refused up front.
inline constexpr std::uint64_t max_supercell_sites = 100'000'000;

class Structure {
public:
    // Holds every invariant of a structure. Fails with "structure has no
    // sites"; at the first site whose occupancy sum exceeds 1.001 with "a site
    // has occupancies summing to X, which exceeds 1"; then, at the first
    // offending site, when it has no species, a coordinate that is not finite,
    // or an occupancy that is not finite or is negative.
    static Result<Structure> create(Lattice lattice, Sites sites, Pbc pbc = all_periodic);

    const Lattice& lattice() const { return lattice_; }
    const Sites& sites() const { return sites_; }
    const Pbc& pbc() const { return pbc_; }

    // Element -> summed occupancy, in ascending byte order of the symbol.
    std::map<std::string, double> composition() const;
    // Summed occupancy per symbol index, added in site order.
    std::vector<double> amounts() const;
    // The keys of composition().
    std::vector<std::string> elements() const;
    // Occupancy sums of the sites, added in site order.
    double n_atoms() const;
    bool is_ordered() const;

    Result<Structure> make_supercell(std::uint64_t na, std::uint64_t nb, std::uint64_t nc) const;

    // Displacement parameters: empty when no site has any, else one per site.
    const std::vector<Displacement>& displacements() const { return sites_.columns().displacements; }
    // A copy holding `values` (one per site, or none at all); fails when the
    // count differs from the sites' or a value is not finite.
    Result<Structure> with_displacements(std::vector<Displacement> values) const;

private:
    // The structure of sites whose species passed the checks.
    static Result<Structure> settled(Lattice lattice, Sites sites, Pbc pbc);

    Structure(Lattice lattice, Sites sites, Pbc pbc)
        : lattice_(std::move(lattice)), sites_(std::move(sites)), pbc_(pbc) {}

    Lattice lattice_;
    Sites sites_;
    Pbc pbc_;
};

}  // namespace molvane
