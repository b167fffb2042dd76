// How failures leave the reader: internal failures as PanicException, operating-system
// errors as the OSError family, and result objects that the interpreter refuses to make.
#pragma once

#include "binding/py_ref.hpp"
#include "reader/byte_source.hpp"
#include "reader/failure.hpp"

namespace kestrune::binding {

// Writes the diagnostic to standard error and raises PanicException with the
// failure's message. Aborts the process if even that cannot be done.
void raise_panic(const InternalFailure& failure) noexcept;

// Raises the exception class for the error number with "{} (os error {})", or a plain
// OSError with the fixed message of a failure that has no error number.
void raise_os_error(const OsError& error);

// Takes over a newly created result object. A null one means the interpreter could
// not make it: the pending error is printed and the call ends in an internal failure.
PyRef created(PyObject* object, std::source_location where = std::source_location::current());

}  // namespace kestrune::binding
