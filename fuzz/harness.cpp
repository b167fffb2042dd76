// Fuzz entry for the reader core: the input describes a sparse virtual file and
// the operations to run on it, so that one execution can reach the tables that lie
// megabytes into a file without the fuzzer having to grow a 7 MB input.
//
// Input layout (every field optional: a short input reads as zeros):
//   byte 0   version choice: low 2 bits 0 -> 57, 1 -> 66, 2 -> other (bytes 6..9),
//            3 -> whatever the virtual header holds (the version rule at 36 / 12);
//            bits 2..3 path flags: none, "small.RAW", "orbitrap", both
//   byte 1   operations to run (bit mask, see `Op`)
//   bytes 2..4  virtual length, little-endian, clipped to max_virtual_length
//   byte 5   chunk size of the whole-file scans: 1 << (4 + b % 17), 16 B to 1 MiB,
//            doubled until a scan takes at most 4096 chunks
//   bytes 6..9  the "other" version; also the creation time's low word
//   byte 10  source faults: bit 0 reads fail past `fault_at`, bit 1 the length
//            shrinks to `fault_at` after the first read (a file truncated mid-call);
//            bit 2 lets the whole-file searches (the instrument method's, its
//            4 MiB limit included, and the text-run scans) see the whole virtual
//            file, which otherwise ends for them at scan_length_cap: filling a 7 MB
//            virtual file costs milliseconds, where most inputs cost microseconds
//   bytes 11..13 fault_at, in units of 64 bytes
//   then pieces: anchor (1 byte), delta (2 bytes), size (2 bytes), bytes
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "metadata/instrument_method.hpp"
#include "metadata/text_runs.hpp"
#include "metadata/trailer.hpp"
#include "io/byte_window.hpp"
#include "reader/failure.hpp"
#include "reader/header.hpp"
#include "reader/record.hpp"
#include "reader/scan_caches.hpp"
#include "reader/scan_queries.hpp"
#include "spectra/peaks.hpp"

namespace io = kestrune::io;
namespace metadata = kestrune::metadata;
namespace reader = kestrune::reader;
namespace spectra = kestrune::spectra;

namespace {

using io::ByteSource;

constexpr std::uint64_t max_virtual_length = 7'400'000;
constexpr std::uint64_t scan_length_cap = 1 << 16;

// Offsets the pieces are laid relative to: the header, the scan data, the small
// tables, the instrument method area, the orbitrap scan index and trailer records.
constexpr std::uint64_t anchors[] = {0,         3666,      88820,     146733,    295708,
                                     1'000'000, 1'481'842, 1'492'161, 4'194'000, 6'464'170,
                                     6'476'762, 6'514'414, 6'560'000, 6'700'000};

enum Op : std::uint8_t {
    op_caches = 1 << 0,
    op_queries = 1 << 1,
    op_trailer = 1 << 2,
    op_peaks = 1 << 3,
    op_method = 1 << 4,
    op_status_log = 1 << 5,
    op_error_log = 1 << 6,
    op_reinitialize = 1 << 7,
};

// Non-overlapping pieces over a run of zeros. Reads of a hole are a memset; a
// piece laid later wins over the bytes of an earlier one.
class SparseSource final : public ByteSource {
public:
    struct Piece {
        std::uint64_t offset;
        std::vector<std::uint8_t> bytes;
    };

    SparseSource(std::uint64_t length, std::vector<Piece> pieces, bool fail_reads, bool shrinks,
                 std::uint64_t fault_at)
        : length_(length), pieces_(std::move(pieces)), fail_reads_(fail_reads),
          shrinks_(shrinks), fault_at_(std::min(fault_at, length)) {}

    // The same bytes cut at `length`, as a truncated copy of the file would be.
    SparseSource truncated(std::uint64_t length) const {
        SparseSource copy(std::min(length, length_), pieces_, fail_reads_, shrinks_, fault_at_);
        return copy;
    }

    std::optional<std::uint64_t> length() const override {
        return shrunk_ ? fault_at_ : length_;
    }

    std::optional<std::size_t> read_at(std::uint64_t offset,
                                       std::span<std::uint8_t> out) const override {
        const std::uint64_t end_of_content = shrunk_ ? fault_at_ : length_;
        if (shrinks_) shrunk_ = true;
        if (fail_reads_ && offset + out.size() > fault_at_) return std::nullopt;
        if (offset >= end_of_content) return 0;
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), end_of_content - offset));
        std::memset(out.data(), 0, count);
        const std::uint64_t end = offset + count;
        for (const auto& piece : pieces_) {
            const std::uint64_t p_end = piece.offset + piece.bytes.size();
            if (p_end <= offset || piece.offset >= end) continue;
            const std::uint64_t from = std::max(offset, piece.offset);
            const std::uint64_t to = std::min(end, p_end);
            std::memcpy(out.data() + (from - offset), piece.bytes.data() + (from - piece.offset),
                        static_cast<std::size_t>(to - from));
        }
        return count;
    }

private:
    std::uint64_t length_;
    std::vector<Piece> pieces_;
    bool fail_reads_;
    bool shrinks_;
    std::uint64_t fault_at_;
    mutable bool shrunk_ = false;
};

class Input {
public:
    explicit Input(std::span<const std::uint8_t> data) : data_(data) {}
    bool empty() const { return pos_ >= data_.size(); }
    std::uint64_t take(std::size_t width) {  // little-endian, zeros past the end
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i, ++pos_) {
            if (pos_ < data_.size()) value |= std::uint64_t(data_[pos_]) << (8 * i);
        }
        return value;
    }
    std::span<const std::uint8_t> take_bytes(std::size_t n) {
        const std::size_t start = std::min(pos_, data_.size());
        const std::size_t count = std::min(n, data_.size() - start);
        pos_ = start + count;
        return data_.subspan(start, count);
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

std::uint32_t load_u32(const ByteSource& source, std::uint64_t offset) {
    std::uint8_t bytes[4] = {};
    const auto got = source.read_at(offset, bytes);
    if (!got || *got < 4) return 0;
    return io::decode_le<std::uint32_t>(bytes);
}

// Consumes a result so that the work behind it is not optimised away and every
// byte of it is touched (a use of uninitialised or freed storage shows up here).
volatile std::uint64_t sink;
void consume(const std::string& text) {
    std::uint64_t h = text.size();
    for (unsigned char c : text) h = h * 31 + c;
    sink = h;
}

void run_queries(const reader::ReaderRecord& record) {
    // Scan 0, the first and last scans, one past the last and the largest number.
    const std::uint32_t scans[] = {0, 1, record.num_scans, record.num_scans + 1, 0xFFFFFFFFu};
    for (std::uint32_t scan : scans) {
        double total = reader::cache_entry(record.caches.retention_times, scan) +
                       reader::cache_entry(record.caches.injection_times, scan) +
                       reader::cache_entry(record.caches.monoisotopic_mzs, scan);
        // Summed as doubles: two stored 32-bit values may overflow an int.
        total += static_cast<double>(reader::cache_entry(record.caches.master_scans, scan)) +
                 static_cast<double>(reader::cache_entry(record.caches.charge_states, scan)) +
                 static_cast<double>(reader::cache_entry(record.caches.scan_offsets, scan));
        sink = static_cast<std::uint64_t>(total != total);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(std::span<const std::uint8_t>(data, size));
    const unsigned choice = static_cast<unsigned>(in.take(1));
    const unsigned ops = static_cast<unsigned>(in.take(1));
    const std::uint64_t length = std::min<std::uint64_t>(in.take(3), max_virtual_length);
    std::size_t chunk_size = std::size_t{1} << (4 + in.take(1) % 17);
    const auto other_version = static_cast<std::uint32_t>(in.take(4));
    const unsigned faults = static_cast<unsigned>(in.take(1));
    const std::uint64_t fault_at = in.take(3) * 64;

    std::vector<SparseSource::Piece> pieces;
    while (!in.empty() && pieces.size() < 64) {
        const std::uint64_t anchor = anchors[in.take(1) % std::size(anchors)];
        const std::uint64_t offset = anchor + in.take(2);
        const auto bytes = in.take_bytes(static_cast<std::size_t>(in.take(2)));
        if (offset >= length || bytes.empty()) continue;
        const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), length - offset));
        pieces.push_back({offset, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + kept)});
    }
    // Later pieces win: lay them back to front so the first overlap found is the latest.
    std::reverse(pieces.begin(), pieces.end());
    SparseSource source(length, std::move(pieces), faults & 1, faults & 2, fault_at);

    reader::ReaderRecord record;
    switch (choice & 3) {
        case 0: record.version = 57; break;
        case 1: record.version = 66; break;
        case 2: record.version = other_version; break;
        default:
            record.version = reader::choose_version(load_u32(source, 36), load_u32(source, 12));
    }
    record.creation_time = (std::uint64_t{load_u32(source, 20)} << 32) | other_version;
    consume(reader::creation_date_text(record.creation_time));
    static const char* const paths[] = {"/data/plain.raw", "/data/small.RAW", "/data/orbitrap.raw",
                                        "/data/orbitrap-small.RAW"};
    record.path = paths[(choice >> 2) & 3];
    record.rules = reader::rules_of_path(record.path);

    if (ops & op_caches) {
        try {
            reader::initialize_caches(record, source);
        } catch (const reader::InternalFailure& failure) {
            consume(failure.message);
        }
        // A second rebuild over the same record: a failure must leave it as it was.
        if (ops & op_reinitialize) {
            try {
                reader::initialize_caches(record, source);
                if (record.caches.retention_times.size() != record.num_scans) __builtin_trap();
            } catch (const reader::InternalFailure& failure) {
                consume(failure.message);
            }
        }
    }
    if (ops & op_queries) run_queries(record);
    if (ops & op_trailer) {
        const std::uint32_t scans[] = {0, 1, 2, record.num_scans, record.num_scans + 1};
        for (std::uint32_t scan : scans) {
            try {
                for (const auto& entry : metadata::trailer_extra(record, scan, source)) {
                    consume(std::string(entry.key));
                    if (auto* text = std::get_if<std::string>(&entry.value)) consume(*text);
                }
            } catch (const reader::InternalFailure& failure) {
                consume(failure.message);
            }
        }
    }
    if (ops & op_peaks) {
        // Scan 10 is the last of the small profile's fixed offsets.
        const std::uint32_t scans[] = {0, 1, 10, record.num_scans, record.num_scans + 1};
        for (std::uint32_t scan : scans) {
            if (auto peaks = spectra::extract_peaks(record, scan, source)) {
                if (peaks->mz.size() != peaks->intensity.size()) __builtin_trap();
                double total = 0;
                for (std::size_t i = 0; i < peaks->mz.size(); ++i) total += peaks->mz[i] + peaks->intensity[i];
                sink = static_cast<std::uint64_t>(total != total);
            }
        }
    }
    const SparseSource searched = source.truncated((faults & 4) ? length : scan_length_cap);
    while (searched.length().value_or(0) / chunk_size > 4096) chunk_size <<= 1;
    if (ops & op_method) consume(metadata::instrument_method(searched, chunk_size));
    // A chunk larger than the file reads it whole, as the next power of two above
    // its length does, without filling a buffer of up to 1 MiB.
    while (chunk_size > 16 && chunk_size / 2 >= searched.length().value_or(0)) chunk_size /= 2;
    if (ops & op_status_log) {
        for (const auto& text : metadata::scan_text_runs(
                 searched, metadata::status_log_rules, chunk_size)) {
            consume(text);
        }
    }
    if (ops & op_error_log) {
        for (const auto& text : metadata::scan_text_runs(
                 searched, metadata::error_log_rules, chunk_size)) {
            consume(text);
        }
    }
    return 0;
}
