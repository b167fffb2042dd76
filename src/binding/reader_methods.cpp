#include "binding/methods.hpp"

#include <array>

#include "binding/convert.hpp"
#include "binding/module_state.hpp"
#include "reader/header.hpp"
#include "reader/scan_caches.hpp"
#include "reader/scan_queries.hpp"

namespace kestrune::binding {

PyRef initialize_caches(ReaderRecord& record) {
    const auto source = io::open_for_reading(record.path);
    reader::initialize_caches(record, *source);
    return PyRef::borrowed(Py_None);
}

PyRef creation_date(const ReaderRecord& record) {
    return py_text(reader::creation_date_text(record.creation_time));
}

PyRef version(const ReaderRecord& record) { return py_int(record.version); }

PyRef num_scans(const ReaderRecord& record) { return py_int(record.num_scans); }

PyRef get_rt(const ReaderRecord& record, std::uint32_t scan_number) {
    return py_float(reader::cache_entry(record.caches.retention_times, scan_number));
}

PyRef get_injection_time(const ReaderRecord& record, std::uint32_t scan_number) {
    return py_float(reader::cache_entry(record.caches.injection_times, scan_number));
}

PyRef get_master_scan(const ReaderRecord& record, std::uint32_t scan_number) {
    return py_int(reader::cache_entry(record.caches.master_scans, scan_number));
}

PyRef get_charge_state(const ReaderRecord& record, std::uint32_t scan_number) {
    return py_int(reader::cache_entry(record.caches.charge_states, scan_number));
}

PyRef get_monoisotopic_mz(const ReaderRecord& record, std::uint32_t scan_number) {
    return py_float(reader::cache_entry(record.caches.monoisotopic_mzs, scan_number));
}

PyRef list_spectra(const ReaderRecord& record) {
    const ModuleState& state = module_state();
    const auto& keys = state.summary_keys;

    const std::uint32_t count = record.num_scans;
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::uint32_t scan = 1; scan <= count && scan != 0; ++scan) {
        PyRef summary = created(PyDict_Copy(state.summary_layout));
        const std::array<PyRef, 6> values = {
            py_int(static_cast<long>(scan)),
            py_float(reader::cache_entry(record.caches.retention_times, scan)),
            py_float(reader::cache_entry(record.caches.injection_times, scan)),
            py_int(reader::cache_entry(record.caches.master_scans, scan)),
            py_int(reader::cache_entry(record.caches.charge_states, scan)),
            py_float(reader::cache_entry(record.caches.monoisotopic_mzs, scan)),
        };
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (!set_item(summary.get(), keys[i], values[i])) return {};
        }
        // The list holds the only reference from here on.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(scan - 1), summary.release());
    }
    return list;
}

}  // namespace kestrune::binding
