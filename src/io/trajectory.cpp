// Multi-frame XYZ trajectory reader. Frames are read one after another; only
// the atom lines of the frame being parsed are held, and frames that are not
// selected are read line by line and dropped.
#include "io/trajectory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/text.hpp"  // for trim, parse_count, is_valid_utf8, os_error_text
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

// Closes a file descriptor when it goes out of scope.
struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
};

// Reads frames into `out` until the end of the file or `stop`.
Result<bool> read_frames(LineReader& reader, const FrameSelection& selection, const std::optional<Mat3>& cell,
                         Trajectory& out) {
    SpeciesSymbols symbols;
    std::string line, comment;
    std::string frame_text;              // the selected frame's atom lines, back to back
    std::vector<std::size_t> line_ends;  // end offset of each line in frame_text
    std::vector<std::string_view> atom_lines;
    for (std::uint64_t index = 0;; ++index) {
        std::string_view count_text;
        for (;;) {
            auto got = reader.next(line, "the atom count");
            if (!got) return std::move(got).error();
            if (!*got) {
                symbols.report(out.notes);
                return true;
            }
            count_text = trim(line);
            if (!count_text.empty()) break;
        }
        auto count = parse_count(count_text);
        if (!count)
            return fail("frame ", std::to_string(index), ": expected an atom count, found '", count_text, "'");
        const std::uint64_t n = *count;

        auto got = reader.next(comment, "the comment line");
        if (!got) return std::move(got).error();
        if (!*got) return fail("frame ", std::to_string(index), " ends before its comment line");

        const bool selected = selection.selects(index);
        frame_text.clear();
        line_ends.clear();
        // Nothing is reserved from the declared count: storage grows with the lines read.
        for (std::uint64_t k = 0; k < n; ++k) {
            got = selected ? reader.append_line(frame_text, "an atom line") : reader.skip_line("an atom line");
            if (!got) return std::move(got).error();
            if (!*got)
                return fail("frame ", std::to_string(index), " ends after ", std::to_string(k), " of ",
                            std::to_string(n), " atoms");
            if (selected) line_ends.push_back(frame_text.size());
        }
        if (selected) {
            atom_lines.clear();
            std::size_t begin = 0;
            for (std::size_t end : line_ends) {
                atom_lines.push_back(std::string_view(frame_text).substr(begin, end - begin));
                begin = end;
            }
            auto structure = build_frame(comment, atom_lines, cell, index, symbols);
            if (!structure) return std::move(structure).error();
            out.structures.push_back(std::move(*structure));
            out.frame_indices.push_back(index);
        }
        out.frames_read = index + 1;
        if (selection.stop && out.frames_read >= *selection.stop) {
            symbols.report(out.notes);
            return true;
        }
    }
}

}  // namespace

Result<bool> LineReader::fill(std::string_view context) {
    if (eof_) return false;
    for (;;) {
        ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail("error reading ", context, ": ", os_error_text(errno));
        }
        if (got == 0) {
            eof_ = true;
            return false;
        }
        pos_ = 0;
        end_ = static_cast<std::size_t>(got);
        return true;
    }
}

Result<bool> LineReader::next(std::string& line, std::string_view context) {
    line.clear();
    return append_line(line, context);
}

// Hands the bytes of the current line to `take`, piece by piece as they lie
// in the buffer, and consumes its "\n". True when a "\n" ended the line,
// false when the file ended first.
template <typename Take>
Result<bool> LineReader::read_pieces(std::string_view context, Take&& take) {
    for (;;) {
        if (pos_ == end_) {
            auto more = fill(context);
            if (!more) return std::move(more).error();
            if (!*more) return false;
        }
        const char* start = buffer_ + pos_;
        const std::size_t avail = end_ - pos_;
        const void* found = std::memchr(start, '\n', avail);
        const std::size_t n = found ? static_cast<std::size_t>(static_cast<const char*>(found) - start) : avail;
        take(std::string_view(start, n));
        pos_ += found ? n + 1 : n;
        if (found) return true;
    }
}

Result<bool> LineReader::append_line(std::string& out, std::string_view context) {
    const std::size_t first = out.size();
    auto newline = read_pieces(context, [&](std::string_view piece) { out.append(piece); });
    if (!newline) return std::move(newline).error();
    if (!*newline && out.size() == first) return false;
    const std::string_view line = std::string_view(out).substr(first);
    if (!is_ascii(line) && !is_valid_utf8(line))
        return fail("error reading ", context, ": stream did not contain valid UTF-8");
    if (*newline && out.size() > first && out.back() == '\r') out.pop_back();
    return true;
}

Result<bool> LineReader::skip_line(std::string_view context) {
    // ASCII pieces are passed over in the buffer; from the first non-ASCII
    // piece on, the bytes are gathered for the UTF-8 check (an ASCII prefix
    // cannot change whether the rest is valid).
    scratch_.clear();
    bool gathering = false, any = false;
    auto newline = read_pieces(context, [&](std::string_view piece) {
        any = any || !piece.empty();
        if (gathering || !is_ascii(piece)) {
            gathering = true;
            scratch_.append(piece);
        }
    });
    if (!newline) return std::move(newline).error();
    if (!*newline && !any) return false;
    if (gathering && !is_valid_utf8(scratch_))
        return fail("error reading ", context, ": stream did not contain valid UTF-8");
    return true;
}

Result<Structure> build_frame(std::string_view comment, std::span<const std::string_view> atom_lines,
                              const std::optional<Mat3>& cell, std::uint64_t index, SpeciesSymbols& symbols) {
    auto lattice = frame_lattice(comment, cell, index);
    if (!lattice) return std::move(lattice).error();
    auto layout = frame_layout(comment);
    if (!layout) return std::move(layout).error();
    auto sites = read_atom_lines(atom_lines, *layout, *lattice, fractional_first_axis_first, index, symbols);
    if (!sites) return std::move(sites).error();
    return Structure::create(std::move(*lattice), std::move(*sites), layout->pbc);
}

Result<Trajectory> finish(Trajectory trajectory) {
    if (trajectory.frames_read == 0) return fail("no frames found in the file");
    if (trajectory.structures.empty())
        return fail("the file has ", std::to_string(trajectory.frames_read),
                    " frame(s) but none matched start/every/stop");
    return trajectory;
}

Result<Trajectory> read_xyz_trajectory(const std::string& path, const FrameSelection& selection,
                                       const std::optional<Mat3>& cell) {
    if (selection.every == 0) return fail("every must be at least 1");
    if (path.find('\0') != std::string::npos)
        return fail("could not open ", path, ": file name contained an unexpected NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail("could not open ", path, ": ", os_error_text(errno));
    FileCloser closer{fd};

    Trajectory trajectory;
    if (!(selection.stop && *selection.stop == 0)) {
        LineReader reader(fd);
        auto done = read_frames(reader, selection, cell, trajectory);
        if (!done) return std::move(done).error();
    }
    return finish(std::move(trajectory));
}

}  // namespace molvane
