// The kestrune module: its once-only initialisation and the RawFileReader class
// with its entry table.
#include <atomic>

#include "binding/entries.hpp"
#include "binding/module_state.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// Python 3.12 runs a single-phase module's initialisation before it asks whether the
// interpreter (an isolated subinterpreter, say) accepts such a module; 3.13 asks
// first. Its own check, exported by every 3.12 build, is asked here before the
// module claims an owner, so that a refused import leaves the module free.
#define KESTRUNE_CHECK_INTERPRETER_FIRST
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

namespace kestrune::binding {

namespace {

// One row of the class's table per method or attribute: each names the body of
// methods.hpp, the parameter of a one-argument method and the docstring once; the
// signature line the interpreter shows is made from the names.
#define KESTRUNE_METHOD(name, doc) \
    {#name, no_argument_entry<name>, METH_NOARGS, #name "($self)\n--\n\n" doc}
#define KESTRUNE_ONE_ARGUMENT_METHOD(name, parameter, doc)                                        \
    {#name,                                                                                       \
     reinterpret_cast<PyCFunction>(                                                               \
         reinterpret_cast<void (*)()>(one_argument_entry<name, #name, #parameter>)),              \
     METH_FASTCALL | METH_KEYWORDS, #name "($self, " #parameter ")\n--\n\n" doc}
#define KESTRUNE_ATTRIBUTE(name, doc) {#name, getter_entry<name>, nullptr, doc, nullptr}

// The methods in registration order; the class listing relies on this order.
//
// Every docstring here and in reader_attributes below is a required text of the
// system, pinned word for word (tests/test_module.py checks several): where one
// reads oddly ("Internal method ...", "a formatted UTC timestamp string" for what
// is a count of seconds), callers and stored tooling depend on it as it is. The
// README documents the behaviour; do not edit these texts to match it.
PyMethodDef reader_methods[] = {
    KESTRUNE_METHOD(initialize_caches,
                    "Internal method to populate RT, scan offset, and diagnostic caches."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_rt, scan_number,
        "Returns the retention time (in minutes) for the specified scan number."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_injection_time, scan_number,
        "Returns the ion injection time (in milliseconds) for the specified scan number."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_master_scan, scan_number,
        "Returns the master scan number for the given MSn scan."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_charge_state, scan_number,
        "Returns the precursor charge state for the given scan."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_monoisotopic_mz, scan_number,
        "Returns the precursor monoisotopic m/z for the given scan."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_trailer_extra, scan_number,
        "Recovers diagnostic metadata from the scan trailer.\n"
        "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_instrument_method, _index,
        "Returns the instrument method report for the given index.\n"
        "In modern XML-based files, this typically contains the full CmData block."),
    KESTRUNE_METHOD(get_status_log_labels,
        "Returns a list of labels for all parameters monitored in the instrument status log."),
    KESTRUNE_METHOD(get_error_logs,
        "Returns a list of hardware and software warning messages captured during acquisition."),
    KESTRUNE_ONE_ARGUMENT_METHOD(get_peaks, scan_num,
        "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
        "Returns a tuple of (m/z_array, intensity_array)."),
    KESTRUNE_ONE_ARGUMENT_METHOD(native_get_peaks, scan_num,
        "Internal native implementation for spectral peak extraction."),
    KESTRUNE_METHOD(list_spectra,
        "Returns a list of all scan summaries in the file.\n"
        "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_attributes[] = {
    KESTRUNE_ATTRIBUTE(creation_date,
                       "Returns the file creation date as a formatted UTC timestamp string."),
    KESTRUNE_ATTRIBUTE(version, "Returns the Thermo RAW file version (e.g., 57 or 66)."),
    KESTRUNE_ATTRIBUTE(num_scans, "Returns the total number of scans available in the file."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KESTRUNE_METHOD
#undef KESTRUNE_ONE_ARGUMENT_METHOD
#undef KESTRUNE_ATTRIBUTE

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_attributes},
    {Py_tp_doc, const_cast<char*>("RawFileReader(path)\n--\n\n"
                                  "High-performance native reader for Thermo Fisher .raw files.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.RawFileReader",
    static_cast<int>(sizeof(ReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    reader_slots,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kestrune", "", 0, nullptr, nullptr,
    traverse_module_state, clear_module_state, nullptr,
};

// The one-interpreter decision: the module is initialised once per process, by the
// first interpreter that imports it; its state (module_state.hpp) is that of the
// process. Any other interpreter's import fails. -1 until the first one.
std::atomic<std::int64_t> owning_interpreter{-1};

// Adds the class to the module and to its __all__.
bool add_reader_class(PyObject* module) {
    PyObject* type = module_state().reader_type;
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    PyRef name(PyUnicode_FromString("RawFileReader"));
    if (!name || PyList_Append(all.get(), name.get()) != 0) return false;
    return PyObject_SetAttrString(module, "RawFileReader", type) == 0;
}

// Whether this interpreter takes the module; false with the ImportError set.
bool interpreter_accepts_module() {
#ifdef KESTRUNE_CHECK_INTERPRETER_FIRST
    return _PyImport_CheckSubinterpIncompatibleExtensionAllowed("kestrune") == 0;
#else
    return true;
#endif
}

PyObject* initialise_module() {
    if (!interpreter_accepts_module()) return nullptr;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return raise_unless_set();
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "kestrune does not yet support subinterpreters: it can only be "
                        "initialised once per process, in the first interpreter");
        return nullptr;
    }
    ModuleState& state = module_state();
    if (state.module) return PyRef::borrowed(state.module).release();
    forget_borrows_in_fork_children();

    PyRef module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module || !make_module_state() || !add_reader_class(module.get()) ||
        !publish_reader_type(state.reader_type)) {
        return nullptr;
    }
    state.module = PyRef::borrowed(module.get()).release();
    return module.release();
}

}  // namespace

PyObject* make_reader_type() { return PyType_FromSpec(&reader_spec); }

}  // namespace kestrune::binding

PyMODINIT_FUNC PyInit_kestrune() {
    return kestrune::binding::run_entry([] { return kestrune::binding::initialise_module(); });
}
