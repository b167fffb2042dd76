// The kestrune module: its once-only initialisation and the RawFileReader class
// with its entry table.
#include <atomic>

#include "binding/metadata_methods.hpp"
#include "binding/module_state.hpp"
#include "binding/peak_methods.hpp"
#include "binding/reader_methods.hpp"

namespace kestrune::binding {

namespace {

constexpr int one_argument = METH_FASTCALL | METH_KEYWORDS;

template <class Entry>
constexpr PyCFunction vectorcall(Entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(one_argument_entry<Entry>));
}

// The methods in registration order; the class listing relies on this order.
//
// Every docstring here and in reader_attributes below is a required text of the
// system, pinned word for word (tests/test_module.py checks several): where one
// reads oddly ("Internal method ...", "a formatted UTC timestamp string" for what
// is a count of seconds), callers and stored tooling depend on it as it is. The
// README documents the behaviour; do not edit these texts to match it.
PyMethodDef reader_methods[] = {
    {"initialize_caches", exclusive_entry<InitializeCaches>, METH_NOARGS,
     "initialize_caches($self)\n--\n\n"
     "Internal method to populate RT, scan offset, and diagnostic caches."},
    {"get_rt", vectorcall(GetRt{}), one_argument,
     "get_rt($self, scan_number)\n--\n\n"
     "Returns the retention time (in minutes) for the specified scan number."},
    {"get_injection_time", vectorcall(GetInjectionTime{}), one_argument,
     "get_injection_time($self, scan_number)\n--\n\n"
     "Returns the ion injection time (in milliseconds) for the specified scan number."},
    {"get_master_scan", vectorcall(GetMasterScan{}), one_argument,
     "get_master_scan($self, scan_number)\n--\n\n"
     "Returns the master scan number for the given MSn scan."},
    {"get_charge_state", vectorcall(GetChargeState{}), one_argument,
     "get_charge_state($self, scan_number)\n--\n\n"
     "Returns the precursor charge state for the given scan."},
    {"get_monoisotopic_mz", vectorcall(GetMonoisotopicMz{}), one_argument,
     "get_monoisotopic_mz($self, scan_number)\n--\n\n"
     "Returns the precursor monoisotopic m/z for the given scan."},
    {"get_trailer_extra", vectorcall(GetTrailerExtra{}), one_argument,
     "get_trailer_extra($self, scan_number)\n--\n\n"
     "Recovers diagnostic metadata from the scan trailer.\n"
     "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."},
    {"get_instrument_method", vectorcall(GetInstrumentMethod{}), one_argument,
     "get_instrument_method($self, _index)\n--\n\n"
     "Returns the instrument method report for the given index.\n"
     "In modern XML-based files, this typically contains the full CmData block."},
    {"get_status_log_labels", no_argument_entry<GetStatusLogLabels>, METH_NOARGS,
     "get_status_log_labels($self)\n--\n\n"
     "Returns a list of labels for all parameters monitored in the instrument status log."},
    {"get_error_logs", no_argument_entry<GetErrorLogs>, METH_NOARGS,
     "get_error_logs($self)\n--\n\n"
     "Returns a list of hardware and software warning messages captured during acquisition."},
    {"get_peaks", vectorcall(GetPeaks{}), one_argument,
     "get_peaks($self, scan_num)\n--\n\n"
     "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
     "Returns a tuple of (m/z_array, intensity_array)."},
    {"native_get_peaks", vectorcall(NativeGetPeaks{}), one_argument,
     "native_get_peaks($self, scan_num)\n--\n\n"
     "Internal native implementation for spectral peak extraction."},
    {"list_spectra", no_argument_entry<ListSpectra>, METH_NOARGS,
     "list_spectra($self)\n--\n\n"
     "Returns a list of all scan summaries in the file.\n"
     "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_attributes[] = {
    {"creation_date", getter_entry<CreationDate>, nullptr,
     "Returns the file creation date as a formatted UTC timestamp string.", nullptr},
    {"version", getter_entry<Version>, nullptr,
     "Returns the Thermo RAW file version (e.g., 57 or 66).", nullptr},
    {"num_scans", getter_entry<NumScans>, nullptr,
     "Returns the total number of scans available in the file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

PyObject* initialise_module() {
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

    PyRef module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module || !make_module_state() || !add_reader_class(module.get())) return nullptr;
    state.module = PyRef::borrowed(module.get()).release();
    return module.release();
}

}  // namespace

PyObject* make_reader_type() { return PyType_FromSpec(&reader_spec); }

}  // namespace kestrune::binding

PyMODINIT_FUNC PyInit_kestrune() {
    return kestrune::binding::run_entry([] { return kestrune::binding::initialise_module(); });
}
