// Concurrency stress for ThreadSanitizer: eight threads run compute_prdf
// (default pool and dedicated pools), the readers and the expansion on
// shared structures at once and compare with serial results.
// Built and run by `scripts/fuzz tsan`.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/cif.hpp"
#include "io/cif_syntax.hpp"
#include "disorder/expand.hpp"
#include "io/poscar.hpp"
#include "io/extxyz.hpp"
#include "engine/rdf.hpp"
#include "fuzz_common.hpp"

namespace {

const char* const rock_salt =
    "data_r\n_cell_length_a 4.2\n_cell_length_b 4.2\n_cell_length_c 4.2\n"
    "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
    "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\nx+1/2,y+1/2,z\nx+1/2,y,z+1/2\nx,y+1/2,z+1/2\n-x,-y,-z\n"
    "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\n_atom_site_occupancy\nMg1 Mg 0 0 0 0.75\nFe1 Fe 0 0 0 0.25\nO1 O 0.5 0.5 0.5 1\n";

const char* const poscar =
    "Cr2O3\n1.0\n4.9 0 0\n-2.45 4.24 0\n0 0 13.4\nCr O\n2 3\nDirect\n"
    "0 0 0.35\n0 0 0.65\n0.3 0 0.25\n0 0.3 0.25\n0.7 0.7 0.25\n";

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same(const molvane::PrdfResult& a, const molvane::PrdfResult& b) {
    if (!same(a.total, b.total) || a.partials.size() != b.partials.size()) return false;
    for (std::size_t k = 0; k < a.partials.size(); ++k)
        if (!same(a.partials[k], b.partials[k])) return false;
    return true;
}

bool same(const molvane::Structure& a, const molvane::Structure& b) { return fuzz::same_sites(a.sites(), b.sites()); }

}  // namespace

int main() {
    auto disordered = molvane::parse_cif(rock_salt, 1e-4);
    auto ordered = molvane::parse_poscar(poscar);
    if (!disordered || !ordered) {
        std::fprintf(stderr, "setup failed\n");
        return 2;
    }
    auto big = ordered->make_supercell(3, 3, 2);
    // Integral weights: identical bits on every pool.
    auto expected_prdf = molvane::compute_prdf(*big, 1, 8.0, 0.05);
    auto expected_expand = molvane::expand_occupancies(*disordered, 500, 7, 16);
    if (!big || !expected_prdf || !expected_expand) return 2;

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                const std::uint64_t n_threads = static_cast<std::uint64_t>((t + round) % 4);  // 0: default pool
                auto r = molvane::compute_prdf(*big, n_threads, 8.0, 0.05);
                if (!r || !same(*r, *expected_prdf)) ++failures;
                auto f = molvane::compute_prdf(*disordered, n_threads, 6.0, 0.1);
                if (!f) ++failures;
                auto e = molvane::expand_occupancies(*disordered, 500, 7, 16);
                if (!e || !same(e->structure, expected_expand->structure)) ++failures;
                auto c = molvane::parse_cif(rock_salt, 1e-4);
                if (!c || !same(*c, *disordered)) ++failures;
                auto p = molvane::parse_poscar(poscar);
                if (!p || !same(*p, *ordered)) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    std::printf("stress_threads: %d mismatches\n", failures.load());
    return failures.load() == 0 ? 0 : 1;
}
