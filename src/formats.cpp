// POSCAR/CONTCAR and extended XYZ readers.
#include "formats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "lattice.hpp"
#include "text.hpp"  // for split_lines, split_whitespace, parse_decimal, parse_count

namespace molvane {

namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Cartesian (x, y, z) to fractional: the row vector times the inverse,
// summed from the last axis to the first.
Vec3 cartesian_to_fractional(const Mat3& inv, double x, double y, double z) {
    Vec3 f;
    for (int j = 0; j < 3; ++j) f[j] = (z * inv[2][j] + y * inv[1][j]) + x * inv[0][j];
    return f;
}

// A site holding one species with occupancy 1.
Site single_atom_site(const Vec3& frac, std::string symbol) {
    Site site;
    site.frac_coords = frac;
    site.species.emplace_back(std::move(symbol), 1.0);
    return site;
}

// True when the first non-whitespace character of `line` is one of `chars`.
bool starts_with_any(std::string_view line, std::string_view chars) {
    std::string_view rest = trim_start(line);
    return !rest.empty() && chars.find(rest.front()) != std::string_view::npos;
}

// Reads the first three tokens of a line as numbers.
Result<Vec3> read_three(const std::vector<std::string_view>& tokens, std::size_t first) {
    Vec3 v;
    for (std::size_t i = 0; i < 3; ++i) {
        auto value = parse_f64(tokens[first + i]);
        if (!value) return std::move(value).error();
        v[i] = *value;
    }
    return v;
}

}  // namespace

Result<double> parse_f64(std::string_view token) {
    if (auto value = parse_decimal(token)) return *value;
    return fail("expected a number, found '", token, "'");
}

std::string clean_symbol(std::string_view token) {
    if (token.empty() || !is_ascii_letter(token[0])) return std::string(token);
    std::string symbol(1, token[0]);
    if (symbol[0] >= 'a' && symbol[0] <= 'z') symbol[0] = static_cast<char>(symbol[0] - 'a' + 'A');
    if (token.size() > 1 && token[1] >= 'a' && token[1] <= 'z') symbol.push_back(token[1]);
    return symbol;
}

Result<Structure> parse_poscar(std::string_view text) {
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

Result<Structure> parse_extxyz(std::string_view text) {
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
