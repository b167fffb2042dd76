#include "metadata/trailer.hpp"

#include <optional>

#include "io/byte_window.hpp"
#include "metadata/decimal_literal.hpp"
#include "metadata/unicode.hpp"
#include "reader/failure.hpp"
#include "reader/format.hpp"

namespace kestrune::metadata {

namespace {

namespace field = reader::trailer_record;

template <class T>
T checked_entry(const std::vector<T>& cache, std::uint64_t index) {
    if (index >= cache.size()) {
        throw reader::internal_failure("index out of bounds: the len is " + std::to_string(cache.size()) +
                               " but the index is " + std::to_string(index));
    }
    return cache[index];
}

// A text field: all its bytes valid UTF-8, trimmed of white space, not empty.
std::optional<std::string> field_text(std::span<const std::uint8_t> bytes) {
    if (!is_valid_utf8(bytes)) return std::nullopt;
    const auto trimmed =
        trim_white_space(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// The fields of the trailer record whose used bytes `record` holds from offset r.
void append_record_fields(std::vector<TrailerEntry>& entries, const io::ByteWindow& record,
                          std::uint64_t r) {
    const auto text_at = [&](std::uint64_t at, std::uint64_t width) {
        return field_text(record.slice(r + at, width));
    };
    // The caller made sure all used bytes are here; value() only guards that.
    entries.push_back({"Elapsed Scan Time (sec)", double{record.load<float>(r + field::elapsed_time).value()}});
    entries.push_back({"Orbitrap Resolution", std::int64_t{record.load<std::uint32_t>(r + field::resolution).value()}});
    entries.push_back({"MS Order", std::int64_t{record.load<std::uint8_t>(r + field::ms_order).value()} + 1});
    if (auto hcd = text_at(field::hcd_energy, field::hcd_energy_width)) {
        entries.push_back({"HCD Energy eV", std::move(*hcd)});
        entries.push_back({"Activation Type", std::string("HigherEnergyCollisionalDissociation")});
    }
    if (const auto text = text_at(field::collision_energy, field::collision_energy_width)) {
        if (const auto energy = parse_decimal_literal(*text)) entries.push_back({"Collision Energy", *energy});
    }
    // Zero, negative widths and NaN are left out.
    if (const float width = record.load<float>(r + field::isolation_width).value(); width > 0.0f) {
        entries.push_back({"Isolation Width", double{width}});
    }
    if (auto agc = text_at(field::agc, field::agc_width)) entries.push_back({"AGC", std::move(*agc)});
}

// The used bytes of the trailer record at r, none where the file ends before them or
// cannot be read.
std::optional<io::ByteWindow> used_bytes_at(std::uint64_t r, const io::ByteSource& source) {
    const auto length = source.length();
    if (!length || r + field::used_width > *length) return std::nullopt;
    auto record_bytes = io::read_window(source, r, field::used_width);
    if (!record_bytes || !record_bytes->contains(r, field::used_width)) return std::nullopt;
    return record_bytes;
}

}  // namespace

bool trailer_reads_file(const reader::ReaderRecord& record, std::uint32_t scan_number) {
    return scan_number != 0 && scan_number <= record.num_scans &&
           reader::has_trailer_fields(record.version) && record.rules.orbitrap_records;
}

std::vector<TrailerEntry> trailer_cache_entries(const reader::ReaderRecord& record,
                                                std::uint32_t scan_number) {
    if (scan_number == 0 || scan_number > record.num_scans) return {};
    const std::uint64_t k = reader::scan_index(scan_number);
    const double mz = checked_entry(record.caches.monoisotopic_mzs, k);
    std::vector<TrailerEntry> entries{
        {"Ion Injection Time (ms)", checked_entry(record.caches.injection_times, k)},
        {"Master Scan Number", std::int64_t{checked_entry(record.caches.master_scans, k)}},
        {"Charge State", std::int64_t{checked_entry(record.caches.charge_states, k)}},
        {"Monoisotopic M/Z", mz},
        {"Precursor Mass", mz},
    };
    if (!trailer_reads_file(record, scan_number)) entries.push_back({"MS Order", std::int64_t{1}});
    return entries;
}

void append_trailer_record(std::vector<TrailerEntry>& entries, std::uint32_t scan_number,
                           const io::ByteSource& source) {
    const std::uint64_t r = field::offset_of(reader::scan_index(scan_number));
    if (const auto record_bytes = used_bytes_at(r, source)) append_record_fields(entries, *record_bytes, r);
}

std::optional<std::int64_t> recorded_ms_order(std::uint32_t scan_number, const io::ByteSource& source) {
    const std::uint64_t r = field::offset_of(reader::scan_index(scan_number));
    const auto record_bytes = used_bytes_at(r, source);
    if (!record_bytes) return std::nullopt;
    return std::int64_t{record_bytes->load<std::uint8_t>(r + field::ms_order).value()} + 1;
}

std::int64_t ms_level(std::optional<std::int64_t> recorded_order, std::int32_t master_scan) {
    if (recorded_order && *recorded_order >= 1 && *recorded_order <= max_ms_level) return *recorded_order;
    return master_scan > 0 ? 2 : 1;
}

std::vector<TrailerEntry> trailer_extra(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                        const io::ByteSource& source) {
    auto entries = trailer_cache_entries(record, scan_number);
    if (trailer_reads_file(record, scan_number)) append_trailer_record(entries, scan_number, source);
    return entries;
}

}  // namespace kestrune::metadata
