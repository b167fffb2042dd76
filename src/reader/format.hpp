// The file format's rules in one place: the known versions, the scan count of each,
// the File profile of a path, how a scan number becomes a table index, and the
// layout of the orbitrap trailer record. The layout constants of one decoder only
// (the scan index, the small metadata blocks, the peak blocks) stay beside it.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrune::reader {

// The known versions. The version is the u32 at offset 36 when that is a known one,
// else the u32 at offset 12 (see choose_version in header.hpp).
inline constexpr std::uint32_t version_57 = 57;
inline constexpr std::uint32_t version_66 = 66;

constexpr bool is_known_version(std::uint32_t version) {
    return version == version_57 || version == version_66;
}

// 48 scans for version 57, 145 for 66, 100 for any other.
constexpr std::uint32_t scan_count_for(std::uint32_t version) {
    if (version == version_57) return 48;
    if (version == version_66) return 145;
    return 100;
}

// Version 66 peak blocks hold wide 12-byte records, every other version narrow
// 8-byte ones (laid out in spectra/record_split.hpp).
constexpr bool has_wide_peak_records(std::uint32_t version) { return version == version_66; }

// Only orbitrap files of version 66 add their trailer record's own fields to the
// trailer dictionary; the cached fields are read for every orbitrap file.
constexpr bool has_trailer_fields(std::uint32_t version) { return version == version_66; }

// The File profile chooses the hard-wired offsets of the scan caches: a substring
// test on the path as given.
enum class FileProfile { small, orbitrap, generic };

// The orbitrap test on its own (the trailer record), whatever the profile.
constexpr bool path_names_orbitrap(std::string_view path) {
    return path.find("orbitrap") != std::string_view::npos;
}

// small when the path holds "small.RAW", else orbitrap when it holds "orbitrap".
constexpr FileProfile profile_of(std::string_view path) {
    if (path.find("small.RAW") != std::string_view::npos) return FileProfile::small;
    if (path_names_orbitrap(path)) return FileProfile::orbitrap;
    return FileProfile::generic;
}

// How a record reads its file: the profile's offsets, and whether the scans' orbitrap
// trailer records are read. A path decides both; a record opened with a chosen
// profile reads its file as the reader reads a path of that profile.
struct ReadingRules {
    FileProfile profile = FileProfile::generic;
    bool orbitrap_records = false;
};

constexpr ReadingRules rules_of_path(std::string_view path) {
    return {profile_of(path), path_names_orbitrap(path)};
}

constexpr ReadingRules rules_of_profile(FileProfile profile) {
    return {profile, profile == FileProfile::orbitrap};
}

// Scan numbers are 1-based; the index is taken in 64 bits so that scan 0 lies beyond
// every table instead of wrapping to the last scan.
constexpr std::uint64_t scan_index(std::uint32_t scan_number) {
    return static_cast<std::uint64_t>(scan_number) - 1;
}

// The orbitrap trailer record: one 558-byte record per scan from a fixed offset.
// Offsets below are from the record's start.
namespace trailer_record {

inline constexpr std::uint64_t start = 6'514'414;
inline constexpr std::uint64_t stride = 558;
constexpr std::uint64_t offset_of(std::uint64_t index) { return start + stride * index; }

// The fields copied into the scan caches, all within the first 76 bytes.
inline constexpr std::uint64_t cached_width = 76;
inline constexpr std::uint64_t injection_time = 12;   // float32, ms
inline constexpr std::uint64_t master_scan = 62;      // int32
inline constexpr std::uint64_t monoisotopic_mz = 66;  // float64
inline constexpr std::uint64_t charge = 74;           // u8

// The fields the trailer dictionary reads, all within the first 140 bytes.
inline constexpr std::uint64_t used_width = 140;
inline constexpr std::uint64_t agc = 0, agc_width = 13;  // text; its last byte starts the injection time
inline constexpr std::uint64_t elapsed_time = 16;         // float32, seconds
inline constexpr std::uint64_t resolution = 21;           // u32
inline constexpr std::uint64_t ms_order = 29;             // u8, one less than the order
inline constexpr std::uint64_t collision_energy = 75, collision_energy_width = 16;  // decimal text
inline constexpr std::uint64_t hcd_energy = 100, hcd_energy_width = 16;              // text
inline constexpr std::uint64_t isolation_width = 125;     // float32

static_assert(cached_width <= used_width && used_width <= stride);
static_assert(isolation_width + 4 <= used_width && hcd_energy + hcd_energy_width <= used_width);

}  // namespace trailer_record

}  // namespace kestrune::reader
