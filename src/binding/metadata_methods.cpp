#include "binding/methods.hpp"

#include <memory>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "metadata/instrument_method.hpp"
#include "metadata/text_runs.hpp"
#include "metadata/trailer.hpp"

namespace kestrune::binding {

namespace {

PyRef trailer_value(const metadata::TrailerValue& value) {
    if (const auto* number = std::get_if<double>(&value)) return py_float(*number);
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return created(PyLong_FromLongLong(*integer));
    }
    return py_text(std::get<std::string>(value));
}

// A list of str made at its final length and filled in order.
PyRef text_list(const std::vector<std::string>& texts) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py_text(texts[i]).release());
    }
    return list;
}

}  // namespace

PyRef get_trailer_extra(const ReaderRecord& record, std::uint32_t scan_number) {
    // Only the orbitrap trailer record needs the file; the caches answer the rest.
    const std::unique_ptr<io::ByteSource> source = metadata::trailer_reads_file(record, scan_number)
                                                   ? io::open_for_reading(record.path)
                                                   : std::make_unique<io::UnreadableSource>();
    const auto entries = metadata::trailer_extra(record, scan_number, *source);
    PyRef dict = created(PyDict_New());
    for (const auto& entry : entries) {
        const PyRef key = py_text(entry.key);
        if (!set_item(dict.get(), key.get(), trailer_value(entry.value))) return {};
    }
    return dict;
}

PyRef get_instrument_method(const ReaderRecord& record, std::uint32_t) {
    // Every index gives the same report.
    return py_text(metadata::instrument_method(*io::open_for_reading(record.path)));
}

PyRef get_status_log_labels(const ReaderRecord& record) {
    return text_list(metadata::status_log_labels(*io::open_for_reading(record.path)));
}

PyRef get_error_logs(const ReaderRecord& record) {
    return text_list(metadata::error_logs(*io::open_for_reading(record.path)));
}

}  // namespace kestrune::binding
