#include "jpegmarkers.h"

#include "jpegerrors.h"

#include <cstring>
#include <new>

namespace Imaging::Jpeg {

boolean keepMarker(j_decompress_ptr info) {
    auto* markers = static_cast<Markers*>(info->client_data);
    int length = nextByte(info) << 8;
    length += nextByte(info);
    length -= 2;
    if (length <= 0)
        return TRUE;
    if (markers->list.size() >= kMaxMarkers || markers->bytes + length > kMaxMarkerBytes) {
        markers->tooMany = true;
        failNow(reinterpret_cast<j_common_ptr>(info));
    }
    // The list's room was reserved before reading: only the bytes are allocated here, and
    // no exception may pass through the library.
    markers->list.push_back({info->unread_marker, {}});
    QByteArray& bytes = markers->list.back().bytes;
    try {
        bytes.resize(length);
    } catch (const std::bad_alloc&) {
        markers->noMemory = true;
    }
    if (markers->noMemory)
        failNow(reinterpret_cast<j_common_ptr>(info));
    markers->bytes += length;
    char* out = bytes.data();
    for (int i = 0; i < length; ++i)
        out[i] = char(nextByte(info));
    return TRUE;
}

namespace {

bool startsWith(const QByteArray& bytes, const char* prefix, size_t length) {
    return size_t(bytes.size()) >= length && std::memcmp(bytes.constData(), prefix, length) == 0;
}

} // namespace

bool isExif(const Marker& m) {
    return m.code == JPEG_APP0 + 1 && startsWith(m.bytes, "Exif\0\0", 6);
}

bool isPictureIndex(const Marker& m) {
    return m.code == JPEG_APP0 + 2 && startsWith(m.bytes, "MPF\0", 4);
}

void unlinkThumbnail(QByteArray& exif) {
    constexpr qsizetype kHeader = 6; // "Exif\0\0"
    const qint64 size = exif.size() - kHeader;
    if (size < 8)
        return;
    auto* tiff = reinterpret_cast<uchar*>(exif.data() + kHeader);
    bool bigEndian;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        bigEndian = true;
    else if (tiff[0] == 'I' && tiff[1] == 'I')
        bigEndian = false;
    else
        return;
    const auto read = [&](qint64 at, int bytes) {
        quint32 v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= quint32(tiff[at + i]) << (8 * (bigEndian ? bytes - 1 - i : i));
        return v;
    };
    if (read(2, 2) != 42)
        return;
    const qint64 first = read(4, 4);
    if (first < 8 || first + 2 > size)
        return;
    const qint64 next = first + 2 + 12 * qint64(read(first, 2));
    if (next + 4 > size)
        return;
    std::memset(tiff + next, 0, 4);
}

QByteArray iccProfile(const std::vector<Marker>& markers) {
    QByteArray icc;
    for (const Marker& m : markers)
        if (m.code == JPEG_APP0 + 2 && m.bytes.size() > 128 + 4 + 14 &&
            startsWith(m.bytes, "ICC_PROFILE", 12))
            icc += m.bytes.mid(14);
    return icc;
}

} // namespace Imaging::Jpeg
