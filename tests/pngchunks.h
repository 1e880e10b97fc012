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

// An IHDR chunk for a picture of the given colour type (0 grey, 2 RGB, 6 RGBA) and bits
// per sample.
inline QByteArray header(uint32_t width, uint32_t height, char colourType, char depth = 8) {
    QByteArray data;
    be32(data, width);
    be32(data, height);
    data.append(depth);
    data.append(colourType);
    data.append(QByteArray(3, 0));
    return chunk("IHDR", data);
}

} // namespace PngChunks

namespace PngChunks {

// A PNG whose header is valid and whose pixel data are not: what it claims is all that a
// refusal from its header can look at.
inline QByteArray undecodable(uint32_t width, uint32_t height, char colourType = 0,
                              char depth = 8) {
    return kSignature + header(width, height, colourType, depth) +
           chunk("IDAT", QByteArray(64, '\x55')) + chunk("IEND", {});
}

} // namespace PngChunks
