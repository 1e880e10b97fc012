#pragma once

// JPEG writing through libjpeg.
//
// encodeJpeg() compresses a picture of the program's own: a baseline file at quality 92
// with the chroma halved both ways (4:2:0), tagged sRGB.

#include "pngencoder.h"

class QIODevice;

namespace Imaging {

inline constexpr int kJpegQuality = 92;

// Writes the rows as a baseline JPEG: quality kJpegQuality, 4:2:0, optimised Huffman tables
// and the sRGB colour profile. False when memory runs out or a write fails; the device may
// then hold part of a file.
bool encodeJpeg(const RgbxRows& rows, QIODevice& device);

} // namespace Imaging
