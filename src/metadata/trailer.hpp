// The trailer dictionary of a scan: five values from the scan caches, then either
// "MS Order" = 1 or, for orbitrap files of version 66, the fields of the scan's
// orbitrap trailer record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io/byte_source.hpp"
#include "reader/record.hpp"

namespace kestrune::metadata {

using TrailerValue = std::variant<double, std::int64_t, std::string>;

struct TrailerEntry {
    std::string_view key;  // a static display label
    TrailerValue value;
};

// True when the scan's entries come partly from its orbitrap trailer record, so
// the file must be read; otherwise the caches alone answer.
bool trailer_reads_file(const reader::ReaderRecord& record, std::uint32_t scan_number);

// The entries the scan caches give, in dictionary order, with "MS Order" = 1 when
// the file need not be read; none for a scan number outside the file. Throws
// InternalFailure when a cache is shorter than num_scans.
std::vector<TrailerEntry> trailer_cache_entries(const reader::ReaderRecord& record,
                                                std::uint32_t scan_number);

// Appends the fields of the scan's orbitrap trailer record, reading its 140 used
// bytes and the file's length from `source`. A file that cannot be read, or ends
// before the record's used bytes, adds nothing.
void append_trailer_record(std::vector<TrailerEntry>& entries, std::uint32_t scan_number,
                           const io::ByteSource& source);

// The "MS Order" that append_trailer_record adds for the scan (its record's order byte
// plus one), nullopt where it adds nothing.
std::optional<std::int64_t> recorded_ms_order(std::uint32_t scan_number, const io::ByteSource& source);

// A scan's MS level, the companion's rule over its trailer dictionary: the recorded
// "MS Order" where the record gives one from 1 to max_ms_level, else 2 for a scan
// with a master scan and 1 for one without.
inline constexpr std::int64_t max_ms_level = 127;
std::int64_t ms_level(std::optional<std::int64_t> recorded_order, std::int32_t master_scan);

// The whole dictionary: the cache entries, then the record's fields when the file
// must be read.
std::vector<TrailerEntry> trailer_extra(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                        const io::ByteSource& source);

}  // namespace kestrune::metadata
