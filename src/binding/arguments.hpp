// Parsing and conversion of the single argument that an entry takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "binding/py_ref.hpp"

namespace kestrune::binding {

// One entry's parameter: "RawFileReader.<entry>()" names the entry in messages.
struct Parameter {
    const char* entry;
    const char* name;
};

// The argument of a vectorcall entry (borrowed), or null with the TypeError set.
PyObject* parse_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// The argument of the constructor's tuple and keyword dictionary, likewise.
PyObject* parse_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs);

// The argument as an unsigned 32-bit integer, or nullopt with the conversion error set.
std::optional<std::uint32_t> to_u32(PyObject* argument, const Parameter& parameter);

// The argument as UTF-8 text (str only), or nullopt with the conversion error set.
std::optional<std::string> to_path_text(PyObject* argument, const Parameter& parameter);

// TypeError "'{}' object cannot be converted to '{}'" for an object of the wrong type.
void raise_cannot_convert(PyObject* object, const char* target);

}  // namespace kestrune::binding
