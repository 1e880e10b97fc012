#pragma once

// A fast PNG writer for the program's own pictures: 8-bit RGB, no interlacing, tagged
// sRGB. Each row is stored with the "up" filter (its difference from the row above),
// which costs almost nothing and compresses photographs about as well as choosing a
// filter per row, and the whole picture is deflated at once by libdeflate, several
// times faster than zlib at a similar size (very large pictures excepted, below).

#include <QtGlobal>

#include <cstdint>

class QIODevice;

namespace Imaging {

// Rows of 4-byte pixels: red, green, blue and a fourth byte the writer ignores.
struct RgbxRows {
    const uint8_t* data = nullptr;
    int64_t width = 0;
    int64_t height = 0;
    int64_t stride = 0; // bytes from one row to the next
};

// Pictures whose filtered rows take more than this many bytes are deflated by zlib as a
// stream, a band of rows at a time, rather than whole: the whole-picture compressor holds
// a filtered copy and the compressed output beside the picture, up to 5.4 bytes a pixel.
inline constexpr int64_t kWholePictureBytes = int64_t(256) << 20;

// Writes the rows as a PNG file to the device. False when memory runs out or a write
// fails; the device may then hold part of a file. wholeLimit: see kWholePictureBytes.
bool encodePng(const RgbxRows& rows, QIODevice& device, int64_t wholeLimit = kWholePictureBytes);

} // namespace Imaging
