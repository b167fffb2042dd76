// Result conversion: each body value becomes a new Python object.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/failures.hpp"

namespace kestrune::binding {

inline PyRef py_float(double value) { return created(PyFloat_FromDouble(value)); }

inline PyRef py_int(long value) { return created(PyLong_FromLong(value)); }

inline PyRef py_text(std::string_view text) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Inserts into a dictionary; false with the interpreter's exception set when it refuses.
inline bool set_item(PyObject* dict, PyObject* key, const PyRef& value) {
    return PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace kestrune::binding
