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

// --- displacement parameters (optional, one per site) ---
// Atomic displacement parameters of one site, in Å². Anisotropic: U11 U22
// U33 U12 U13 U23 in the crystal basis of the CIF dictionary (axes along
// a, b, c scaled by the reciprocal lengths a*, b*, c*). Isotropic: u[0] is
// U_iso, the rest zero. `none`: the site has none.
struct Displacement {
    enum Kind : std::uint8_t { none, isotropic, anisotropic };
    Kind kind = none;
    std::array<double, 6> u{};
};
// --- end displacement parameters ---

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
    static Result<Structure> create(Lattice lattice, std::vector<Site> sites,
                                    Pbc pbc = all_periodic);

    const Lattice& lattice() const { return lattice_; }
    const std::vector<Site>& sites() const { return sites_; }
    const Pbc& pbc() const { return pbc_; }

    // Element -> summed occupancy, in ascending byte order of the symbol.
    std::map<std::string, double> composition() const;
    // The keys of composition().
    std::vector<std::string> elements() const;
    // Occupancy sums of the sites, added in site order.
    double n_atoms() const;
    bool is_ordered() const;

    Result<Structure> make_supercell(std::uint64_t na, std::uint64_t nb, std::uint64_t nc) const;

    // Displacement parameters: empty when no site has any, else one per site.
    const std::vector<Displacement>& displacements() const { return displacements_; }
    // A copy holding `values` (one per site, or none at all); fails when the
    // count differs from the sites' or a value is not finite.
    Result<Structure> with_displacements(std::vector<Displacement> values) const;

private:
    Structure(Lattice lattice, std::vector<Site> sites, Pbc pbc)
        : lattice_(std::move(lattice)), sites_(std::move(sites)), pbc_(pbc) {}

    Lattice lattice_;
    std::vector<Site> sites_;
    Pbc pbc_;
    std::vector<Displacement> displacements_;
};

}  // namespace molvane
