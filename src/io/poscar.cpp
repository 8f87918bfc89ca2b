// VASP POSCAR/CONTCAR reader (VASP 4 and 5 layouts).
#include "io/poscar.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/elements.hpp"  // for is_element_symbol
#include "core/lattice.hpp"
#include "core/number.hpp"  // for parse_decimal, parse_f64, parse_count
#include "core/text.hpp"  // for split_lines, trim_start, split_whitespace_into
#include "io/atom_lines.hpp"

namespace molvane {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// True when the first non-whitespace character of `line` is one of `chars`.
bool starts_with_any(std::string_view line, std::string_view chars) {
    std::string_view rest = trim_start(line);
    return !rest.empty() && chars.find(rest.front()) != std::string_view::npos;
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_ascii_letter(c) || is_digit(c); }

// A word of decoration ("#", "!", "--") holds no ASCII letter or digit.
bool is_decoration(std::string_view word) {
    for (char c : word)
        if (is_alnum(c)) return false;
    return true;
}

// The element a word names when it is an element symbol in any case ("Fe",
// "fe", "FE"), alone or followed by something that starts with no letter
// ("Fe_pv", "O1", "Mn12", "Fe2+"), but not a formula ("H2O"). "iron",
// "POSCAR" and "generated" name none.
std::optional<std::string> species_word(std::string_view word) {
    std::size_t letters = 0;
    while (letters < word.size() && is_ascii_letter(word[letters])) ++letters;
    if (letters == 0 || letters > 2) return std::nullopt;
    const std::string_view rest = word.substr(letters);
    if (!rest.empty() && is_digit(rest.front()))
        for (char c : rest)
            if (is_upper(c)) return std::nullopt;
    std::string symbol(1, static_cast<char>(word[0] & ~0x20));
    if (letters == 2) symbol.push_back(static_cast<char>(word[1] | 0x20));
    if (!is_element_symbol(symbol)) return std::nullopt;
    return symbol;
}

// The elements and counts of a compact formula such as "Fe4P4O16" or "BN"
// (symbols in their proper case, each element once, an omitted count 1).
std::optional<std::vector<std::pair<std::string, std::uint64_t>>> parse_formula(std::string_view word) {
    std::vector<std::pair<std::string, std::uint64_t>> parts;
    std::size_t i = 0;
    while (i < word.size()) {
        if (!is_upper(word[i])) return std::nullopt;
        std::string symbol(1, word[i++]);
        if (i < word.size() && is_lower(word[i])) symbol.push_back(word[i++]);
        if (!is_element_symbol(symbol)) return std::nullopt;
        for (const auto& part : parts)
            if (part.first == symbol) return std::nullopt;
        const std::size_t digits = i;
        while (i < word.size() && is_digit(word[i])) ++i;
        std::uint64_t count = 1;
        if (i > digits) {
            auto read = parse_count(word.substr(digits, i - digits));
            if (!read || *read == 0) return std::nullopt;
            count = *read;
        }
        parts.emplace_back(std::move(symbol), count);
    }
    return parts;
}

// True when the counts are in the proportions of the formula's (all non-zero).
bool counts_match(const std::vector<std::pair<std::string, std::uint64_t>>& formula,
                  const std::vector<std::uint64_t>& counts) {
    if (formula.size() != counts.size() || counts.empty()) return false;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] == 0) return false;
        const auto lhs = static_cast<unsigned __int128>(counts[i]) * formula[0].second;
        if (lhs != static_cast<unsigned __int128>(counts[0]) * formula[i].second) return false;
    }
    return true;
}

// Species of a VASP 4 file, which has no line of species names, and where
// they were found.
struct Vasp4Species {
    std::vector<std::string> names;
    std::string source;
};

// The first words of the comment line, one per count, when every one of them
// is an element symbol (decoration such as "#" passed over).
std::optional<Vasp4Species> species_from_comment_words(const std::vector<std::string_view>& words,
                                                       std::size_t wanted) {
    Vasp4Species found{{}, "the comment line"};
    for (std::string_view word : words) {
        if (found.names.size() == wanted) break;
        if (is_decoration(word)) continue;
        auto symbol = species_word(word);
        if (!symbol) return std::nullopt;
        found.names.push_back(std::move(*symbol));
    }
    if (found.names.size() != wanted) return std::nullopt;
    return found;
}

// The one compact formula on the comment line whose counts are in the
// proportions of the count line.
std::optional<Vasp4Species> species_from_formula(const std::vector<std::string_view>& words,
                                                 const std::vector<std::uint64_t>& counts) {
    std::optional<Vasp4Species> found;
    for (std::string_view word : words) {
        while (!word.empty() && !is_alnum(word.front())) word.remove_prefix(1);
        while (!word.empty() && !is_alnum(word.back())) word.remove_suffix(1);
        auto formula = parse_formula(word);
        if (!formula || !counts_match(*formula, counts)) continue;
        Vasp4Species candidate{{}, "the formula '" + std::string(word) + "' on the comment line"};
        for (auto& part : *formula) candidate.names.push_back(std::move(part.first));
        if (found && found->names != candidate.names) return std::nullopt;
        if (!found) found = std::move(candidate);
    }
    return found;
}

// The element symbols written after the coordinates (and after the three
// selective-dynamics flags), when every atom has one and all atoms of each
// count block share theirs. Decoration such as "#" before a symbol is passed
// over ("0 0 0 # K1").
std::optional<Vasp4Species> species_after_coordinates(const std::vector<std::string_view>& lines, std::size_t first,
                                                      const std::vector<std::uint64_t>& counts, std::uint64_t total,
                                                      bool selective) {
    if (total == 0 || first > lines.size() || total > lines.size() - first) return std::nullopt;
    Vasp4Species found{{}, "the symbols after the coordinates"};
    std::vector<std::string_view> tokens;
    std::size_t line = first;
    for (std::uint64_t count : counts) {
        std::optional<std::string> block;
        for (std::uint64_t k = 0; k < count; ++k) {
            split_whitespace_into(lines[line++], tokens);
            std::size_t at = selective ? 6 : 3;
            while (at < tokens.size() && is_decoration(tokens[at])) ++at;
            if (at >= tokens.size()) return std::nullopt;
            auto symbol = species_word(tokens[at]);
            if (!symbol || (block && *block != *symbol)) return std::nullopt;
            block = std::move(symbol);
        }
        found.names.push_back(block ? std::move(*block) : std::string("?"));
    }
    return found;
}

// "Fe, O" for a note; long lists are cut after eight names.
std::string name_list(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < 8; ++i) list += (i ? ", " : "") + names[i];
    if (names.size() > 8) list += ", ... (" + std::to_string(names.size()) + " in all)";
    return list;
}

// The scale factors of line 2: one number (negative for the cell volume), or
// three positive numbers scaling the x, y and z components. Only the first
// token is read unless the first three are all numbers.
struct Scale {
    double s;
    std::optional<Vec3> axes;
};

Result<Scale> read_scale(const std::vector<std::string_view>& tokens) {
    auto first = parse_f64(tokens.empty() ? std::string_view() : tokens[0]);
    if (!first) return std::move(first).error();
    Scale scale{*first, std::nullopt};
    const bool second = tokens.size() >= 2 && parse_decimal(tokens[1]);
    if (!second) return scale;
    if (tokens.size() < 3 || !parse_decimal(tokens[2]))
        return fail("POSCAR scale line holds two numbers; give one scale factor or three");
    Vec3 axes{*first, *parse_decimal(tokens[1]), *parse_decimal(tokens[2])};
    for (double v : axes)
        if (!(v > 0)) return fail("POSCAR gives three scale factors, which must all be positive");
    scale.axes = axes;
    return scale;
}

// The scaled cell of lines 2 to 5 and the factors that scaled each Cartesian
// component (also applied to Cartesian coordinates).
struct Cell {
    Lattice lattice;
    Vec3 axis_scale;
};

Result<Cell> read_cell(const std::vector<std::string_view>& lines, std::vector<std::string_view>& tokens) {
    split_whitespace_into(lines[1], tokens);
    auto scale_read = read_scale(tokens);
    if (!scale_read) return std::move(scale_read).error();
    double s = scale_read->s;
    Mat3 m;
    for (std::size_t k = 0; k < 3; ++k) {
        split_whitespace_into(lines[2 + k], tokens);
        if (tokens.size() < 3) return fail("lattice vector ", std::to_string(k + 1), " is incomplete");
        auto row = read_three(tokens, 0);
        if (!row) return std::move(row).error();
        m[k] = *row;
    }
    // A negative scale is the wanted cell volume (of either handedness).
    if (!scale_read->axes && s < 0) {
        auto unscaled = Lattice::create(m);
        if (!unscaled) return std::move(unscaled).error();
        s = std::cbrt(-s / std::abs(Lattice::determinant_of(m)));
    }
    const Vec3 axis_scale = scale_read->axes ? *scale_read->axes : Vec3{s, s, s};
    for (auto& row : m)
        for (std::size_t j = 0; j < 3; ++j) row[j] *= axis_scale[j];
    auto lattice = Lattice::create(m);
    if (!lattice) return std::move(lattice).error();
    return Cell{std::move(*lattice), axis_scale};
}

// The atom counts of one line and their total (the largest count when the
// sum does not fit, with `overflow` set).
struct Counts {
    std::vector<std::uint64_t> counts;
    std::uint64_t total = 0;
    bool overflow = false;
};

Result<Counts> read_counts(const std::vector<std::string_view>& tokens) {
    Counts out;
    for (std::string_view token : tokens) {
        auto count = parse_count(token);
        if (!count) return fail("bad atom count '", token, "'");
        out.counts.push_back(*count);
    }
    for (std::uint64_t count : out.counts) {
        out.overflow = out.overflow || count > u64_max - out.total;
        out.total = out.overflow ? u64_max : out.total + count;
    }
    return out;
}

constexpr std::string_view unnamed =
    "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)";

// One species name per count: from the names line (VASP 5), else from where a
// VASP 4 file names them; notes say where they came from or what was ignored.
Result<std::vector<std::string>> species_names(const std::vector<std::string_view>& lines,
                                               const std::vector<std::string_view>& line6, bool vasp4,
                                               const Counts& c, std::size_t first, bool selective,
                                               SpeciesSymbols& symbols, ReadNotes* notes) {
    std::vector<std::string> names;
    if (vasp4) {
        std::vector<std::string_view> words;
        split_whitespace_into(lines[0], words);
        auto found = species_from_comment_words(words, c.counts.size());
        if (!found) found = species_from_formula(words, c.counts);
        if (!found) found = species_after_coordinates(lines, first, c.counts, c.total, selective);
        if (!found) return fail(unnamed);
        if (notes)
            notes->add("POSCAR has no line of species names; read ", name_list(found->names), " from ",
                       found->source);
        return std::move(found->names);
    }
    if (c.counts.size() > line6.size()) return fail(unnamed);
    for (std::size_t i = 0; i < c.counts.size(); ++i) {
        if (!species_word(line6[i]))
            return fail("POSCAR species name '", line6[i],
                        "' is not an element symbol (alone or followed by a suffix such as _pv or /1a2b)");
        names.push_back(symbols(line6[i], c.counts[i]));
    }
    if (notes && line6.size() > c.counts.size()) {
        std::vector<std::string> ignored(line6.begin() + static_cast<std::ptrdiff_t>(c.counts.size()), line6.end());
        notes->add("POSCAR names ", std::to_string(line6.size()), " species for ", std::to_string(c.counts.size()),
                   c.counts.size() == 1 ? " atom count" : " atom counts", "; ignored ", name_list(ignored));
    }
    return names;
}

// The sites of the coordinate lines from `first` on, each with the species of
// its count block; Cartesian coordinates are scaled and made fractional.
Result<Sites> read_sites(const std::vector<std::string_view>& lines, std::size_t first, const Counts& c,
                         const std::vector<std::string>& names, const Cell& cell, bool cartesian,
                         std::vector<std::string_view>& tokens) {
    // Reserve only for the coordinate lines that are present.
    const std::uint64_t present = lines.size() > first ? lines.size() - first : 0;
    Sites sites;
    const auto reserved = static_cast<std::size_t>(std::min(c.total, present));
    sites.reserve(reserved, reserved);
    std::vector<std::uint32_t> symbol;
    for (const std::string& name : names) symbol.push_back(sites.symbol_index(name));
    const Mat3& inv = cell.lattice.inverse();
    const Vec3& scale = cell.axis_scale;
    std::size_t block = 0;
    std::uint64_t left_in_block = c.counts.empty() ? 0 : c.counts[0];
    for (std::uint64_t k = 0; k < c.total; ++k) {
        if (k >= present)
            return fail("POSCAR ends after ", std::to_string(k), " of ", std::to_string(c.total), " coordinates");
        while (left_in_block == 0) left_in_block = c.counts[++block];
        --left_in_block;
        split_whitespace_into(lines[first + k], tokens);
        if (tokens.size() < 3) return fail("coordinate line ", std::to_string(k + 1), " is incomplete");
        auto xyz = read_three(tokens, 0);
        if (!xyz) return std::move(xyz).error();
        Vec3 frac = *xyz;
        if (cartesian)
            frac = cartesian_to_fractional(inv, scale[0] * frac[0], scale[1] * frac[1], scale[2] * frac[2]);
        sites.add_atom(frac, symbol[block]);
    }
    return sites;
}

}  // namespace

Result<Structure> parse_poscar(std::string_view text, ReadNotes* notes) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 8) return fail("POSCAR is too short to contain a structure");
    std::vector<std::string_view> tokens;
    auto cell = read_cell(lines, tokens);
    if (!cell) return std::move(cell).error();

    // Species names and counts: VASP 5 has a names line above the counts;
    // VASP 4 has none and names its species elsewhere, if at all.
    std::vector<std::string_view> line6;
    split_whitespace_into(lines[5], line6);
    const bool vasp4 = line6.empty() || parse_count(line6[0]);
    const std::size_t counts_line = vasp4 ? 5 : 6;
    split_whitespace_into(lines[counts_line], tokens);
    auto counts = read_counts(tokens);
    if (!counts) return std::move(counts).error();
    std::size_t next = counts_line + 1;
    const bool selective = starts_with_any(lines[next], "sS");
    const std::size_t first = next + (selective ? 2 : 1);  // the first coordinate line

    SpeciesSymbols symbols;
    auto names = species_names(lines, line6, vasp4, *counts, first, selective, symbols, notes);
    if (!names) return std::move(names).error();
    if (selective) {
        ++next;
        if (next >= lines.size()) return fail("POSCAR ends before the coordinates");
    }
    const bool cartesian = starts_with_any(lines[next], "CcKk");
    if (counts->overflow) return fail("POSCAR atom counts add up to more than 18446744073709551615 atoms");

    auto sites = read_sites(lines, first, *counts, *names, *cell, cartesian, tokens);
    if (!sites) return std::move(sites).error();
    auto structure = Structure::create(std::move(cell->lattice), std::move(*sites));
    if (structure && notes) symbols.report(*notes);
    return structure;
}

}  // namespace molvane
