// The entries for acquisition metadata: the trailer dictionary, the instrument
// method report, the status-log labels and the error log.
#pragma once

#include "binding/reader_object.hpp"

namespace kestrune::binding {

struct GetTrailerExtra {
    static constexpr Parameter parameter{"get_trailer_extra", "scan_number"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_number);
};

struct GetInstrumentMethod {
    static constexpr Parameter parameter{"get_instrument_method", "_index"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t index);
};

struct GetStatusLogLabels {
    static PyRef body(const reader::ReaderRecord& record);
};

struct GetErrorLogs {
    static PyRef body(const reader::ReaderRecord& record);
};

}  // namespace kestrune::binding
