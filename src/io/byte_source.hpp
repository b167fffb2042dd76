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

// An operating-system error number, or 0 for the two failures that have none.
struct OsError {
    int code = 0;
    std::string fixed_message;  // used when code is 0
};

// A regular file opened read-only; closed when the object goes.
class FileSource final : public ByteSource {
public:
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
    FileSource(int fd, std::optional<std::uint64_t> length) : fd_(fd), length_(length) {}
    int fd_ = -1;
    std::optional<std::uint64_t> length_;  // nullopt unless a regular file
};

// Opens `path` for one operation; an UnreadableSource when it cannot be opened.
std::unique_ptr<ByteSource> open_for_reading(const std::string& path);

}  // namespace kestrune::io
