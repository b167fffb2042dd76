#include "binding/slice_container.hpp"

#include <memory>

#include "binding/failures.hpp"
#include "binding/module_state.hpp"

namespace kestrune::binding {

namespace {

struct SliceContainer {
    PyObject_HEAD
    PeakStorage storage;
};

void container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<SliceContainer*>(self)->storage);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},
};

// Python code cannot make a container: one without storage would have nothing to own.
PyType_Spec container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

}  // namespace

PyObject* make_slice_container_type() { return PyType_FromSpec(&container_spec); }

PyRef slice_container(PeakStorage storage) {
    auto* type = reinterpret_cast<PyTypeObject*>(module_state().slice_container_type);
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) fail_with_python_error("Failed to create slice container");
    std::construct_at(&reinterpret_cast<SliceContainer*>(object)->storage, std::move(storage));
    return PyRef(object);
}

}  // namespace kestrune::binding
