#include "reader/scan_caches.hpp"

#include <array>

#include "io/byte_window.hpp"
#include "reader/format.hpp"

namespace kestrune::reader {

namespace {

// Retention times: one float64 per scan.
constexpr std::uint64_t small_rt_start = 1'481'842;
constexpr std::uint64_t small_rt_stride = 72;
constexpr std::uint64_t orbitrap_rt_start = 6'464'174;

// The orbitrap scan index: 88-byte entries, a u32 data length then the float64 rt.
constexpr std::uint64_t orbitrap_index_start = 6'464'170;
constexpr std::uint64_t orbitrap_index_stride = 88;
constexpr std::uint64_t orbitrap_first_scan_offset = 3666;

// The small version-57 metadata blocks.
constexpr std::uint64_t small_block_start = 1'492'161;
constexpr std::uint64_t small_block_stride = 254;
constexpr std::uint64_t small_block_width = 40;

constexpr std::array<std::uint64_t, 10> small_scan_offsets = {
    88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733};

InternalFailure unreadable_file(std::source_location where = std::source_location::current()) {
    return internal_failure("called `Option::unwrap()` on a `None` value", where);
}

// The bytes of a strided table of n entries of `width` bytes, clipped to the file.
// nullopt when the read fails or comes up short of the length measured at the start.
std::optional<io::ByteWindow> read_table(const io::ByteSource& source, std::uint64_t length,
                                     std::uint64_t start, std::uint64_t stride, std::uint32_t n,
                                     std::uint64_t width) {
    const std::uint64_t span = stride * (n - 1) + width;
    auto window = io::read_window(source, start, span);
    if (!window || !io::window_is_complete(*window, start, span, length)) return std::nullopt;
    return window;
}

// Scan offsets of the orbitrap profile: 3666, then a running sum of the index's
// data lengths. Every entry's length field must lie inside the file.
void fill_orbitrap_offsets(ScanCaches& caches, const io::ByteSource& source, std::uint64_t length,
                           std::uint32_t n) {
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t p = orbitrap_index_start + orbitrap_index_stride * k;
        if (p > length) {
            throw internal_failure("range start index " + std::to_string(p) +
                                    " out of range for slice of length " + std::to_string(length));
        }
        if (p + 4 > length) {
            throw internal_failure("range end index " + std::to_string(p + 4) +
                                    " out of range for slice of length " + std::to_string(length));
        }
    }
    const auto index = read_table(source, length, orbitrap_index_start, orbitrap_index_stride, n, 4);
    if (!index) throw unreadable_file();
    std::uint64_t position = orbitrap_first_scan_offset;
    for (std::uint64_t k = 0; k < n; ++k) {
        caches.scan_offsets[k] = position;
        position += *index->load<std::uint32_t>(orbitrap_index_start + orbitrap_index_stride * k);
    }
}

bool fill_orbitrap_metadata(ScanCaches& caches, const io::ByteSource& source, std::uint64_t length,
                            std::uint32_t n) {
    namespace field = trailer_record;
    const auto records = read_table(source, length, field::start, field::stride, n, field::cached_width);
    if (!records) return false;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t r = field::offset_of(k);
        if (!records->contains(r, field::cached_width)) continue;
        caches.injection_times[k] = *records->load<float>(r + field::injection_time);
        caches.master_scans[k] = *records->load<std::int32_t>(r + field::master_scan);
        caches.monoisotopic_mzs[k] = *records->load<double>(r + field::monoisotopic_mz);
        caches.charge_states[k] = *records->load<std::uint8_t>(r + field::charge);
    }
    return true;
}

bool fill_small_v57_metadata(ScanCaches& caches, const io::ByteSource& source, std::uint64_t length,
                             std::uint32_t n) {
    const auto blocks =
        read_table(source, length, small_block_start, small_block_stride, n, small_block_width);
    if (!blocks) return false;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t b = small_block_start + small_block_stride * k;
        if (!blocks->contains(b, small_block_width)) continue;
        caches.injection_times[k] = *blocks->load<float>(b);
        caches.master_scans[k] = -1;
    }
    return true;
}

bool fill_retention_times(ScanCaches& caches, const io::ByteSource& source, std::uint64_t length,
                          std::uint32_t n, std::uint64_t start, std::uint64_t stride) {
    const auto table = read_table(source, length, start, stride, n, 8);
    if (!table) return false;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (auto rt = table->load<double>(start + stride * k)) caches.retention_times[k] = *rt;
    }
    return true;
}

}  // namespace

void initialize_caches(ReaderRecord& record, const io::ByteSource& source) {
    const auto length = source.length();
    if (!length) throw unreadable_file();
    const std::uint32_t n = scan_count_for(record.version);
    const FileProfile profile = record.rules.profile;

    ScanCaches caches(n);
    if (profile == FileProfile::small) {
        std::copy(small_scan_offsets.begin(), small_scan_offsets.end(), caches.scan_offsets.begin());
    } else if (profile == FileProfile::orbitrap) {
        fill_orbitrap_offsets(caches, source, *length, n);
    }

    bool read_ok = true;
    if (record.rules.orbitrap_records) {
        read_ok = fill_orbitrap_metadata(caches, source, *length, n);
    } else if (record.version == version_57 && profile == FileProfile::small) {
        read_ok = fill_small_v57_metadata(caches, source, *length, n);
    }
    if (read_ok && profile == FileProfile::small) {
        read_ok = fill_retention_times(caches, source, *length, n, small_rt_start, small_rt_stride);
    } else if (read_ok && profile == FileProfile::orbitrap) {
        read_ok = fill_retention_times(caches, source, *length, n, orbitrap_rt_start,
                                       orbitrap_index_stride);
    }
    if (!read_ok) throw unreadable_file();

    record.num_scans = n;
    record.caches = std::move(caches);
}

}  // namespace kestrune::reader
