// A heap buffer of trivially copyable elements whose ownership can be handed
// to a foreign owner (the Python object that keeps an output array alive).
// Allocated with malloc so that the release routine is a plain function.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace ventrola {

// What a foreign owner keeps: enough to free the buffer later.
struct RawBuffer {
    void (*release)(void* data, std::size_t length, std::size_t capacity);
    void* data;
    std::size_t length;
    std::size_t capacity;
};

template <class T>
class OwnedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    OwnedBuffer() = default;
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            length_ = std::exchange(other.length_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~OwnedBuffer() { std::free(data_); }

    // Room for `capacity` elements, or false when it cannot be had.
    static bool try_reserve(OwnedBuffer& out, std::size_t capacity) {
        if (capacity > SIZE_MAX / sizeof(T)) return false;
        if (capacity == 0) {
            out = OwnedBuffer();
            return true;
        }
        void* p = std::malloc(capacity * sizeof(T));
        if (p == nullptr) return false;
        OwnedBuffer buffer;
        buffer.data_ = static_cast<T*>(p);
        buffer.capacity_ = capacity;
        out = std::move(buffer);
        return true;
    }

    // Callers that write through data() instead of pushing say how many
    // elements they wrote; past the capacity is a programming error.
    void set_length_unchecked(std::size_t length) noexcept { length_ = length; }

    // Callers reserve first; pushing past the capacity is a programming error.
    void push_unchecked(const T& value) { data_[length_++] = value; }

    T* data() noexcept { return data_; }
    std::size_t size() const noexcept { return length_; }

    // Hands the buffer to a foreign owner; this object is left empty.
    RawBuffer release() noexcept {
        RawBuffer raw{&free_raw, data_, length_, capacity_};
        data_ = nullptr;
        length_ = 0;
        capacity_ = 0;
        return raw;
    }

private:
    static void free_raw(void* data, std::size_t, std::size_t) { std::free(data); }

    T* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace ventrola
