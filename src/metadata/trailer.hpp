// The trailer dictionary of a scan: five values from the scan caches, then either
// "MS Order" = 1 or, for orbitrap files of version 66, the fields of the scan's
// orbitrap trailer record.
#pragma once

#include <cstdint>
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

// The whole dictionary: the cache entries, then the record's fields when the file
// must be read.
std::vector<TrailerEntry> trailer_extra(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                        const io::ByteSource& source);

}  // namespace kestrune::metadata
