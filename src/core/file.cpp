// Reading files: whole files as UTF-8 text, piece by piece, and line by line.
#include "core/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text.hpp"  // for is_valid_utf8, ascii_prefix

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

namespace {

// The buffer starts this large and doubles when one line, or the lines of one
// gathered frame, do not fit.
constexpr std::size_t initial_buffer = 256 * 1024;

// Lines that are skipped are counted this many bytes at a time.
constexpr std::size_t skip_block = 4096;

// The number of line feeds in [p, p + len). Runs of up to 255 bytes are
// counted in one byte each, which compilers vectorise well.
std::size_t count_line_feeds(const char* p, std::size_t len) {
    std::size_t feeds = 0;
    while (len > 0) {
        const std::size_t run = std::min<std::size_t>(len, 255);
        unsigned char in_run = 0;
        for (std::size_t i = 0; i < run; ++i) in_run = static_cast<unsigned char>(in_run + (p[i] == '\n'));
        feeds += in_run;
        p += run;
        len -= run;
    }
    return feeds;
}

}  // namespace

LineReader::LineReader(InputFile file)
    : file_(std::move(file)), buffer_(new char[initial_buffer]), capacity_(initial_buffer) {}

Result<bool> LineReader::fill(std::size_t& keep, std::string_view context) {
    if (eof_) return false;
    if (keep > 0) {
        std::memmove(buffer_.get(), buffer_.get() + keep, end_ - keep);
        base_ += keep;
        pos_ -= keep;
        end_ -= keep;
        ascii_end_ -= keep;
        keep = 0;
    }
    if (end_ == capacity_) {
        std::unique_ptr<char[]> bigger(new char[2 * capacity_]);
        std::memcpy(bigger.get(), buffer_.get(), end_);
        buffer_ = std::move(bigger);
        capacity_ *= 2;
    }
    auto got = file_.read(buffer_.get() + end_, capacity_ - end_);
    if (!got) return fail("error reading ", context, ": ", got.error().message);
    if (*got == 0) {
        eof_ = true;
        return false;
    }
    const bool all_ascii = ascii_end_ == end_;
    end_ += *got;
    if (all_ascii) ascii_end_ += ascii_prefix(std::string_view(buffer_.get() + ascii_end_, end_ - ascii_end_));
    return true;
}

Result<bool> LineReader::check_utf8(std::size_t from, std::size_t to, std::string_view context) {
    if (to <= ascii_end_) return true;
    if (!is_valid_utf8(std::string_view(buffer_.get() + from, to - from)))
        return fail("error reading ", context, ": stream did not contain valid UTF-8");
    ascii_end_ = to + ascii_prefix(std::string_view(buffer_.get() + to, end_ - to));
    return true;
}

Result<std::optional<LineReader::Span>> LineReader::take_line(std::size_t& keep, std::string_view context) {
    using Line = std::optional<Span>;
    std::size_t scanned = pos_;
    for (;;) {
        const void* found = std::memchr(buffer_.get() + scanned, '\n', end_ - scanned);
        const bool last = !found && eof_;
        if (found || last) {
            const std::size_t stop =
                found ? static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.get()) : end_;
            if (last && pos_ == end_) return Line();
            auto valid = check_utf8(pos_, stop, context);
            if (!valid) return std::move(valid).error();
            std::size_t len = stop - pos_;
            if (found && len > 0 && buffer_[stop - 1] == '\r') --len;
            const Span line{pos_, len};
            pos_ = found ? stop + 1 : end_;
            return Line(line);
        }
        const std::size_t done = end_ - pos_;
        auto more = fill(keep, context);
        if (!more) return std::move(more).error();
        scanned = pos_ + done;
    }
}

Result<std::optional<std::string_view>> LineReader::next(std::string_view context) {
    std::size_t keep = pos_;
    auto line = take_line(keep, context);
    if (!line) return std::move(line).error();
    if (!*line) return std::optional<std::string_view>();
    return std::optional<std::string_view>(std::string_view(buffer_.get() + (*line)->first, (*line)->second));
}

Result<std::uint64_t> LineReader::gather(std::uint64_t n, std::vector<std::string_view>& lines,
                                         std::string_view context) {
    // Lines are kept as spans from `keep`, the frame's first byte, which
    // moves to 0 when the buffer is refilled.
    spans_.clear();
    std::size_t keep = pos_;
    std::uint64_t k = 0;
    while (k < n) {
        // Lines that end inside the bytes known to be ASCII need no check:
        // they are taken here, as take_line would take them, without a call
        // each; take_line takes the line that needs more bytes.
        const char* const buffer = buffer_.get();
        for (; k < n && pos_ < ascii_end_; ++k) {
            const void* found = std::memchr(buffer + pos_, '\n', ascii_end_ - pos_);
            if (!found) break;
            const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(found) - buffer);
            const std::size_t len = stop - pos_ - (stop > pos_ && buffer[stop - 1] == '\r' ? 1 : 0);
            spans_.emplace_back(pos_ - keep, len);
            pos_ = stop + 1;
        }
        if (k == n) break;
        auto line = take_line(keep, context);
        if (!line) return std::move(line).error();
        if (!*line) break;
        spans_.emplace_back((*line)->first - keep, (*line)->second);
        ++k;
    }
    lines.clear();
    lines.reserve(spans_.size());
    for (const auto& [from, len] : spans_) lines.emplace_back(buffer_.get() + keep + from, len);
    return k;
}

Result<std::uint64_t> LineReader::skip(std::uint64_t n, std::string_view context) {
    std::uint64_t k = 0;
    while (k < n) {
        const std::size_t from = pos_;  // a line starts here; pos_ follows the last line feed passed
        std::size_t at = pos_;
        // Whole blocks with fewer line feeds than are still wanted are
        // counted rather than searched line by line.
        while (end_ - at >= skip_block) {
            const char* block = buffer_.get() + at;
            const std::size_t feeds = count_line_feeds(block, skip_block);
            if (feeds >= n - k) break;
            if (feeds > 0)
                pos_ = at + static_cast<std::size_t>(static_cast<const char*>(memrchr(block, '\n', skip_block)) - block) + 1;
            k += feeds;
            at += skip_block;
        }
        while (k < n) {
            const void* found = std::memchr(buffer_.get() + at, '\n', end_ - at);
            if (!found) break;
            pos_ = at = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.get()) + 1;
            ++k;
        }
        auto valid = check_utf8(from, pos_, context);
        if (!valid) return std::move(valid).error();
        if (k == n) break;
        std::size_t keep = pos_;
        auto more = fill(keep, context);
        if (!more) return std::move(more).error();
        if (!*more) {
            if (pos_ < end_) {
                auto last = check_utf8(pos_, end_, context);
                if (!last) return std::move(last).error();
                pos_ = end_;
                ++k;
            }
            break;
        }
    }
    return k;
}

Result<bool> LineReader::seek(std::uint64_t offset, std::string_view context) {
    if (offset >= base_ && offset - base_ <= end_) {
        // Already in the buffer (frames read in file order often are).
        const std::size_t to = static_cast<std::size_t>(offset - base_);
        if (to < pos_ || to > ascii_end_)
            ascii_end_ = to + ascii_prefix(std::string_view(buffer_.get() + to, end_ - to));
        pos_ = to;
        return true;
    }
    auto moved = file_.seek(offset);
    if (!moved) return fail("error reading ", context, ": ", moved.error().message);
    base_ = offset;
    pos_ = end_ = ascii_end_ = 0;
    eof_ = false;
    return true;
}

}  // namespace molvane
