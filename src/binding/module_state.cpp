#include "binding/module_state.hpp"

namespace kestrune::binding {

namespace {

// One per module that links the binding: the reader's, and the companion's, which
// keeps its own NumPy API and the reader class it reaches.
ModuleState state;

}  // namespace

ModuleState& module_state() { return state; }

}  // namespace kestrune::binding
