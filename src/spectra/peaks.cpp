#include "spectra/peaks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "io/byte_window.hpp"
#include "reader/format.hpp"
#include "spectra/record_split.hpp"

namespace kestrune::spectra {

namespace {

// A block is its record count, then the records (laid out in record_split.hpp).
constexpr std::uint64_t count_width = 4;

// Plausibility bounds of a candidate block.
constexpr std::uint32_t smallest_count = 11;           // wide search, fixed narrow candidates
constexpr std::uint32_t smallest_sliding_count = 101;  // narrow sliding search
constexpr std::uint32_t largest_count = 199'999;
constexpr double lowest_first_mz = 50.0;  // both bounds exclusive
constexpr double highest_first_mz = 5000.0;
constexpr double second_mz_tolerance = 0.001;
// A passing wide block larger than this ends the search; smaller ones can be replaced.
constexpr std::uint32_t wide_replaceable_count = 50;

// The wide search tests count positions start .. start + 9999. A candidate reads its
// count, its first record and the next m/z; it needs count and first m/z to go on.
constexpr std::uint64_t wide_positions = 10'000;
constexpr std::uint64_t wide_head = count_width + 8;
constexpr std::uint64_t wide_probe = count_width + wide_record_size + 8;
constexpr std::uint64_t wide_window = wide_positions - 1 + wide_probe;

// The narrow search tries three fixed count positions, then slides over 512 positions.
// A candidate reads its count and its first m/z.
constexpr std::array<std::uint64_t, 3> fixed_count_positions = {190, 124, 0};
constexpr std::uint64_t sliding_positions = 512;
constexpr std::uint64_t narrow_probe = count_width + 4;
constexpr std::uint64_t narrow_window = sliding_positions - 1 + narrow_probe;
static_assert(fixed_count_positions[0] + narrow_probe <= narrow_window);

// Positions below are relative to the scan's start, and `remaining` is the file's
// length minus the start: no sum of a position and a block size can overflow.

// A block that passed: where its records begin and how many there are.
struct Block {
    std::uint64_t records_at;
    std::uint32_t count;
};

// The search window: min(width, remaining) bytes from the start, or nullopt when
// the read fails or comes up short (the file shrank after its length was taken).
std::optional<io::ByteWindow> read_search_window(const io::ByteSource& source, std::uint64_t start,
                                             std::uint64_t remaining, std::uint64_t width) {
    auto window = io::read_window(source, start, std::min(width, remaining));
    if (!window || window->size() != std::min(width, remaining)) return std::nullopt;
    return window;
}

template <class T>
std::optional<T> load(const io::ByteWindow& window, std::uint64_t position) {
    if (position >= window.size()) return std::nullopt;
    return window.load<T>(window.start() + position);
}

// The count at `at` when it lies in [smallest, largest_count] and all its records of
// `record_size` bytes end within the file.
std::optional<std::uint32_t> fitting_count(const io::ByteWindow& window, std::uint64_t remaining,
                                           std::uint64_t at, std::uint32_t smallest,
                                           std::uint64_t record_size) {
    const auto count = load<std::uint32_t>(window, at);
    if (!count || *count < smallest || *count > largest_count) return std::nullopt;
    if (at + count_width + record_size * *count > remaining) return std::nullopt;
    return count;
}

// Compared in the m/z's own precision; a NaN fails.
template <class T>
bool plausible_first_mz(std::optional<T> mz) {
    return mz && *mz > static_cast<T>(lowest_first_mz) && *mz < static_cast<T>(highest_first_mz);
}

std::optional<std::uint32_t> wide_candidate(const io::ByteWindow& window, std::uint64_t remaining,
                                            std::uint64_t at) {
    const auto count = fitting_count(window, remaining, at, smallest_count, wide_record_size);
    if (!count) return std::nullopt;
    const std::uint64_t records_at = at + count_width;
    const auto first = load<double>(window, records_at);
    if (!plausible_first_mz(first)) return std::nullopt;
    // A NaN second m/z passes: only a clear drop below the first fails.
    const auto second = load<double>(window, records_at + wide_record_size);
    if (!second || *second < *first - second_mz_tolerance) return std::nullopt;
    return count;
}

// Only the last passing block counts, so blocks are located here and read later.
std::optional<Block> wide_search(const io::ByteWindow& window, std::uint64_t remaining) {
    const std::uint64_t limit = std::min(remaining, wide_positions);
    std::optional<Block> last;
    for (std::uint64_t at = 0; at < limit && at + wide_head < remaining; ++at) {
        const auto count = wide_candidate(window, remaining, at);
        if (!count) continue;
        last = Block{at + count_width, *count};
        if (*count > wide_replaceable_count) break;
    }
    return last;
}

std::optional<Block> narrow_candidate(const io::ByteWindow& window, std::uint64_t remaining,
                                      std::uint64_t at, std::uint32_t smallest) {
    const auto count = fitting_count(window, remaining, at, smallest, narrow_record_size);
    if (!count) return std::nullopt;
    const std::uint64_t records_at = at + count_width;
    if (!plausible_first_mz(load<float>(window, records_at))) return std::nullopt;
    return Block{records_at, *count};
}

std::optional<Block> narrow_search(const io::ByteWindow& window, std::uint64_t remaining) {
    for (const std::uint64_t at : fixed_count_positions) {
        if (at + count_width > remaining) continue;
        if (auto block = narrow_candidate(window, remaining, at, smallest_count)) return block;
    }
    // The start is tried again here, now with the sliding search's larger minimum.
    for (std::uint64_t at = 0; at < sliding_positions && at + count_width <= remaining; ++at) {
        if (auto block = narrow_candidate(window, remaining, at, smallest_sliding_count)) {
            return block;
        }
    }
    return std::nullopt;
}

// Fills `out` with the block's bytes: the part the window already holds is copied
// from it, the rest comes from one positioned read. False when that read is short.
bool gather_block(const io::ByteSource& source, const io::ByteWindow& window,
                  std::uint64_t records_at, std::span<std::uint8_t> out) {
    std::uint64_t held = 0;
    if (records_at < window.size()) {
        held = std::min<std::uint64_t>(out.size(), window.size() - records_at);
        std::memcpy(out.data(), window.slice(window.start() + records_at, held).data(), held);
    }
    const auto rest = out.subspan(static_cast<std::size_t>(held));
    if (rest.empty()) return true;
    const auto got = source.read_at(window.start() + records_at + held, rest);
    return got && *got == rest.size();
}

// Wide records are read and split this many at a time through one buffer that stays
// in the cache (384 KiB), rather than gathering the whole block (2.4 MB at the
// largest count) into a second copy first.
constexpr std::size_t wide_chunk_records = 32'768;

// Storage of `count` elements whose old contents are not kept: emptied first, so that
// growing it copies nothing.
template <class Vector>
void resize_discarding(Vector& storage, std::size_t count) {
    storage.clear();
    storage.resize(count);
}

static_assert(wide_chunk_records % 8 == 0);

bool read_wide_block(const io::ByteSource& source, const io::ByteWindow& window, const Block& block,
                     PeakStorage& storage, RecordDecoder& decoder) {
    Peaks& peaks = storage.peaks;
    resize_discarding(peaks.mz, block.count);
    resize_discarding(peaks.intensity, block.count);
    // Every chunk is filled by gather_block before it is split, so it starts unfilled.
    resize_discarding(storage.records, wide_record_size * std::min<std::size_t>(block.count, wide_chunk_records));
    for (std::size_t first = 0; first < block.count; first += wide_chunk_records) {
        const std::size_t n = std::min<std::size_t>(wide_chunk_records, block.count - first);
        const auto chunk = std::span(storage.records).first(wide_record_size * n);
        if (!gather_block(source, window, block.records_at + wide_record_size * first, chunk)) {
            return false;
        }
        decoder.split_wide(chunk.data(), first, n, peaks.mz.data(), peaks.intensity.data());
    }
    return true;
}

// A narrow record is exactly as wide as the float64 its m/z becomes, so the block is
// read straight into the m/z storage and every record widened where it lies.
bool read_narrow_block(const io::ByteSource& source, const io::ByteWindow& window, const Block& block,
                       Peaks& peaks, RecordDecoder& decoder) {
    static_assert(narrow_record_size == sizeof(double));
    resize_discarding(peaks.mz, block.count);
    resize_discarding(peaks.intensity, block.count);
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(peaks.mz.data()),
                                        narrow_record_size * block.count);
    if (!gather_block(source, window, block.records_at, bytes)) return false;
    decoder.widen_narrow(peaks.mz.data(), block.count, peaks.intensity.data());
    return true;
}

}  // namespace

void RecordDecoder::split_wide(const std::uint8_t* records, std::size_t first, std::size_t n, double* mz,
                               float* intensity) {
    split_wide_records(records, n, mz + first, intensity + first);
}

void RecordDecoder::widen_narrow(double* mz, std::size_t count, float* intensity) {
    widen_narrow_records(mz, count, intensity);
}

std::optional<PeakSearch> peak_search_of(const reader::ReaderRecord& record, std::uint32_t scan_number) {
    const std::uint64_t index = reader::scan_index(scan_number);
    if (index >= record.num_scans || index >= record.caches.scan_offsets.size()) return std::nullopt;
    return PeakSearch{record.caches.scan_offsets[index], reader::has_wide_peak_records(record.version)};
}

std::optional<Peaks> extract_peaks(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                   const io::ByteSource& source) {
    const auto search = peak_search_of(record, scan_number);
    if (!search) return std::nullopt;
    return extract_peaks(*search, source);
}

std::optional<Peaks> extract_peaks(const PeakSearch& search, const io::ByteSource& source) {
    PeakStorage storage;
    RecordDecoder split;
    if (!extract_peaks_into(search, source, storage, split)) return std::nullopt;
    return std::move(storage.peaks);
}

bool extract_peaks_into(const PeakSearch& search, const io::ByteSource& source, PeakStorage& storage,
                        RecordDecoder& decoder) {
    const auto located = locate_peak_block(search, source);
    return located && read_located_block(*located, source, storage, decoder);
}

std::optional<LocatedBlock> locate_peak_block(const PeakSearch& search, const io::ByteSource& source) {
    const auto [start, wide] = search;
    const auto length = source.length();
    if (!length || start >= *length) return std::nullopt;
    const std::uint64_t remaining = *length - start;

    auto window = read_search_window(source, start, remaining, wide ? wide_window : narrow_window);
    if (!window) return std::nullopt;
    const auto block = wide ? wide_search(*window, remaining) : narrow_search(*window, remaining);
    if (!block) return std::nullopt;
    return LocatedBlock{std::move(*window), block->records_at, block->count, wide};
}

bool read_located_block(const LocatedBlock& located, const io::ByteSource& source, PeakStorage& storage,
                        RecordDecoder& decoder) {
    const Block block{located.records_at, located.count};
    return located.wide ? read_wide_block(source, located.window, block, storage, decoder)
                        : read_narrow_block(source, located.window, block, storage.peaks, decoder);
}

}  // namespace kestrune::spectra
