// Files read by path: opened, read piece by piece, line by line through one
// buffer, or whole as UTF-8 text, with the system's words for what went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Reads the lines of a file through one buffer, which grows only to hold the
// longest line, or the lines of one frame while they are gathered. Lines end
// at "\n", which is removed with one "\r" before it; a last line without "\n"
// is kept as it is. Every line must be valid UTF-8. Failures read
// "error reading <context>: <error text>".
class LineReader {
public:
    explicit LineReader(InputFile file);

    // The next line, or nothing at the end of the file. The view is valid
    // until the next call.
    Result<std::optional<std::string_view>> next(std::string_view context);

    // Reads up to `n` lines into `lines` (views valid until the next call)
    // and returns how many there were: fewer than `n` at the end of the file.
    Result<std::uint64_t> gather(std::uint64_t n, std::vector<std::string_view>& lines, std::string_view context);

    // Reads past up to `n` lines, checking only that they are valid UTF-8,
    // and returns how many there were.
    Result<std::uint64_t> skip(std::uint64_t n, std::string_view context);

    // The file offset of the next line.
    std::uint64_t offset() const { return base_ + pos_; }
    // Continues reading at a file offset.
    Result<bool> seek(std::uint64_t offset, std::string_view context);
    // The size, modification time and inode of the file.
    FileIdentity file_identity() const { return file_.identity(); }

private:
    using Span = std::pair<std::size_t, std::size_t>;  // start in the buffer, length

    // The next line, or nothing at the end of the file. Bytes from `keep` on
    // stay in the buffer (`keep` moves down with them when it is refilled).
    Result<std::optional<Span>> take_line(std::size_t& keep, std::string_view context);
    // Drops the bytes before `keep` (positions move down by `keep`, which
    // becomes 0) and reads more; false at the end of the file.
    Result<bool> fill(std::size_t& keep, std::string_view context);
    // Fails unless the bytes [from, to) of the buffer are valid UTF-8.
    Result<bool> check_utf8(std::size_t from, std::size_t to, std::string_view context);

    InputFile file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t pos_ = 0;        // next unread byte
    std::size_t end_ = 0;        // end of the bytes read
    std::size_t ascii_end_ = 0;  // [pos_, ascii_end_) is known to be ASCII
    std::uint64_t base_ = 0;     // file offset of buffer_[0]
    bool eof_ = false;
    std::vector<Span> spans_;  // gathered lines, from the first one's start
};

}  // namespace molvane
