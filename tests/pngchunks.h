#pragma once

// Building PNG files byte by byte for tests that need broken or hostile ones.

#include <QByteArray>

#include <cstdint>

#include <zlib.h>

namespace PngChunks {

inline void be32(QByteArray& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out.append(char((v >> s) & 0xFF));
}

// One chunk: length, type, data and the checksum over type and data.
inline QByteArray chunk(const char* type, const QByteArray& data) {
    QByteArray out;
    be32(out, uint32_t(data.size()));
    const QByteArray body = QByteArray(type, 4) + data;
    out += body;
    be32(out,
         uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
    return out;
}

inline const QByteArray kSignature("\x89PNG\r\n\x1a\n", 8);

// An IHDR chunk for an 8-bit picture of the given colour type (0 grey, 2 RGB).
inline QByteArray header(uint32_t width, uint32_t height, char colourType) {
    QByteArray data;
    be32(data, width);
    be32(data, height);
    data.append(char(8));
    data.append(colourType);
    data.append(QByteArray(3, 0));
    return chunk("IHDR", data);
}

} // namespace PngChunks
