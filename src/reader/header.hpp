// Construction of the reader record from the file header.
#pragma once

#include <optional>
#include <string>

#include "io/byte_source.hpp"
#include "reader/failure.hpp"
#include "reader/record.hpp"

namespace kestrune::reader {

// Opens `path`, reads the version and creation time, then fills the scan caches as
// the path's File profile says, or as `profile` says where one is given.
// Throws the OsError of the header reads, or the scan caches' InternalFailure.
ReaderRecord open_record(std::string path, std::optional<FileProfile> profile = std::nullopt);

// The version rule: the value at offset 36 when it is a known version, else the one at 12.
std::uint32_t choose_version(std::uint32_t at_36, std::uint32_t at_12);

// Whole seconds since 1970-01-01 UTC, rendered in decimal (0 before 1970).
std::string creation_date_text(std::uint64_t creation_time);

}  // namespace kestrune::reader
