#pragma once

// Structural checks of image files before Qt's readers decode them. The readers accept a
// truncated file as a picture with whatever the missing part happened to hold, and read a
// chunk length of two gigabytes as a request for two gigabytes; these checks walk the
// file's layout first and cost a read of the file at most.

#include <QByteArray>
#include <QString>

class QIODevice;

namespace Imaging::FormatCheck {

// Why the file on the device (from its start) must not be handed to its
// reader, in a few words; empty when it may be. Refused are damage the reader would not
// report (a PNG chunk that is cut short, claims more than the file holds or fails its
// checksum, a GIF whose first picture is cut short, a BMP whose pixel data is cut short, a
// WBMP whose pixel data is not exactly as long as its size says), a PNG with more than
// kMaxChunks chunks besides its pixel data or a metadata chunk larger than
// kMaxMetadataBytes, and an animated WebP whose first frame leaves part of an opaque canvas
// unwritten. Formats without a check pass. The device's position is restored.
QString problem(QIODevice& device, const QByteArray& format);

// Limits on what comes beside the pixels: far more than any camera or editor writes, far
// less than it takes to make reading them slow.
inline constexpr int kMaxChunks = 10000;
inline constexpr qint64 kMaxMetadataBytes = qint64(8) << 20;

} // namespace Imaging::FormatCheck
