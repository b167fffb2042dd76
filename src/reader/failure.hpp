// How the core fails: by throwing, always. An InternalFailure is a check that stops
// an operation; the binding layer raises it as PanicException with the message,
// after writing a diagnostic naming `where`. The other thrown failure is OsError
// (io/byte_source.hpp), raised as the OSError family.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace kestrune::reader {

struct InternalFailure {
    std::string message;
    std::source_location where;
};

inline InternalFailure internal_failure(std::string message,
                                        std::source_location where = std::source_location::current()) {
    return {std::move(message), where};
}

}  // namespace kestrune::reader
