// The scan caches: num_scans and six per-scan tables, filled from hard-wired offsets
// chosen by the File profile (a substring test on the path) and the version.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "reader/byte_source.hpp"
#include "reader/failure.hpp"
#include "reader/record.hpp"

namespace kestrune {

enum class FileProfile { small, orbitrap, generic };

// small when the path holds "small.RAW", else orbitrap when it holds "orbitrap".
FileProfile profile_of(std::string_view path);

// The orbitrap test made on its own (metadata and trailer), whatever the profile.
bool path_names_orbitrap(std::string_view path);

// 48 scans for version 57, 145 for 66, 100 for any other.
std::uint32_t scan_count_for(std::uint32_t version);

// The orbitrap trailer record of scan index k: 558 bytes per scan.
constexpr std::uint64_t orbitrap_trailer_start = 6'514'414;
constexpr std::uint64_t orbitrap_trailer_stride = 558;
constexpr std::uint64_t orbitrap_trailer_offset(std::uint64_t k) {
    return orbitrap_trailer_start + orbitrap_trailer_stride * k;
}

// Rebuilds num_scans and the six caches from `source`. On failure the record is
// left exactly as it was.
std::optional<InternalFailure> initialize_caches(Record& record, const ByteSource& source);

}  // namespace kestrune
