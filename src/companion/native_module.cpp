// kestrune_tools._native: the companion's run-level pass over a RawFileReader's
// file. It reaches the reader's record the way the reader's own methods do (a shared
// borrow, ended before the file is read without the interpreter lock), so its peaks
// are those of get_peaks by construction: the same record, search and decoding.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/file_call.hpp"
#include "binding/module_state.hpp"
#include "binding/numpy_api.hpp"
#include "binding/reader_object.hpp"
#include "metadata/trailer.hpp"
#include "reader/format.hpp"
#include "reader/scan_queries.hpp"
#include "runpass/statistics.hpp"
#include "runpass/run_pass.hpp"

namespace kestrune::companion {

namespace {

using binding::created;
using binding::PyRef;
using binding::PythonErrorRaised;

constexpr const char* buffer_capsule_name = "kestrune_tools._native.buffer";

void free_storage(PyObject* capsule) {
    delete static_cast<runpass::Storage*>(PyCapsule_GetPointer(capsule, buffer_capsule_name));
}

// An array over the buffer's own storage, which a capsule (the array's base) frees
// with the array: no copy, and pyarrow wraps it without one either.
template <class T>
PyRef array_of(runpass::Buffer<T>&& buffer, std::initializer_list<binding::npy_intp> shape) {
    auto storage = std::make_unique<runpass::Storage>(buffer.release());
    T* data = static_cast<T*>(storage->data());
    PyRef owner(PyCapsule_New(storage.get(), buffer_capsule_name, free_storage));
    if (!owner) binding::fail_printing_python_error(binding::failure_text::python_api_call);
    storage.release();  // the capsule's now
    return binding::array_over(std::move(owner), data, shape);
}

// A contiguous one-dimensional buffer of `format` ("d" or "f"), released on scope exit.
class Values {
public:
    Values(PyObject* object, const char* format, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw PythonErrorRaised{};
        held_ = true;
        if (view_.ndim != 1 || !view_.format || std::string_view(view_.format) != format) {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of format '%s'", name, format);
            throw PythonErrorRaised{};
        }
    }
    ~Values() {
        if (held_) PyBuffer_Release(&view_);
    }
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    template <class T>
    const T* data() const { return static_cast<const T*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.shape[0]); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

std::vector<std::uint32_t> scan_numbers_of(PyObject* scans) {
    PyRef items(PySequence_Fast(scans, "scans must be a sequence of scan numbers"));
    if (!items) throw PythonErrorRaised{};
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject** each = PySequence_Fast_ITEMS(items.get());
    std::vector<std::uint32_t> numbers;
    numbers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const auto number = binding::to_u32(each[k], {"scan_pass", "scans"});
        if (!number) throw PythonErrorRaised{};
        numbers.push_back(*number);
    }
    return numbers;
}

std::vector<double> window_bounds_of(PyObject* bounds) {
    if (bounds == Py_None) return {};
    const Values values(bounds, "d", "bounds");
    if (values.size() % 2) {
        PyErr_SetString(PyExc_ValueError, "bounds holds two values per window");
        throw PythonErrorRaised{};
    }
    std::vector<double> bounds_list(values.data<double>(), values.data<double>() + values.size());
    if (std::any_of(bounds_list.begin(), bounds_list.end(), [](double v) { return std::isnan(v); })) {
        PyErr_SetString(PyExc_ValueError, "a window bound is NaN");
        throw PythonErrorRaised{};
    }
    return bounds_list;
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) != 0) throw PythonErrorRaised{};
}

PyRef result_dict(runpass::PassResult&& result, std::size_t windows, bool with_peaks) {
    const auto rows = static_cast<binding::npy_intp>(result.scans_read);
    PyRef dict = created(PyDict_New());
    set_item(dict.get(), runpass::count_statistic.name, array_of(std::move(result.peak_count), {rows}));
    for (std::size_t k = 0; k < runpass::value_statistics.size(); ++k) {
        set_item(dict.get(), runpass::value_statistics[k].name, array_of(std::move(result.values[k]), {rows}));
    }
    set_item(dict.get(), "window_sums",
             array_of(std::move(result.window_sums), {static_cast<binding::npy_intp>(windows), rows}));
    if (with_peaks) {
        const auto peaks = static_cast<binding::npy_intp>(result.peak_mz.size());
        set_item(dict.get(), "peak_offsets", array_of(std::move(result.peak_offsets), {rows + 1}));
        set_item(dict.get(), "peak_scan", array_of(std::move(result.peak_scan), {peaks}));
        set_item(dict.get(), "peak_mz", array_of(std::move(result.peak_mz), {peaks}));
        set_item(dict.get(), "peak_intensity", array_of(std::move(result.peak_intensity), {peaks}));
    }
    return dict;
}

PyObject* scan_pass(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::run_entry([&]() -> PyObject* {
        static const char* keywords[] = {"reader", "scans", "bounds", "with_peaks", "peak_budget", nullptr};
        PyObject *reader_object, *scans, *bounds = Py_None;
        int with_peaks = 0;
        unsigned long long peak_budget = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OpK:scan_pass", const_cast<char**>(keywords),
                                         &reader_object, &scans, &bounds, &with_peaks, &peak_budget)) {
            return nullptr;
        }
        binding::ReaderObject* reader = binding::as_reader(reader_object);
        if (!reader) return nullptr;
        runpass::PassRequest request;
        request.scan_numbers = scan_numbers_of(scans);
        request.windows = runpass::Windows(window_bounds_of(bounds));
        request.with_peaks = with_peaks != 0;
        request.peak_budget = request.with_peaks ? peak_budget : 0;

        binding::Borrow borrow(reader, binding::Borrow::Kind::shared);
        if (!borrow.ok()) return nullptr;
        binding::FileCall call(borrow, reader->record);
        request.path = call.record().path;
        for (const std::uint32_t scan : request.scan_numbers) {
            request.searches.push_back(spectra::peak_search_of(call.record(), scan));
        }
        auto result = call.off_lock([&request](const io::BetweenChunks& between_scans) {
            return runpass::run_pass(request, between_scans);
        });
        return result_dict(std::move(result), request.windows.count(), request.with_peaks).release();
    });
}

// The statistics in the pass's order.
PyRef statistics_tuple(const runpass::PeakSummary& summary) {
    PyRef values = created(PyTuple_New(1 + runpass::value_statistics.size()));
    PyTuple_SET_ITEM(values.get(), 0, created(PyLong_FromUnsignedLong(summary.*runpass::count_statistic.member)).release());
    for (std::size_t k = 0; k < runpass::value_statistics.size(); ++k) {
        PyObject* value = created(PyFloat_FromDouble(summary.*runpass::value_statistics[k].member)).release();
        PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k + 1), value);
    }
    return values;
}

PyObject* peak_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return binding::run_entry([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "peak_stats takes (mz, intensity)");
            return nullptr;
        }
        const Values mz(args[0], "d", "mz");
        const Values intensity(args[1], "f", "intensity");
        if (mz.size() != intensity.size()) {
            PyErr_SetString(PyExc_ValueError, "mz and intensity differ in length");
            return nullptr;
        }
        const runpass::PeakSummary summary =
            runpass::summarise(mz.data<double>(), intensity.data<float>(), mz.size());
        return statistics_tuple(summary).release();
    });
}

// What ms_levels copies from the record before it reads the file: each scan's master
// scan and whether its trailer reads the file, up to the first scan whose trailer
// fails on the caches, and that failure.
struct LevelInputs {
    std::vector<std::int32_t> master_scans;
    std::vector<bool> reads_file;
    std::optional<reader::InternalFailure> failure;
};

LevelInputs level_inputs(const reader::ReaderRecord& record) {
    LevelInputs inputs;
    for (std::uint32_t scan = 1; scan <= record.num_scans && scan != 0; ++scan) {
        try {
            metadata::trailer_cache_entries(record, scan);  // fails as get_trailer_extra would
        } catch (const reader::InternalFailure& failure) {
            inputs.failure = failure;
            break;
        }
        inputs.master_scans.push_back(reader::cache_entry(record.caches.master_scans, scan));
        inputs.reads_file.push_back(metadata::trailer_reads_file(record, scan));
    }
    return inputs;
}

// Every scan's MS level as ms_level_rule gives it from get_trailer_extra(scan) and the
// scan's master scan, scan by scan in order, failing where the first of those calls
// would: the file opened once rather than once a scan, and no dictionary made.
PyObject* ms_levels(PyObject*, PyObject* reader_object) {
    return binding::run_entry([&]() -> PyObject* {
        binding::ReaderObject* reader = binding::as_reader(reader_object);
        if (!reader) return nullptr;
        binding::Borrow borrow(reader, binding::Borrow::Kind::shared);
        if (!borrow.ok()) return nullptr;
        binding::FileCall call(borrow, reader->record);
        const LevelInputs inputs = level_inputs(call.record());
        auto levels = call.off_lock([&inputs, path = call.record().path](const io::BetweenChunks&) {
            std::unique_ptr<io::ByteSource> source;
            std::vector<std::int64_t> found;
            for (std::size_t k = 0; k < inputs.master_scans.size(); ++k) {
                std::optional<std::int64_t> order;
                if (inputs.reads_file[k]) {
                    if (!source) source = io::open_for_reading(path);
                    order = metadata::recorded_ms_order(static_cast<std::uint32_t>(k + 1), *source);
                }
                found.push_back(metadata::ms_level(order, inputs.master_scans[k]));
            }
            return found;
        });
        if (inputs.failure) throw *inputs.failure;
        PyRef list = created(PyList_New(static_cast<Py_ssize_t>(levels.size())));
        for (std::size_t k = 0; k < levels.size(); ++k) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), created(PyLong_FromLongLong(levels[k])).release());
        }
        return list.release();
    });
}

// The File profiles by the names the companion gives them.
std::optional<reader::FileProfile> profile_named(std::string_view name) {
    if (name == "small") return reader::FileProfile::small;
    if (name == "orbitrap") return reader::FileProfile::orbitrap;
    if (name == "generic") return reader::FileProfile::generic;
    return std::nullopt;
}

PyObject* open_reader(PyObject*, PyObject* args) {
    return binding::run_entry([&]() -> PyObject* {
        PyObject *path_object, *profile_object;
        if (!PyArg_ParseTuple(args, "OU:open_reader", &path_object, &profile_object)) return nullptr;
        auto path = binding::to_path_text(path_object, {"open_reader", "path"});
        if (!path) return nullptr;
        Py_ssize_t length = 0;
        const char* name = PyUnicode_AsUTF8AndSize(profile_object, &length);
        if (!name) return nullptr;
        const auto profile = profile_named({name, static_cast<std::size_t>(length)});
        if (!profile) {
            PyErr_Format(PyExc_ValueError, "unknown File profile %R: small, orbitrap or generic", profile_object);
            return nullptr;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(binding::module_state().reader_type);
        return binding::new_reader(type, std::move(*path), profile);
    });
}

// Whether the file's peak records hold each m/z as a 32-bit float (widened to 64
// bits by the reader), so that values taken from m/z have 32-bit precision only.
PyObject* narrow_mz(PyObject*, PyObject* reader_object) {
    return binding::run_entry([&]() -> PyObject* {
        binding::ReaderObject* reader = binding::as_reader(reader_object);
        if (!reader) return nullptr;
        binding::Borrow borrow(reader, binding::Borrow::Kind::shared);
        if (!borrow.ok()) return nullptr;
        return PyBool_FromLong(!reader::has_wide_peak_records(reader->record.version));
    });
}

PyObject* peak_block_reads(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(runpass::peak_block_reads());
}

PyMethodDef module_methods[] = {
    {"scan_pass", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_pass)),
     METH_VARARGS | METH_KEYWORDS,
     "scan_pass(reader, scans, bounds=None, with_peaks=False, peak_budget=0)\n--\n\n"
     "Reads each scan's peaks once and answers a dict of arrays: the per-scan statistics,\n"
     "the window sums (windows x scans) and, with_peaks, the peaks and their offsets.\n"
     "With peaks and a peak_budget, ends before the scan that would take the peaks past\n"
     "the budget (never before the first): the arrays then hold the first scans asked for."},
    {"narrow_mz", narrow_mz, METH_O,
     "narrow_mz(reader)\n--\n\nWhether the file's peak records hold 32-bit m/z values."},
    {"peak_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(peak_stats)), METH_FASTCALL,
     "peak_stats(mz, intensity)\n--\n\n"
     "The statistics of one scan's peaks, in the order and with the meaning of scan_pass's."},
    {"ms_levels", ms_levels, METH_O,
     "ms_levels(reader)\n--\n\n"
     "Every scan's MS level, as ms_level_rule answers from the scan's trailer and master scan."},
    {"open_reader", open_reader, METH_VARARGS,
     "open_reader(path, profile)\n--\n\n"
     "A RawFileReader over path that reads the file as a path of that File profile would\n"
     "be read ('small', 'orbitrap' or 'generic'), whatever the path's own name says."},
    {"peak_block_reads", peak_block_reads, METH_NOARGS,
     "peak_block_reads()\n--\n\nThe peak blocks scan_pass has read in this process."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kestrune_tools._native", "The companion's run-level pass.", -1, module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise_module() {
    binding::forget_borrows_in_fork_children();
    binding::ModuleState& state = binding::module_state();
    if (!state.reader_type) {
        PyRef kestrune(PyImport_ImportModule("kestrune"));  // makes and publishes the class
        if (!kestrune) return nullptr;
        state.reader_type = binding::published_reader_type();
        if (!state.reader_type) return nullptr;
    }
    return PyModule_Create(&module_definition);
}

}  // namespace

}  // namespace kestrune::companion

PyMODINIT_FUNC PyInit__native() {
    return kestrune::binding::run_entry([] { return kestrune::companion::initialise_module(); });
}
