// Bytes of an acquisition file, reached by positioned reads of bounded ranges.
//
// Every operation of the reader works on a ByteSource: the binding layer opens the
// file by path for each call, the fuzz harness lays bytes out in memory. Nothing is
// mapped, so a file truncated by another process only makes reads come up short.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace kestrune {

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

// A byte source over bytes held in memory (tests, fuzzing).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::optional<std::uint64_t> length() const override { return bytes_.size(); }
    std::optional<std::size_t> read_at(std::uint64_t offset,
                                       std::span<std::uint8_t> out) const override;

private:
    std::span<const std::uint8_t> bytes_;
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

// A run of a source's bytes beginning at an absolute offset, with loads that
// cannot read outside it. Multi-byte values are little-endian and may be unaligned.
class ByteWindow {
public:
    ByteWindow() = default;
    ByteWindow(std::uint64_t start, std::vector<std::uint8_t> bytes)
        : start_(start), bytes_(std::move(bytes)) {}

    std::uint64_t start() const { return start_; }
    std::uint64_t end() const { return start_ + bytes_.size(); }
    std::size_t size() const { return bytes_.size(); }

    // True when [offset, offset + width) lies wholly inside the window.
    bool contains(std::uint64_t offset, std::uint64_t width) const {
        return offset >= start_ && width <= bytes_.size() &&
               offset - start_ <= bytes_.size() - width;
    }

    // The bytes of [offset, offset + width), or an empty span when they are not all here.
    std::span<const std::uint8_t> slice(std::uint64_t offset, std::uint64_t width) const {
        if (!contains(offset, width)) return {};
        return std::span<const std::uint8_t>(bytes_).subspan(offset - start_, width);
    }

    template <class T>
    std::optional<T> load(std::uint64_t offset) const;

    // Releases the bytes to a caller that wants to keep them.
    std::vector<std::uint8_t> take_bytes() && { return std::move(bytes_); }

private:
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Decodes a little-endian value of type T from exactly sizeof(T) bytes. Defined here
// so that it inlines: peak extraction decodes two values per record, and on a
// little-endian host each is one unaligned load.
template <class T>
inline T decode_le(const std::uint8_t* bytes) {
    static_assert(std::is_trivially_copyable_v<T> && (sizeof(T) <= 8));
    if constexpr (std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    } else {
        using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                     std::conditional_t<sizeof(T) == 2, std::uint16_t,
                     std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
        Bits bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(Bits(bytes[i]) << (8 * i));
        return std::bit_cast<T>(bits);
    }
}

template <class T>
std::optional<T> ByteWindow::load(std::uint64_t offset) const {
    auto bytes = slice(offset, sizeof(T));
    if (bytes.empty()) return std::nullopt;
    return decode_le<T>(bytes.data());
}

// Reads [offset, offset + width) clipped to the source's length. An empty window
// when offset is at or past the end. nullopt on a read error or an unreadable source.
std::optional<ByteWindow> read_window(const ByteSource& source, std::uint64_t offset,
                                      std::uint64_t width);

// True when a window from read_window holds every byte of [offset, offset + width)
// that lies below `length`: a shortfall means the file shrank during the call.
bool window_is_complete(const ByteWindow& window, std::uint64_t offset, std::uint64_t width,
                        std::uint64_t length);

}  // namespace kestrune
