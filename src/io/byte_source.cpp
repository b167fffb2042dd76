#include "io/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::io {

namespace {

constexpr std::uint64_t max_file_offset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

std::optional<FileSource> FileSource::open(const std::string& path, OsError& error) {
    if (path.find('\0') != std::string::npos) {
        error = {0, "file name contained an unexpected NUL byte"};
        return std::nullopt;
    }
    int fd;
    // O_NONBLOCK keeps a FIFO at this path from stalling the interpreter; it has no
    // effect on regular files.
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = {errno, {}};
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::uint64_t> length;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0) {
        length = static_cast<std::uint64_t>(info.st_size);
    }
    return FileSource(fd, length);
}

FileSource::FileSource(FileSource&& other) noexcept : fd_(other.fd_), length_(other.length_) {
    other.fd_ = -1;
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::size_t> FileSource::read_at(std::uint64_t offset,
                                               std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        if (offset + done > max_file_offset) break;
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, 1u << 30);
        const ssize_t got = ::pread(fd_, out.data() + done, chunk, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool FileSource::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out,
                               OsError& error) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = {errno, {}};
            return false;
        }
        if (got == 0) {
            error = {0, "failed to fill whole buffer"};
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::unique_ptr<ByteSource> open_for_reading(const std::string& path) {
    OsError ignored;
    if (auto file = FileSource::open(path, ignored)) return std::make_unique<FileSource>(std::move(*file));
    return std::make_unique<UnreadableSource>();
}

}  // namespace kestrune::io
