#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Set-or-clear masks: one byte per pixel, row-major, any nonzero byte is set.
// Pixels outside the array count as clear. Only the first w x h bytes are read.
namespace Morph {

struct Box {
    int64_t minX, maxX, minY, maxY;
};

// Bounding box of the set pixels; maxY < 0 when there are none.
Box setBox(std::span<const uint8_t> mask, int64_t w, int64_t h);

// True when at least one pixel is still set after `steps` steps of 3 x 3 erosion,
// that is, when the mask holds a solid (2 steps + 1)-pixel square. `steps` 0 answers
// true without reading the mask.
bool survivesErosion(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t steps);

// w x h bytes, 1 where a set pixel lies within the (2r + 1) x (2r + 1) square around
// the pixel (clipped to the array), else 0.
std::vector<uint8_t> dilate(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t r);

// Rows y0 ... y1 - 1 of dilate(mask, w, h, r), written to out ((y1 - y0) x w bytes). Row
// ranges that split the array give exactly the whole dilation, so ranges can be dilated
// side by side.
void dilateRows(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t r, int64_t y0,
                int64_t y1, std::span<uint8_t> out);

} // namespace Morph
