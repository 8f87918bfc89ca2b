// CIF structure builder: the cell, symmetry operations and atom sites of a
// data block, expanded by the operations and merged into sites.
#include "io/cif.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/text.hpp"  // for trim, parse_count
#include "io/cif_syntax.hpp"
#include "io/spacegroup.hpp"
#include "io/symmetry.hpp"

namespace molvane {

std::optional<std::string> element_from_label(std::string_view label) {
    std::string_view t = trim(label);
    if (t.empty()) return std::nullopt;
    char first = t[0];
    bool upper = first >= 'A' && first <= 'Z';
    if (!upper && !(first >= 'a' && first <= 'z')) return std::nullopt;
    std::string symbol(1, upper ? first : static_cast<char>(first - 'a' + 'A'));
    if (t.size() > 1 && t[1] >= 'a' && t[1] <= 'z') symbol.push_back(t[1]);
    return symbol;
}

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

// The operations listed in the block's first loop of operation texts, in
// row order; rows that cannot be read are skipped.
std::vector<SymmOp> listed_operations(const Block& block) {
    std::vector<SymmOp> ops;
    for (const Loop& loop : block.loops) {
        std::optional<std::size_t> col;
        for (std::size_t k = 0; k < loop.tags.size() && !col; ++k)
            if (loop.tags[k] == "_symmetry_equiv_pos_as_xyz" ||
                loop.tags[k] == "_space_group_symop_operation_xyz")
                col = k;
        if (!col) continue;
        for (std::size_t r = 0; r < loop.n_rows(); ++r) {
            std::string_view v = trim(loop.value(r, *col));
            if (v.empty()) continue;
            auto op = parse_symmop(v);
            if (!op) {
                // "1 x,y,z": retry without a leading operation number.
                std::size_t space = v.find(' ');
                if (space == std::string_view::npos) continue;
                op = parse_symmop(v.substr(space + 1));
                if (!op) continue;
            }
            ops.push_back(*op);
        }
        break;
    }
    return ops;
}

// a = b = c and alpha = beta = gamma (missing angles being 90 degrees): the
// cell of an R group in rhombohedral axes.
bool rhombohedral_cell(const Block& block) {
    auto a = block.number("_cell_length_a");
    auto b = block.number("_cell_length_b");
    auto c = block.number("_cell_length_c");
    if (!a || !b || !c) return false;
    double scale = std::max({std::fabs(*a), std::fabs(*b), std::fabs(*c)});
    if (!(std::fabs(*a - *b) <= 1e-3 * scale && std::fabs(*a - *c) <= 1e-3 * scale)) return false;
    double alpha = block.number("_cell_angle_alpha").value_or(90.0);
    double beta = block.number("_cell_angle_beta").value_or(90.0);
    double gamma = block.number("_cell_angle_gamma").value_or(90.0);
    return std::fabs(alpha - beta) <= 0.1 && std::fabs(alpha - gamma) <= 0.1;
}

// The text of item `tag`, absent when missing, empty, "?" or ".".
std::optional<std::string_view> symbol_item(const Block& block, const std::string& tag) {
    auto it = block.items.find(tag);
    if (it == block.items.end()) return std::nullopt;
    std::string_view v = trim(it->second);
    if (v.empty() || v == "?" || v == ".") return std::nullopt;
    return v;
}

}  // namespace

CifSymmetry symmetry_from_block(const Block& block) {
    CifSymmetry out;
    out.ops = listed_operations(block);
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
        if (!match) {
            if (out.unknown_tag.empty()) {
                out.unknown_tag = name.tag;
                out.unknown_symbol = std::string(*symbol);
            }
            continue;
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

// Merges images into sites: an image joins the first site (in creation
// order) that lies within `symprec` on every axis, else it starts a new one.
// A grid of buckets at least 2 * symprec wide finds the candidates; the
// lowest-index match among the 27 neighbouring buckets is the first site a
// scan in creation order would find. A tolerance too large for a grid of
// three buckets per axis falls back to the scan.
class SiteMerger {
public:
    SiteMerger(double symprec, std::size_t expected_images) : tol_(symprec) {
        if (!(symprec > 0)) {
            merge_ = false;
            return;
        }
        double by_tol = std::floor(0.5 / symprec);
        // About one image per bucket; more buckets would only cost memory.
        double by_count = std::ceil(std::cbrt(static_cast<double>(expected_images)));
        double n = std::min({by_tol, by_count, 128.0});
        if (n >= 3) {
            n_ = static_cast<std::size_t>(n);
            head_.assign(n_ * n_ * n_, none);
        }
    }

    void add(const Vec3& f, std::string_view element, double occupancy) {
        std::size_t match = merge_ ? find(f) : none;
        if (match == none) {
            create(f, element, occupancy);
            return;
        }
        auto& species = sites_[match].species;
        for (auto& sp : species) {
            if (sp.first == element) {
                sp.second = std::max(sp.second, occupancy);
                return;
            }
        }
        species.emplace_back(std::string(element), occupancy);
    }

    bool empty() const { return sites_.empty(); }
    std::vector<Site> take() { return std::move(sites_); }

private:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    static bool finite(const Vec3& f) {
        return std::isfinite(f[0]) && std::isfinite(f[1]) && std::isfinite(f[2]);
    }

    std::size_t cell_index(double v) const {
        std::size_t k = static_cast<std::size_t>(v * static_cast<double>(n_));
        return std::min(k, n_ - 1);
    }

    std::size_t find(const Vec3& f) const {
        if (!finite(f)) return none;  // NaN coordinates never compare close
        if (n_ == 0) {
            for (std::size_t s : scan_)
                if (coords_close(sites_[s].frac_coords, f, tol_)) return s;
            return none;
        }
        std::size_t ci[3] = {cell_index(f[0]), cell_index(f[1]), cell_index(f[2])};
        std::size_t best = none;
        for (std::size_t dx = 0; dx < 3; ++dx) {
            std::size_t x = (ci[0] + n_ + dx - 1) % n_;
            for (std::size_t dy = 0; dy < 3; ++dy) {
                std::size_t y = (ci[1] + n_ + dy - 1) % n_;
                for (std::size_t dz = 0; dz < 3; ++dz) {
                    std::size_t z = (ci[2] + n_ + dz - 1) % n_;
                    // Buckets list their sites newest first.
                    for (std::size_t s = head_[(x * n_ + y) * n_ + z]; s != none; s = next_[s]) {
                        if (s < best && coords_close(sites_[s].frac_coords, f, tol_)) best = s;
                    }
                }
            }
        }
        return best;
    }

    void create(const Vec3& f, std::string_view element, double occupancy) {
        std::size_t index = sites_.size();
        Site site;
        site.frac_coords = f;
        site.species.emplace_back(std::string(element), occupancy);
        sites_.push_back(std::move(site));
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
    bool merge_ = true;
    std::size_t n_ = 0;               // buckets per axis; 0 means scan
    std::vector<std::size_t> head_;   // newest site of each bucket
    std::vector<std::size_t> next_;   // next older site of the same bucket
    std::vector<std::size_t> scan_;   // sites with finite coordinates, in order
    std::vector<Site> sites_;
};

}  // namespace

Result<Structure> parse_cif(std::string_view text, double symprec, ReadNotes* /*notes*/) {
    Block block = parse_block(text);
    auto lattice = cell_from_block(block);
    if (!lattice) return lattice.error();
    std::vector<SymmOp> ops = symmetry_from_block(block).ops;

    const Loop* atoms = nullptr;
    for (const Loop& loop : block.loops) {
        if (loop.column("_atom_site_fract_x")) {
            atoms = &loop;
            break;
        }
    }
    if (!atoms) return fail("no _atom_site loop with fractional coordinates found");
    std::size_t col_x = *atoms->column("_atom_site_fract_x");
    auto col_y = atoms->column("_atom_site_fract_y");
    if (!col_y) return fail("missing _atom_site_fract_y");
    auto col_z = atoms->column("_atom_site_fract_z");
    if (!col_z) return fail("missing _atom_site_fract_z");
    auto col_occ = atoms->column("_atom_site_occupancy");
    auto col_type = atoms->column("_atom_site_type_symbol");
    auto col_label = atoms->column("_atom_site_label");

    SiteMerger merger(symprec, atoms->n_rows() * ops.size());
    for (std::size_t r = 0; r < atoms->n_rows(); ++r) {
        auto x = parse_cif_number(atoms->value(r, col_x));
        auto y = parse_cif_number(atoms->value(r, *col_y));
        auto z = parse_cif_number(atoms->value(r, *col_z));
        if (!x || !y || !z) continue;
        std::optional<std::string> element;
        if (col_type) element = element_from_label(atoms->value(r, *col_type));
        if (!element && col_label) element = element_from_label(atoms->value(r, *col_label));
        if (!element) return fail("could not determine the element of an atom site");
        double occupancy = 1.0;
        if (col_occ) {
            auto occ = parse_cif_number(atoms->value(r, *col_occ));
            if (occ) {
                if (!(*occ > 0)) continue;
                occupancy = *occ;
            }
        }
        Vec3 f{*x, *y, *z};
        for (const SymmOp& op : ops) merger.add(op.apply_wrapped(f), *element, occupancy);
    }
    if (merger.empty()) return fail("CIF contains no usable atom sites");
    return Structure::create(std::move(*lattice), merger.take());
}

}  // namespace molvane

