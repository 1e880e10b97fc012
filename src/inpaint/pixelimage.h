#pragma once

#include "sharedbytes.h"

#include <cstdint>
#include <span>
#include <vector>

// An 8-bit image as the erase engine and the document pass it around.
//
// Layout: width x height pixels, row-major, top row first, no padding between rows.
// Each pixel is four bytes: red, green, blue and a fourth byte that carries no alpha
// (decoded images set it to 255). Colours are plain, not premultiplied, sRGB values.
//
// The pixel bytes are shared between copies until one of them is written (copy on
// write), so undo snapshots and background jobs can hold a large image for free.
// Reading never copies; mutableBytes() copies only while the buffer is shared.
class PixelImage {
public:
    PixelImage() = default;
    // A width x height image with every byte 255 (opaque white).
    PixelImage(int64_t width, int64_t height);
    // Takes ownership of exactly width x height x 4 bytes.
    PixelImage(int64_t width, int64_t height, std::vector<uint8_t> bytes);

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    bool isEmpty() const { return width_ <= 0 || height_ <= 0; }

    std::span<const uint8_t> bytes() const { return data_.bytes(); }
    // Makes the bytes exclusively owned (copying them if another copy shares them)
    // and returns them for writing.
    std::span<uint8_t> mutableBytes() { return data_.mutableBytes(); }

    // True when another copy uses the same bytes, so writing would copy them first.
    bool isShared() const { return data_.isShared(); }
    // True when both copies use the same buffer (no pixel was copied between them).
    bool sharesBytesWith(const PixelImage& other) const {
        return data_.sharesBytesWith(other.data_);
    }

    // Same size and the same bytes.
    friend bool operator==(const PixelImage& a, const PixelImage& b) {
        return a.width_ == b.width_ && a.height_ == b.height_ && a.data_ == b.data_;
    }

private:
    int64_t width_ = 0;
    int64_t height_ = 0;
    SharedBytes data_;
};
