#include "runpass/buffer.hpp"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestrune::runpass {

namespace {

// Past this size an array gets its own mapping.
constexpr std::size_t mapped_from = std::size_t{1} << 20;

#if defined(__linux__)
constexpr bool can_map = true;
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t mapping_size(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

void* map(std::size_t bytes) {
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    ::madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: refused, the pages stay small
    return memory;
}

void* remap(void* memory, std::size_t from, std::size_t to) {
    void* moved = ::mremap(memory, from, to, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    ::madvise(moved, to, MADV_HUGEPAGE);
    return moved;
}

void unmap(void* memory, std::size_t bytes) { ::munmap(memory, bytes); }
#else
constexpr bool can_map = false;
std::size_t mapping_size(std::size_t bytes) { return bytes; }
void* map(std::size_t) { throw std::bad_alloc(); }
void* remap(void*, std::size_t, std::size_t) { throw std::bad_alloc(); }
void unmap(void*, std::size_t) {}
#endif

}  // namespace

Storage Storage::zeroed(std::size_t bytes) {
    Storage made;
    if (can_map && bytes >= mapped_from) {
        made.bytes_ = mapping_size(bytes);
        made.data_ = map(made.bytes_);  // anonymous pages read as zero
        made.mapped_ = true;
        return made;
    }
    made.data_ = std::calloc(std::max<std::size_t>(bytes, 1), 1);
    if (!made.data_) throw std::bad_alloc();
    made.bytes_ = bytes;
    return made;
}

void Storage::resize(std::size_t bytes, std::size_t kept) {
    if (mapped_) {
        const std::size_t size = mapping_size(bytes);
        data_ = remap(data_, bytes_, size);
        bytes_ = size;
    } else if (can_map && bytes >= mapped_from) {
        const std::size_t size = mapping_size(bytes);
        void* memory = map(size);
        if (kept) std::memcpy(memory, data_, kept);
        std::free(data_);
        data_ = memory;
        bytes_ = size;
        mapped_ = true;
    } else {
        void* memory = std::realloc(data_, std::max<std::size_t>(bytes, 1));
        if (!memory) throw std::bad_alloc();
        data_ = memory;
        bytes_ = bytes;
    }
}

void Storage::release() noexcept {
    if (mapped_) unmap(data_, bytes_);
    else std::free(data_);
    data_ = nullptr;
    bytes_ = 0;
    mapped_ = false;
}

}  // namespace kestrune::runpass
