// Extended XYZ frames: the items of the comment line (Lattice, Properties,
// pbc), the atom lines, and the single-structure reader built on them. The
// trajectory reader shares every piece except the search for the cell.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/atom_lines.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// The value of `key` in a comment line: keys match without regard to ASCII
// case and must start the line or follow a space, tab, line feed, form feed
// or carriage return; a value in double or single quotes runs to the next
// such quote (or the end of the line), an array in [ ] or { } to its
// closing bracket, a bare one to the next whitespace.
std::optional<std::string_view> comment_value(std::string_view comment, std::string_view key);

// The cell from the nine numbers of a Lattice value (rows a, b, c), written
// apart by whitespace or by commas ("1, 0, 0, 0, 1, ...").
Result<Lattice> lattice_from_text(std::string_view text);

// What a frame's comment line says about its atom lines: the species column,
// the first of the three position columns (Properties=), and the periodic
// directions (pbc=; all periodic when absent).
struct FrameLayout {
    std::uint64_t species = 0;
    std::uint64_t pos = 1;
    Pbc pbc = all_periodic;

    // Tokens an atom line needs (held at 2^64 - 1 instead of wrapping).
    std::uint64_t tokens_needed() const;
};

// Fails with the Properties messages ("cannot read Properties=...", "bad
// column count in Properties=...", "Properties=... names no species or pos
// column") or "cannot read pbc=...".
Result<FrameLayout> frame_layout(std::string_view comment);

// Cartesian to fractional in the summation order a reader has always used:
// the two orders can differ in the last bit, and each reader keeps its
// coordinates' bits.
enum class ToFractional { last_axis_first, first_axis_first };

// The sites of a frame's atom lines, one atom per line, starting from the
// symbols of the structure `symbols` read last. A line with too few tokens
// fails with "atom line K is incomplete", prefixed by "frame I, " when
// `frame` is given.
Result<Sites> read_atom_lines(std::span<const std::string_view> lines, const FrameLayout& layout,
                              const Lattice& lattice, ToFractional order, std::optional<std::uint64_t> frame,
                              SpeciesSymbols& symbols);

// One structure from the first frame of an extended XYZ text, whose comment
// line must hold Lattice="..." (or lattice="...", or either in single quotes). What was skipped or
// guessed (later frames, species in capitals) goes to `notes` when given.
Result<Structure> parse_extxyz(std::string_view text, ReadNotes* notes = nullptr);

}  // namespace molvane
