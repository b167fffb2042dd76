#include "runpass/run_pass.hpp"

#include <algorithm>
#include <memory>

#include "runpass/kernel_paths.hpp"
#include "runpass/kernels.hpp"

namespace kestrune::runpass {

namespace {

std::atomic<std::uint64_t> block_reads{0};

// Splits a block's records and, where the processor has AVX2, gathers the statistics
// of wide ones in the same loop, while the peaks are in registers.
class SummarisingDecoder : public spectra::RecordDecoder {
public:
    void split_wide(const std::uint8_t* records, std::size_t first, std::size_t n, double* mz,
                    float* intensity) override {
#if defined(KESTRUNE_VECTOR_X86)
        if (fused_) {
            if (first == 0) carry_ = kernel_paths::LaneCarry{};
            return kernel_paths::split_wide_summarising_avx2(carry_, records, first, n, mz, intensity);
        }
#endif
        RecordDecoder::split_wide(records, first, n, mz, intensity);
    }
    void widen_narrow(double* mz, std::size_t count, float* intensity) override {
        gathered_ = false;
        RecordDecoder::widen_narrow(mz, count, intensity);
    }
    // Before each block.
    void start() { gathered_ = fused_; }
    PeakSummary summary(const spectra::Peaks& peaks) const {
        const std::size_t count = peaks.mz.size();
#if defined(KESTRUNE_VECTOR_X86)
        if (gathered_) return kernel_paths::summary_of_lanes(carry_, peaks.mz.data(), peaks.intensity.data(), count);
#endif
        return summarise(peaks.mz.data(), peaks.intensity.data(), count);
    }

private:
#if defined(KESTRUNE_VECTOR_X86)
    const bool fused_ = simd::processor_has_avx2();
    kernel_paths::LaneCarry carry_;
#else
    const bool fused_ = false;
#endif
    bool gathered_ = false;
};

class PassSource {
public:
    explicit PassSource(const std::string& path) : path_(path) {}
    // The scan's block as the search finds it, its records not read yet; nullopt for
    // none. The file is opened at the first scan that has a block to look for, as a
    // single scan's peaks open it only then.
    std::optional<spectra::LocatedBlock> locate(const std::optional<spectra::PeakSearch>& search) {
        if (!search) return std::nullopt;
        if (!source_) source_ = io::open_for_reading(path_);
        return spectra::locate_peak_block(*search, *source_);
    }
    // The located block's peaks, valid until the next call; null for none. Each scan
    // that has a search counts as one block read.
    const spectra::Peaks* peaks(const std::optional<spectra::PeakSearch>& search,
                                const std::optional<spectra::LocatedBlock>& located) {
        if (!search) return nullptr;
        block_reads.fetch_add(1, std::memory_order_relaxed);
        decoder_.start();
        return located && spectra::read_located_block(*located, *source_, storage_, decoder_) ? &storage_.peaks
                                                                                               : nullptr;
    }
    PeakSummary summary(const spectra::Peaks* peaks) const {
        return peaks ? decoder_.summary(*peaks) : PeakSummary{};
    }

private:
    const std::string& path_;
    std::unique_ptr<io::ByteSource> source_;
    spectra::PeakStorage storage_;  // one scan's peaks at a time, its memory reused
    SummarisingDecoder decoder_;
};

void store(PassResult& result, std::size_t row, const PeakSummary& summary) {
    result.peak_count[row] = static_cast<std::int32_t>(summary.count);
    result.tic[row] = summary.tic;
    result.base_peak_mz[row] = summary.base_peak_mz;
    result.base_peak_intensity[row] = summary.base_peak_intensity;
    result.lowest_mz[row] = summary.lowest_mz;
    result.highest_mz[row] = summary.highest_mz;
}

// Whether the located block would bring the peaks held past the request's budget:
// the pass then ends before it, and the next pass starts with it.
bool passes_budget(const PassRequest& request, const PassResult& result,
                   const std::optional<spectra::LocatedBlock>& located) {
    return request.peak_budget && located && result.peak_mz.size() + located->count > request.peak_budget;
}

// `rows` x `columns` row-major into columns x rows, in tiles that stay in cache.
void transpose(const double* from, std::size_t rows, std::size_t columns, double* to) {
    constexpr std::size_t tile = 32;
    for (std::size_t r0 = 0; r0 < rows; r0 += tile) {
        for (std::size_t c0 = 0; c0 < columns; c0 += tile) {
            for (std::size_t r = r0; r < std::min(rows, r0 + tile); ++r) {
                for (std::size_t c = c0; c < std::min(columns, c0 + tile); ++c) to[c * rows + r] = from[r * columns + c];
            }
        }
    }
}

}  // namespace

PassResult run_pass(const PassRequest& request, const io::BetweenChunks& between_scans) {
    const std::size_t scans = request.scan_numbers.size();
    const std::size_t windows = request.windows.count();
    PassResult result{0, Buffer<std::int32_t>(scans), Buffer<double>(scans), Buffer<double>(scans),
                      Buffer<double>(scans), Buffer<double>(scans), Buffer<double>(scans),
                      Buffer<double>(windows * scans), {}, {}, {}, {}};
    if (request.with_peaks) result.peak_offsets.append_copies(0, 1);
    PassSource source(request.path);
    WindowScratch scratch;
    // A scan's window sums side by side while it is summed (scans x windows), turned
    // into the answer's windows x scans at the end: writing a column per scan would
    // touch a cache line per window.
    Buffer<double> by_scan(windows * scans);
    for (std::size_t row = 0; row < scans; ++row) {
        between_scans();
        const auto& search = request.searches[row];
        const auto located = source.locate(search);
        if (row > 0 && passes_budget(request, result, located)) break;
        const spectra::Peaks* peaks = source.peaks(search, located);
        const double* mz = peaks ? peaks->mz.data() : nullptr;
        const float* intensity = peaks ? peaks->intensity.data() : nullptr;
        const std::size_t count = peaks ? peaks->mz.size() : 0;
        const PeakSummary summary = source.summary(peaks);
        store(result, row, summary);
        if (windows && count) {
            window_sums(mz, intensity, count, summary.ascending, request.windows, by_scan.data() + row * windows,
                        1, scratch);
        }
        if (request.with_peaks) {
            result.peak_scan.append_copies(static_cast<std::int32_t>(request.scan_numbers[row]), count);
            result.peak_mz.append(mz, count);
            result.peak_intensity.append(intensity, count);
            result.peak_offsets.append_copies(static_cast<std::int64_t>(result.peak_mz.size()), 1);
        }
        result.scans_read = row + 1;
    }
    // The windows' rows are as long as the scans read.
    transpose(by_scan.data(), result.scans_read, windows, result.window_sums.data());
    return result;
}

std::uint64_t peak_block_reads() { return block_reads.load(std::memory_order_relaxed); }

}  // namespace kestrune::runpass
