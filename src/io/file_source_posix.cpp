// The file source on POSIX systems: a descriptor read with pread.
#include "io/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::io {

namespace {

constexpr std::uint64_t max_file_offset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
constexpr std::size_t largest_read = std::size_t{1} << 30;

}  // namespace

std::optional<FileSource> FileSource::open_native(const std::string& path, OsError& error) {
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

FileSource::FileSource(FileSource&& other) noexcept : handle_(other.handle_), length_(other.length_) {
    other.handle_ = -1;
}

FileSource::~FileSource() {
    if (handle_ >= 0) ::close(handle_);
}

std::optional<std::size_t> FileSource::read_some(std::uint64_t offset, std::span<std::uint8_t> out,
                                                 int& error) const {
    if (offset > max_file_offset) return 0;  // past any content the system can hold
    const std::size_t asked = std::min(out.size(), largest_read);
    for (;;) {
        const ssize_t got = ::pread(handle_, out.data(), asked, static_cast<off_t>(offset));
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) {
            error = errno;
            return std::nullopt;
        }
    }
}

}  // namespace kestrune::io
