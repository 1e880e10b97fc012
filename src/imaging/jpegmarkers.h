#pragma once

// The markers of a JPEG photo that the block-keeping writer carries over: read while the
// photo's blocks are read, and the Exif block's thumbnail unlinked.

#include <QByteArray>

#include <cstdio> // jpeglib.h needs FILE declared
#include <vector>

#include <jpeglib.h>

namespace Imaging::Jpeg {

// The markers of the photo besides the picture's own, as they were. JFIF (APP0) and Adobe
// (APP14) are read by the library, which decides from them how colours are stored, and it
// writes them again itself.
struct Marker {
    int code = 0;
    QByteArray bytes;
};

// Matches the decoder's limits: more markers than any camera writes are refused, and no
// more than this many bytes of them are kept.
inline constexpr size_t kMaxMarkers = 10000;
inline constexpr qsizetype kMaxMarkerBytes = qsizetype(16) << 20;

struct Markers {
    std::vector<Marker> list;
    qsizetype bytes = 0;
    bool tooMany = false;
    bool noMemory = false;
};

// libjpeg's marker processor: keeps the marker in the Markers at info->client_data, and
// fails the read (through the error manager) past the limits or without memory.
boolean keepMarker(j_decompress_ptr info);

bool isExif(const Marker& m);

// A multi-picture index (APP2 "MPF") gives the offsets of pictures stored after the photo's
// end; those are not written, so neither is the index.
bool isPictureIndex(const Marker& m);

// Makes the first IFD of an Exif block the last: the second, which holds the thumbnail,
// is no longer linked, and readers no longer show the picture before the edit. The block
// comes from the file: every offset is checked, and a block that cannot be read is left
// as it is.
void unlinkThumbnail(QByteArray& exif);

// The photo's colour profile, as the decoder puts its pieces together.
QByteArray iccProfile(const std::vector<Marker>& markers);

} // namespace Imaging::Jpeg
