#pragma once

// Structural checks of image files before Qt's readers decode them. The readers accept a
// truncated file as a picture with whatever the missing part happened to hold, and read a
// chunk length of two gigabytes as a request for two gigabytes; these checks walk the
// file's layout first and cost a read of the file at most.

#include <QByteArray>

class QIODevice;

namespace Imaging::FormatCheck {

// False when the file starting at the device's current position is damaged in a way its
// reader would not report: a PNG chunk that is cut short, claims more than the file holds
// or fails its checksum, a GIF whose first picture is cut short, a BMP whose pixel data
// is cut short, a WBMP whose pixel data is not exactly as long as its size says. Formats
// without a check pass. The device's position is restored.
bool intact(QIODevice& device, const QByteArray& format);

} // namespace Imaging::FormatCheck
