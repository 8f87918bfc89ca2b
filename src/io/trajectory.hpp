// Multi-frame XYZ trajectories: frame selection, a frame index (where each frame starts), reading frames one after another or
// by their offsets, and each selected frame read by the extended XYZ frame
// pieces (io/extxyz).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file.hpp"  // for InputFile
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

// One selected frame as a structure: its cell from the Lattice item, else
// `cell`; columns and periodic directions from the comment line. Species read
// in capitals are counted in `symbols`.
Result<Structure> build_frame(std::string_view comment, std::span<const std::string_view> atom_lines,
                              const std::optional<Mat3>& cell, std::uint64_t index, SpeciesSymbols& symbols);

// Fails when no frame was read or none was selected.
Result<Trajectory> finish(Trajectory trajectory);
Result<bool> check_selected(std::uint64_t frames_read, std::uint64_t selected);

struct FrameSelection {
    std::uint64_t every = 1;
    std::uint64_t start = 0;
    std::optional<std::uint64_t> stop;

    bool selects(std::uint64_t index) const { return index >= start && (index - start) % every == 0; }
};

// A frame of a trajectory and its index in the file.
struct IndexedStructure {
    std::uint64_t index;
    Structure structure;
};

// Reads the selected frames of a trajectory one after another. Frames that
// are not selected are read line by line (their count line, comment line,
// number of lines and UTF-8 checked) and dropped; only the frame being parsed
// is held.
class FrameReader {
public:
    // Fails with "every must be at least 1" before the file is opened, or
    // with "could not open <path>: <error text>".
    static Result<FrameReader> open(const std::string& path, const FrameSelection& selection,
                                    const std::optional<Mat3>& cell);

    // The next selected frame; nothing once the file or `stop` is reached.
    Result<std::optional<IndexedStructure>> next();

    // Frames read completely so far, selected or not.
    std::uint64_t frames_read() const { return frames_read_; }
    // Frames returned so far.
    std::uint64_t frames_selected() const { return frames_selected_; }
    // Once `next` has returned nothing: fails as `finish` does when no frame
    // was read or none was selected.
    Result<bool> finish() const;
    // What was guessed in the frames returned so far.
    ReadNotes notes() const;
    // The guesses as counts, to be added to those of other reads.
    const SpeciesSymbols& symbols() const { return symbols_; }

private:
    FrameReader(LineReader reader, const FrameSelection& selection, const std::optional<Mat3>& cell)
        : reader_(std::move(reader)), selection_(selection), cell_(cell) {}

    LineReader reader_;
    FrameSelection selection_;
    std::optional<Mat3> cell_;
    std::uint64_t frames_read_ = 0;
    std::uint64_t frames_selected_ = 0;
    bool done_ = false;
    SpeciesSymbols symbols_;
    std::string comment_;
    std::vector<std::string_view> lines_;
};

// Reads the selected frames of the trajectory at `path`.
Result<Trajectory> read_xyz_trajectory(const std::string& path, const FrameSelection& selection,
                                       const std::optional<Mat3>& cell);

// Where the frames of a trajectory start: the file offset of each frame's
// atom-count line and its atom count, in file order, and the identity of the
// file when it was indexed.
struct FrameIndex {
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> atoms;
    FileIdentity file;
};

// Scans the trajectory at `path` (up to `stop` frames) without parsing atom
// lines, checking what the reader checks in frames it does not select: count
// lines, comment lines, the number of atom lines and UTF-8. Fails as the
// reader does, and with "no frames found in the file" when there is none.
Result<FrameIndex> index_xyz_trajectory(const std::string& path, std::optional<std::uint64_t> stop);

// A frame to read by its place in the file, as an index gives it.
struct FrameLocation {
    std::uint64_t index;
    std::uint64_t offset;
    std::uint64_t atoms;
};

// Reads the given frames of the trajectory at `path` from their offsets,
// each as the reader reads a selected frame (same structures, same
// messages). Fails with "frame <i>: the file changed since it was indexed
// ..." when its identity (size, modification time, inode) is no longer
// `indexed` or a frame's count line is not where the index put it. Guesses are
// counted in `symbols`.
Result<std::vector<IndexedStructure>> read_indexed_frames(const std::string& path,
                                                          std::span<const FrameLocation> frames,
                                                          const FileIdentity& indexed, const std::optional<Mat3>& cell,
                                                          SpeciesSymbols& symbols);

}  // namespace molvane
