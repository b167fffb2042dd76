// The entries answered from the record alone: the header attributes, the scan
// caches' rebuild, the per-scan queries and the scan listing.
#pragma once

#include "binding/reader_object.hpp"

namespace kestrune::binding {

struct InitializeCaches {
    static PyRef body(reader::ReaderRecord& record);
};

struct CreationDate {
    static PyRef body(const reader::ReaderRecord& record);
};
struct Version {
    static PyRef body(const reader::ReaderRecord& record);
};
struct NumScans {
    static PyRef body(const reader::ReaderRecord& record);
};

struct GetRt {
    static constexpr Parameter parameter{"get_rt", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};
struct GetInjectionTime {
    static constexpr Parameter parameter{"get_injection_time", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};
struct GetMasterScan {
    static constexpr Parameter parameter{"get_master_scan", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};
struct GetChargeState {
    static constexpr Parameter parameter{"get_charge_state", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};
struct GetMonoisotopicMz {
    static constexpr Parameter parameter{"get_monoisotopic_mz", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};

struct ListSpectra {
    static PyRef body(const reader::ReaderRecord& record);
};

}  // namespace kestrune::binding
