// Sites and structures: a lattice plus an ordered, non-empty list of sites,
// each with fractional coordinates and species with occupancies.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"

namespace molvane {

// (element symbol, occupancy); symbols compare byte by byte.
using Species = std::pair<std::string, double>;

struct Site {
    Vec3 frac_coords{};             // not wrapped into [0, 1)
    std::vector<Species> species;   // in the producer's order, never merged

    // Occupancies added left to right from zero.
    double occupancy_sum() const;
    // Exactly one species with |occupancy - 1| < 1e-6.
    bool is_ordered() const;
};

// Disorder labels of one site (optional per structure): the disorder assembly
// and group a file gives ("" for none) and the atom-site row the site came
// from, shared by that row's symmetry and lattice images.
struct DisorderTag {
    std::string assembly;
    std::string group;
    std::uint64_t row = 0;
    bool operator==(const DisorderTag&) const = default;
};

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
    // or an occupancy that is not finite or is negative. `disorder` is empty
    // or holds one tag per site.
    static Result<Structure> create(Lattice lattice, std::vector<Site> sites,
                                    Pbc pbc = all_periodic, std::vector<DisorderTag> disorder = {});

    const Lattice& lattice() const { return lattice_; }
    const std::vector<Site>& sites() const { return sites_; }
    const Pbc& pbc() const { return pbc_; }
    // One tag per site, or empty when the structure carries none.
    const std::vector<DisorderTag>& disorder() const { return disorder_; }

    // Element -> summed occupancy, in ascending byte order of the symbol.
    std::map<std::string, double> composition() const;
    // The keys of composition().
    std::vector<std::string> elements() const;
    // Occupancy sums of the sites, added in site order.
    double n_atoms() const;
    bool is_ordered() const;

    Result<Structure> make_supercell(std::uint64_t na, std::uint64_t nb, std::uint64_t nc) const;

private:
    Structure(Lattice lattice, std::vector<Site> sites, Pbc pbc, std::vector<DisorderTag> disorder)
        : lattice_(std::move(lattice)), sites_(std::move(sites)), pbc_(pbc), disorder_(std::move(disorder)) {}

    Lattice lattice_;
    std::vector<Site> sites_;
    Pbc pbc_;
    std::vector<DisorderTag> disorder_;
};

}  // namespace molvane
