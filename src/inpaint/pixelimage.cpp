#include "pixelimage.h"

#include <algorithm>
#include <cassert>

PixelImage::PixelImage(int64_t width, int64_t height)
    : PixelImage(width, height,
                 std::vector<uint8_t>(static_cast<size_t>(std::max<int64_t>(width, 0)) *
                                          static_cast<size_t>(std::max<int64_t>(height, 0)) * 4,
                                      255)) {}

PixelImage::PixelImage(int64_t width, int64_t height, std::vector<uint8_t> bytes)
    : width_(width), height_(height), data_(std::move(bytes)) {
    assert(width >= 0 && height >= 0 && "PixelImage: negative size");
    assert(data_.size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 4 &&
           "PixelImage: byte count must be width x height x 4");
}
