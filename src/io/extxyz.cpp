// Extended XYZ frames and the single-structure reader.
#include "io/extxyz.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/number.hpp"  // for parse_f64, parse_count
#include "core/numeric.hpp"  // for saturating_add
#include "core/text.hpp"  // for split_lines, split_whitespace_into, trim

namespace molvane {

namespace {

// Bytes before a key that let it start a new item of the comment line.
bool is_key_boundary(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The items of a Lattice or pbc value: words apart by whitespace or, when the
// value holds a comma, by commas with whitespace around them allowed. An item
// with nothing between two commas is an empty word.
void value_words(std::string_view value, std::vector<std::string_view>& words) {
    if (value.find(',') == std::string_view::npos) return split_whitespace_into(value, words);
    words.clear();
    std::vector<std::string_view> piece_words;
    for (std::size_t from = 0;;) {
        const std::size_t comma = value.find(',', from);
        const std::string_view piece = value.substr(from, comma == std::string_view::npos ? comma : comma - from);
        split_whitespace_into(piece, piece_words);
        if (piece_words.empty()) words.push_back(std::string_view());
        words.insert(words.end(), piece_words.begin(), piece_words.end());
        if (comma == std::string_view::npos) return;
        from = comma + 1;
    }
}

// Species and position columns from the Properties item (name:type:count
// triples); the species column must hold one token and pos three.
Result<FrameLayout> read_properties(std::string_view comment) {
    FrameLayout layout;
    auto value = comment_value(comment, "Properties");
    if (!value) return layout;
    std::vector<std::string_view> pieces;
    for (std::size_t from = 0;;) {
        const std::size_t colon = value->find(':', from);
        pieces.push_back(value->substr(from, colon == std::string_view::npos ? colon : colon - from));
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    if (pieces.size() % 3 != 0) return fail("cannot read Properties=", *value);
    std::optional<std::uint64_t> species, pos;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < pieces.size(); i += 3) {
        const std::string name = ascii_lower(pieces[i]);
        auto count = parse_count(pieces[i + 2]);
        if (!count) return fail("bad column count in Properties=", *value);
        const bool is_species = name == "species" || name == "element" || name == "elements" || name == "symbols";
        const bool is_pos = name == "pos" || name == "positions";
        if ((is_species && *count != 1) || (is_pos && *count != 3))
            return fail("bad column count in Properties=", *value);
        if (is_species) species = offset;
        if (is_pos) pos = offset;
        offset = saturating_add(offset, *count);
    }
    if (!species || !pos) return fail("Properties=", *value, " names no species or pos column");
    layout.species = *species;
    layout.pos = *pos;
    return layout;
}

// The periodic directions from the pbc item: three flags, or one for all
// three, each T, F, True, False, 1 or 0 in any case.
Result<Pbc> read_pbc(std::string_view comment) {
    auto value = comment_value(comment, "pbc");
    if (!value) return all_periodic;
    std::vector<std::string_view> words;
    value_words(*value, words);
    Pbc pbc;
    bool ok = words.size() == 1 || words.size() == 3;
    for (std::size_t i = 0; ok && i < words.size(); ++i) {
        const std::string word = ascii_lower(words[i]);
        if (word == "t" || word == "true" || word == "1") pbc[i] = true;
        else if (word == "f" || word == "false" || word == "0") pbc[i] = false;
        else ok = false;
    }
    if (!ok) return fail("cannot read pbc=", *value, "; expected T or F for each of the cell vectors a, b, c");
    if (words.size() == 1) pbc = {pbc[0], pbc[0], pbc[0]};
    return pbc;
}

// The species token and the position of an atom line, in one pass over its
// bytes, when the tokens it needs are ASCII and its coordinates plain
// decimals; false sends the line to the general reading (split into
// words, every number form), which gives the same result for the lines
// read here and the messages for the rest.
bool read_plain_atom_line(std::string_view line, const FrameLayout& layout, std::string_view& species, Vec3& cart) {
    const char* p = line.data();
    const char* const end = p + line.size();
    const std::uint64_t needed = layout.tokens_needed();
    for (std::uint64_t t = 0; t < needed; ++t) {
        while (p < end && is_ascii_space(*p)) ++p;
        if (p == end) return false;
        if (t - layout.pos < 3) {
            p = scan_small_decimal(p, end, cart[t - layout.pos]);
            if (!p || (p < end && !is_ascii_space(*p))) return false;
            continue;
        }
        const char* start = p;
        for (; p < end && !is_ascii_space(*p); ++p)
            if (static_cast<unsigned char>(*p) >= 0x80) return false;
        if (t == layout.species) species = std::string_view(start, static_cast<std::size_t>(p - start));
    }
    return true;
}

// The number of whole frames that follow line `from`, as the trajectory
// reader finds them (blank lines before a count line skipped), and the number
// of non-blank lines after them that form no whole frame.
std::pair<std::uint64_t, std::uint64_t> frames_after(const std::vector<std::string_view>& lines, std::size_t from) {
    std::uint64_t frames = 0;
    std::size_t i = from;
    for (;;) {
        while (i < lines.size() && trim(lines[i]).empty()) ++i;
        if (i == lines.size()) return {frames, 0};
        auto count = parse_count(trim(lines[i]));
        const std::size_t after_count = lines.size() - i - 1;
        if (!count || *count >= after_count) break;
        i += static_cast<std::size_t>(*count) + 2;
        ++frames;
    }
    const auto rest = std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end(),
                                    [](std::string_view line) { return !trim(line).empty(); });
    return {frames, static_cast<std::uint64_t>(rest)};
}

// Where the value of the first "Lattice=" followed by a double or single
// quote (or, failing that, of "lattice=") starts, and that quote.
std::optional<std::pair<std::size_t, char>> quoted_lattice(std::string_view comment) {
    for (std::string_view key : {std::string_view("Lattice="), std::string_view("lattice=")}) {
        for (std::size_t at = comment.find(key); at != std::string_view::npos; at = comment.find(key, at + 1)) {
            const std::size_t open = at + key.size();
            if (open < comment.size() && (comment[open] == '"' || comment[open] == '\''))
                return std::make_pair(open + 1, comment[open]);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string_view> comment_value(std::string_view comment, std::string_view key) {
    const std::string lowered = ascii_lower(comment);
    const std::string pattern = ascii_lower(key) + "=";
    std::size_t from = 0, value_start;
    for (;;) {
        const std::size_t at = lowered.find(pattern, from);
        if (at == std::string::npos) return std::nullopt;
        if (at == 0 || is_key_boundary(lowered[at - 1])) {
            value_start = at + pattern.size();
            break;
        }
        from = at + pattern.size();
    }
    std::string_view rest = comment.substr(value_start);
    if (rest.empty()) return rest;
    if (rest.front() == '"' || rest.front() == '\'') {
        const char quote = rest.front();
        rest.remove_prefix(1);
        return rest.substr(0, rest.find(quote));
    }
    if (rest.front() == '[' || rest.front() == '{') {  // an array: "pbc=[T, T, F]"
        const char close = rest.front() == '[' ? ']' : '}';
        rest.remove_prefix(1);
        return rest.substr(0, rest.find(close));
    }
    for (std::size_t i = 0; i < rest.size();) {
        std::size_t len;
        if (is_unicode_space(decode_utf8(rest, i, len))) return rest.substr(0, i);
        i += len;
    }
    return rest;
}

Result<Lattice> lattice_from_text(std::string_view text) {
    std::vector<std::string_view> words;
    value_words(text, words);
    std::vector<double> numbers;
    for (std::string_view word : words) {
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

std::uint64_t FrameLayout::tokens_needed() const { return saturating_add(std::max(species, saturating_add(pos, 2)), 1); }

Result<FrameLayout> frame_layout(std::string_view comment) {
    auto layout = read_properties(comment);
    if (!layout) return layout;
    auto pbc = read_pbc(comment);
    if (!pbc) return std::move(pbc).error();
    layout->pbc = *pbc;
    return layout;
}

namespace {

// read_atom_lines with the conversion known here, so that it is inlined.
template <ToFractional order>
Result<Sites> read_atom_lines_with(std::span<const std::string_view> lines, const FrameLayout& layout,
                                   const Lattice& lattice, std::optional<std::uint64_t> frame,
                                   SpeciesSymbols& symbols) {
    const std::uint64_t needed = layout.tokens_needed();
    Sites sites = symbols.start_sites();
    sites.reserve(lines.size(), lines.size());
    TokenSymbols symbol_of(symbols, sites);
    std::vector<std::string_view> tokens;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string_view species;
        Vec3 cart;
        if (!read_plain_atom_line(lines[k], layout, species, cart)) {
            split_whitespace_into(lines[k], tokens);
            if (tokens.size() < needed) {
                const std::string where = frame ? "frame " + std::to_string(*frame) + ", " : std::string();
                return fail(where, "atom line ", std::to_string(k + 1), " is incomplete");
            }
            auto read = read_three(tokens, layout.pos);
            if (!read) return std::move(read).error();
            species = tokens[layout.species];
            cart = *read;
        }
        const Vec3 frac = order == ToFractional::first_axis_first
                              ? lattice.to_fractional(cart)
                              : cartesian_to_fractional(lattice.inverse(), cart[0], cart[1], cart[2]);
        sites.add_atom(frac, symbol_of(species));
    }
    return sites;
}

}  // namespace

Result<Sites> read_atom_lines(std::span<const std::string_view> lines, const FrameLayout& layout,
                              const Lattice& lattice, ToFractional order, std::optional<std::uint64_t> frame,
                              SpeciesSymbols& symbols) {
    if (order == ToFractional::first_axis_first)
        return read_atom_lines_with<ToFractional::first_axis_first>(lines, layout, lattice, frame, symbols);
    return read_atom_lines_with<ToFractional::last_axis_first>(lines, layout, lattice, frame, symbols);
}

Result<Structure> parse_extxyz(std::string_view text, ReadNotes* notes) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 2) return fail("XYZ file is too short");
    auto declared = parse_count(trim(lines[0]));
    if (!declared) return fail("first line of an XYZ file must be the atom count");
    const std::uint64_t n = *declared;

    // The cell: the first "Lattice=" with a quoted value (or, failing that,
    // "lattice="), anywhere on line 2.
    const std::string_view comment = lines[1];
    const auto start = quoted_lattice(comment);
    if (!start)
        return fail("this XYZ file has no Lattice=\"...\" field, so it has no cell and no periodic RDF can be computed");
    const auto [open, quote] = *start;
    const std::size_t close = comment.find(quote, open);
    if (close == std::string_view::npos) return fail("unterminated Lattice=\"...\" field");
    auto lattice = lattice_from_text(comment.substr(open, close - open));
    if (!lattice) return std::move(lattice).error();
    auto layout = frame_layout(comment);
    if (!layout) return std::move(layout).error();

    // Only the atom lines that are present are read (and reserved for).
    const std::uint64_t present = lines.size() - 2;
    const auto atom_lines = std::span(lines).subspan(2, static_cast<std::size_t>(std::min(n, present)));
    SpeciesSymbols symbols;
    auto sites = read_atom_lines(atom_lines, *layout, *lattice, ToFractional::last_axis_first, std::nullopt, symbols);
    if (!sites) return std::move(sites).error();
    if (present < n)
        return fail("XYZ ends after ", std::to_string(present), " of ", std::to_string(n), " atoms");
    auto structure = Structure::create(std::move(*lattice), std::move(*sites), layout->pbc);
    if (structure && notes) {
        const auto [frames, rest] = frames_after(lines, 2 + static_cast<std::size_t>(n));
        if (frames > 0)
            notes->add("the XYZ text holds ", std::to_string(frames), frames == 1 ? " more frame" : " more frames",
                       " after the first; only the first is read (read_xyz_trajectory reads them all)");
        if (rest > 0)
            notes->add("ignored ", std::to_string(rest), rest == 1 ? " line" : " lines",
                       " after the atom lines that form no XYZ frame");
        symbols.report(*notes);
    }
    return structure;
}

}  // namespace molvane
