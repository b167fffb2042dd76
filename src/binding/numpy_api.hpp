// NumPy's C API, reached at run time through the "_ARRAY_API" capsule of NumPy's
// multiarray module: building the module needs nothing of NumPy, and importing it
// works without NumPy installed.
#pragma once

#include <optional>
#include <string>

#include "binding/py_ref.hpp"

namespace kestrune::binding {

struct NumpyDescr;  // NumPy's array descriptor, a Python object used only by pointer
using npy_intp = Py_intptr_t;

inline constexpr int npy_float = 11;
inline constexpr int npy_double = 12;
inline constexpr int npy_array_writeable = 0x0400;

// The entries of NumPy's API table that the peak arrays use.
struct NumpyApi {
    PyTypeObject* array_type;
    NumpyDescr* (*descr_from_type)(int type_number);
    // Takes over the reference to `descr`, even when it fails.
    PyObject* (*new_from_descr)(PyTypeObject* subtype, NumpyDescr* descr, int nd,
                                const npy_intp* dims, const npy_intp* strides, void* data,
                                int flags, PyObject* owner);
    // Takes over the reference to `base`, even when it fails.
    int (*set_base_object)(PyObject* array, PyObject* base);
};

// What numpy_api() has found so far (kept in the module state). Each value is stored
// once, by the first call that finds it.
struct NumpyCache {
    struct CoreModule {
        std::string package;     // "numpy._core" or "numpy.core"
        std::string multiarray;  // the package's multiarray module
    };
    std::optional<CoreModule> core_module;
    std::optional<NumpyApi> api;
};

// The API, found at the first call and kept for the life of the process. When NumPy
// cannot be reached the call ends in the internal failure "Failed to access NumPy
// array API capsule: ..." and nothing of the failed step is kept, so the next call
// tries again.
const NumpyApi& numpy_api();

}  // namespace kestrune::binding
