// Multi-frame XYZ files through read_xyz_trajectory: the input's last bytes
// choose every/start/stop and the cell override, the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
    } else if (trajectory.error().message.empty()) {
        fuzz::finding("read_xyz_trajectory failed without a message");
    }
    return 0;
}
