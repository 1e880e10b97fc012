// Writes the seed corpora of the fuzz targets into the folder given: small files of every
// format Qt writes here, with and without an orientation tag and a colour profile, a GIF
// (which Qt reads but does not write), and starting inputs for the other targets.
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

#include "../imagebytes.h"

namespace {

using ImageBytes::raw;

QDir root;

void save(const QString& corpus, const QString& name, const QByteArray& bytes) {
    root.mkpath(corpus);
    QFile f(root.filePath(corpus + '/' + name));
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
}

using ImageBytes::encode;

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
             ImageBytes::withOrientation(orientation == 6 ? encode(profiled, "jpeg") : jpeg,
                                         orientation));
    save("decode", "sixteen.png", encode(picture.convertToFormat(QImage::Format_RGBA64), "png"));
    save("decode", "indexed.png", encode(picture.convertToFormat(QImage::Format_Indexed8), "png"));
    save("decode", "picture.gif", ImageBytes::gif(16, 12));
    // Deep pictures, whose scaling makes a converted copy.
    save("decode", "grey16.png",
         encode(picture.convertToFormat(QImage::Format_Grayscale16), "png"));
    save("decode", "half.tif", encode(picture.convertToFormat(QImage::Format_RGBA16FPx4), "tiff"));
    save("decode", "float.tif", encode(picture.convertToFormat(QImage::Format_RGBA32FPx4), "tiff"));
    // Animated WebP on an opaque canvas: a first frame that covers it, and one that does not.
    save("decode", "animated.webp", ImageBytes::opaqueAnimatedWebp(true));
    save("decode", "gap.webp", ImageBytes::opaqueAnimatedWebp(false));
    // Metadata floods: comments before a JPEG's frame, text chunks and an Exif chunk before
    // a PNG's pixels.
    QByteArray comments;
    for (int i = 0; i < 300; ++i)
        comments += raw("\xFF\xFE\x00\x03x");
    save("decode", "comments.jpg", jpeg.left(2) + comments + jpeg.mid(2));
    const QByteArray png = encode(picture, "png");
    QByteArray texts = ImageBytes::chunk("eXIf", raw("MM\0\x2A\0\0\0\x08\0\0"));
    for (int i = 0; i < 100; ++i)
        texts += ImageBytes::chunk("tEXt", raw("Comment\0x"));
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
    // The block-keeping writer: the JPEGs above, and one whose Exif links a thumbnail.
    for (const QFileInfo& f : QDir(root.filePath("decode")).entryInfoList({"*.jpg", "*.jpeg"})) {
        QFile in(f.filePath());
        if (in.open(QIODevice::ReadOnly))
            save("jpegwriter", f.fileName(), in.readAll());
    }
    // APP1 of 36 bytes: Exif, a big-endian TIFF header, IFD0 with the orientation, linking
    // an empty IFD1 at 26.
    const QByteArray exif = raw("\xFF\xE1\0\x24"
                                "Exif\0\0MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"
                                "\0\0\0\x1A\0\0");
    save("jpegwriter", "thumbnail.jpg", jpeg.left(2) + exif + jpeg.mid(2));
    // A frame of three components of which only the first is ever scanned; the second names
    // quantisation table 255, which does not exist. Decoders show it in grey: the planes
    // never scanned hold zeros.
    QByteArray unscanned = encode(grey, "jpeg");
    qsizetype at = 2; // the frame's marker, found by walking the segments before it
    auto length = [&] {
        return qsizetype(uint8_t(unscanned[at + 2])) << 8 | uint8_t(unscanned[at + 3]);
    };
    while (at + 10 <= unscanned.size() && unscanned.mid(at, 2) != raw("\xFF\xC0"))
        at += 2 + length();
    if (at + 10 > unscanned.size()) {
        std::fprintf(stderr, "fuzz_seeds: no baseline frame in Qt's grey JPEG\n");
        return 1;
    }
    unscanned.insert(at + 2 + length(), raw("\x02\x11\xFF\x03\x11\x00"));
    unscanned[at + 3] = char(length() + 6);
    unscanned[at + 9] = 3;
    save("jpegwriter", "unscanned.jpg", unscanned);
    save("arguments", "typical", raw("in.jpg\0mask.png\0-o\0out.png\0--threads\0002"));
    save("arguments", "options", raw("--fill=texture\0-q\0--\0-a\0b\0--output=x.png\0--full-size"));
    return 0;
}
