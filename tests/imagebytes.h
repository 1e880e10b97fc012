#pragma once

// Building image files byte by byte, for tests and fuzz seeds that need broken, hostile or
// hand-made ones.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <cstdint>

#include <zlib.h>

namespace ImageBytes {

// The image written in format by Qt's own writer; empty when it cannot be.
inline QByteArray encode(const QImage& image, const QByteArray& format = "png",
                         bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? bytes : QByteArray();
}

// A whole file's bytes; empty when it cannot be read.
inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The bytes of a string literal, zero bytes included.
template <size_t N> QByteArray raw(const char (&s)[N]) { return QByteArray(s, N - 1); }

inline void be16(QByteArray& out, int v) {
    out.append(char(v >> 8));
    out.append(char(v));
}

inline void be32(QByteArray& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out.append(char((v >> s) & 0xFF));
}

// One PNG chunk: length, type, data and the checksum over type and data.
inline QByteArray chunk(const char* type, const QByteArray& data) {
    QByteArray out;
    be32(out, uint32_t(data.size()));
    const QByteArray body = QByteArray(type, 4) + data;
    out += body;
    be32(out,
         uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
    return out;
}

inline const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);

// A PNG's signature and IHDR chunk for a picture of the given colour type (0 grey, 2 RGB,
// 3 palette, 6 RGBA) and bits per sample.
inline QByteArray pngStart(uint32_t width, uint32_t height, char colourType, char depth = 8) {
    QByteArray data;
    be32(data, width);
    be32(data, height);
    data.append(depth);
    data.append(colourType);
    data.append(QByteArray(3, 0));
    return kPngSignature + chunk("IHDR", data);
}

// A PNG whose header is valid and whose pixel data are not: what it claims is all that a
// refusal from its header can look at.
inline QByteArray undecodablePng(uint32_t width, uint32_t height, char colourType = 0,
                                 char depth = 8) {
    return pngStart(width, height, colourType, depth) + chunk("IDAT", QByteArray(64, '\x55')) +
           chunk("IEND", {});
}

// A JPEG with an Exif block whose orientation tag is `orientation` after its start marker.
inline QByteArray withOrientation(const QByteArray& jpeg, int orientation) {
    const QByteArray body = raw("Exif\0\0MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0") +
                            char(orientation) + QByteArray(6, 0);
    QByteArray segment = raw("\xFF\xE1");
    be16(segment, int(body.size()) + 2);
    return jpeg.left(2) + segment + body + jpeg.mid(2);
}

// A w x h GIF (sides below 256) of four colours, entry 0 transparent; its LZW data is
// written with 3-bit codes and a clear code before the table would need wider ones.
inline QByteArray gif(int w, int h) {
    const QByteArray size = char(w) + QByteArray(1, 0) + char(h) + QByteArray(1, 0);
    QByteArray out = raw("GIF89a") + size + raw("\xF1\x00\x00");
    out += raw("\x00\x00\x00\xFF\x00\x00\x00\xFF\x00\xFF\xFF\xFF");
    out += raw("\x21\xF9\x04\x01\x00\x00\x00\x00");
    out += raw("\x2C\x00\x00\x00\x00") + size + QByteArray(1, 0) + char(2);
    QByteArray codes;
    int bits = 0, used = 0;
    auto put = [&](int code) {
        bits |= code << used;
        for (used += 3; used >= 8; used -= 8, bits >>= 8)
            codes += char(bits & 0xFF);
    };
    for (int i = 0; i < w * h; ++i) {
        if (i % 2 == 0)
            put(4); // clear
        put((i + i / w) % 4);
    }
    put(5); // end
    if (used > 0)
        codes += char(bits & 0xFF);
    for (qsizetype i = 0; i < codes.size(); i += 255)
        out += char(codes.mid(i, 255).size()) + codes.mid(i, 255);
    return out + raw("\x00\x3B");
}

// A lossless animated WebP on an opaque 8 x 8 canvas whose one frame covers the canvas,
// or is a single pixel in its corner, leaving the rest of the canvas unwritten.
inline QByteArray opaqueAnimatedWebp(bool frameCoversCanvas) {
    const bool c = frameCoversCanvas;
    return QByteArray::fromHex(
        QByteArray("524946465000000057454250565038580a00000002000000070000070000414e494d06000000ff"
                   "ffffff0000414e4d4624000000000000000000") +
        (c ? "070000070000" : "000000000000") + "640000005650384c0c0000002f" +
        (c ? "07c001" : "000000") + "002863b58adcff00");
}

} // namespace ImageBytes
