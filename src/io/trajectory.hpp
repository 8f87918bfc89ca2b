// Multi-frame XYZ trajectories: a buffered line reader, the comment-line
// key lookup, per-frame cell and column layout, and frame selection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/lattice.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"

namespace molvane {

struct Trajectory {
    std::vector<Structure> structures;        // one per selected frame, file order
    std::vector<std::uint64_t> frame_indices;  // parallel to structures
    std::uint64_t frames_read = 0;             // frames read completely
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

// The value of `key` in an XYZ comment line: keys match without regard to
// ASCII case and must start the line or follow a space, tab, line feed, form
// feed or carriage return; a quoted value runs to the next double quote, a
// bare one to the next whitespace.
std::optional<std::string_view> comment_value(std::string_view comment, std::string_view key);

// One selected frame as a structure; `cell` is used when the comment has no
// Lattice item.
Result<Structure> build_frame(std::string_view comment, const std::vector<std::string_view>& atom_lines,
                              const std::optional<Mat3>& cell, std::uint64_t index);

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
