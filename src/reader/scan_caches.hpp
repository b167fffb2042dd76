// The scan caches: num_scans and six per-scan tables, filled from hard-wired offsets
// chosen by the File profile and the version (both in reader/format.hpp).
#pragma once

#include <optional>

#include "reader/byte_source.hpp"
#include "reader/failure.hpp"
#include "reader/record.hpp"

namespace kestrune {

// Rebuilds num_scans and the six caches from `source`. On failure the record is
// left exactly as it was.
std::optional<InternalFailure> initialize_caches(Record& record, const ByteSource& source);

}  // namespace kestrune
