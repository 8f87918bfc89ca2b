// VASP POSCAR/CONTCAR reader (VASP 4 and 5 layouts).
#include "io/poscar.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/elements.hpp"  // for clean_symbol
#include "core/lattice.hpp"
#include "core/text.hpp"  // for split_lines, split_whitespace, parse_f64, parse_count
#include "io/atom_lines.hpp"

namespace molvane {

namespace {

// True when the first non-whitespace character of `line` is one of `chars`.
bool starts_with_any(std::string_view line, std::string_view chars) {
    std::string_view rest = trim_start(line);
    return !rest.empty() && chars.find(rest.front()) != std::string_view::npos;
}

}  // namespace

Result<Structure> parse_poscar(std::string_view text, ReadNotes* /*notes*/) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 8) return fail("POSCAR is too short to contain a structure");

    // Scale factor: the first token of line 2 (an empty token if none).
    const auto scale_tokens = split_whitespace(lines[1]);
    auto scale_read = parse_f64(scale_tokens.empty() ? std::string_view() : scale_tokens[0]);
    if (!scale_read) return std::move(scale_read).error();
    double s = *scale_read;

    Mat3 m;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto tokens = split_whitespace(lines[2 + k]);
        if (tokens.size() < 3) return fail("lattice vector ", std::to_string(k + 1), " is incomplete");
        auto row = read_three(tokens, 0);
        if (!row) return std::move(row).error();
        m[k] = *row;
    }

    // A negative scale is the wanted cell volume.
    if (s < 0) {
        auto unscaled = Lattice::create(m);
        if (!unscaled) return std::move(unscaled).error();
        s = std::cbrt(-s / std::abs(Lattice::determinant_of(m)));
    }
    for (auto& row : m)
        for (double& v : row) v *= s;
    auto lattice = Lattice::create(m);
    if (!lattice) return std::move(lattice).error();

    // Species names and counts: VASP 5 has a names line above the counts;
    // VASP 4 takes the names from the comment line.
    const auto line6 = split_whitespace(lines[5]);
    std::vector<std::string_view> names;
    std::size_t counts_line, next;
    if (line6.empty() || parse_count(line6[0])) {
        names = split_whitespace(lines[0]);
        counts_line = 5;
        next = 6;
    } else {
        names = line6;
        counts_line = 6;
        next = 7;
    }
    std::vector<std::uint64_t> counts;
    for (std::string_view token : split_whitespace(lines[counts_line])) {
        auto count = parse_count(token);
        if (!count) return fail("bad atom count '", token, "'");
        counts.push_back(*count);
    }
    if (counts.size() > names.size())
        return fail("POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)");

    if (starts_with_any(lines[next], "sS")) {
        ++next;
        if (next >= lines.size()) return fail("POSCAR ends before the coordinates");
    }
    const bool cartesian = starts_with_any(lines[next], "CcKk");
    const std::size_t first = next + 1;

    std::uint64_t total = 0;
    for (std::uint64_t count : counts) {
        if (count > std::numeric_limits<std::uint64_t>::max() - total)
            return fail("POSCAR atom counts add up to more than 18446744073709551615 atoms");
        total += count;
    }

    // Reserve only for the coordinate lines that are present.
    const std::uint64_t present = lines.size() > first ? lines.size() - first : 0;
    std::vector<Site> sites;
    sites.reserve(static_cast<std::size_t>(std::min(total, present)));
    const Mat3& inv = lattice->inverse();
    std::size_t block = 0;
    std::uint64_t left_in_block = counts.empty() ? 0 : counts[0];
    for (std::uint64_t k = 0; k < total; ++k) {
        if (k >= present)
            return fail("POSCAR ends after ", std::to_string(k), " of ", std::to_string(total), " coordinates");
        while (left_in_block == 0) left_in_block = counts[++block];
        --left_in_block;
        const auto tokens = split_whitespace(lines[first + k]);
        if (tokens.size() < 3) return fail("coordinate line ", std::to_string(k + 1), " is incomplete");
        auto xyz = read_three(tokens, 0);
        if (!xyz) return std::move(xyz).error();
        Vec3 frac = *xyz;
        if (cartesian) frac = cartesian_to_fractional(inv, s * frac[0], s * frac[1], s * frac[2]);
        sites.push_back(single_atom_site(frac, clean_symbol(names[block])));
    }
    return Structure::create(std::move(*lattice), std::move(sites));
}

}  // namespace molvane
