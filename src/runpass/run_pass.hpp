// The run-level pass: each requested scan's peak block read once, through one open
// source, with the same search and decoding as a single scan's peaks, and reduced
// at once to the scan's statistics, its window sums and, on request, the run's
// peak arrays.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/source_search.hpp"
#include "runpass/buffer.hpp"
#include "runpass/kernels.hpp"
#include "spectra/peaks.hpp"

namespace kestrune::runpass {

struct PassRequest {
    std::string path;
    std::vector<std::uint32_t> scan_numbers;
    // One per scan: nullopt for a scan out of range, which has no peaks.
    std::vector<std::optional<spectra::PeakSearch>> searches;
    Windows windows{{}};  // none for a pass without windows
    bool with_peaks = false;
    // With peaks, a bound on the peaks one pass holds (0: none): the pass ends before
    // the scan whose block would take it past the bound (never before the first scan)
    // and answers the scans read so far, the first ones asked for.
    std::uint64_t peak_budget = 0;
};

// One entry per scan read (a scan without peaks has zeros), and the peaks. Every
// requested scan is read unless the peak budget ended the pass early.
struct PassResult {
    std::size_t scans_read = 0;
    Buffer<std::int32_t> peak_count;
    Buffer<double> tic, base_peak_mz, base_peak_intensity, lowest_mz, highest_mz;
    Buffer<double> window_sums;  // windows x scans, a window's row after the other
    // With peaks: every peak of the scans in order, and where each scan's begin
    // (scans + 1 entries, the last the total).
    Buffer<std::int64_t> peak_offsets;
    Buffer<std::int32_t> peak_scan;
    Buffer<double> peak_mz;
    Buffer<float> peak_intensity;
};

// Calls `between_scans` before each scan (the signal check). Throws the OsError of
// opening the file; a block that cannot be read is a scan without peaks.
PassResult run_pass(const PassRequest& request, const io::BetweenChunks& between_scans);

// The peak blocks the passes of this process have read, for the tests of the
// consumers that promise to read each scan once.
std::uint64_t peak_block_reads();

}  // namespace kestrune::runpass
