// Internal failures that carry the Python exception which caused them.
#pragma once

#include <source_location>
#include <string>

namespace kestrune::binding {

// Ends the call in an internal failure whose message is `prefix`, then ": " and the
// pending exception as "Type: text" when one is set. The exception is cleared.
[[noreturn]] void fail_with_python_error(std::string prefix,
                                         std::source_location where = std::source_location::current());

}  // namespace kestrune::binding
