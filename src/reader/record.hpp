// The reader record: everything kept about one acquisition file between calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/format.hpp"

namespace kestrune::reader {

// The six scan caches; entry k belongs to scan number k + 1.
struct ScanCaches {
    std::vector<double> retention_times;       // minutes
    std::vector<std::uint64_t> scan_offsets;   // byte offset of each scan's data
    std::vector<double> injection_times;       // milliseconds
    std::vector<std::int32_t> master_scans;
    std::vector<std::int32_t> charge_states;
    std::vector<double> monoisotopic_mzs;

    ScanCaches() = default;
    // n zeroed entries in each cache.
    explicit ScanCaches(std::uint32_t n)
        : retention_times(n), scan_offsets(n), injection_times(n), master_scans(n),
          charge_states(n), monoisotopic_mzs(n) {}
};

struct ReaderRecord {
    std::string path;  // as given; reopened by every operation that reads the file
    ReadingRules rules;  // from the path, unless a profile was chosen at opening
    ScanCaches caches;
    std::uint64_t creation_time = 0;  // 100 ns ticks since 1601-01-01 UTC
    std::uint32_t version = 0;
    std::uint32_t num_scans = 0;
};

}  // namespace kestrune::reader
