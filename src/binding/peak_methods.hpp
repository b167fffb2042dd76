// The peak entries: the peaks of one scan as two lists, or as two NumPy arrays
// over the extracted storage.
#pragma once

#include "binding/reader_object.hpp"

namespace kestrune::binding {

struct GetPeaks {
    static constexpr Parameter parameter{"get_peaks", "scan_num"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_num);
};

struct NativeGetPeaks {
    static constexpr Parameter parameter{"native_get_peaks", "scan_num"};
    static PyRef body(const reader::ReaderRecord& record, std::uint32_t scan_num);
};

}  // namespace kestrune::binding
