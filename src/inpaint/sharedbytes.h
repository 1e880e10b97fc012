#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// A byte buffer shared between copies until one of them is written (copy on write).
// Image pixels and mask bytes are held this way, so undo snapshots and background jobs
// keep large pictures without copying them. Reading never copies; mutableBytes() copies
// only while another copy shares the buffer.
class SharedBytes {
public:
    SharedBytes() = default;
    // count zero bytes.
    explicit SharedBytes(size_t count);
    explicit SharedBytes(std::vector<uint8_t> bytes);

    size_t size() const { return data_ ? data_->size() : 0; }
    std::span<const uint8_t> bytes() const;
    // Makes the bytes exclusively owned (copying them if another copy shares them) and
    // returns them for writing.
    std::span<uint8_t> mutableBytes();

    // True when another copy uses the same buffer, so writing would copy it first.
    bool isShared() const { return data_ && data_.use_count() > 1; }
    // True when both use the same buffer (no byte was copied between them).
    bool sharesBytesWith(const SharedBytes& other) const { return data_ && data_ == other.data_; }

    // Same count and the same bytes.
    friend bool operator==(const SharedBytes& a, const SharedBytes& b);

private:
    std::shared_ptr<std::vector<uint8_t>> data_;
};
