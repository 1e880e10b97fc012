#pragma once

// JPEG writing through libjpeg.
//
// encodeJpeg() compresses a picture of the program's own: a baseline file at quality 92
// with the chroma halved both ways (4:2:0), tagged sRGB.
//
// EditedJpeg writes a photo that was a JPEG with its edits while keeping the camera's
// file: every MCU (the group of 8 x 8 blocks that covers one spot of all the colour
// components) that no edit changed is copied from the photo as its DCT coefficients, bit
// for bit, so it decodes exactly as before; only the MCUs an edit touched are compressed
// again, with the photo's own quantisation tables, sampling and colour space. The photo's
// Exif (orientation included: the blocks stay as they are stored), colour profile and
// other application and comment markers are kept. Huffman tables are optimised, so the file
// comes out about as large as the photo, often smaller.

#include "pixelimage.h"
#include "pngencoder.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <span>

class QIODevice;

namespace Imaging {

inline constexpr int kJpegQuality = 92;

// Writes the rows as a baseline JPEG: quality kJpegQuality, 4:2:0, optimised Huffman tables
// and the sRGB colour profile. False when memory runs out or a write fails; the device may
// then hold part of a file.
bool encodeJpeg(const RgbxRows& rows, QIODevice& device);

class EditedJpeg {
public:
    // photo: the JPEG's bytes. picture: the photo decoded at full size with the edits in it,
    // upright and in sRGB as decode() gives it. changed: one byte for each pixel of
    // picture, row by row, nonzero where an edit changed that pixel.
    // Reads the photo's blocks and compresses again those of every MCU that holds a changed
    // pixel. None, with the reason (when given), when the photo's blocks cannot be kept:
    // damaged data, a colour space other than grey, YCbCr and RGB (CMYK, for one), a
    // picture of another size, or too little memory.
    static std::unique_ptr<EditedJpeg> make(const QByteArray& photo, const PixelImage& picture,
                                            std::span<const uint8_t> changed,
                                            QString* reason = nullptr);
    ~EditedJpeg();
    EditedJpeg(const EditedJpeg&) = delete;
    EditedJpeg& operator=(const EditedJpeg&) = delete;

    // Writes the file: the photo's markers, then its blocks as one or several scans as the
    // photo had them. The Exif block no longer leads to its thumbnail, which would show the
    // picture before the edit. False when memory runs out or a write fails.
    bool write(QIODevice& device);

    struct State;

private:
    explicit EditedJpeg(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace Imaging
