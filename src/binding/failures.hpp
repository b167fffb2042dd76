// How failures leave the reader: internal failures as PanicException, operating-system
// errors as the OSError family. Bodies throw; run_entry (reader_object.hpp) raises.
#pragma once

#include <source_location>
#include <string>

#include "binding/py_ref.hpp"
#include "io/byte_source.hpp"
#include "reader/failure.hpp"

namespace kestrune::binding {

// The fixed texts that more than one place raises.
namespace failure_text {
inline constexpr const char* python_api_call = "Python API call failed";
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
}  // namespace failure_text

// Makes the kestrune_runtime.PanicException class (module_state.hpp keeps it).
PyObject* make_panic_type();

// Writes the diagnostic to standard error and raises PanicException with the
// failure's message. Aborts the process if even that cannot be done.
void raise_panic(const reader::InternalFailure& failure) noexcept;

// Raises the exception class for the error number with "{} (os error {})", or a plain
// OSError with the fixed message of a failure that has no error number.
void raise_os_error(const io::OsError& error);

// Returns null for an entry whose interpreter call failed, setting SystemError when
// that call left no exception.
PyObject* raise_unless_set();

// Ends the call in an internal failure with `message`, after printing the pending
// Python exception to standard error.
[[noreturn]] void fail_printing_python_error(const char* message,
                                             std::source_location where = std::source_location::current());

// Ends the call in an internal failure whose message is `prefix`, then ": " and the
// pending exception as "Type: text" when one is set. The exception is cleared.
[[noreturn]] void fail_with_python_error(std::string prefix,
                                         std::source_location where = std::source_location::current());

// Takes over a newly created result object. A null one means the interpreter could
// not make it: the pending error is printed and the call ends in an internal failure.
inline PyRef created(PyObject* object, std::source_location where = std::source_location::current()) {
    if (!object) fail_printing_python_error(failure_text::python_api_call, where);
    return PyRef(object);
}

}  // namespace kestrune::binding
