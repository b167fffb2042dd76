#include "binding/methods.hpp"

#include <optional>
#include <vector>

#include "binding/convert.hpp"
#include "binding/file_call.hpp"
#include "binding/numpy_api.hpp"
#include "binding/slice_container.hpp"
#include "io/byte_source.hpp"
#include "spectra/peaks.hpp"

namespace kestrune::binding {

namespace {

// Ends the borrow in every case, so that NumPy is located without it.
std::optional<spectra::Peaks> peaks_of(FileCall& call, std::uint32_t scan_num) {
    const ReaderRecord& record = call.record();
    return call.off_lock([search = spectra::peak_search_of(record, scan_num),
                          path = record.path](const io::BetweenChunks&) -> std::optional<spectra::Peaks> {
        if (!search) return std::nullopt;
        return spectra::extract_peaks(*search, *io::open_for_reading(path));
    });
}

PyRef pair(const PyRef& first, const PyRef& second) {
    return created(PyTuple_Pack(2, first.get(), second.get()));
}

// float32 intensities are widened exactly.
template <class T>
PyRef float_list(const spectra::PeakVector<T>& values) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), py_float(values[k]).release());
    }
    return list;
}

// A one-dimensional array whose data is `values`' own storage, handed to a
// PySliceContainer that becomes the array's base.
template <class T>
PyRef peak_array(spectra::PeakVector<T> values) {
    const auto length = static_cast<npy_intp>(values.size());
    T* data = values.data();  // a moved vector keeps its storage
    return array_over(slice_container(std::move(values)), data, {length});
}

}  // namespace

PyRef get_peaks(FileCall& call, std::uint32_t scan_num) {
    spectra::Peaks peaks = peaks_of(call, scan_num).value_or(spectra::Peaks{{0.0}, {0.0f}});
    numpy_api();  // NumPy found before the peaks are handed to their containers
    PyRef mz = peak_array(std::move(peaks.mz));
    PyRef intensity = peak_array(std::move(peaks.intensity));
    return pair(mz, intensity);
}

PyRef native_get_peaks(FileCall& call, std::uint32_t scan_num) {
    const auto peaks = peaks_of(call, scan_num);
    if (!peaks) return PyRef::borrowed(Py_None);
    PyRef mz = float_list(peaks->mz);
    PyRef intensity = float_list(peaks->intensity);
    return pair(mz, intensity);
}

}  // namespace kestrune::binding
