#pragma once

// Decoding, conversion and PNG encoding between files, Qt images and PixelImage.
// Shared by the application and the command-line tool, so both see the same pixels.

#include "pixelimage.h"
#include "pngencoder.h"

#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QString>

#include <optional>

class QImageReader;

namespace Imaging {

// The longer side of a decoded document, in pixels; larger pictures are scaled down.
inline constexpr int kMaxSide = 3072;
// Images whose stored size exceeds this many pixels are refused before decoding: a
// compressed file of a few kilobytes can claim billions of pixels.
inline constexpr qint64 kMaxStoredPixels = qint64(1) << 30;
// QImageReader's allocation limit (MB) the application and tools run with, so that large
// TIFF, WebP and interlaced PNG files, which Qt decodes at full size, still open.
inline constexpr int kAllocationLimitMB = 2048;

enum class LoadError {
    None,
    NotAnImageFile, // "Couldn't read that file as an image."
    NotImageData,   // "Couldn't read that image."
    DecodeFailed,   // "Couldn't decode that image."
};

enum class SaveError {
    None,
    CannotCreate, // "Couldn't create the PNG file."
    WriteFailed,  // "Saving failed."
};

// The user-facing text of a failure; empty for None.
QString message(LoadError error);
QString message(SaveError error);

struct Decoded {
    std::optional<PixelImage> image;
    LoadError error = LoadError::None;
};

// The one sRGB colour space every image of the program is tagged with.
const QColorSpace& sRGB();

// Sets the reader allocation limit above; call once at start-up (before any decoding).
void configureImageReader();

// True when the reader can read its device as an image (the file exists, is readable
// and its header names a format Qt decodes). Call before decode().
bool canOpen(QImageReader& reader);

// Decodes the first image of a reader that canOpen() accepted: upright (orientation tag
// applied), the longer side scaled down to at most maxSide (0: no cap, the full stored
// size), composited over white into opaque R, G, B, 255 bytes in sRGB. Fails with
// NotAnImageFile when the size cannot be read, and DecodeFailed when the pixels cannot
// (corrupt or truncated data, a refused size).
Decoded decode(QImageReader& reader, int maxSide = kMaxSide);

// Convenience for whole files and byte arrays: canOpen() + decode(). A file that cannot
// be opened gives NotAnImageFile, bytes that cannot give NotImageData.
Decoded decodeFile(const QString& path, int maxSide = kMaxSide);
Decoded decodeData(const QByteArray& bytes, int maxSide = kMaxSide);

// Draws a Qt image of any format over opaque white into a new PixelImage of the same
// pixel size, converting it to sRGB first. None when no drawing surface can be made.
std::optional<PixelImage> fromQImage(const QImage& image);

// A drawable copy of the pixels (Format_RGBX8888, tagged sRGB); null when it cannot be
// allocated. The fourth byte is ignored.
QImage makeQImage(const PixelImage& image);

// Writes the image as an 8-bit RGB PNG (pngencoder.h). The file is replaced atomically
// where the folder allows it, so a failed save never leaves a truncated file in place of
// the previous one.
SaveError savePng(const RgbxRows& image, const QString& path);
SaveError savePng(const QImage& image, const QString& path);
SaveError savePng(const PixelImage& image, const QString& path);

} // namespace Imaging
