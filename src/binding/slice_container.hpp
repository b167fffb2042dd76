// PySliceContainer: the owner of one peak sequence's storage, used as the base
// object of the NumPy array over that storage. Not a module attribute.
#pragma once

#include <variant>
#include <vector>

#include "binding/py_ref.hpp"
#include "spectra/peaks.hpp"

namespace kestrune::binding {

using PeakStorage = std::variant<spectra::PeakVector<double>, spectra::PeakVector<float>>;

// Makes the PySliceContainer class (module_state.hpp keeps it).
PyObject* make_slice_container_type();

// A new container that takes over `storage` without copying it: the elements stay
// where they are and are freed when the container is released. When the container
// cannot be made the storage is freed and the call ends in an internal failure.
PyRef slice_container(PeakStorage storage);

}  // namespace kestrune::binding
