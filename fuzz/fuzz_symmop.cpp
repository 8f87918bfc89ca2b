// Symmetry-operation texts: the operation parser directly (applied to a few
// points), then the same text as the only operation of a one-row CIF.
#include <cmath>
#include <string>

#include "io/cif.hpp"
#include "io/cif_syntax.hpp"
#include "fuzz_common.hpp"
#include "io/magnetic.hpp"
#include "io/symmetry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string op(reinterpret_cast<const char*>(data), size);
    auto parsed = molvane::parse_symmop(op);
    if (parsed) {
        for (const molvane::Vec3& p : {molvane::Vec3{0.0, 0.0, 0.0}, molvane::Vec3{0.1, 0.25, 0.7},
                                       molvane::Vec3{-0.3, 1.5, 1e-17}}) {
            molvane::Vec3 w = parsed->apply_wrapped(p);
            for (double v : w)
                if (std::isfinite(v) && !(v >= 0.0 && v <= 1.0)) fuzz::finding("wrapped coordinate outside [0, 1]");
        }
    }
    (void)molvane::parse_number(op);
    if (auto magnetic = molvane::parse_magnetic_symmop(op)) {
        if (magnetic->time_reversal != 1 && magnetic->time_reversal != -1) fuzz::finding("time reversal not +1 or -1");
    }

    // Quoted when it can be; otherwise the raw text, which the tokenizer
    // may split into several values.
    std::string row = op.find('\'') == std::string::npos && op.find('\n') == std::string::npos
                          ? "'" + op + "'"
                          : op;
    std::string cif =
        "data_fuzz\n_cell_length_a 5\n_cell_length_b 6\n_cell_length_c 7\n"
        "_cell_angle_alpha 90\n_cell_angle_beta 100\n_cell_angle_gamma 120\n"
        "loop_\n_symmetry_equiv_pos_as_xyz\n" +
        row +
        "\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        "Fe1 0.1 0.2 0.3\n";
    auto structure = molvane::parse_cif(cif, 1e-4);
    if (!structure && structure.error().message.empty()) fuzz::finding("parse_cif failed without a message");
    return 0;
}
