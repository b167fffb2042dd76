// Peak extraction: the peak block of one scan, found by searching the bytes that
// follow the scan's entry in the scan offset cache.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reader/byte_source.hpp"
#include "reader/record.hpp"

namespace kestrune {

// The peaks of one block, in file order; both sequences have the same length.
struct Peaks {
    std::vector<double> mz;
    std::vector<float> intensity;
};

// The peaks of scan `scan_number` (1-based), or nullopt when the scan is out of
// range, the source cannot be read or no block passes. Version 66 files hold wide
// 12-byte records, every other version narrow 8-byte ones. Only the search window
// and the chosen block are read, each byte once.
std::optional<Peaks> extract_peaks(const Record& record, std::uint32_t scan_number,
                                   const ByteSource& source);

}  // namespace kestrune
