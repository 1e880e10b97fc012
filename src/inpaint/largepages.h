#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

// Working buffers of tens of megabytes and the kernel's huge pages.
//
// The first write to fresh memory costs a page fault for every 4 KiB page, and inside some
// virtual machines each fault takes several microseconds: a large fill would spend more
// time in faults than in some of its passes, all of it on one thread. Backed by 2 MiB
// pages, the same buffers fault 512 times less often. Where the system offers no such
// backing, these calls behave like plain allocation.
namespace LargePages {

inline constexpr size_t kHugePage = size_t{2} << 20;

// Asks for the whole huge pages inside [p, p + bytes) to be backed by huge pages when
// they are first written. A hint only: nothing changes for ranges holding no whole one.
void advise(void* p, size_t bytes);

// Zeroed storage for `bytes` bytes. On Linux a block spanning at least a huge page is a fresh
// mapping aligned to one, so that all of it can be backed by huge pages, and the system
// zeroes it page by page on first touch, so the pages a caller never touches cost
// neither memory nor time. Give it back with release().
void* allocateZeroed(size_t bytes);
void release(void* p, size_t bytes);

// A fixed-size array of n zeroed elements from allocateZeroed(), for buffers whose zeros
// need no writing and whose untouched pages are never faulted in.
template <typename T> class Buffer {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(data_, size_ * sizeof(T)); }
    // Replaces the contents with n zeroed elements.
    void allocate(size_t n) {
        release(data_, size_ * sizeof(T));
        data_ = nullptr;
        size_ = 0;
        data_ = static_cast<T*>(allocateZeroed(n * sizeof(T)));
        size_ = n;
    }
    T& operator[](int64_t i) { return data_[i]; }
    const T& operator[](int64_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    size_t size() const { return size_; }
    operator std::span<const T>() const { return {data_, size_}; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
};

// For tests: while on, allocateZeroed() and reserve() throw std::bad_alloc, as they would with
// the memory exhausted.
void simulateExhaustion(bool on);
void checkExhaustion();

// Makes room for n elements in an empty vector and advises the room, so that the writes
// that fill it fault in huge pages.
template <typename T> void reserve(std::vector<T>& v, size_t n) {
    checkExhaustion();
    v.reserve(n);
    advise(v.data(), v.capacity() * sizeof(T));
}

} // namespace LargePages
