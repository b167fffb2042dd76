#include "binding/methods.hpp"

#include <memory>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/file_call.hpp"
#include "metadata/instrument_method.hpp"
#include "metadata/text_runs.hpp"
#include "metadata/trailer.hpp"

namespace kestrune::binding {

namespace {

using LogScan = std::vector<std::string> (*)(const io::ByteSource&, const io::BetweenChunks&);

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

// One of the log scans over the whole file, signals checked between its chunks.
std::vector<std::string> log_texts(FileCall& call, LogScan scan) {
    return call.off_lock([scan, path = call.record().path](const io::BetweenChunks& between_chunks) {
        return scan(*io::open_for_reading(path), between_chunks);
    });
}

}  // namespace

PyRef get_trailer_extra(FileCall& call, std::uint32_t scan_number) {
    const ReaderRecord& record = call.record();
    auto entries = metadata::trailer_cache_entries(record, scan_number);
    // Only the orbitrap trailer record needs the file; the caches answer the rest.
    if (metadata::trailer_reads_file(record, scan_number)) {
        entries = call.off_lock([&entries, scan_number, path = record.path](const io::BetweenChunks&) {
            metadata::append_trailer_record(entries, scan_number, *io::open_for_reading(path));
            return std::move(entries);
        });
    }
    PyRef dict = created(PyDict_New());
    for (const auto& entry : entries) {
        const PyRef key = py_text(entry.key);
        if (!set_item(dict.get(), key.get(), trailer_value(entry.value))) return {};
    }
    return dict;
}

PyRef get_instrument_method(FileCall& call, std::uint32_t) {
    // Every index gives the same report.
    return py_text(call.off_lock([path = call.record().path](const io::BetweenChunks&) {
        return metadata::instrument_method(*io::open_for_reading(path));
    }));
}

PyRef get_status_log_labels(FileCall& call) { return text_list(log_texts(call, metadata::status_log_labels)); }

PyRef get_error_logs(FileCall& call) { return text_list(log_texts(call, metadata::error_logs)); }

}  // namespace kestrune::binding
