// NumPy's C API, reached at run time through the "_ARRAY_API" capsule of NumPy's
// multiarray module: building the module needs nothing of NumPy, and importing it
// works without NumPy installed. The one way C++ memory becomes a NumPy array is
// array_over.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>

#include "binding/py_ref.hpp"

namespace kestrune::binding {

struct NumpyDescr;  // NumPy's array descriptor, a Python object used only by pointer
using npy_intp = Py_intptr_t;

// NumPy's type numbers, fixed by its ABI: int64 is NPY_LONG where a long has 64 bits,
// NPY_LONGLONG elsewhere.
inline constexpr int npy_int32 = 5;
inline constexpr int npy_int64 = sizeof(long) == 8 ? 7 : 9;
inline constexpr int npy_float = 11;
inline constexpr int npy_double = 12;
inline constexpr int npy_array_writeable = 0x0400;

template <class T>
constexpr int type_number_of() {
    if constexpr (std::is_same_v<T, double>) return npy_double;
    else if constexpr (std::is_same_v<T, float>) return npy_float;
    else if constexpr (std::is_same_v<T, std::int32_t>) return npy_int32;
    else {
        static_assert(std::is_same_v<T, std::int64_t>, "no NumPy type number for this element type");
        return npy_int64;
    }
}

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

// A writeable C-contiguous array of `shape` over the elements of type T at `data`,
// without a copy. `owner` holds that memory: it becomes the array's base, so the
// memory is freed with the array (and with owner when the array cannot be made,
// which ends in an internal failure).
template <class T>
PyRef array_over(PyRef owner, T* data, std::initializer_list<npy_intp> shape);

}  // namespace kestrune::binding
