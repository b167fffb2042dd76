// A growable array whose storage can be handed to another owner (`Storage`). Large
// arrays live in their own anonymous mappings, grown by remapping their pages rather
// than copying them, in huge pages where the system grants them (a run's peaks are
// hundreds of megabytes: page faults and copies would cost more than decoding them).
// Small ones come from malloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kestrune::runpass {

// Raw storage: `bytes` long, mapped or from malloc. Movable, freed when it goes.
class Storage {
public:
    Storage() = default;
    Storage(Storage&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    Storage& operator=(Storage&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage() { release(); }

    void* data() const { return data_; }
    std::size_t bytes() const { return bytes_; }
    // Keeps the first `kept` bytes.
    // Throws std::bad_alloc.
    void resize(std::size_t bytes, std::size_t kept);
    // Zero-filled storage of `bytes`.
    static Storage zeroed(std::size_t bytes);

private:
    void release() noexcept;
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    // `size` elements, all zero.
    explicit Buffer(std::size_t size) : storage_(Storage::zeroed(size * sizeof(T))), size_(size) {}

    T* data() { return static_cast<T*>(storage_.data()); }
    const T* data() const { return static_cast<const T*>(storage_.data()); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t k) { return data()[k]; }

    void append(const T* values, std::size_t count) {
        reserve(size_ + count);
        if (count) std::memcpy(data() + size_, values, count * sizeof(T));
        size_ += count;
    }
    void append_copies(const T& value, std::size_t count) {
        reserve(size_ + count);
        std::fill_n(data() + size_, count, value);
        size_ += count;
    }

    // The storage, given up by the buffer.
    Storage release() {
        if (!storage_.data()) storage_ = Storage::zeroed(sizeof(T));  // never null
        size_ = 0;
        return std::move(storage_);
    }

private:
    void reserve(std::size_t needed) {
        const std::size_t capacity = storage_.bytes() / sizeof(T);
        if (needed > capacity) storage_.resize(std::max(needed, 2 * capacity) * sizeof(T), size_ * sizeof(T));
    }

    Storage storage_;
    std::size_t size_ = 0;
};

}  // namespace kestrune::runpass
