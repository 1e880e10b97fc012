// Writes the seed corpora of the fuzz targets into the folder given: small files of every
// format Qt writes here, with and without an orientation tag and a colour profile, a GIF
// (which Qt reads but does not write), and starting inputs for the other targets.
#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

#include <zlib.h>

namespace {

QDir root;

template <size_t N> QByteArray raw(const char (&s)[N]) { return QByteArray(s, N - 1); }

void save(const QString& corpus, const QString& name, const QByteArray& bytes) {
    root.mkpath(corpus);
    QFile f(root.filePath(corpus + '/' + name));
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
}

QByteArray encode(const QImage& image, const QByteArray& format, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? bytes : QByteArray();
}

// An Exif block with the given orientation, inserted after a JPEG's start marker.
QByteArray withOrientation(const QByteArray& jpeg, int orientation) {
    const QByteArray body = raw("Exif\0\0MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0") +
                            char(orientation) + QByteArray(6, 0);
    QByteArray segment("\xFF\xE1", 2);
    segment += char((body.size() + 2) >> 8);
    segment += char(body.size() + 2);
    return jpeg.left(2) + segment + body + jpeg.mid(2);
}

QByteArray gif(int w, int h) {
    QByteArray out("GIF89a", 6);
    out += char(w) + QByteArray(1, 0) + char(h) + QByteArray(1, 0);
    out += raw("\xF1\x00\x00"); // 4-entry global table
    out += raw("\x00\x00\x00\xFF\x00\x00\x00\xFF\x00\xFF\xFF\xFF");
    out += raw("\x21\xF9\x04\x01\x00\x00\x00\x00"); // entry 0 transparent
    out += raw("\x2C\x00\x00\x00\x00") + char(w) + QByteArray(1, 0) + char(h) + QByteArray(1, 0) +
           QByteArray(1, 0);
    out += char(2); // LZW minimum code size; 3-bit codes: clear 4, end 5
    QByteArray codes;
    int bits = 0, used = 0;
    auto put = [&](int code) {
        bits |= code << used;
        used += 3;
        while (used >= 8) {
            codes += char(bits & 0xFF);
            bits >>= 8;
            used -= 8;
        }
    };
    for (int i = 0; i < w * h; ++i) {
        if (i % 2 == 0)
            put(4); // clear before the table grows past 3-bit codes
        put((i + i / w) % 4);
    }
    put(5);
    if (used > 0)
        codes += char(bits & 0xFF);
    for (qsizetype i = 0; i < codes.size(); i += 255)
        out += char(codes.mid(i, 255).size()) + codes.mid(i, 255);
    return out + raw("\x00\x3B");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
        return 2;
    }
    root = QDir(QString::fromLocal8Bit(argv[1]));

    QImage picture(16, 12, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    {
        QPainter p(&picture);
        p.fillRect(0, 0, 8, 12, QColor(200, 30, 40));
        p.fillRect(8, 0, 8, 6, QColor(20, 90, 220, 128));
    }
    QImage profiled = picture.convertToFormat(QImage::Format_RGB32);
    profiled.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);

    for (const QByteArray& format : QImageWriter::supportedImageFormats()) {
        const QByteArray plain = encode(picture, format);
        if (plain.isEmpty())
            continue;
        const QString suffix = QString::fromLatin1(format);
        save("decode", "plain." + suffix, plain);
        save("decode", "grey." + suffix, encode(grey, format));
        const QByteArray withProfile = encode(profiled, format);
        if (!withProfile.isEmpty() &&
            withProfile != encode(picture.convertToFormat(QImage::Format_RGB32), format))
            save("decode", "profile." + suffix, withProfile);
    }
    const QByteArray jpeg = encode(picture, "jpeg");
    save("decode", "progressive.jpg", encode(profiled, "jpeg", true));
    for (int orientation : {3, 6, 8})
        save("decode", QStringLiteral("turned%1.jpg").arg(orientation),
             withOrientation(orientation == 6 ? encode(profiled, "jpeg") : jpeg, orientation));
    save("decode", "sixteen.png", encode(picture.convertToFormat(QImage::Format_RGBA64), "png"));
    save("decode", "indexed.png", encode(picture.convertToFormat(QImage::Format_Indexed8), "png"));
    save("decode", "picture.gif", gif(16, 12));
    // Deep pictures, whose scaling makes a converted copy.
    save("decode", "grey16.png",
         encode(picture.convertToFormat(QImage::Format_Grayscale16), "png"));
    save("decode", "half.tif", encode(picture.convertToFormat(QImage::Format_RGBA16FPx4), "tiff"));
    save("decode", "float.tif", encode(picture.convertToFormat(QImage::Format_RGBA32FPx4), "tiff"));
    // Animated WebP on an opaque canvas: a first frame that covers it, and one that does not.
    save("decode", "animated.webp",
         QByteArray::fromHex("524946465000000057454250565038580a000000020000000700000700004"
                             "14e494d06000000ffffffff0000414e4d462400000000000000000007000007"
                             "0000640000005650384c0c0000002f07c001002863b58adcff00"));
    save("decode", "gap.webp",
         QByteArray::fromHex("524946465000000057454250565038580a000000020000000700000700004"
                             "14e494d06000000ffffffff0000414e4d462400000000000000000000000000"
                             "0000640000005650384c0c0000002f000000002863b58adcff00"));
    // Metadata floods: comments before a JPEG's frame, text chunks and an Exif chunk before
    // a PNG's pixels.
    QByteArray comments;
    for (int i = 0; i < 300; ++i)
        comments += raw("\xFF\xFE\x00\x03x");
    save("decode", "comments.jpg", jpeg.left(2) + comments + jpeg.mid(2));
    const QByteArray png = encode(picture, "png");
    auto pngChunk = [](const char* type, const QByteArray& data) {
        QByteArray out;
        for (int shift = 24; shift >= 0; shift -= 8)
            out += char((data.size() >> shift) & 0xFF);
        const QByteArray body = QByteArray(type, 4) + data;
        const quint32 crc =
            crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
        out += body;
        for (int shift = 24; shift >= 0; shift -= 8)
            out += char((crc >> shift) & 0xFF);
        return out;
    };
    QByteArray texts = pngChunk("eXIf", raw("MM\0\x2A\0\0\0\x08\0\0"));
    for (int i = 0; i < 100; ++i)
        texts += pngChunk("tEXt", raw("Comment\0x"));
    save("decode", "texts.png", png.left(33) + texts + png.mid(33));
    // Netpbm samples below a maximum of 100, in both spellings.
    save("decode", "max100.pgm", raw("P2 3 2 100\n0 50 100\n99 1 2\n"));
    save("decode", "max100.ppm", raw("P6 2 1 100\n") + QByteArray(6, '\x30'));

    // The stamp target: sizes, then triples of doubles and a scaling byte.
    auto doubles = [](std::initializer_list<double> values) {
        QByteArray out;
        for (double v : values)
            out += QByteArray(reinterpret_cast<const char*>(&v), sizeof v);
        return out;
    };
    save("stamp", "one", raw("\x40\x30") + doubles({20.5, 12.0, 8.0}) + char(0));
    save("stamp", "edge",
         raw("\x10\x10") + doubles({-3.0, 15.9, 40.0}) + char(1) +
             doubles({1e300, -1e300, 1e-300}) + char(0));
    save("engine", "blob", raw("\x30\x28\x00\x30\x00\x08\xFF\x30\x00") + QByteArray(200, '\x21'));
    save("engine", "texture",
         raw("\x3F\x3F\x01\x20\x00\x10\x81\x40\x00") + QByteArray(500, '\x5A'));
    save("arguments", "typical", raw("in.jpg\0mask.png\0-o\0out.png\0--threads\0002"));
    save("arguments", "options", raw("--fill=texture\0-q\0--\0-a\0b\0--output=x.png\0--full-size"));
    return 0;
}
