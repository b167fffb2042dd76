#include "binding/numpy_api.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/failures.hpp"
#include "binding/module_state.hpp"

namespace kestrune::binding {

namespace {

// Slot numbers in NumPy's API table, fixed by its ABI across 1.x and 2.x.
constexpr std::size_t array_type_slot = 2;
constexpr std::size_t descr_from_type_slot = 45;
constexpr std::size_t new_from_descr_slot = 94;
constexpr std::size_t set_base_object_slot = 282;

constexpr const char* capsule_failure = "Failed to access NumPy array API capsule";

using CoreModule = NumpyCache::CoreModule;

PyRef module_attribute(const char* module, const char* attribute) {
    PyRef imported(PyImport_ImportModule(module));
    if (!imported) return {};
    return PyRef(PyObject_GetAttrString(imported.get(), attribute));
}

// NumPy 2 moved its core package to numpy._core and warns on the old name, so the
// installed major version picks the name. nullopt with the Python error set.
std::optional<CoreModule> find_core_module() {
    PyRef version = module_attribute("numpy", "__version__");
    if (!version) return std::nullopt;
    PyRef numpy_version = module_attribute("numpy.lib", "NumpyVersion");
    if (!numpy_version) return std::nullopt;
    PyRef parsed(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) return std::nullopt;
    PyRef major(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return std::nullopt;
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    std::string package = value > 1 ? "numpy._core" : "numpy.core";
    return CoreModule{package, package + ".multiarray"};
}

// The pointer held by the "_ARRAY_API" capsule, or null with the Python error set.
void** find_api_table(const CoreModule& core) {
    PyRef capsule = module_attribute(core.multiarray.c_str(), "_ARRAY_API");
    if (!capsule) return nullptr;
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) {
        raise_cannot_convert(capsule.get(), "PyCapsule");
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (!name && PyErr_Occurred()) return nullptr;
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
}

template <class Entry>
Entry table_entry(void** table, std::size_t slot) {
    return reinterpret_cast<Entry>(table[slot]);
}

NumpyApi typed_api(void** table) {
    return NumpyApi{
        table_entry<PyTypeObject*>(table, array_type_slot),
        table_entry<decltype(NumpyApi::descr_from_type)>(table, descr_from_type_slot),
        table_entry<decltype(NumpyApi::new_from_descr)>(table, new_from_descr_slot),
        table_entry<decltype(NumpyApi::set_base_object)>(table, set_base_object_slot),
    };
}

}  // namespace

const NumpyApi& numpy_api() {
    // An import may let another thread run and find a value too: the one found
    // second is dropped.
    auto& [core_module, api] = module_state().numpy;
    if (api) return *api;
    if (!core_module) {
        auto found = find_core_module();
        if (!found) fail_with_python_error(capsule_failure);
        if (!core_module) core_module = std::move(found);
    }
    void** table = find_api_table(*core_module);
    if (!table) fail_with_python_error(capsule_failure);
    if (!api) api = typed_api(table);
    return *api;
}

namespace {

PyRef typed_array_over(PyRef owner, void* data, int type_number, std::initializer_list<npy_intp> shape) {
    const NumpyApi& api = numpy_api();
    PyRef descr = created(reinterpret_cast<PyObject*>(api.descr_from_type(type_number)));
    PyRef array = created(api.new_from_descr(api.array_type, reinterpret_cast<NumpyDescr*>(descr.release()),
                                             static_cast<int>(shape.size()), shape.begin(), nullptr, data,
                                             npy_array_writeable, nullptr));
    if (api.set_base_object(array.get(), owner.release()) != 0) {
        fail_printing_python_error(failure_text::python_api_call);
    }
    return array;
}

}  // namespace

template <class T>
PyRef array_over(PyRef owner, T* data, std::initializer_list<npy_intp> shape) {
    return typed_array_over(std::move(owner), data, type_number_of<T>(), shape);
}

template PyRef array_over(PyRef, double*, std::initializer_list<npy_intp>);
template PyRef array_over(PyRef, float*, std::initializer_list<npy_intp>);
template PyRef array_over(PyRef, std::int32_t*, std::initializer_list<npy_intp>);
template PyRef array_over(PyRef, std::int64_t*, std::initializer_list<npy_intp>);

}  // namespace kestrune::binding
