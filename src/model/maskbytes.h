#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The mask bytes of a document: one byte per image pixel, row-major, top row first.
// 0 = unpainted, 255 = fully painted, values between come from the brush's soft edge.
//
// A value type whose buffer is shared between copies until one of them is written
// (copy on write), like PixelImage: undo snapshots and erase jobs hold the mask of a
// large image without copying it.
class MaskBytes {
public:
    MaskBytes() = default;
    // count zero bytes.
    explicit MaskBytes(size_t count);
    explicit MaskBytes(std::vector<uint8_t> bytes);

    size_t size() const { return data_ ? data_->size() : 0; }
    std::span<const uint8_t> bytes() const;
    // Makes the bytes exclusively owned (copying them if another copy shares them)
    // and returns them for writing.
    std::span<uint8_t> mutableBytes();

    // True when both copies use the same buffer (no byte was copied between them).
    bool sharesBytesWith(const MaskBytes& other) const { return data_ && data_ == other.data_; }

    // Same count and the same bytes.
    friend bool operator==(const MaskBytes& a, const MaskBytes& b);

private:
    std::shared_ptr<std::vector<uint8_t>> data_;
};
