// Single-structure extended XYZ reader and the Lattice="..." value it shares
// with the trajectory reader.
#include "io/extxyz.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/elements.hpp"  // for clean_symbol
#include "core/text.hpp"  // for split_lines, split_whitespace, parse_f64, parse_count
#include "io/atom_lines.hpp"

namespace molvane {

Result<Lattice> lattice_from_text(std::string_view text) {
    std::vector<double> numbers;
    for (std::string_view word : split_whitespace(text)) {
        auto value = parse_f64(word);
        if (!value) return std::move(value).error();
        numbers.push_back(*value);
    }
    if (numbers.size() != 9)
        return fail("Lattice=\"...\" must hold 9 numbers, found ", std::to_string(numbers.size()));
    Mat3 m;
    for (std::size_t i = 0; i < 9; ++i) m[i / 3][i % 3] = numbers[i];
    return Lattice::create(m);
}

Result<Structure> parse_extxyz(std::string_view text, ReadNotes* /*notes*/) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 2) return fail("XYZ file is too short");
    auto declared = parse_count(trim(lines[0]));
    if (!declared) return fail("first line of an XYZ file must be the atom count");
    const std::uint64_t n = *declared;

    // The cell: the first "Lattice=\"" (or, failing that, "lattice=\""), anywhere on line 2.
    const std::string_view comment = lines[1];
    std::size_t at = comment.find("Lattice=\"");
    if (at == std::string_view::npos) at = comment.find("lattice=\"");
    if (at == std::string_view::npos)
        return fail("this XYZ file has no Lattice=\"...\" field, so it has no cell and no periodic RDF can be computed");
    const std::size_t open = at + 9;
    const std::size_t close = comment.find('"', open);
    if (close == std::string_view::npos) return fail("unterminated Lattice=\"...\" field");
    auto lattice = lattice_from_text(comment.substr(open, close - open));
    if (!lattice) return std::move(lattice).error();

    // Reserve only for the atom lines that are present.
    const std::uint64_t present = lines.size() - 2;
    std::vector<Site> sites;
    sites.reserve(static_cast<std::size_t>(std::min(n, present)));
    const Mat3& inv = lattice->inverse();
    for (std::uint64_t k = 0; k < n; ++k) {
        if (k >= present)
            return fail("XYZ ends after ", std::to_string(k), " of ", std::to_string(n), " atoms");
        const auto tokens = split_whitespace(lines[2 + k]);
        if (tokens.size() < 4) return fail("atom line ", std::to_string(k + 1), " is incomplete");
        auto xyz = read_three(tokens, 1);
        if (!xyz) return std::move(xyz).error();
        const Vec3& c = *xyz;
        sites.push_back(single_atom_site(cartesian_to_fractional(inv, c[0], c[1], c[2]), clean_symbol(tokens[0])));
    }
    return Structure::create(std::move(*lattice), std::move(sites));
}

}  // namespace molvane
