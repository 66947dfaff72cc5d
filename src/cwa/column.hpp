// Column storage that can leave for NumPy: malloc'd memory whose ownership can be released.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "cwa/platform/memory_advice.hpp"

namespace cwa {

template <class T>
class Column {
public:
    Column() = default;
    Column(Column&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Column() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Room for `count` elements in total. Large reservations cost only address space until
    // written, so readers reserve from a file's upper bound and trim once at the end.
    void reserve(std::size_t count) {
        if (!try_reserve(count)) throw std::bad_alloc();
    }
    // A reservation that may be refused (false), leaving the column as it was: callers that
    // only hint at a size let growth take over instead.
    bool try_reserve(std::size_t count) noexcept {
        if (count <= capacity_) return true;
        if (count > SIZE_MAX / sizeof(T)) return false;
        void* grown = std::realloc(data_, count * sizeof(T));
        if (!grown) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = count;
        platform::advise_huge_pages(grown, count * sizeof(T));
        return true;
    }
    // Appends `count` uninitialised elements and returns where they start.
    T* extend(std::size_t count) {
        if (count > capacity_ - size_) reserve(std::max(size_ + count, capacity_ + capacity_ / 2 + 16));
        T* start = data_ + size_;
        size_ += count;
        return start;
    }
    void push_back(T value) { *extend(1) = value; }
    void append_fill(std::size_t count, T value) {
        T* out = extend(count);
        for (std::size_t i = 0; i < count; ++i) out[i] = value;
    }
    void shrink_to_fit() noexcept {
        if (size_ == capacity_) return;
        if (size_ == 0) {
            std::free(std::exchange(data_, nullptr));
            capacity_ = 0;
        } else if (void* shrunk = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(shrunk);
            capacity_ = size_;
        }
    }
    // Hands the storage to a new owner, who must release it with std::free.
    T* release() noexcept {
        capacity_ = size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace cwa
