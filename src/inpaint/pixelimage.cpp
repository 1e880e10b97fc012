#include "pixelimage.h"

#include <algorithm>
#include <cassert>

PixelImage::PixelImage(int64_t width, int64_t height)
    : PixelImage(width, height,
                 std::vector<uint8_t>(static_cast<size_t>(std::max<int64_t>(width, 0)) *
                                          static_cast<size_t>(std::max<int64_t>(height, 0)) * 4,
                                      255)) {}

PixelImage::PixelImage(int64_t width, int64_t height, std::vector<uint8_t> bytes)
    : width_(width), height_(height),
      data_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {
    assert(width >= 0 && height >= 0 && "PixelImage: negative size");
    assert(data_->size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 4 &&
           "PixelImage: byte count must be width x height x 4");
}

std::span<const uint8_t> PixelImage::bytes() const {
    if (!data_)
        return {};
    return {data_->data(), data_->size()};
}

std::span<uint8_t> PixelImage::mutableBytes() {
    if (!data_)
        return {};
    // use_count() is exact for the owner asking: if it reads 1, no other copy exists
    // and none can appear except through this object.
    if (data_.use_count() > 1)
        data_ = std::make_shared<std::vector<uint8_t>>(*data_);
    return {data_->data(), data_->size()};
}

bool operator==(const PixelImage& a, const PixelImage& b) {
    if (a.width_ != b.width_ || a.height_ != b.height_)
        return false;
    if (a.data_ == b.data_)
        return true;
    const auto x = a.bytes();
    const auto y = b.bytes();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
}
