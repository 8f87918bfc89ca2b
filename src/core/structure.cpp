// Sites and structures.
#include "core/structure.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "core/number.hpp"  // for format_fixed4

namespace molvane {

// --- Sites ---

namespace {

// Tables up to this size are searched by comparing every symbol.
constexpr std::size_t max_scanned_symbols = 16;

// Frees the unused capacity of a vector when it is a noticeable share.
template <class T>
void trim_capacity(std::vector<T>& v) {
    if (v.capacity() - v.size() > v.size() / 8 + 16) v.shrink_to_fit();
}

}  // namespace

void Sites::reserve(std::size_t sites, std::size_t entries) {
    frac_.reserve(sites);
    symbol_.reserve(entries);
    occupancy_.reserve(entries);
}

const SymbolTable& Sites::symbols() const {
    static const SymbolTable none;
    return table_ ? *table_ : none;
}

std::uint32_t Sites::symbol_index(std::string_view symbol) {
    const SymbolTable& table = symbols();
    if (last_ < table.size() && table[last_] == symbol) return last_;
    if (table.size() <= max_scanned_symbols) {
        for (std::uint32_t k = 0; k < table.size(); ++k)
            if (table[k] == symbol) return last_ = k;
    } else {
        if (lookup_.size() != table.size()) {
            lookup_.clear();
            for (std::uint32_t k = 0; k < table.size(); ++k) lookup_.emplace(table[k], k);
        }
        if (auto found = lookup_.find(std::string(symbol)); found != lookup_.end()) return last_ = found->second;
    }
    if (!editable_.table) {
        editable_.table = std::make_shared<SymbolTable>(table);
        table_ = editable_.table;
    }
    SymbolTable& own = *editable_.table;
    last_ = static_cast<std::uint32_t>(own.size());
    own.emplace_back(symbol);
    if (!lookup_.empty()) lookup_.emplace(own.back(), last_);
    return last_;
}

void Sites::add_site(const Vec3& frac) {
    if (offsets_.empty()) {
        // Until now every site held one entry.
        offsets_.reserve(frac_.capacity() + 1);
        for (std::size_t i = 0; i <= frac_.size(); ++i) offsets_.push_back(i);
    }
    frac_.push_back(frac);
    offsets_.push_back(symbol_.size());
}

double Sites::occupancy_sum(std::size_t i) const {
    double sum = 0.0;
    for (std::size_t e = entries_begin(i); e < entries_end(i); ++e) sum += occupancy_[e];
    return sum;
}

bool Sites::is_ordered(std::size_t i) const {
    const std::size_t e = entries_begin(i);
    return entries_end(i) - e == 1 && std::abs(occupancy_[e] - 1.0) < 1e-6;
}

void Sites::settle() {
    lookup_ = {};
    editable_.table.reset();
    last_ = 0;
    if (!offsets_.empty()) {
        bool one_each = true;
        for (std::size_t i = 0; one_each && i < frac_.size(); ++i) one_each = offsets_[i + 1] - offsets_[i] == 1;
        if (one_each) offsets_ = {};
    }
    const SymbolTable& table = symbols();
    std::vector<char> used(table.size(), 0);
    for (std::uint32_t s : symbol_) used[s] = 1;
    bool settled = std::all_of(used.begin(), used.end(), [](char u) { return u != 0; });
    for (std::size_t k = 1; settled && k < table.size(); ++k) settled = table[k - 1] < table[k];
    if (!settled) {
        std::vector<std::uint32_t> order;
        for (std::uint32_t k = 0; k < table.size(); ++k)
            if (used[k]) order.push_back(k);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return table[a] < table[b]; });
        auto sorted = std::make_shared<SymbolTable>();
        sorted->reserve(order.size());
        std::vector<std::uint32_t> rank(table.size(), 0);
        for (std::uint32_t r = 0; r < order.size(); ++r) {
            rank[order[r]] = r;
            sorted->push_back(table[order[r]]);
        }
        for (std::uint32_t& s : symbol_) s = rank[s];
        table_ = std::move(sorted);
    }
    trim_capacity(frac_);
    trim_capacity(offsets_);
    trim_capacity(symbol_);
    trim_capacity(occupancy_);
}

// --- Structure ---

namespace {

// The first broken invariant of site i, if any.
std::optional<Error> site_problem(const Sites& sites, std::size_t i) {
    const std::size_t begin = sites.entries_begin(i), end = sites.entries_end(i);
    if (begin == end) return fail("every site needs at least one species");
    for (double v : sites.frac(i))
        if (!std::isfinite(v))
            return fail("site ", std::to_string(i), " has a coordinate that is not a finite number");
    for (std::size_t e = begin; e < end; ++e) {
        const auto [symbol, occupancy] = sites.entry(e);
        const std::string& element = sites.symbol(symbol);
        if (!std::isfinite(occupancy))
            return fail("the occupancy of ", element, " at site ", std::to_string(i), " is ",
                        format_fixed4(occupancy), "; occupancies must be finite numbers");
        if (occupancy < 0.0)
            return fail("the occupancy of ", element, " at site ", std::to_string(i), " is ",
                        format_fixed4(occupancy), "; occupancies must not be negative");
    }
    return std::nullopt;
}

// True when sites of one entry each have finite coordinates and occupancies
// in [0, 1.001]: then no check below can fail. One pass without branches.
bool plainly_valid(const Sites& sites) {
    if (!sites.one_entry_per_site()) return false;
    bool valid = true;
    for (double o : sites.entry_occupancies()) valid &= (o >= 0.0) & (o <= max_occupancy_sum);
    for (const Vec3& f : sites.frac_coords())
        valid &= (f[0] - f[0] == 0.0) & (f[1] - f[1] == 0.0) & (f[2] - f[2] == 0.0);  // finite
    return valid;
}

}  // namespace

Result<Structure> Structure::create(Lattice lattice, Sites sites, Pbc pbc) {
    if (sites.empty()) return fail("structure has no sites");
    if (plainly_valid(sites)) return settled(std::move(lattice), std::move(sites), pbc);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        double sum = sites.occupancy_sum(i);
        if (sum > max_occupancy_sum)
            return fail("a site has occupancies summing to ", format_fixed4(sum), ", which exceeds 1");
    }
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (auto problem = site_problem(sites, i)) return std::move(*problem);
    return settled(std::move(lattice), std::move(sites), pbc);
}

Result<Structure> Structure::settled(Lattice lattice, Sites sites, Pbc pbc) {
    bool columns_fit = true;
    SiteColumns::each(sites.columns_, sites.columns_, [&](const auto& column, const auto&) {
        if (!column.empty() && column.size() != sites.size()) columns_fit = false;
    });
    if (!columns_fit) return fail("a per-site column does not hold one value per site");
    const auto& labels = sites.columns_.disorder_labels;
    for (const DisorderTag& tag : sites.columns_.disorder)
        if (!labels || tag.assembly >= labels->size() || tag.group >= labels->size())
            return fail("a disorder label is not in the structure's table of labels");
    sites.settle();
    return Structure(std::move(lattice), std::move(sites), pbc);
}

std::uint32_t DisorderLabelTable::add(std::string_view text) {
    const auto [at, added] = index_.try_emplace(std::string(text), static_cast<std::uint32_t>(texts_->size()));
    if (added) texts_->emplace_back(text);
    return at->second;
}

std::vector<double> Structure::amounts() const {
    std::vector<double> amount(sites_.symbols().size(), 0.0);
    const auto symbols = sites_.entry_symbols();
    const auto occupancies = sites_.entry_occupancies();
    for (std::size_t e = 0; e < symbols.size(); ++e) amount[symbols[e]] += occupancies[e];
    return amount;
}

std::map<std::string, double> Structure::composition() const {
    std::map<std::string, double> comp;
    const std::vector<double> amount = amounts();
    for (std::size_t k = 0; k < amount.size(); ++k) comp.emplace_hint(comp.end(), sites_.symbols()[k], amount[k]);
    return comp;
}

std::vector<std::string> Structure::elements() const { return sites_.symbols(); }

double Structure::n_atoms() const {
    double total = 0.0;
    for (std::size_t i = 0; i < sites_.size(); ++i) total += sites_.occupancy_sum(i);
    return total;
}

bool Structure::is_ordered() const {
    for (std::size_t i = 0; i < sites_.size(); ++i)
        if (!sites_.is_ordered(i)) return false;
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

    // Each block of the result is the source's entries again, its
    // coordinates moved into one sub-cell; the symbols stay shared.
    const std::size_t n = sites_.size(), blocks = static_cast<std::size_t>(total) / n;
    Sites sites(sites_.table_);
    sites.frac_.reserve(static_cast<std::size_t>(total));
    sites.symbol_.reserve(blocks * sites_.n_entries());
    sites.occupancy_.reserve(blocks * sites_.n_entries());
    if (!sites_.offsets_.empty()) {
        sites.offsets_.reserve(static_cast<std::size_t>(total) + 1);
        sites.offsets_.push_back(0);
    }
    const double fa = static_cast<double>(na), fb = static_cast<double>(nb),
                 fc = static_cast<double>(nc);
    for (std::uint64_t i = 0; i < na; ++i)
        for (std::uint64_t j = 0; j < nb; ++j)
            for (std::uint64_t k = 0; k < nc; ++k) {
                const std::size_t shift = sites.symbol_.size();
                for (const Vec3& f : sites_.frac_)
                    sites.frac_.push_back({(f[0] + static_cast<double>(i)) / fa,
                                           (f[1] + static_cast<double>(j)) / fb,
                                           (f[2] + static_cast<double>(k)) / fc});
                sites.symbol_.insert(sites.symbol_.end(), sites_.symbol_.begin(), sites_.symbol_.end());
                sites.occupancy_.insert(sites.occupancy_.end(), sites_.occupancy_.begin(), sites_.occupancy_.end());
                for (std::size_t s = 1; s < sites_.offsets_.size(); ++s)
                    sites.offsets_.push_back(shift + sites_.offsets_[s]);
            }
    sites.columns_ = sites_.columns_.copied(static_cast<std::size_t>(total), [&](std::size_t i) { return i % n; });
    return Structure::create(std::move(*lattice), std::move(sites), pbc_);
}

Result<Structure> Structure::with_displacements(std::vector<Displacement> values) const {
    if (!values.empty() && values.size() != sites_.size())
        return fail("got displacement parameters for ", std::to_string(values.size()), " sites, but the structure has ",
                    std::to_string(sites_.size()));
    for (std::size_t i = 0; i < values.size(); ++i)
        for (double v : values[i].u)
            if (!std::isfinite(v))
                return fail("site ", std::to_string(i), " has a displacement parameter that is not a finite number");
    Structure copy = *this;
    copy.sites_.columns_.displacements = std::move(values);
    return copy;
}

}  // namespace molvane
