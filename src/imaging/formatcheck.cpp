#include "formatcheck.h"

#include "formatreader.h"

#include <QIODevice>
#include <QList>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

namespace Imaging::FormatCheck {
namespace {

// The reader composes an animated picture on a canvas that it clears only when the file
// says the canvas has transparency; on an opaque one, whatever the first frame does not
// cover keeps what the memory held. So that frame must cover the canvas.
QString webpProblem(Reader& in) {
    unsigned char head[12];
    if (!in.read(head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WEBP", 4) != 0)
        return kCorrupt;
    bool opaqueAnimation = false;
    quint32 canvasWidth = 0, canvasHeight = 0;
    for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
        unsigned char chunkHead[8];
        if (!in.read(chunkHead, 8))
            return opaqueAnimation ? kCorrupt : QString();
        const qint64 length = le32(chunkHead + 4);
        const qint64 padded = length + (length & 1);
        if (chunk == 0) {
            if (std::memcmp(chunkHead, "VP8X", 4) != 0)
                return {}; // a still picture: the reader decodes every pixel of it
            unsigned char x[10];
            if (length < 10 || !in.read(x, 10) || !in.skip(padded - 10))
                return kCorrupt;
            const bool animated = x[0] & 0x02, alpha = x[0] & 0x10;
            if (!animated || alpha)
                return {};
            opaqueAnimation = true;
            canvasWidth = le24(x + 4) + 1;
            canvasHeight = le24(x + 7) + 1;
            continue;
        }
        if (std::memcmp(chunkHead, "ANMF", 4) == 0) {
            unsigned char f[12];
            if (length < 16 || !in.read(f, 12))
                return kCorrupt;
            const bool covers = le24(f) == 0 && le24(f + 3) == 0 &&
                                le24(f + 6) + 1 == canvasWidth && le24(f + 9) + 1 == canvasHeight;
            return covers ? QString() : QStringLiteral("a first frame smaller than the picture");
        }
        if (!in.skip(padded))
            return kCorrupt;
    }
    return QStringLiteral("too many chunks");
}

bool skipSubBlocks(Reader& in) {
    for (;;) {
        const int n = in.byte();
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!in.skip(n))
            return false;
    }
}

// The blocks up to the end of the first picture's data are all there, and the picture
// lies within the screen.
bool gifIntact(Reader& in) {
    unsigned char head[13];
    if (!in.read(head, 13) ||
        (std::memcmp(head, "GIF87a", 6) != 0 && std::memcmp(head, "GIF89a", 6) != 0))
        return false;
    if ((head[10] & 0x80) && !in.skip(3 << ((head[10] & 7) + 1)))
        return false;
    for (;;) {
        switch (in.byte()) {
        case 0x21: // extension: label, then sub-blocks
            if (in.byte() < 0 || !skipSubBlocks(in))
                return false;
            break;
        case 0x2C: { // image descriptor
            unsigned char desc[9];
            if (!in.read(desc, 9))
                return false;
            // The picture must lie on the screen: the reader leaves the screen's pixels
            // unwritten around a frame that does not.
            if (le16(desc) + le16(desc + 4) > le16(head + 6) ||
                le16(desc + 2) + le16(desc + 6) > le16(head + 8))
                return false;
            if ((desc[8] & 0x80) && !in.skip(3 << ((desc[8] & 7) + 1)))
                return false;
            // The LZW minimum code size (the reader misdecodes sizes outside 1 to 8, leaving
            // pixels unwritten), then the data.
            const int codeSize = in.byte();
            return codeSize >= 1 && codeSize <= 8 && skipSubBlocks(in);
        }
        default: // the trailer before any picture, an unknown block, or the end
            return false;
        }
    }
}

// Run-length data reaches its end-of-bitmap code (or its last row) before the file ends.
bool bmpRunsComplete(Reader& in, qint64 rows, bool fourBit) {
    qint64 row = 0;
    for (;;) {
        const int count = in.byte();
        const int code = in.byte();
        if (count < 0 || code < 0)
            return false;
        if (count > 0)
            continue; // a run of one value
        if (code == 0) {
            if (++row >= rows)
                return true;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            const int dx = in.byte();
            const int dy = in.byte();
            if (dx < 0 || dy < 0)
                return false;
            row += dy;
            if (row >= rows)
                return true;
        } else {
            qint64 bytes = fourBit ? (code + 1) / 2 : code;
            bytes += bytes & 1; // absolute runs are padded to a 16-bit boundary
            if (!in.skip(bytes))
                return false;
        }
    }
}

bool bmpIntact(Reader& in) {
    const qint64 fileSize = in.left();
    unsigned char head[14 + 20];
    if (!in.read(head, 14 + 4))
        return false;
    const quint32 offset = le32(head + 10);
    const quint32 infoSize = le32(head + 14);
    qint64 width = 0, height = 0;
    int bits = 0;
    quint32 compression = 0;
    if (infoSize == 12) {
        if (!in.read(head + 18, 8))
            return false;
        width = qint16(le16(head + 18));
        height = qint16(le16(head + 20));
        bits = le16(head + 24);
    } else {
        if (infoSize < 40 || !in.read(head + 18, 16))
            return false;
        width = qint32(le32(head + 18));
        height = qint32(le32(head + 22));
        bits = le16(head + 28);
        compression = le32(head + 30);
    }
    if (height < 0)
        height = -height;
    if (width <= 0 || height <= 0)
        return false;
    const qint64 dataStart = std::max<qint64>(offset, 14 + qint64(infoSize));
    if (compression == 1 || compression == 2) { // RLE8, RLE4
        return in.skip(dataStart - 14 - 4 - (infoSize == 12 ? 8 : 16)) &&
               bmpRunsComplete(in, height, compression == 2);
    }
    const qint64 rowBytes = (width * bits + 31) / 32 * 4; // width < 2^31, bits < 2^16
    return dataStart <= fileSize && (rowBytes == 0 || height <= (fileSize - dataStart) / rowBytes);
}

// WBMP has no signature, so random bytes often pass as one; its pixel data has exactly
// the length its header implies.
bool wbmpIntact(Reader& in) {
    auto multiByte = [&in]() -> qint64 {
        qint64 v = 0;
        for (int i = 0; i < 5; ++i) {
            const int b = in.byte();
            if (b < 0)
                return -1;
            if (i == 0 && b == 0x80)
                return -1; // not the shortest form: no encoder writes it
            v = v << 7 | (b & 0x7F);
            if (!(b & 0x80))
                return v;
        }
        return -1;
    };
    if (multiByte() != 0) // type 0: black and white, uncompressed
        return false;
    const int fixed = in.byte();
    if (fixed < 0 || (fixed & 0x80))
        return false;
    const qint64 width = multiByte();
    const qint64 height = multiByte();
    if (width <= 0 || height <= 0)
        return false;
    return in.left() == (width + 7) / 8 * height;
}

// Netpbm grey and colour pictures hold every sample they claim, none above the maximum
// the header gives (the reader would wrap such a sample around).
QString pnmProblem(Reader& in) {
    int c = in.byte();
    if (c != 'P')
        return kCorrupt;
    const int kind = in.byte() - '0';
    if (kind != 2 && kind != 3 && kind != 5 && kind != 6)
        return {}; // bitmaps have no maximum
    c = in.byte();
    auto number = [&]() -> qint64 {
        while (c == '#' || std::isspace(c)) {
            if (c == '#')
                while (c >= 0 && c != '\n' && c != '\r')
                    c = in.byte();
            c = in.byte();
        }
        if (c < '0' || c > '9')
            return -1;
        qint64 v = 0;
        for (; c >= '0' && c <= '9' && v < (qint64(1) << 40); c = in.byte())
            v = v * 10 + (c - '0');
        return v;
    };
    const qint64 width = number(), height = number(), maxval = number();
    if (width <= 0 || height <= 0 || maxval <= 0 || maxval > 65535)
        return kCorrupt;
    if (width > INT_MAX || height > INT_MAX || width * height > kMaxCheckedPixels)
        return {}; // refused by its size, later

    const qint64 samples = width * height * (kind == 3 || kind == 6 ? 3 : 1);
    if (kind == 2 || kind == 3) {
        for (qint64 i = 0; i < samples; ++i) {
            const qint64 v = number();
            if (v < 0 || v > maxval)
                return kCorrupt;
        }
        return {};
    }
    // One whitespace byte (already read) ends the header of the binary forms.
    const int bytes = maxval < 256 ? 1 : 2;
    if (samples > in.left() / bytes)
        return kCorrupt;
    if (maxval == 255 || maxval == 65535)
        return {};
    std::array<unsigned char, 64 * 1024> buffer;
    for (qint64 rest = samples * bytes; rest > 0;) {
        const qint64 n = std::min<qint64>(rest, qint64(buffer.size()));
        if (!in.read(buffer.data(), n))
            return kCorrupt;
        for (qint64 i = 0; i < n; i += bytes) {
            const int v = bytes == 1 ? buffer[i] : buffer[i] << 8 | buffer[i + 1];
            if (v > maxval)
                return kCorrupt;
        }
        rest -= n;
    }
    return {};
}

// An X pixmap has as many rows as its header says, each exactly as long.
QString xpmProblem(Reader& in) {
    QByteArray text(in.left(), Qt::Uninitialized);
    if (!in.read(text.data(), text.size()))
        return kCorrupt;
    QList<QByteArray> strings;
    for (qsizetype at = text.indexOf('"'); at >= 0;) {
        const qsizetype end = text.indexOf('"', at + 1);
        if (end < 0)
            return kCorrupt;
        strings.append(text.mid(at + 1, end - at - 1));
        at = text.indexOf('"', end + 1);
    }
    if (strings.isEmpty())
        return kCorrupt;
    const QList<QByteArray> values = strings.first().simplified().split(' ');
    if (values.size() < 4)
        return kCorrupt;
    const qint64 width = values[0].toLongLong(), height = values[1].toLongLong(),
                 colours = values[2].toLongLong(), perPixel = values[3].toLongLong();
    if (width <= 0 || height <= 0 || colours <= 0 || perPixel <= 0 || width > INT_MAX ||
        perPixel > INT_MAX || colours >= strings.size() || height >= strings.size() ||
        strings.size() < 1 + colours + height)
        return kCorrupt;
    for (qint64 y = 0; y < height; ++y)
        if (strings[qsizetype(1 + colours + y)].size() != width * perPixel)
            return kCorrupt;
    return {};
}

// An uncompressed TGA holds every pixel its header claims before its closing footer:
// the reader would leave the missing rows blank.
QString tgaProblem(Reader& in) {
    const qint64 size = in.left();
    unsigned char h[18];
    if (!in.read(h, 18))
        return kCorrupt;
    const int type = h[2];
    if (type != 1 && type != 2 && type != 3)
        return {}; // the reader refuses the run-length forms itself
    const qint64 colourMap = h[1] ? qint64(le16(h + 5)) * ((h[7] + 7) / 8) : 0;
    const qint64 pixels = qint64(le16(h + 12)) * le16(h + 14);
    const qint64 data = 18 + qint64(h[0]) + colourMap + pixels * ((h[16] + 7) / 8);
    return data + 26 <= size ? QString() : kCorrupt;
}

} // namespace

QString problem(QIODevice& device, const QByteArray& format) {
    if (device.isSequential())
        return {};
    // Some readers leave the device past the header once they have looked at it.
    const qint64 origin = device.pos();
    if (!device.seek(0))
        return {};
    Reader in(device);
    QString why;
    if (format == "png")
        why = pngProblem(in);
    else if (format == "webp")
        why = webpProblem(in);
    else if (format == "pgm" || format == "ppm")
        why = pnmProblem(in);
    else if (format == "xpm")
        why = xpmProblem(in);
    else if (format == "tga")
        why = tgaProblem(in);
    else if (format == "gif")
        why = gifIntact(in) ? QString() : kCorrupt;
    else if (format == "bmp")
        why = bmpIntact(in) ? QString() : kCorrupt;
    else if (format == "wbmp")
        why = wbmpIntact(in) ? QString() : kCorrupt;
    device.seek(origin);
    return why;
}

} // namespace Imaging::FormatCheck
