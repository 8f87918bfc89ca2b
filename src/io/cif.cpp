// CIF structure builder: the cell, symmetry operations and atom sites of a
// data block, expanded by the operations and merged into sites.
#include "io/cif.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "core/elements.hpp"
#include "core/number.hpp"  // for parse_decimal, parse_count
#include "core/numeric.hpp"  // for nearest_whole
#include "core/text.hpp"  // for trim, strip_quotes, split_whitespace, equals_ascii_nocase
#include "io/cif_syntax.hpp"
#include "io/close_sites.hpp"
#include "io/magnetic.hpp"
#include "io/spacegroup.hpp"
#include "io/symmetry.hpp"

namespace molvane {

// ---------------------------------------------------------------------------
// Structure builder
// ---------------------------------------------------------------------------

namespace {

constexpr double half_pi = 1.5707963267948966;
constexpr double deg_to_rad = 0.017453292519943295;

Result<Lattice> cell_from_block(const Block& block) {
    auto a = block.number("_cell_length_a");
    if (!a) return fail("missing _cell_length_a");
    auto b = block.number("_cell_length_b");
    if (!b) return fail("missing _cell_length_b");
    auto c = block.number("_cell_length_c");
    if (!c) return fail("missing _cell_length_c");
    // A missing angle is a right angle, taken through the same cosine.
    auto angle = [&](const char* tag) {
        auto deg = block.number(tag);
        return deg ? *deg * deg_to_rad : half_pi;
    };
    double alpha = angle("_cell_angle_alpha");
    double beta = angle("_cell_angle_beta");
    double gamma = angle("_cell_angle_gamma");
    if (*a <= 0 || *b <= 0 || *c <= 0) return fail("cell lengths must be positive");
    double sin_g = std::sin(gamma), cos_g = std::cos(gamma);
    if (std::fabs(sin_g) < 1e-12) return fail("gamma must not be 0 or 180 degrees");
    double cos_a = std::cos(alpha), cos_b = std::cos(beta);
    double c1 = *c * cos_b;
    double c2 = (cos_a - cos_b * cos_g) * *c / sin_g;
    double s = *c * *c - c1 * c1 - c2 * c2;
    if (!(s > 0)) return fail("cell angles are geometrically inconsistent");
    Mat3 m{{{*a, 0.0, 0.0}, {*b * cos_g, *b * sin_g, 0.0}, {c1, c2, std::sqrt(s)}}};
    return Lattice::create(m);
}

// The column of the first loop that has one of `tags`.
std::optional<std::pair<const Loop*, std::size_t>> first_column(const Block& block,
                                                                 std::initializer_list<std::string_view> tags) {
    for (const Loop& loop : block.loops)
        for (std::size_t k = 0; k < loop.tags.size(); ++k)
            for (std::string_view tag : tags)
                if (loop.tags[k] == tag) return std::make_pair(&loop, k);
    return std::nullopt;
}

// The operations of one column, read by `parse` in row order; rows that
// cannot be read are tallied and skipped. A leading operation number
// ("1 x,y,z") is passed over.
template <typename Parse>
std::vector<SymmOp> column_operations(const Loop& loop, std::size_t col, Parse parse, Tally& unreadable) {
    std::vector<SymmOp> ops;
    for (std::size_t r = 0; r < loop.n_rows(); ++r) {
        std::string_view v = trim(loop.value(r, col));
        if (v.empty()) continue;
        auto op = parse(v);
        if (!op) {
            std::size_t space = v.find(' ');
            if (space != std::string_view::npos) op = parse(v.substr(space + 1));
        }
        if (!op) {
            unreadable.add(v);
            continue;
        }
        ops.push_back(*op);
    }
    return ops;
}

// The positions part of a magnetic operation text.
Result<SymmOp> magnetic_positions(std::string_view text) {
    auto op = parse_magnetic_symmop(text);
    if (!op) return op.error();
    return op->op;
}

// Most operations magnetic operations and centerings may combine into.
constexpr std::size_t max_combined_operations = 100'000;

// The operations listed in the block's first loop of operation texts, in
// row order; else the magnetic operations (time-reversal signs checked and
// set aside) combined with the magnetic centerings.
Result<std::vector<SymmOp>> listed_operations(const Block& block, CifSymmetry& out) {
    if (auto col = first_column(block, {"_symmetry_equiv_pos_as_xyz", "_space_group_symop_operation_xyz"}))
        return column_operations(*col->first, col->second, parse_symmop, out.unreadable);
    std::vector<SymmOp> ops, centerings;
    if (auto col = first_column(block, {"_space_group_symop_magn_operation_xyz"}))
        ops = column_operations(*col->first, col->second, magnetic_positions, out.unreadable);
    if (auto col = first_column(block, {"_space_group_symop_magn_centering_xyz"}))
        centerings = column_operations(*col->first, col->second, magnetic_positions, out.unreadable);
    if (ops.empty() && centerings.empty()) {
        // A modulated magnetic structure: the superspace operations' action
        // on the basic structure.
        if (auto col = first_column(block, {"_space_group_symop_magn_ssg_operation_algebraic"}))
            ops = column_operations(*col->first, col->second, parse_superspace_positions, out.unreadable);
        if (auto col = first_column(block, {"_space_group_symop_magn_ssg_centering_algebraic"}))
            centerings = column_operations(*col->first, col->second, parse_superspace_positions, out.unreadable);
        out.superspace = !ops.empty() || !centerings.empty();
    }
    if (ops.empty() && !centerings.empty()) {
        out.centerings_alone = true;
        ops.push_back(SymmOp::identity());
    }
    if (ops.size() * centerings.size() > max_combined_operations)
        return fail("the magnetic operations (", std::to_string(ops.size()), ") and centerings (",
                    std::to_string(centerings.size()), ") combine into more than ",
                    std::to_string(max_combined_operations), " operations");
    return with_centerings(ops, centerings);
}

// The cell parameters as the block gives them (missing angles 90 degrees).
std::optional<CellParameters> cell_parameters(const Block& block) {
    auto a = block.number("_cell_length_a");
    auto b = block.number("_cell_length_b");
    auto c = block.number("_cell_length_c");
    if (!a || !b || !c) return std::nullopt;
    return CellParameters{*a, *b, *c, block.number("_cell_angle_alpha").value_or(90.0),
                          block.number("_cell_angle_beta").value_or(90.0),
                          block.number("_cell_angle_gamma").value_or(90.0)};
}

// a = b = c and alpha = beta = gamma (missing angles being 90 degrees): the
// cell of an R group in rhombohedral axes.
bool rhombohedral_cell(const Block& block) {
    auto cell = cell_parameters(block);
    if (!cell) return false;
    double scale = std::max({std::fabs(cell->a), std::fabs(cell->b), std::fabs(cell->c)});
    auto same = [&](double x, double y) { return std::fabs(x - y) <= cell_length_tolerance * scale; };
    if (!(same(cell->a, cell->b) && same(cell->a, cell->c))) return false;
    return std::fabs(cell->alpha - cell->beta) <= cell_angle_tolerance &&
           std::fabs(cell->alpha - cell->gamma) <= cell_angle_tolerance;
}

// The text of item `tag`, absent when missing, empty, "?" or ".".
std::optional<std::string_view> symbol_item(const Block& block, const std::string& tag) {
    auto it = block.items.find(tag);
    if (it == block.items.end()) return std::nullopt;
    std::string_view v = trim(it->second);
    if (v.empty() || v == "?" || v == ".") return std::nullopt;
    return v;
}

// The setting the block's coordinate-system code names (origin choice "2",
// axes "h" or "r", "b1" and the like) for a symbol that names none; the
// match unchanged when there is no code or the table has no such setting.
SpaceGroupMatch in_coordinate_system(const Block& block, const SpaceGroupMatch& match, bool rhombohedral) {
    auto code = symbol_item(block, "_space_group_it_coordinate_system_code");
    if (!code) return match;
    std::string symbol(match.group.hm_full());
    symbol.append(":").append(*code);
    auto coded = find_hm_symbol(symbol, rhombohedral);
    if (!coded || coded->group.it_number() != match.group.it_number()) return match;
    return *coded;
}

}  // namespace

Result<CifSymmetry> symmetry_from_block(const Block& block) {
    CifSymmetry out;
    auto listed = listed_operations(block, out);
    if (!listed) return std::move(listed).error();
    out.ops = std::move(*listed);
    if (!out.ops.empty()) return out;

    // No operation listed: the space group named by the block, if the table
    // knows it; its operations are used as if they had been listed.
    using Source = CifSymmetry::Source;
    static const struct {
        const char* tag;
        Source source;
    } names[] = {
        {"_space_group_name_hall", Source::hall},
        {"_symmetry_space_group_name_hall", Source::hall},
        {"_space_group_name_h-m_alt", Source::hm},
        {"_symmetry_space_group_name_h-m", Source::hm},
        {"_space_group_it_number", Source::it_number},
        {"_symmetry_int_tables_number", Source::it_number},
        {"_space_group_name_h-m_ref", Source::hm},
    };
    bool rhombohedral = rhombohedral_cell(block);
    for (const auto& name : names) {
        auto symbol = symbol_item(block, name.tag);
        if (!symbol) continue;
        std::optional<SpaceGroupMatch> match;
        if (name.source == Source::hall) {
            if (auto group = find_hall_symbol(*symbol)) match = SpaceGroupMatch{*group, false};
        } else if (name.source == Source::hm) {
            match = find_hm_symbol(*symbol, rhombohedral);
        } else if (auto number = parse_count(*symbol)) {
            match = find_it_number(*number, rhombohedral);
        }
        if (match && name.source != Source::hall && symbol->find(':') == std::string_view::npos)
            match = in_coordinate_system(block, *match, rhombohedral);
        if (!match) {
            if (out.unknown_tag.empty()) {
                out.unknown_tag = name.tag;
                out.unknown_symbol = std::string(*symbol);
            }
            continue;
        }
        auto cell = cell_parameters(block);
        std::string misfit = cell ? cell_misfit(match->group, *cell) : std::string();
        if (!misfit.empty()) {
            out.misfit_tag = name.tag;
            out.misfit_symbol = std::string(*symbol);
            out.misfit = std::move(misfit);
            break;
        }
        out.source = name.source;
        out.hall_number = match->group.hall_number();
        out.origin_assumed = match->origin_assumed;
        for (std::size_t k = 0; k < match->group.n_operations(); ++k)
            out.ops.push_back(match->group.operation(k));
        return out;
    }
    out.source = Source::identity;
    out.ops.push_back(SymmOp::identity());
    return out;
}

namespace {

// Per-axis closeness with wrap-around, in fractional units.
inline bool axis_close(double a, double b, double tol) {
    double d = std::fabs(a - b);
    if (d > 0.5) d = 1.0 - d;
    return d < tol;
}

inline bool coords_close(const Vec3& a, const Vec3& b, double tol) {
    return axis_close(a[0], b[0], tol) && axis_close(a[1], b[1], tol) && axis_close(a[2], b[2], tol);
}

// Two displacements that agree within 1e-3 Å² on every component (values
// are published to about 1e-4 Å²).
bool same_displacement(const Displacement& a, const Displacement& b) {
    if (a.kind != b.kind) return false;
    for (std::size_t k = 0; k < 6; ++k)
        if (!(std::fabs(a.u[k] - b.u[k]) <= 1e-3)) return false;
    return true;
}

// The tensor of an image under rotation R (fractional coordinates): with
// N = diag(a*, b*, c*), N U' N = R (N U N) R^T.
Displacement rotated(const Displacement& d, const Mat3& r, const Vec3& recip) {
    if (d.kind != Displacement::anisotropic) return d;
    const std::size_t row[6] = {0, 1, 2, 0, 0, 1}, col[6] = {0, 1, 2, 1, 2, 2};
    Mat3 beta{};
    for (std::size_t k = 0; k < 6; ++k) {
        beta[row[k]][col[k]] = d.u[k] * recip[row[k]] * recip[col[k]];
        beta[col[k]][row[k]] = beta[row[k]][col[k]];
    }
    Displacement out = d;
    for (std::size_t k = 0; k < 6; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t j = 0; j < 3; ++j) sum += r[row[k]][i] * beta[i][j] * r[col[k]][j];
        out.u[k] = sum / (recip[row[k]] * recip[col[k]]);
    }
    return out;
}

// Merges images into sites: an image joins the first site (in creation
// order) that lies within `symprec` on every axis, or that an image of the
// same row started within same_atom_bound, else it starts a new one.
// A grid of buckets at least twice the larger fractional reach wide finds
// the candidates; the lowest-index match in the image's bucket and the
// neighbours it lies within reach of is the first site a scan in creation
// order would find. A tolerance too large for a grid of three buckets per
// axis falls back to the scan.
// The sites are built in place as the arrays of the result: a site keeps
// the species of the row that started it there, and only species that
// other images bring later are held aside until take.
class SiteMerger {
public:
    SiteMerger(double symprec, const Lattice& lattice, std::size_t expected_images, std::size_t rows)
        : tol_(symprec), cell_(lattice.matrix()) {
        // Usually one site per row; more grow as they come.
        likely_ = std::min(expected_images, rows);
        const std::size_t likely = likely_;
        sites_.reserve(likely, likely);
        site_rows_.reserve(likely);
        if (!(symprec > 0)) {
            merge_ = false;
            return;
        }
        // A distance d moves fractional coordinate j by at most d times the
        // length of column j of the inverse cell.
        const Mat3& inv = lattice.inverse();
        double reach = symprec;
        for (int j = 0; j < 3; ++j) {
            double col = std::sqrt(inv[0][j] * inv[0][j] + inv[1][j] * inv[1][j] + inv[2][j] * inv[2][j]);
            reach = std::max(reach, same_atom_bound * col);
        }
        reach_ = reach;
        double by_tol = std::floor(0.5 / reach);
        // About one image per bucket; more buckets would only cost memory.
        double by_count = std::ceil(std::cbrt(static_cast<double>(expected_images)));
        double n = std::min({by_tol, by_count, 128.0});
        if (n >= 3) {
            n_ = static_cast<std::size_t>(n);
            head_.assign(n_ * n_ * n_, none);
            next_.reserve(likely);
        }
    }

    // An image of row `row`: its species join the matching site or start a
    // new site. A species the site holds from the same row keeps the larger
    // occupancy (images of one atom); from another row it is set aside as a
    // part of the site (see take). The site keeps the displacement
    // parameters it has; `differs` is set when another row's differ. `adp()`
    // gives the image's parameters (of kind `adp_kind`), asked for only
    // where they are kept or compared.
    template <typename ImageAdp>
    void add(const Vec3& f, const std::vector<Species>& species, Displacement::Kind adp_kind, const ImageAdp& adp,
             std::size_t row, bool& differs) {
        if (adp_kind != Displacement::none && !has_adps_) {
            // Until now no site had any.
            has_adps_ = true;
            adps_.reserve(std::max(likely_, sites_.size()));
            adps_.assign(sites_.size(), Displacement{});
        }
        std::size_t match = merge_ ? find(f, row) : none;
        if (match == none) {
            create(f, species, row);
            if (has_adps_) adps_.push_back(adp());
            return;
        }
        if (has_adps_) {
            Displacement& held_adp = adps_[match];
            if (held_adp.kind == Displacement::none) {
                held_adp = adp();
                if (adp_kind != Displacement::none && row != site_rows_[match]) adp_rows_[match] = row;
            } else if (adp_kind != Displacement::none && adp_row(match) != row &&
                       !same_displacement(held_adp, adp())) {
                differs = true;
            }
        }
        const std::size_t begin = sites_.entries_begin(match), own = sites_.entries_end(match) - begin;
        for (const Species& incoming : species) {
            // The species of the site: its own entries, then those held aside.
            std::size_t k = 0;
            auto later = extras_.find(match);
            for (; k < own; ++k)
                if (sites_.symbol(sites_.entry(begin + k).symbol) == incoming.first) break;
            if (k == own && later != extras_.end()) {
                while (k - own < later->second.size() &&
                       sites_.symbol(later->second[k - own].symbol) != incoming.first)
                    ++k;
            }
            const std::size_t n_held = own + (later == extras_.end() ? 0 : later->second.size());
            if (k == n_held) {
                extras_[match].push_back({sites_.symbol_index(incoming.first), incoming.second, row});
                continue;
            }
            if (species_row(match, k) == row) {
                set_occupancy(match, k, std::max(occupancy(match, k), incoming.second));
                continue;
            }
            auto [it, fresh] = parts_.try_emplace(PartKey{match, k, row}, incoming.second);
            if (!fresh) it->second = std::max(it->second, incoming.second);
        }
    }

    // Two rows that put one element at one place with occupancies adding to
    // more than a site holds (`sum`): the larger was kept.
    struct Overfull {
        std::size_t first_row, other_row;
        std::string element;
        double sum;
    };

    // The row that started each site.
    const std::vector<std::size_t>& site_rows() const { return site_rows_; }

    bool empty() const { return sites_.empty(); }
    // The merged sites in creation order, with their displacement
    // parameters when any site has some. Where rows of one element meet at
    // one place (Fe2+ 0.4 and Fe3+ 0.6 on one site), their occupancies add,
    // in row order, when the site's occupancies then sum to at most
    // max_occupancy_sum; otherwise the larger is kept and the case goes to
    // `overfull`.
    Sites take(std::vector<Overfull>& overfull) {
        for (auto it = parts_.begin(); it != parts_.end();) {
            const std::size_t site = it->first.site;
            auto end = it;
            while (end != parts_.end() && end->first.site == site) ++end;
            settle(site, it, end, overfull);
            it = end;
        }
        Sites sites;
        if (extras_.empty()) {
            sites = std::move(sites_);
        } else {
            std::size_t entries = sites_.n_entries();
            for (const auto& [site, held] : extras_) entries += held.size();
            sites.reserve(sites_.size(), entries);
            for (std::size_t s = 0; s < sites_.size(); ++s) {
                const std::size_t begin = sites_.entries_begin(s), end = sites_.entries_end(s);
                auto later = extras_.find(s);
                if (end - begin == 1 && later == extras_.end()) {
                    SpeciesEntry e = sites_.entry(begin);
                    sites.add_atom(sites_.frac(s), sites.symbol_index(sites_.symbol(e.symbol)), e.occupancy);
                    continue;
                }
                sites.add_site(sites_.frac(s));
                for (std::size_t e = begin; e < end; ++e)
                    sites.add_species(sites_.symbol(sites_.entry(e).symbol), sites_.entry(e).occupancy);
                if (later != extras_.end())
                    for (const Extra& x : later->second) sites.add_species(sites_.symbol(x.symbol), x.occupancy);
            }
            sites_ = Sites();
        }
        if (has_adps_) sites.columns().displacements = std::move(adps_);
        return sites;
    }

private:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    // A species another row brought to a site after it was started.
    struct Extra {
        std::uint32_t symbol;
        double occupancy;
        std::size_t row;
    };

    static bool finite(const Vec3& f) {
        return std::isfinite(f[0]) && std::isfinite(f[1]) && std::isfinite(f[2]);
    }

    // The row whose displacement parameters site s holds.
    std::size_t adp_row(std::size_t s) const {
        auto other = adp_rows_.find(s);
        return other == adp_rows_.end() ? site_rows_[s] : other->second;
    }

    // Species k of site s: its own entries first, then those held aside.
    std::size_t species_row(std::size_t s, std::size_t k) const {
        const std::size_t own = sites_.entries_end(s) - sites_.entries_begin(s);
        return k < own ? site_rows_[s] : extras_.at(s)[k - own].row;
    }
    double occupancy(std::size_t s, std::size_t k) const {
        const std::size_t begin = sites_.entries_begin(s), own = sites_.entries_end(s) - begin;
        return k < own ? sites_.entry(begin + k).occupancy : extras_.at(s)[k - own].occupancy;
    }
    void set_occupancy(std::size_t s, std::size_t k, double value) {
        const std::size_t begin = sites_.entries_begin(s), own = sites_.entries_end(s) - begin;
        if (k < own) sites_.set_occupancy(begin + k, value);
        else extras_.at(s)[k - own].occupancy = value;
    }
    const std::string& element(std::size_t s, std::size_t k) const {
        const std::size_t begin = sites_.entries_begin(s), own = sites_.entries_end(s) - begin;
        return sites_.symbol(k < own ? sites_.entry(begin + k).symbol : extras_.at(s)[k - own].symbol);
    }
    std::size_t n_species(std::size_t s) const {
        auto later = extras_.find(s);
        return sites_.entries_end(s) - sites_.entries_begin(s) + (later == extras_.end() ? 0 : later->second.size());
    }

    std::size_t cell_index(double v) const {
        std::size_t k = static_cast<std::size_t>(v * static_cast<double>(n_));
        return std::min(k, n_ - 1);
    }

    // Site s takes an image of `row` at f.
    bool joins(std::size_t s, const Vec3& f, std::size_t row) const {
        const Vec3& g = sites_.frac(s);
        if (coords_close(g, f, tol_)) return true;
        if (site_rows_[s] != row) return false;
        Vec3 d{};
        for (int j = 0; j < 3; ++j) d[j] = f[j] - g[j] - nearest_whole(f[j] - g[j]);
        double sq = 0;
        for (int k = 0; k < 3; ++k) {
            double c = d[0] * cell_[0][k] + d[1] * cell_[1][k] + d[2] * cell_[2][k];
            sq += c * c;
        }
        return sq < same_atom_bound * same_atom_bound;
    }

    std::size_t find(const Vec3& f, std::size_t row) const {
        if (!finite(f)) return none;  // NaN coordinates never compare close
        if (n_ == 0) {
            for (std::size_t s : scan_)
                if (joins(s, f, row)) return s;
            return none;
        }
        // The bucket of f, and its neighbour on a side (wrapping around)
        // only where f lies within reach of that side: a site that joins
        // lies within reach of f on every axis.
        std::size_t near[3][3], n_near[3];
        const double scaled_reach = reach_ * static_cast<double>(n_) * (1 + 1e-9) + 1e-12;
        for (int a = 0; a < 3; ++a) {
            const std::size_t c = cell_index(f[a]);
            const double u = f[a] * static_cast<double>(n_) - static_cast<double>(c);  // within the bucket
            std::size_t k = 0;
            near[a][k++] = c;
            if (!(u >= scaled_reach)) near[a][k++] = c == 0 ? n_ - 1 : c - 1;
            if (!(1 - u >= scaled_reach)) near[a][k++] = c + 1 == n_ ? 0 : c + 1;
            n_near[a] = k;
        }
        std::size_t best = none;
        for (std::size_t i = 0; i < n_near[0]; ++i)
            for (std::size_t j = 0; j < n_near[1]; ++j)
                for (std::size_t k = 0; k < n_near[2]; ++k) {
                    // Buckets list their sites newest first.
                    const std::size_t bucket = (near[0][i] * n_ + near[1][j]) * n_ + near[2][k];
                    for (std::size_t s = head_[bucket]; s != none; s = next_[s]) {
                        if (s < best && joins(s, f, row)) best = s;
                    }
                }
        return best;
    }

    // A species of a site from a row other than the one that brought it.
    struct PartKey {
        std::size_t site, species, row;
        bool operator<(const PartKey& o) const {
            return std::tie(site, species, row) < std::tie(o.site, o.species, o.row);
        }
    };
    using Parts = std::map<PartKey, double>;

    // Adds or refuses the parts [from, to) of one site.
    void settle(std::size_t site, Parts::const_iterator from, Parts::const_iterator to,
                std::vector<Overfull>& overfull) {
        const std::size_t n = n_species(site);
        std::vector<double> summed(n);
        for (std::size_t k = 0; k < n; ++k) summed[k] = occupancy(site, k);
        for (auto it = from; it != to; ++it) summed[it->first.species] += it->second;
        double total = 0;
        for (double occ : summed) total += occ;
        if (total <= max_occupancy_sum) {
            for (std::size_t k = 0; k < n; ++k) set_occupancy(site, k, summed[k]);
            return;
        }
        for (auto it = from; it != to; ++it) {
            const std::size_t k = it->first.species;
            if (it == from || std::prev(it)->first.species != k)
                overfull.push_back({species_row(site, k), it->first.row, element(site, k), summed[k]});
            set_occupancy(site, k, std::max(occupancy(site, k), it->second));
        }
    }

    void create(const Vec3& f, const std::vector<Species>& species, std::size_t row) {
        std::size_t index = sites_.size();
        if (species.size() == 1) {
            sites_.add_atom(f, sites_.symbol_index(species[0].first), species[0].second);
        } else {
            sites_.add_site(f);
            for (const auto& [symbol, occupancy] : species) sites_.add_species(symbol, occupancy);
        }
        site_rows_.push_back(row);
        if (!merge_ || !finite(f)) return;
        if (n_ == 0) {
            scan_.push_back(index);
            return;
        }
        std::size_t bucket = (cell_index(f[0]) * n_ + cell_index(f[1])) * n_ + cell_index(f[2]);
        if (next_.size() < sites_.size()) next_.resize(sites_.size(), none);
        next_[index] = head_[bucket];
        head_[bucket] = index;
    }

    double tol_;
    Mat3 cell_;
    double reach_ = 0;  // the farthest a joining site lies on any axis, in fractions
    bool merge_ = true;
    std::size_t n_ = 0;               // buckets per axis; 0 means scan
    std::vector<std::size_t> head_;   // newest site of each bucket
    std::vector<std::size_t> next_;   // next older site of the same bucket
    std::vector<std::size_t> scan_;   // sites with finite coordinates, in order
    Sites sites_;                     // each site with the species of the row that started it
    std::map<std::size_t, std::vector<Extra>> extras_;  // by site: species other images brought
    std::vector<std::size_t> site_rows_;
    Parts parts_;
    bool has_adps_ = false;              // some image brought displacement parameters
    std::vector<Displacement> adps_;     // one per site once some image brought any, else none
    std::size_t likely_ = 0;             // sites reserved for
    // Sites holding the displacement parameters of a row other than the one
    // that started them, with that row.
    std::unordered_map<std::size_t, std::size_t> adp_rows_;
};

}  // namespace

namespace {

// Columns of the atom-site loop.
struct AtomColumns {
    const Loop* loop = nullptr;
    std::size_t x = 0, y = 0, z = 0;
    std::optional<std::size_t> occupancy, type_symbol, label;
    std::optional<std::size_t> assembly, group;  // disorder labels
    std::optional<std::size_t> calc_flag;  // "dum" marks a dummy row, not an atom
    std::optional<std::size_t> u_iso, b_iso, adp_type;
};

Result<AtomColumns> atom_columns(const Block& block) {
    AtomColumns c;
    for (const Loop& loop : block.loops) {
        if (loop.column("_atom_site_fract_x")) {
            c.loop = &loop;
            break;
        }
    }
    if (!c.loop) return fail("no _atom_site loop with fractional coordinates found");
    c.x = *c.loop->column("_atom_site_fract_x");
    auto y = c.loop->column("_atom_site_fract_y");
    if (!y) return fail("missing _atom_site_fract_y");
    auto z = c.loop->column("_atom_site_fract_z");
    if (!z) return fail("missing _atom_site_fract_z");
    c.y = *y;
    c.z = *z;
    c.occupancy = c.loop->column("_atom_site_occupancy");
    c.type_symbol = c.loop->column("_atom_site_type_symbol");
    c.label = c.loop->column("_atom_site_label");
    c.assembly = c.loop->column("_atom_site_disorder_assembly");
    c.group = c.loop->column("_atom_site_disorder_group");
    c.calc_flag = c.loop->column("_atom_site_calc_flag");
    c.u_iso = c.loop->column("_atom_site_u_iso_or_equiv");
    c.b_iso = c.loop->column("_atom_site_b_iso_or_equiv");
    c.adp_type = c.loop->column("_atom_site_adp_type");
    return c;
}

// 8 pi^2: B = 8 pi^2 U.
constexpr double eight_pi_sq = 78.95683520871486;

// The anisotropic displacement parameters of the aniso loop, by label: the
// U_ij columns, else the B_ij ones (as U); rows whose six values are not
// all numbers are left out.
std::vector<std::pair<std::string_view, Displacement>> aniso_table(const Block& block) {
    std::vector<std::pair<std::string_view, Displacement>> table;
    static const char* const u_tags[6] = {"_atom_site_aniso_u_11", "_atom_site_aniso_u_22", "_atom_site_aniso_u_33",
                                          "_atom_site_aniso_u_12", "_atom_site_aniso_u_13", "_atom_site_aniso_u_23"};
    static const char* const b_tags[6] = {"_atom_site_aniso_b_11", "_atom_site_aniso_b_22", "_atom_site_aniso_b_33",
                                          "_atom_site_aniso_b_12", "_atom_site_aniso_b_13", "_atom_site_aniso_b_23"};
    for (const Loop& loop : block.loops) {
        auto label = loop.column("_atom_site_aniso_label");
        if (!label) continue;
        for (const auto* tags : {u_tags, b_tags}) {
            std::optional<std::size_t> cols[6];
            bool all = true;
            for (std::size_t k = 0; k < 6; ++k) all = (cols[k] = loop.column(tags[k])) && all;
            if (!all) continue;
            const double scale = tags == u_tags ? 1.0 : 1.0 / eight_pi_sq;
            for (std::size_t r = 0; r < loop.n_rows(); ++r) {
                Displacement d{Displacement::anisotropic, {}};
                bool numbers = true;
                for (std::size_t k = 0; k < 6 && numbers; ++k) {
                    auto v = parse_cif_number(loop.value(r, *cols[k]));
                    if (v) d.u[k] = *v * scale;
                    numbers = v.has_value();
                }
                if (numbers) table.emplace_back(trim(loop.value(r, *label)), d);
            }
            return table;
        }
    }
    return table;
}

// The displacement parameters of row r: those of the aniso loop under its
// label (unless its adp_type says Uiso or Biso), else U_iso, else B_iso.
Displacement row_displacement(const AtomColumns& c, const std::vector<std::pair<std::string_view, Displacement>>& aniso,
                              std::size_t r) {
    const Loop& loop = *c.loop;
    bool iso_type = false;
    if (c.adp_type) {
        std::string_view type = trim(loop.value(r, *c.adp_type));
        iso_type = equals_ascii_nocase(type, "uiso") || equals_ascii_nocase(type, "biso");
    }
    if (c.label && !iso_type) {
        std::string_view label = trim(loop.value(r, *c.label));
        for (const auto& [name, d] : aniso)
            if (name == label) return d;
    }
    if (c.u_iso)
        if (auto u = parse_cif_number(loop.value(r, *c.u_iso))) return {Displacement::isotropic, {*u}};
    if (c.b_iso)
        if (auto b = parse_cif_number(loop.value(r, *c.b_iso))) return {Displacement::isotropic, {*b / eight_pi_sq}};
    return {};
}

// The disorder labels of row `r` ("" where the column is missing or holds
// "." or "?").
DisorderTag disorder_tag(const AtomColumns& c, std::size_t r, DisorderLabelTable& labels) {
    auto label = [&](const std::optional<std::size_t>& column) -> std::uint32_t {
        if (!column) return 0;
        std::string_view v = trim(c.loop->value(r, *column));
        return v == "." || v == "?" ? 0 : labels.add(v);
    };
    return {label(c.assembly), label(c.group), r};
}

// A coordinate: a CIF number or a fraction such as "1/4"; "." (zero, as
// ICSD writes it) reads as 0 and sets `dot`. Absent for "?" and non-numbers.
std::optional<double> coordinate(std::string_view value, bool& dot) {
    if (auto v = parse_cif_number(value)) return v;
    std::string_view t = strip_quotes(trim(value));
    if (t == ".") {
        dot = true;
        return 0.0;
    }
    if (t.find('/') != std::string_view::npos) {
        if (auto v = parse_number(t)) return *v;
    }
    return std::nullopt;
}

// A decimal with an optional standard uncertainty of digits, "0.967(4)".
std::optional<double> fraction_with_uncertainty(std::string_view text) {
    std::size_t paren = text.find('(');
    if (paren != std::string_view::npos) {
        std::string_view su = text.substr(paren + 1);
        if (su.size() < 2 || su.back() != ')') return std::nullopt;
        su.remove_suffix(1);
        for (char ch : su)
            if (ch < '0' || ch > '9') return std::nullopt;
        text = text.substr(0, paren);
    }
    return parse_decimal(text);
}

// A mixed type symbol as the Pauling File writes it, "0.8Nb + 0.2Zr" or
// with uncertainties "0.967(4)Mg + 0.033(4)Fe": each term a fraction in
// (0, 1] followed by an element symbol spelled exactly ("2b" is no mixed
// symbol). Absent unless every term reads so.
std::optional<std::vector<Species>> mixed_type_symbol(std::string_view text) {
    std::string compact;  // without whitespace
    for (std::string_view word : split_whitespace(text)) compact.append(word);
    std::vector<Species> out;
    std::string_view rest = compact;
    for (bool more = true; more;) {
        std::size_t plus = rest.find('+');
        more = plus != std::string_view::npos;
        std::string_view term = rest.substr(0, plus);
        if (more) rest.remove_prefix(plus + 1);
        std::size_t p = 0;
        while (p < term.size() && !is_ascii_letter(term[p])) ++p;
        auto fraction = fraction_with_uncertainty(term.substr(0, p));
        std::string_view element = term.substr(p);
        if (!fraction || !(*fraction > 0 && *fraction <= 1) || !is_element_symbol(element))
            return std::nullopt;
        auto same = std::find_if(out.begin(), out.end(), [&](const Species& sp) { return sp.first == element; });
        if (same != out.end()) same->second += *fraction;
        else out.emplace_back(std::string(element), *fraction);
    }
    return out;
}

// The species of row `r` with their fractions of the site: the element its
// type symbol names, or the elements of a mixed type symbol, or the element
// its label names. False when none of these names one.
bool row_species(const AtomColumns& c, std::size_t r, std::vector<Species>& species) {
    species.clear();
    if (c.type_symbol) {
        std::string_view type = trim(c.loop->value(r, *c.type_symbol));
        if (auto element = element_from_text(type)) {
            species.emplace_back(std::move(*element), 1.0);
            return true;
        }
        if (auto mixed = mixed_type_symbol(type)) {
            species = std::move(*mixed);
            return true;
        }
    }
    if (c.label) {
        if (auto element = element_from_text(trim(c.loop->value(r, *c.label)))) {
            species.emplace_back(std::move(*element), 1.0);
            return true;
        }
    }
    return false;
}

// Rows that place no atom and are worth a note.
struct RowSkips {
    Tally unplaced;       // coordinates that are not numbers
    Tally bad_occupancy;  // a negative or NaN occupancy
    Tally dummy;          // _atom_site_calc_flag dum: a marker, not an atom
    Tally other_adp;      // merged into a site with other displacement parameters
};

// How a row is named in a note: its label, else its type symbol, else its number.
std::string row_name(const AtomColumns& c, std::size_t r) {
    for (const auto& col : {c.label, c.type_symbol}) {
        if (!col) continue;
        std::string_view v = trim(c.loop->value(r, *col));
        if (!v.empty()) return std::string(v);
    }
    return "row " + std::to_string(r + 1);
}

// Where row `r` is and what it says, for a refusal: "row 3 of the atom-site
// loop: label 'Sl', type symbol '?'".
std::string row_description(const AtomColumns& c, std::size_t r) {
    std::string out = "row " + std::to_string(r + 1) + " of the atom-site loop";
    const char* sep = ": ";
    for (auto [col, name] : {std::pair{c.label, "label"}, std::pair{c.type_symbol, "type symbol"}}) {
        if (!col) continue;
        out.append(sep).append(name).append(" '").append(trim(c.loop->value(r, *col))).append("'");
        sep = ", ";
    }
    return out;
}

// One usable row: its position and its species with occupancies.
struct AtomRow {
    Vec3 frac{};
    std::vector<Species> species;
};

// Reads row `r` into `row`; false when the row places no atom (tallied in
// `skips` unless its occupancy is 0); fails when a row with a position names
// no element.
Result<bool> read_row(const AtomColumns& c, std::size_t r, AtomRow& row, RowSkips& skips) {
    const Loop& loop = *c.loop;
    if (c.calc_flag && equals_ascii_nocase(strip_quotes(trim(loop.value(r, *c.calc_flag))), "dum")) {
        skips.dummy.add(row_name(c, r));
        return false;
    }
    bool dot = false;
    auto x = coordinate(loop.value(r, c.x), dot);
    auto y = coordinate(loop.value(r, c.y), dot);
    auto z = coordinate(loop.value(r, c.z), dot);
    if (!x || !y || !z) {
        skips.unplaced.add(row_name(c, r));
        return false;
    }
    if (!row_species(c, r, row.species)) {
        // "." stands for 0 only in a row that is otherwise readable.
        if (dot) {
            skips.unplaced.add(row_name(c, r));
            return false;
        }
        return fail("could not determine the element of an atom site (", row_description(c, r), ")");
    }
    if (c.occupancy) {
        if (auto occ = parse_cif_number(loop.value(r, *c.occupancy))) {
            if (*occ == 0) return false;  // no atom there
            if (!(*occ > 0)) {
                skips.bad_occupancy.add(row_name(c, r));
                return false;
            }
            for (Species& sp : row.species) sp.second *= *occ;
        }
    }
    row.frac = {*x, *y, *z};
    return true;
}

// One note per kind of thing the builder skipped.
void note_skips(const CifSymmetry& ops, const RowSkips& skips, ReadNotes& notes) {
    if (!ops.unknown_symbol.empty())
        notes.add("space group '", ops.unknown_symbol, "' (", ops.unknown_tag,
                  ") is not known; no operations were taken from it");
    if (!ops.misfit.empty())
        notes.add("the cell does not fit space group '", ops.misfit_symbol, "' (", ops.misfit_tag, "): ",
                  ops.misfit, "; no operations were taken from it and the sites were read as listed");
    if (ops.superspace)
        notes.add("read the basic structure of a modulated magnetic structure from its superspace operations; "
                  "the modulation is not applied");
    if (ops.centerings_alone)
        notes.add("magnetic centerings are listed without magnetic operations; only the centerings were applied");
    if (ops.unreadable.count)
        notes.add("skipped ", counted(ops.unreadable.count, "symmetry operation"),
                  " that could not be read (first: '", ops.unreadable.first, "')");
    if (skips.unplaced.count)
        notes.add("skipped ", counted(skips.unplaced.count, "atom-site row"),
                  " whose coordinates are not numbers (first: '", skips.unplaced.first, "')");
    if (skips.bad_occupancy.count)
        notes.add("skipped ", counted(skips.bad_occupancy.count, "atom-site row"),
                  " with a negative or NaN occupancy (first: '", skips.bad_occupancy.first, "')");
    if (skips.dummy.count)
        notes.add("skipped ", counted(skips.dummy.count, "atom-site row"),
                  " marked as a dummy (_atom_site_calc_flag dum; first: '", skips.dummy.first, "')");
    if (skips.other_adp.count)
        notes.add(counted(skips.other_adp.count, "atom-site row"), " shared a site with other displacement ",
                  "parameters, which the site kept (first: '", skips.other_adp.first, "')");
}

// Rows of one element at one place whose occupancies add to more than a site holds.
void note_overfull(const AtomColumns& c, const std::vector<SiteMerger::Overfull>& overfull, ReadNotes& notes) {
    if (overfull.empty()) return;
    const auto& o = overfull.front();
    notes.add("rows '", row_name(c, o.first_row), "' and '", row_name(c, o.other_row), "' put ", o.element,
              " at one place with occupancies adding to ", format_fixed4(o.sum),
              ", more than a site holds; kept the larger (two rows describing the same atom?)",
              overfull.size() > 1 ? " (" + std::to_string(overfull.size()) + " such places)" : std::string());
}

// Fully occupied sites too close together after a symmetry expansion.
void note_close_sites(const AtomColumns& c, const Structure& s, const std::vector<std::size_t>& site_rows,
                      ReadNotes& notes) {
    ClosePairs close = close_full_sites(s);
    if (close.count == 0) return;
    notes.add("after the symmetry operations, ", counted(close.count, "pair"),
              " of fully occupied sites lie closer than their atoms can (first: '", row_name(c, site_rows[close.first]),
              "' and '", row_name(c, site_rows[close.second]), "', ", format_fixed4(close.distance),
              " angstrom apart, under ", format_fixed4(close.bound),
              "); the operations may not belong to this cell or these sites");
}

}  // namespace

Result<Structure> parse_cif(std::string_view text, double symprec, ReadNotes* notes,
                            const BlockChoice& choice) {
    auto block = parse_block(text, choice, notes);
    if (!block) return std::move(block).error();
    auto lattice = cell_from_block(*block);
    if (!lattice) return lattice.error();
    auto ops = symmetry_from_block(*block);
    if (!ops) return std::move(ops).error();
    auto columns = atom_columns(*block);
    if (!columns) return columns.error();

    const std::size_t n_rows = columns->loop->n_rows();
    SiteMerger merger(symprec, *lattice, n_rows * ops->ops.size(), n_rows);
    RowSkips skips;
    AtomRow row;
    const auto aniso = aniso_table(*block);
    Vec3 recip{};  // a*, b*, c*: lengths of the columns of the inverse
    for (std::size_t k = 0; k < 3; ++k) {
        const Mat3& inv = lattice->inverse();
        recip[k] = std::sqrt(inv[0][k] * inv[0][k] + inv[1][k] * inv[1][k] + inv[2][k] * inv[2][k]);
    }
    std::vector<DisorderTag> row_tags;  // per row, when some row names a disorder assembly or group
    DisorderLabelTable labels;
    for (std::size_t r = 0; r < n_rows; ++r) {
        auto placed = read_row(*columns, r, row, skips);
        if (!placed) return std::move(placed).error();
        if (!*placed) continue;
        const Displacement adp = row_displacement(*columns, aniso, r);
        bool differs = false;
        for (const SymmOp& op : ops->ops)
            merger.add(op.apply_wrapped(row.frac), row.species, adp.kind,
                       [&] { return rotated(adp, op.rotation, recip); }, r, differs);
        if (differs) skips.other_adp.add(row_name(*columns, r));
        const DisorderTag tag = disorder_tag(*columns, r, labels);
        if (row_tags.empty() && (tag.assembly != 0 || tag.group != 0))
            for (std::size_t k = 0; k < n_rows; ++k) row_tags.push_back(disorder_tag(*columns, k, labels));
        if (!row_tags.empty()) row_tags[r] = tag;
    }
    if (merger.empty()) return fail("CIF contains no usable atom sites");
    std::vector<SiteMerger::Overfull> overfull;
    Sites merged = merger.take(overfull);
    // A merged site takes the labels of the row that started it.
    if (!row_tags.empty()) {
        for (std::size_t first_row : merger.site_rows()) merged.columns().disorder.push_back(row_tags[first_row]);
        merged.columns().disorder_labels = labels.take();
    }
    auto structure = Structure::create(std::move(*lattice), std::move(merged));
    if (!structure || !notes) return structure;
    note_skips(*ops, skips, *notes);
    note_overfull(*columns, overfull, *notes);
    if (ops->ops.size() > 1) note_close_sites(*columns, *structure, merger.site_rows(), *notes);
    return structure;
}

}  // namespace molvane
