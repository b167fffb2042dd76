// Bytes of an acquisition file, reached by positioned reads of bounded ranges.
//
// Every operation of the reader works on a ByteSource: the binding layer opens the
// file by path for each call, the fuzz harness lays its bytes out sparsely. Nothing is
// mapped, so a file truncated by another process only makes reads come up short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kestrune::io {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The length of the content, or nullopt when the content cannot be read at all
    // (the file could not be opened, or is not a regular file).
    virtual std::optional<std::uint64_t> length() const = 0;

    // Fills `out` with the bytes from `offset` on. Returns how many were read: fewer
    // than asked only where the content ends. Returns nullopt on a read error.
    virtual std::optional<std::size_t> read_at(std::uint64_t offset,
                                               std::span<std::uint8_t> out) const = 0;
};

// The source of an operation whose file could not be opened: nothing can be read.
class UnreadableSource final : public ByteSource {
public:
    std::optional<std::uint64_t> length() const override { return std::nullopt; }
    std::optional<std::size_t> read_at(std::uint64_t, std::span<std::uint8_t>) const override {
        return std::nullopt;
    }
};

// An error number of the C library's (errno), or 0 for the two failures that have
// none. Windows' own errors are translated to these, so that a failure is named and
// numbered the same on every system.
struct OsError {
    int code = 0;
    std::string fixed_message;  // used when code is 0
};

// A regular file opened read-only; closed when the object goes. Another process may
// go on writing, renaming or deleting the file meanwhile. A directory opens with no
// length, and reading it fails with EISDIR.
class FileSource final : public ByteSource {
public:
#if defined(_WIN32)
    using Handle = void*;  // a HANDLE; null for a directory
#else
    using Handle = int;  // a descriptor
#endif

    // Opens `path` read-only. Fails with the error number, or with the fixed
    // message for a path holding a NUL character.
    static std::optional<FileSource> open(const std::string& path, OsError& error);

    FileSource(FileSource&& other) noexcept;
    FileSource& operator=(FileSource&&) = delete;
    FileSource(const FileSource&) = delete;
    ~FileSource() override;

    std::optional<std::uint64_t> length() const override { return length_; }
    std::optional<std::size_t> read_at(std::uint64_t offset,
                                       std::span<std::uint8_t> out) const override;

    // Reads exactly out.size() bytes at `offset`, retrying interrupted reads.
    // Fails with the error number, or "failed to fill whole buffer" at end of file.
    bool read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out,
                       OsError& error) const;

private:
    // The system's part: opening a path without NUL, and one positioned read, which
    // returns 0 at the end of the content and nullopt with `error` set on a failure.
    static std::optional<FileSource> open_native(const std::string& path, OsError& error);
    std::optional<std::size_t> read_some(std::uint64_t offset, std::span<std::uint8_t> out, int& error) const;

    FileSource(Handle handle, std::optional<std::uint64_t> length) : handle_(handle), length_(length) {}
    Handle handle_;
    std::optional<std::uint64_t> length_;  // nullopt unless a regular file
};

// Opens `path` for one operation; an UnreadableSource when it cannot be opened.
std::unique_ptr<ByteSource> open_for_reading(const std::string& path);

}  // namespace kestrune::io
