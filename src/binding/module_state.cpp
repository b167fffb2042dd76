#include "binding/module_state.hpp"

namespace kestrune::binding {

namespace {

// One per module that links the binding: the reader's, and the companion's, which
// keeps its own NumPy API and the reader class it reaches.
ModuleState state;

constexpr const char* reader_type_key = "kestrune.RawFileReader";

PyObject* interpreter_dict() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "the interpreter has no state dict");
    return dict;
}

}  // namespace

ModuleState& module_state() { return state; }

bool publish_reader_type(PyObject* type) {
    PyObject* dict = interpreter_dict();
    return dict && PyDict_SetItemString(dict, reader_type_key, type) == 0;
}

PyObject* published_reader_type() {
    PyObject* dict = interpreter_dict();
    if (!dict) return nullptr;
    PyObject* type = PyDict_GetItemString(dict, reader_type_key);  // borrowed
    if (!type || !PyType_Check(type)) {
        PyErr_SetString(PyExc_ImportError, "kestrune has not made its RawFileReader class");
        return nullptr;
    }
    return PyRef::borrowed(type).release();
}

}  // namespace kestrune::binding
