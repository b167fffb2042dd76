// The scan caches: num_scans and six per-scan tables, filled from hard-wired offsets
// chosen by the File profile and the version (both in reader/format.hpp).
#pragma once

#include "io/byte_source.hpp"
#include "reader/failure.hpp"
#include "reader/record.hpp"

namespace kestrune::reader {

// Rebuilds num_scans and the six caches from `source`. Throws InternalFailure when
// the file cannot be read or its scan index leaves it; the record is then left
// exactly as it was.
void initialize_caches(ReaderRecord& record, const io::ByteSource& source);

}  // namespace kestrune::reader
