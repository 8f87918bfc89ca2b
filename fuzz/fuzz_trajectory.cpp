// Multi-frame XYZ files through read_xyz_trajectory: the input's last bytes
// choose every/start/stop and the cell override, the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "io/trajectory.hpp"

namespace {

const std::string& scratch_path() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir ? dir : "/tmp") + "/molvane-fuzz-traj-XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) fuzz::finding("cannot create the scratch file");
        ::close(fd);
        std::atexit([] { ::unlink(scratch_path().c_str()); });
        return pattern;
    }();
    return path;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fuzz::finding("cannot open the scratch file");
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        fuzz::finding("cannot write the scratch file");
    std::fclose(f);
}

std::uint64_t small_or_huge(FuzzedDataProvider& in) {
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 230) return pick % 5;
    if (pick < 250) return in.ConsumeIntegral<std::uint64_t>();
    return ~std::uint64_t{0} - (pick - 250);
}

bool same_structure(const molvane::Structure& a, const molvane::Structure& b) {
    return a.lattice().matrix() == b.lattice().matrix() && a.pbc() == b.pbc() && fuzz::same_sites(a.sites(), b.sites());
}

// A read that succeeded: the index of the same file finds the frames it read,
// and reading the selected frames by their offsets gives the same structures.
void check_index(const std::string& path, const molvane::FrameSelection& selection,
                 const std::optional<molvane::Mat3>& cell, const molvane::Trajectory& trajectory) {
    auto index = molvane::index_xyz_trajectory(path, selection.stop);
    if (!index) fuzz::finding("the index failed where the reader did not");
    if (index->offsets.size() != trajectory.frames_read) fuzz::finding("the index counts other frames");
    std::vector<molvane::FrameLocation> frames;
    for (auto i : trajectory.frame_indices) frames.push_back({i, index->offsets[i], index->atoms[i]});
    molvane::SpeciesSymbols symbols;
    auto read = molvane::read_indexed_frames(path, frames, index->file, cell, symbols);
    if (!read) fuzz::finding("reading indexed frames failed where the reader did not");
    for (std::size_t k = 0; k < frames.size(); ++k)
        if ((*read)[k].index != frames[k].index || !same_structure((*read)[k].structure, trajectory.structures[k]))
            fuzz::finding("a frame read by its offset differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    molvane::FrameSelection selection;
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
    std::optional<molvane::Mat3> cell;
    if (mode & 1) {
        selection.every = small_or_huge(in);
        selection.start = small_or_huge(in);
        if (in.ConsumeBool()) selection.stop = small_or_huge(in);
    }
    if (mode & 2) cell = fuzz::fuzzed_matrix(in);
    const std::string& path = scratch_path();
    write_file(path, in.ConsumeRemainingBytesAsString());
    auto trajectory = molvane::read_xyz_trajectory(path, selection, cell);
    if (trajectory) {
        if (trajectory->structures.empty()) fuzz::finding("trajectory without frames");
        if (trajectory->structures.size() != trajectory->frame_indices.size())
            fuzz::finding("frame indices do not match the frames");
        for (auto index : trajectory->frame_indices)
            if (!selection.selects(index) || (selection.stop && index >= *selection.stop))
                fuzz::finding("a frame outside the selection was returned");
        check_index(path, selection, cell, *trajectory);
    } else if (trajectory.error().message.empty()) {
        fuzz::finding("read_xyz_trajectory failed without a message");
    }
    return 0;
}
