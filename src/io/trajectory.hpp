// Multi-frame XYZ trajectories: a buffered line reader, frame selection, and
// each selected frame read by the extended XYZ frame pieces (io/extxyz).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"
#include "io/atom_lines.hpp"
#include "io/read_notes.hpp"

namespace molvane {

struct Trajectory {
    std::vector<Structure> structures;        // one per selected frame, file order
    std::vector<std::uint64_t> frame_indices;  // parallel to structures
    std::uint64_t frames_read = 0;             // frames read completely
    ReadNotes notes;                           // what was guessed while reading
};

// Reads lines from a file descriptor through one 8192-byte buffer. Does not
// own the descriptor.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line (line feed and one carriage return before it removed)
    // into `line`; false at the end of the file. Failures read
    // "error reading <context>: <error text>".
    Result<bool> next(std::string& line, std::string_view context);

    // As `next`, appending the line to `out`.
    Result<bool> append_line(std::string& out, std::string_view context);

    // Reads past the next line, checking only that it is valid UTF-8; false
    // at the end of the file.
    Result<bool> skip_line(std::string_view context);

private:
    // Refills the buffer; false at the end of the file.
    Result<bool> fill(std::string_view context);
    template <typename Take>
    Result<bool> read_pieces(std::string_view context, Take&& take);

    int fd_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::string scratch_;  // the non-ASCII part of a skipped line
    char buffer_[8192];
};

// One selected frame as a structure: its cell from the Lattice item, else
// `cell`; columns and periodic directions from the comment line. Species read
// in capitals are counted in `symbols`.
Result<Structure> build_frame(std::string_view comment, std::span<const std::string_view> atom_lines,
                              const std::optional<Mat3>& cell, std::uint64_t index, SpeciesSymbols& symbols);

// Fails when no frame was read or none was selected.
Result<Trajectory> finish(Trajectory trajectory);

struct FrameSelection {
    std::uint64_t every = 1;
    std::uint64_t start = 0;
    std::optional<std::uint64_t> stop;

    bool selects(std::uint64_t index) const { return index >= start && (index - start) % every == 0; }
};

// Reads the selected frames of the trajectory at `path`.
Result<Trajectory> read_xyz_trajectory(const std::string& path, const FrameSelection& selection,
                                       const std::optional<Mat3>& cell);

}  // namespace molvane
