// Peak extraction: the peak block of one scan, found by searching the bytes that
// follow the scan's entry in the scan offset cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "io/byte_source.hpp"
#include "io/byte_window.hpp"
#include "reader/record.hpp"

namespace kestrune::spectra {

// An allocator whose resize leaves new elements uninitialised: the block's decode
// writes every one, and zero-filling megabytes first would cost a whole extra pass.
template <class T>
struct DecodeAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DecodeAllocator<U>;
    };
    DecodeAllocator() = default;
    template <class U>
    DecodeAllocator(const DecodeAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using PeakVector = std::vector<T, DecodeAllocator<T>>;

// Raw bytes read from the file into storage that starts unfilled.
using UnfilledBytes = std::vector<std::uint8_t, DecodeAllocator<std::uint8_t>>;

// The peaks of one block, in file order; both sequences have the same length.
struct Peaks {
    PeakVector<double> mz;
    PeakVector<float> intensity;
};

// What a reader of many blocks in turn keeps between them, so that the blocks after
// the first need no fresh memory: the peaks of the last block read and the buffer its
// records passed through.
struct PeakStorage {
    Peaks peaks;
    UnfilledBytes records;
};

// Where a scan's peak block search starts, and the width of its records.
struct PeakSearch {
    std::uint64_t start;  // the scan's entry in the scan offset cache
    bool wide;            // version 66: wide 12-byte records, else narrow 8-byte ones
};

// The search of scan `scan_number` (1-based), or nullopt when the scan is out of range.
std::optional<PeakSearch> peak_search_of(const reader::ReaderRecord& record, std::uint32_t scan_number);

// The peaks the search finds, or nullopt when the source cannot be read or no block
// passes. Only the search window and the chosen block are read, each byte once.
std::optional<Peaks> extract_peaks(const PeakSearch& search, const io::ByteSource& source);

// How a block's records become its peaks: by default the reader's own split. A reader
// of many blocks may gather what it needs from the peaks on the way, but they must come
// out exactly as split_wide_records and widen_narrow_records make them.
class RecordDecoder {
public:
    virtual ~RecordDecoder() = default;
    // Wide records first .. first + n - 1 of a block, into mz + first and intensity +
    // first; called for a block's chunks in order, each but the last a multiple of
    // eight records.
    virtual void split_wide(const std::uint8_t* records, std::size_t first, std::size_t n, double* mz,
                            float* intensity);
    virtual void widen_narrow(double* mz, std::size_t count, float* intensity);
};

// As extract_peaks, into `storage.peaks` through `decoder`: false where that answers
// nullopt (the peaks left then are unspecified).
bool extract_peaks_into(const PeakSearch& search, const io::ByteSource& source, PeakStorage& storage,
                        RecordDecoder& decoder);

// The two steps of extract_peaks_into, for a reader of many blocks that decides from
// a block's count whether to read it now: the block the search found (its search
// window read, its records not yet), then its records.
struct LocatedBlock {
    io::ByteWindow window;
    std::uint64_t records_at;  // from the window's start
    std::uint32_t count;
    bool wide;
};
std::optional<LocatedBlock> locate_peak_block(const PeakSearch& search, const io::ByteSource& source);
bool read_located_block(const LocatedBlock& located, const io::ByteSource& source, PeakStorage& storage,
                        RecordDecoder& decoder);

// Both steps at once.
std::optional<Peaks> extract_peaks(const reader::ReaderRecord& record, std::uint32_t scan_number,
                                   const io::ByteSource& source);

}  // namespace kestrune::spectra
