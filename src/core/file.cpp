// Reading files: whole files as UTF-8 text, and files read piece by piece.
#include "core/file.hpp"

#include "core/text.hpp"  // for is_valid_utf8

#include <cerrno>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace molvane {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r returns the text (possibly a static string, not buf).
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Result<InputFile> InputFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail("file name contained an unexpected NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(os_error_text(errno));
    // Files are read front to back: a longer read-ahead keeps the disk busy
    // while the reader works (a hint; failure changes nothing).
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return InputFile(fd);
}

Result<bool> InputFile::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(os_error_text(EINVAL));
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(os_error_text(errno));
    return true;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> InputFile::read(char* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return fail(os_error_text(errno));
    }
}

std::size_t InputFile::size_hint() const {
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        return static_cast<std::size_t>(info.st_size);
    return 0;
}

FileIdentity InputFile::identity() const {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return {};
    const std::int64_t ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    return {S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0, ns,
            static_cast<std::uint64_t>(info.st_ino)};
}

Result<std::string> read_text_file(const std::string& path) {
    auto file = InputFile::open(path);
    if (!file) return std::move(file).error();
    std::string data;
    data.reserve(file->size_hint());
    char chunk[65536];
    for (;;) {
        auto got = file->read(chunk, sizeof chunk);
        if (!got) return std::move(got).error();
        if (*got == 0) break;
        data.append(chunk, *got);
    }
    if (!is_valid_utf8(data)) return fail("stream did not contain valid UTF-8");
    return data;
}

}  // namespace molvane
