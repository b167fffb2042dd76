#include "reader/header.hpp"

#include <array>
#include <optional>

#include "io/byte_window.hpp"
#include "reader/format.hpp"
#include "reader/scan_caches.hpp"

namespace kestrune::reader {

namespace {

constexpr std::uint64_t version_offset = 36;
constexpr std::uint64_t fallback_version_offset = 12;
constexpr std::uint64_t creation_time_offset = 16;

constexpr std::uint64_t ticks_per_second = 10'000'000;
constexpr std::uint64_t seconds_from_1601_to_1970 = 11'644'473'600;

template <class T>
T read_header_field(const io::FileSource& file, std::uint64_t offset) {
    std::array<std::uint8_t, sizeof(T)> bytes{};
    io::OsError error;
    if (!file.read_exact_at(offset, bytes, error)) throw error;
    return io::decode_le<T>(bytes.data());
}

// The record with its version and creation time; the header's handle is closed on return.
ReaderRecord read_header(std::string path) {
    io::OsError error;
    auto file = io::FileSource::open(path, error);
    if (!file) throw error;

    const auto candidate = read_header_field<std::uint32_t>(*file, version_offset);
    const auto fallback = is_known_version(candidate)
                              ? candidate
                              : read_header_field<std::uint32_t>(*file, fallback_version_offset);
    ReaderRecord record;
    record.creation_time = read_header_field<std::uint64_t>(*file, creation_time_offset);
    record.version = choose_version(candidate, fallback);
    record.path = std::move(path);
    record.rules = rules_of_path(record.path);
    return record;
}

}  // namespace

std::uint32_t choose_version(std::uint32_t at_36, std::uint32_t at_12) {
    return is_known_version(at_36) ? at_36 : at_12;
}

std::string creation_date_text(std::uint64_t creation_time) {
    const std::uint64_t seconds = creation_time / ticks_per_second;
    return std::to_string(seconds < seconds_from_1601_to_1970 ? 0 : seconds - seconds_from_1601_to_1970);
}

ReaderRecord open_record(std::string path, std::optional<FileProfile> profile) {
    ReaderRecord record = read_header(std::move(path));
    if (profile) record.rules = rules_of_profile(*profile);
    // The caches are filled from a fresh opening of the path, as every later call
    // does. The header's handle is closed by then, so one free descriptor is enough.
    initialize_caches(record, *io::open_for_reading(record.path));
    return record;
}

}  // namespace kestrune::reader
