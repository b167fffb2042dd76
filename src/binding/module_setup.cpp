// The reader module's state made at import, and its garbage-collector hooks.
#include "binding/module_state.hpp"

#include "binding/failures.hpp"
#include "binding/reader_object.hpp"
#include "binding/slice_container.hpp"

namespace kestrune::binding {

namespace {

bool make_summary_layout(ModuleState& made) {
    for (std::size_t i = 0; i < summary_key_texts.size(); ++i) {
        if (!made.summary_keys[i]) made.summary_keys[i] = PyUnicode_InternFromString(summary_key_texts[i]);
        if (!made.summary_keys[i]) return false;
    }
    PyRef layout(PyDict_New());
    if (!layout) return false;
    for (PyObject* key : made.summary_keys) {
        if (PyDict_SetItem(layout.get(), key, Py_None) != 0) return false;
    }
    made.summary_layout = layout.release();
    return true;
}

// The objects the module owns. The module itself is not among them: the process
// holds it (a second import answers the same module), so it is never garbage.
template <class Visit>
void for_each_object(ModuleState& each, Visit&& visit) {
    visit(each.reader_type);
    visit(each.slice_container_type);
    visit(each.panic_type);
    for (PyObject*& key : each.summary_keys) visit(key);
    visit(each.summary_layout);
}

}  // namespace

bool make_module_state() {
    ModuleState& state = module_state();
    // Each part is made once: an import that failed half-way is completed by the next.
    if (!state.panic_type) state.panic_type = make_panic_type();
    if (!state.reader_type) state.reader_type = make_reader_type();
    if (!state.slice_container_type) state.slice_container_type = make_slice_container_type();
    if (!state.panic_type || !state.reader_type || !state.slice_container_type) return false;
    return state.summary_layout || make_summary_layout(state);
}

int traverse_module_state(PyObject*, visitproc visit, void* arg) {
    ModuleState& state = module_state();
    int result = 0;
    for_each_object(state, [&](PyObject* object) {
        if (result == 0 && object) result = visit(object, arg);
    });
    return result;
}

int clear_module_state(PyObject*) {
    ModuleState& state = module_state();
    for_each_object(state, [](PyObject*& object) { Py_CLEAR(object); });
    return 0;
}

}  // namespace kestrune::binding
