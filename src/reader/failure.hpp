// Internal failures: checks that stop an operation. The binding layer raises them
// as PanicException with the message, after writing a diagnostic naming `where`.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace kestrune {

struct InternalFailure {
    std::string message;
    std::source_location where;
};

inline InternalFailure internal_failure(std::string message,
                                        std::source_location where = std::source_location::current()) {
    return {std::move(message), where};
}

}  // namespace kestrune
