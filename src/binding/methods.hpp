// The bodies of RawFileReader's methods and attributes, one plain function each, in
// the order of the class's table (lib.cpp). A body gets the reader record and, for a
// one-argument method, its argument as an unsigned 32-bit integer; it returns a new
// reference, or null with the Python exception set, and throws on other failures.
// The record is shared by concurrent calls, except for the one method that takes it
// non-const: that one borrows it exclusively (see entries.hpp). A body that reads
// the file takes a FileCall instead (file_call.hpp): it copies what it needs from
// the record, then reads without the record's borrow and the interpreter lock.
#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"
#include "reader/record.hpp"

namespace kestrune::binding {

using reader::ReaderRecord;
class FileCall;

// The record alone (reader_methods.cpp).
PyRef initialize_caches(ReaderRecord& record);
PyRef get_rt(const ReaderRecord& record, std::uint32_t scan_number);
PyRef get_injection_time(const ReaderRecord& record, std::uint32_t scan_number);
PyRef get_master_scan(const ReaderRecord& record, std::uint32_t scan_number);
PyRef get_charge_state(const ReaderRecord& record, std::uint32_t scan_number);
PyRef get_monoisotopic_mz(const ReaderRecord& record, std::uint32_t scan_number);
PyRef list_spectra(const ReaderRecord& record);
PyRef creation_date(const ReaderRecord& record);
PyRef version(const ReaderRecord& record);
PyRef num_scans(const ReaderRecord& record);

// Acquisition metadata (metadata_methods.cpp).
PyRef get_trailer_extra(FileCall& call, std::uint32_t scan_number);
PyRef get_instrument_method(FileCall& call, std::uint32_t index);
PyRef get_status_log_labels(FileCall& call);
PyRef get_error_logs(FileCall& call);

// Peaks (peak_methods.cpp).
PyRef get_peaks(FileCall& call, std::uint32_t scan_num);
PyRef native_get_peaks(FileCall& call, std::uint32_t scan_num);

}  // namespace kestrune::binding
