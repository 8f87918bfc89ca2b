// Files read by path: opened, read piece by piece or whole as UTF-8 text,
// with the system's words for what went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/result.hpp"

namespace molvane {

// The system's description of an error number followed by " (os error N)",
// as in "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// What tells one state of a file from another for a reader that comes back
// to it later: its size (0 when not a regular file), modification time in
// nanoseconds and inode. Rewriting the file changes the time, replacing it
// the inode.
struct FileIdentity {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A file open for reading, closed when the object goes. Opening and reading
// retry when a signal interrupts them. Failure descriptions: os_error_text of
// the failing call, or "file name contained an unexpected NUL byte".
class InputFile {
public:
    static Result<InputFile> open(const std::string& path);
    InputFile(InputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    InputFile& operator=(InputFile&&) = delete;
    ~InputFile();

    // Up to `size` bytes into `buffer`; 0 at the end of the file.
    Result<std::size_t> read(char* buffer, std::size_t size);
    // Moves the read position to `offset` bytes from the start.
    Result<bool> seek(std::uint64_t offset);
    // The size of a regular file, else 0 (a hint for reserving).
    std::size_t size_hint() const;
    // The identity of the open file (all zero when it cannot be had).
    FileIdentity identity() const;

private:
    explicit InputFile(int fd) : fd_(fd) {}
    int fd_;
};

// Reads a whole file as UTF-8 text. Failure descriptions: os_error_text of the
// failing call, "stream did not contain valid UTF-8", or "file name contained
// an unexpected NUL byte".
Result<std::string> read_text_file(const std::string& path);

}  // namespace molvane
