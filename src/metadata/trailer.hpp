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

// The entries in dictionary order; none for a scan number outside the file. Reads
// the 140 used bytes of the trailer record and the file's length from `source`.
// Throws InternalFailure when a cache is shorter than num_scans.
std::vector<TrailerEntry> trailer_extra(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                        const io::ByteSource& source);

}  // namespace kestrune::metadata
