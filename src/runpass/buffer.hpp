// A growable array in memory from malloc, so that a large one grows in place (the
// allocator remaps its pages rather than copying them) and its storage can be handed
// to another owner, who frees it with std::free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrune::runpass {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    // `size` elements, all zero.
    explicit Buffer(std::size_t size) : data_(allocate_zeroed(size)), size_(size), capacity_(size) {}
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t k) { return data_[k]; }

    void append(const T* values, std::size_t count) {
        reserve(size_ + count);
        if (count) std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
    }
    void append_copies(const T& value, std::size_t count) {
        reserve(size_ + count);
        std::fill_n(data_ + size_, count, value);
        size_ += count;
    }

    // Gives the storage, trimmed to the size, to the caller (never null).
    T* release() {
        resize_storage(size_);
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static T* allocate_zeroed(std::size_t size) {
        void* memory = std::calloc(std::max<std::size_t>(size, 1), sizeof(T));
        if (!memory) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void reserve(std::size_t needed) {
        if (needed > capacity_) resize_storage(std::max(needed, capacity_ + capacity_ / 2));
    }
    void resize_storage(std::size_t capacity) {
        void* memory = std::realloc(data_, std::max<std::size_t>(capacity, 1) * sizeof(T));
        if (!memory) throw std::bad_alloc();
        data_ = static_cast<T*>(memory);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrune::runpass
