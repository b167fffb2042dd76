// The text-run scan behind the status-log labels and the error log: the file seen
// as 16-bit little-endian units from byte 0, the first occurrence of a marker
// word, then the runs of non-control units from there, each decoded as UTF-16.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_source.hpp"
#include "io/source_search.hpp"

namespace kestrune::metadata {

// Where the run after the current one starts.
enum class NextRun {
    printable_ascii,  // the first unit from 32 to 126; every other unit is passed over
    text_to_0x100,    // the first unit of 32 or more; the scan ends if it is above 256
};

struct TextRunRules {
    std::string_view marker;  // ASCII: one unit per character
    unsigned step_limit;      // runs examined, the marker's own included
    NextRun next_run;
    bool stop_after_short_text;  // end once two or more texts are held and the last is under 2 bytes
    bool drop_duplicates;        // keep only the first of equal texts
};

inline constexpr TextRunRules status_log_rules{.marker = "Coulombmeter",
                                               .step_limit = 300,
                                               .next_run = NextRun::printable_ascii,
                                               .stop_after_short_text = true,
                                               .drop_duplicates = false};
inline constexpr TextRunRules error_log_rules{.marker = "Possible spray instability",
                                              .step_limit = 100,
                                              .next_run = NextRun::text_to_0x100,
                                              .stop_after_short_text = false,
                                              .drop_duplicates = true};

// The texts (UTF-8) of the runs from the marker on, in file order. Empty when the
// marker is absent, stands only at odd byte offsets, or the file cannot be read.
// Holds one chunk of the file at a time besides the result; calls `between_chunks`
// before each read after the first.
std::vector<std::string> scan_text_runs(const io::ByteSource& source, const TextRunRules& rules,
                                        std::size_t chunk_size = io::default_chunk_size,
                                        const io::BetweenChunks& between_chunks = {});

inline std::vector<std::string> status_log_labels(const io::ByteSource& source,
                                                  const io::BetweenChunks& between_chunks = {}) {
    return scan_text_runs(source, status_log_rules, io::default_chunk_size, between_chunks);
}

inline std::vector<std::string> error_logs(const io::ByteSource& source,
                                           const io::BetweenChunks& between_chunks = {}) {
    return scan_text_runs(source, error_log_rules, io::default_chunk_size, between_chunks);
}

}  // namespace kestrune::metadata
