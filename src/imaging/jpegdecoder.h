#pragma once

// JPEG decoding straight through libjpeg, with the checks a file from anywhere needs: any
// warning about the data (corrupt or missing entropy-coded data, a premature end) fails
// the decode instead of leaving grey areas, and a file whose decoding would need more
// memory than the budget is refused from its header, before anything large is allocated.
//
// For valid files the pixels are those the Qt JPEG plugin gives for the same scaled size:
// the same library and settings, the same DCT scaling, the same smooth scaling to the
// exact size and the same reading of the orientation tag and the colour profile.

#include "imaging.h"

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>

class QIODevice;

namespace Imaging::Jpeg {

// Decodes the JPEG that starts at the device's current position, as readImage() does:
// maxSide caps the longer side (0: no cap), memoryBudget bounds what the decode may
// allocate (bytes), and a valid `expected` refuses another announced upright size.
Read read(QIODevice& device, int maxSide, qint64 memoryBudget, QSize expected);

// The orientation tag of an Exif block (the APP1 segment's bytes from "Exif\0\0" on), read
// as the Qt plugin reads it: 1 to 8, 0 when there is none, -1 when the block cannot be read.
int exifOrientation(const QByteArray& exif);
// What turns a picture stored with the orientation tag upright (none for 0, 1 and -1).
QImageIOHandler::Transformations transformationOf(int orientation);

} // namespace Imaging::Jpeg
