#include "metadata/trailer.hpp"

#include <optional>

#include "metadata/decimal_literal.hpp"
#include "metadata/unicode.hpp"
#include "reader/failure.hpp"
#include "reader/scan_caches.hpp"

namespace kestrune::metadata {

namespace {

// The used part of the orbitrap trailer record: offsets from its start.
constexpr std::uint64_t record_used_width = 140;
constexpr std::uint64_t agc_at = 0, agc_width = 13;  // its last byte starts the injection time
constexpr std::uint64_t elapsed_time_at = 16;
constexpr std::uint64_t resolution_at = 21;
constexpr std::uint64_t ms_order_at = 29;
constexpr std::uint64_t collision_energy_at = 75, collision_energy_width = 16;
constexpr std::uint64_t hcd_energy_at = 100, hcd_energy_width = 16;
constexpr std::uint64_t isolation_width_at = 125;

constexpr std::uint32_t orbitrap_version = 66;

template <class T>
T checked_entry(const std::vector<T>& cache, std::uint64_t index) {
    if (index >= cache.size()) {
        throw internal_failure("index out of bounds: the len is " + std::to_string(cache.size()) +
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
void append_record_fields(std::vector<TrailerEntry>& entries, const ByteWindow& record,
                          std::uint64_t r) {
    const auto text_at = [&](std::uint64_t at, std::uint64_t width) {
        return field_text(record.slice(r + at, width));
    };
    // The caller made sure all used bytes are here; value() only guards that.
    entries.push_back({"Elapsed Scan Time (sec)", double{record.load<float>(r + elapsed_time_at).value()}});
    entries.push_back({"Orbitrap Resolution", std::int64_t{record.load<std::uint32_t>(r + resolution_at).value()}});
    entries.push_back({"MS Order", std::int64_t{record.load<std::uint8_t>(r + ms_order_at).value()} + 1});
    if (auto hcd = text_at(hcd_energy_at, hcd_energy_width)) {
        entries.push_back({"HCD Energy eV", std::move(*hcd)});
        entries.push_back({"Activation Type", std::string("HigherEnergyCollisionalDissociation")});
    }
    if (const auto text = text_at(collision_energy_at, collision_energy_width)) {
        if (const auto energy = parse_decimal_literal(*text)) entries.push_back({"Collision Energy", *energy});
    }
    // Zero, negative widths and NaN are left out.
    if (const float width = record.load<float>(r + isolation_width_at).value(); width > 0.0f) {
        entries.push_back({"Isolation Width", double{width}});
    }
    if (auto agc = text_at(agc_at, agc_width)) entries.push_back({"AGC", std::move(*agc)});
}

}  // namespace

bool trailer_reads_file(const Record& record, std::uint32_t scan_number) {
    return scan_number != 0 && scan_number <= record.num_scans && record.version == orbitrap_version &&
           path_names_orbitrap(record.path);
}

std::vector<TrailerEntry> trailer_extra(const Record& record, std::uint32_t scan_number,
                                        const ByteSource& source) {
    if (scan_number == 0 || scan_number > record.num_scans) return {};
    const std::uint64_t k = scan_number - 1;
    const double mz = checked_entry(record.monoisotopic_mzs, k);
    std::vector<TrailerEntry> entries{
        {"Ion Injection Time (ms)", checked_entry(record.injection_times, k)},
        {"Master Scan Number", std::int64_t{checked_entry(record.master_scans, k)}},
        {"Charge State", std::int64_t{checked_entry(record.charge_states, k)}},
        {"Monoisotopic M/Z", mz},
        {"Precursor Mass", mz},
    };
    if (!trailer_reads_file(record, scan_number)) {
        entries.push_back({"MS Order", std::int64_t{1}});
        return entries;
    }
    // A file that cannot be read, or ends before the record's used bytes, adds nothing.
    const std::uint64_t r = orbitrap_trailer_offset(k);
    const auto length = source.length();
    if (!length || r + record_used_width > *length) return entries;
    const auto record_bytes = read_window(source, r, record_used_width);
    if (!record_bytes || !record_bytes->contains(r, record_used_width)) return entries;
    append_record_fields(entries, *record_bytes, r);
    return entries;
}

}  // namespace kestrune::metadata
