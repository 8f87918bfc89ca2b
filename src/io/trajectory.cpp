// Multi-frame XYZ trajectory reader. Frames are read one after another; only
// the atom lines of the frame being parsed are held, and frames that are not
// selected are passed over line by line.
#include "io/trajectory.hpp"

#include <algorithm>
#include <cstring>

#include "core/number.hpp"  // for parse_count
#include "core/text.hpp"  // for trim, ascii_prefix, is_valid_utf8
#include "io/extxyz.hpp"  // for comment_value, lattice_from_text, frame_layout, read_atom_lines

namespace molvane {

namespace {

// The frame's cell: its Lattice item, else the caller's cell.
Result<Lattice> frame_lattice(std::string_view comment, const std::optional<Mat3>& cell, std::uint64_t index) {
    if (auto value = comment_value(comment, "Lattice")) return lattice_from_text(*value);
    if (cell) return Lattice::create(*cell);
    return fail("frame ", std::to_string(index),
                " has no Lattice=\"...\" and no cell was given; an RDF of a periodic system needs the cell, "
                "so pass cell=[[a],[b],[c]]");
}

// The head of a frame: blank lines skipped, its count line (and where it
// starts) and its comment line.
struct FrameHead {
    std::uint64_t offset;
    std::uint64_t atoms;
};

// Reads the comment line of frame `index` into `comment`.
Result<bool> read_comment(LineReader& reader, std::uint64_t index, std::string& comment) {
    auto line = reader.next("the comment line");
    if (!line) return std::move(line).error();
    if (!*line) return fail("frame ", std::to_string(index), " ends before its comment line");
    comment.assign(**line);
    return true;
}

// Reads the head of frame `index`; nothing at the end of the file. The
// comment line goes to `comment`.
Result<std::optional<FrameHead>> read_head(LineReader& reader, std::uint64_t index, std::string& comment) {
    std::uint64_t offset;
    std::string_view count_text;
    for (;;) {
        offset = reader.offset();
        auto line = reader.next("the atom count");
        if (!line) return std::move(line).error();
        if (!*line) return std::optional<FrameHead>();
        count_text = trim(**line);
        if (!count_text.empty()) break;
    }
    auto count = parse_count(count_text);
    if (!count) return fail("frame ", std::to_string(index), ": expected an atom count, found '", count_text, "'");
    auto read = read_comment(reader, index, comment);
    if (!read) return std::move(read).error();
    return std::optional<FrameHead>(FrameHead{offset, *count});
}

Error ends_early(std::uint64_t index, std::uint64_t got, std::uint64_t atoms) {
    return fail("frame ", std::to_string(index), " ends after ", std::to_string(got), " of ", std::to_string(atoms),
                " atoms");
}

// Reads the atom lines of a frame whose head was read and builds it.
Result<Structure> read_body(LineReader& reader, std::uint64_t index, std::uint64_t atoms, const std::string& comment,
                            const std::optional<Mat3>& cell, SpeciesSymbols& symbols,
                            std::vector<std::string_view>& lines) {
    auto got = reader.gather(atoms, lines, "an atom line");
    if (!got) return std::move(got).error();
    if (*got < atoms) return ends_early(index, *got, atoms);
    return build_frame(comment, lines, cell, index, symbols);
}

Error changed(std::uint64_t index, std::string_view what) {
    return fail("frame ", std::to_string(index), ": the file changed since it was indexed (", what,
                "); index it again");
}

}  // namespace

// --- frames ---

Result<Structure> build_frame(std::string_view comment, std::span<const std::string_view> atom_lines,
                              const std::optional<Mat3>& cell, std::uint64_t index, SpeciesSymbols& symbols) {
    auto lattice = frame_lattice(comment, cell, index);
    if (!lattice) return std::move(lattice).error();
    auto layout = frame_layout(comment);
    if (!layout) return std::move(layout).error();
    auto sites = read_atom_lines(atom_lines, *layout, *lattice, ToFractional::first_axis_first, index, symbols);
    if (!sites) return std::move(sites).error();
    auto structure = Structure::create(std::move(*lattice), std::move(*sites), layout->pbc);
    if (structure) symbols.keep_symbols(*structure);
    return structure;
}

Result<bool> check_selected(std::uint64_t frames_read, std::uint64_t selected) {
    if (frames_read == 0) return fail("no frames found in the file");
    if (selected == 0)
        return fail("the file has ", std::to_string(frames_read), " frame(s) but none matched start/every/stop");
    return true;
}

Result<Trajectory> finish(Trajectory trajectory) {
    auto checked = check_selected(trajectory.frames_read, trajectory.structures.size());
    if (!checked) return std::move(checked).error();
    return trajectory;
}

Result<bool> FrameReader::finish() const { return check_selected(frames_read_, frames_selected_); }

Result<FrameReader> FrameReader::open(const std::string& path, const FrameSelection& selection,
                                      const std::optional<Mat3>& cell) {
    if (selection.every == 0) return fail("every must be at least 1");
    auto file = InputFile::open(path);
    if (!file) return fail("could not open ", path, ": ", file.error().message);
    return FrameReader(LineReader(std::move(*file)), selection, cell);
}

Result<std::optional<IndexedStructure>> FrameReader::next() {
    using Next = std::optional<IndexedStructure>;
    while (!done_) {
        if (selection_.stop && frames_read_ >= *selection_.stop) break;
        const std::uint64_t index = frames_read_;
        auto head = read_head(reader_, index, comment_);
        if (!head) return std::move(head).error();
        if (!*head) break;
        const std::uint64_t atoms = (*head)->atoms;
        if (selection_.selects(index)) {
            auto structure = read_body(reader_, index, atoms, comment_, cell_, symbols_, lines_);
            if (!structure) return std::move(structure).error();
            frames_read_ = index + 1;
            ++frames_selected_;
            return Next(IndexedStructure{index, std::move(*structure)});
        }
        auto got = reader_.skip(atoms, "an atom line");
        if (!got) return std::move(got).error();
        if (*got < atoms) return ends_early(index, *got, atoms);
        frames_read_ = index + 1;
    }
    done_ = true;
    return Next();
}

ReadNotes FrameReader::notes() const {
    ReadNotes notes;
    symbols_.report(notes);
    return notes;
}

Result<Trajectory> read_xyz_trajectory(const std::string& path, const FrameSelection& selection,
                                       const std::optional<Mat3>& cell) {
    auto reader = FrameReader::open(path, selection, cell);
    if (!reader) return std::move(reader).error();
    Trajectory trajectory;
    for (;;) {
        auto frame = reader->next();
        if (!frame) return std::move(frame).error();
        if (!*frame) break;
        trajectory.structures.push_back(std::move((*frame)->structure));
        trajectory.frame_indices.push_back((*frame)->index);
    }
    auto checked = reader->finish();
    if (!checked) return std::move(checked).error();
    trajectory.frames_read = reader->frames_read();
    trajectory.notes = reader->notes();
    return trajectory;
}

// --- the index and reading by offset ---

Result<FrameIndex> index_xyz_trajectory(const std::string& path, std::optional<std::uint64_t> stop) {
    auto file = InputFile::open(path);
    if (!file) return fail("could not open ", path, ": ", file.error().message);
    LineReader reader(std::move(*file));
    FrameIndex index;
    index.file = reader.file_identity();
    std::string comment;
    for (std::uint64_t i = 0; !stop || i < *stop; ++i) {
        auto head = read_head(reader, i, comment);
        if (!head) return std::move(head).error();
        if (!*head) break;
        auto got = reader.skip((*head)->atoms, "an atom line");
        if (!got) return std::move(got).error();
        if (*got < (*head)->atoms) return ends_early(i, *got, (*head)->atoms);
        index.offsets.push_back((*head)->offset);
        index.atoms.push_back((*head)->atoms);
    }
    if (index.offsets.empty()) return fail("no frames found in the file");
    return index;
}

Result<std::vector<IndexedStructure>> read_indexed_frames(const std::string& path,
                                                          std::span<const FrameLocation> frames,
                                                          const FileIdentity& indexed, const std::optional<Mat3>& cell,
                                                          SpeciesSymbols& symbols) {
    std::vector<IndexedStructure> out;
    if (frames.empty()) return out;
    auto file = InputFile::open(path);
    if (!file) return fail("could not open ", path, ": ", file.error().message);
    LineReader reader(std::move(*file));
    const FileIdentity now = reader.file_identity();
    if (now.size != indexed.size)
        return changed(frames[0].index,
                       std::to_string(indexed.size) + " bytes then, " + std::to_string(now.size) + " bytes now");
    if (now.inode != indexed.inode)
        return changed(frames[0].index, "replaced: inode " + std::to_string(indexed.inode) + " then, " +
                                            std::to_string(now.inode) + " now");
    if (now.mtime_ns != indexed.mtime_ns)
        return changed(frames[0].index, "modified: " + std::to_string(indexed.mtime_ns) + " ns then, " +
                                            std::to_string(now.mtime_ns) + " ns now");
    std::string comment;
    std::vector<std::string_view> lines;
    for (const FrameLocation& at : frames) {
        auto moved = reader.seek(at.offset, "the atom count");
        if (!moved) return std::move(moved).error();
        // The count line must be where the index put it, with its count.
        auto line = reader.next("the atom count");
        if (!line) return std::move(line).error();
        if (!*line || parse_count(trim(**line)) != at.atoms)
            return changed(at.index, "no count line of " + std::to_string(at.atoms) + " atoms at byte " +
                                         std::to_string(at.offset));
        auto read = read_comment(reader, at.index, comment);
        if (!read) return std::move(read).error();
        auto structure = read_body(reader, at.index, at.atoms, comment, cell, symbols, lines);
        if (!structure) return std::move(structure).error();
        out.push_back(IndexedStructure{at.index, std::move(*structure)});
    }
    return out;
}

}  // namespace molvane
