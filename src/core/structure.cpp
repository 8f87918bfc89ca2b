// Sites and structures.
#include "core/structure.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "core/text.hpp"  // for format_fixed4

namespace molvane {

double Site::occupancy_sum() const {
    double sum = 0.0;
    for (const auto& sp : species) sum += sp.second;
    return sum;
}

bool Site::is_ordered() const {
    return species.size() == 1 && std::abs(species[0].second - 1.0) < 1e-6;
}

namespace {

// The first broken invariant of one site, if any.
std::optional<Error> site_problem(const Site& site, std::size_t index) {
    if (site.species.empty()) return fail("every site needs at least one species");
    for (double v : site.frac_coords)
        if (!std::isfinite(v))
            return fail("site ", std::to_string(index), " has a coordinate that is not a finite number");
    for (const auto& [element, occupancy] : site.species) {
        if (!std::isfinite(occupancy))
            return fail("the occupancy of ", element, " at site ", std::to_string(index), " is ",
                        format_fixed4(occupancy), "; occupancies must be finite numbers");
        if (occupancy < 0.0)
            return fail("the occupancy of ", element, " at site ", std::to_string(index), " is ",
                        format_fixed4(occupancy), "; occupancies must not be negative");
    }
    return std::nullopt;
}

}  // namespace

Result<Structure> Structure::create(Lattice lattice, std::vector<Site> sites, Pbc pbc,
                                    std::vector<DisorderTag> disorder) {
    if (sites.empty()) return fail("structure has no sites");
    if (!disorder.empty() && disorder.size() != sites.size())
        return fail("disorder labels must be given for every site or for none");
    for (const Site& site : sites) {
        double sum = site.occupancy_sum();
        if (sum > 1.001)
            return fail("a site has occupancies summing to ", format_fixed4(sum), ", which exceeds 1");
    }
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (auto problem = site_problem(sites[i], i)) return std::move(*problem);
    return Structure(std::move(lattice), std::move(sites), pbc, std::move(disorder));
}

std::map<std::string, double> Structure::composition() const {
    std::map<std::string, double> comp;
    for (const Site& site : sites_)
        for (const auto& [element, occupancy] : site.species) comp[element] += occupancy;
    return comp;
}

std::vector<std::string> Structure::elements() const {
    std::vector<std::string> out;
    for (auto& entry : composition()) out.push_back(entry.first);
    return out;
}

double Structure::n_atoms() const {
    double total = 0.0;
    for (const Site& site : sites_) total += site.occupancy_sum();
    return total;
}

bool Structure::is_ordered() const {
    for (const Site& site : sites_)
        if (!site.is_ordered()) return false;
    return true;
}

Result<Structure> Structure::make_supercell(std::uint64_t na, std::uint64_t nb,
                                            std::uint64_t nc) const {
    if (na == 0 || nb == 0 || nc == 0) return fail("supercell dimensions must be at least 1");
    const Mat3& m = lattice_.matrix();
    const std::uint64_t counts[3] = {na, nb, nc};
    Mat3 scaled;
    for (int row = 0; row < 3; ++row)
        for (int j = 0; j < 3; ++j) scaled[row][j] = static_cast<double>(counts[row]) * m[row][j];
    auto lattice = Lattice::create(scaled);
    if (!lattice) return lattice.error();

    // Refuse sizes that cannot be held before reserving anything.
    std::uint64_t total = sites_.size();
    for (std::uint64_t n : counts) {
        if (total > max_supercell_sites / n) {
            return fail("supercell ", std::to_string(na), "x", std::to_string(nb), "x",
                        std::to_string(nc), " would hold more than ",
                        std::to_string(max_supercell_sites), " sites");
        }
        total *= n;
    }

    std::vector<Site> sites;
    sites.reserve(static_cast<std::size_t>(total));
    std::vector<DisorderTag> disorder;
    if (!disorder_.empty()) disorder.reserve(static_cast<std::size_t>(total));
    const double fa = static_cast<double>(na), fb = static_cast<double>(nb),
                 fc = static_cast<double>(nc);
    for (std::uint64_t i = 0; i < na; ++i)
        for (std::uint64_t j = 0; j < nb; ++j)
            for (std::uint64_t k = 0; k < nc; ++k)
                for (const Site& s : sites_) {
                    Site copy;
                    copy.frac_coords = {(s.frac_coords[0] + static_cast<double>(i)) / fa,
                                        (s.frac_coords[1] + static_cast<double>(j)) / fb,
                                        (s.frac_coords[2] + static_cast<double>(k)) / fc};
                    copy.species = s.species;
                    sites.push_back(std::move(copy));
                }
    for (std::uint64_t cell = 0; !disorder_.empty() && cell < na * nb * nc; ++cell)
        disorder.insert(disorder.end(), disorder_.begin(), disorder_.end());
    return Structure::create(std::move(*lattice), std::move(sites), pbc_, std::move(disorder));
}

}  // namespace molvane
