// The instrument method report: the XML text from the first XML declaration in the
// file's first 4 MiB to the end of its method element.
#pragma once

#include <cstddef>
#include <string>

#include "io/source_search.hpp"
#include "io/byte_source.hpp"

namespace kestrune::metadata {

// The report (UTF-8), or the empty string when no declaration lies wholly inside
// the first 4 MiB, its window is not valid UTF-8, or the file cannot be read.
// Reads the first 4 MiB `chunk_size` bytes at a time, stopping at the declaration,
// then the window of at most 200000 bytes that starts there.
std::string instrument_method(const io::ByteSource& source, std::size_t chunk_size = io::default_chunk_size);

}  // namespace kestrune::metadata
