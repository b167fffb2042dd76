#include "io/byte_source.hpp"

namespace kestrune::io {

std::optional<FileSource> FileSource::open(const std::string& path, OsError& error) {
    if (path.find('\0') != std::string::npos) {
        error = {0, "file name contained an unexpected NUL byte"};
        return std::nullopt;
    }
    return open_native(path, error);
}

std::optional<std::size_t> FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    int ignored = 0;
    while (done < out.size()) {
        const auto got = read_some(offset + done, out.subspan(done), ignored);
        if (!got) return std::nullopt;
        if (*got == 0) break;
        done += *got;
    }
    return done;
}

bool FileSource::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out, OsError& error) const {
    std::size_t done = 0;
    while (done < out.size()) {
        int code = 0;
        const auto got = read_some(offset + done, out.subspan(done), code);
        if (!got) {
            error = {code, {}};
            return false;
        }
        if (*got == 0) {
            error = {0, "failed to fill whole buffer"};
            return false;
        }
        done += *got;
    }
    return true;
}

std::unique_ptr<ByteSource> open_for_reading(const std::string& path) {
    OsError ignored;
    if (auto file = FileSource::open(path, ignored)) return std::make_unique<FileSource>(std::move(*file));
    return std::make_unique<UnreadableSource>();
}

}  // namespace kestrune::io
