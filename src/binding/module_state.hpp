// The module's Python-side state: every object the binding keeps between calls, made
// once at import, and the NumPy API found at the first call that needs it (NumPy is
// optional, so importing the module never imports it).
//
// One interpreter: the module is initialised once per process, in the first
// interpreter that imports it (lib.cpp refuses any other), so the state is one
// process-wide object rather than memory of each module object, and what it holds
// lives until the process ends. Supporting subinterpreters would move it into the
// module (PyModuleDef.m_size) and reach it from the reader type.
#pragma once

#include <array>
#include <cstddef>

#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"

namespace kestrune::binding {

// The keys of list_spectra's summaries, in their order.
inline constexpr std::array<const char*, 6> summary_key_texts = {
    "scan_number", "rt", "injection_time", "master_scan", "charge", "monomz"};

struct ModuleState {
    PyObject* module = nullptr;  // set once the import has succeeded
    PyObject* reader_type = nullptr;
    PyObject* slice_container_type = nullptr;
    PyObject* panic_type = nullptr;  // kestrune_runtime.PanicException
    std::array<PyObject*, summary_key_texts.size()> summary_keys{};  // interned
    // A dict holding the summary keys in order, copied for each scan: the copy is made
    // at its final size with the keys' hashes in place, so filling it in only replaces
    // values, where an empty dict would grow on the sixth key.
    PyObject* summary_layout = nullptr;
    NumpyCache numpy;
};

ModuleState& module_state();

// Makes every object of the state but the module; false with the Python error set.
bool make_module_state();

// The reader class as kestrune made it, kept in the interpreter's own dict, which
// Python code cannot rebind: the companion reads its arguments as reader records, so
// it must not take the class from the module attribute a test's stand-in may replace.
// publish_reader_type is false, and published_reader_type null (a new reference
// otherwise), with the Python error set.
bool publish_reader_type(PyObject* type);
PyObject* published_reader_type();

// The module definition's m_traverse and m_clear.
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);

}  // namespace kestrune::binding
