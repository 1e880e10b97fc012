#include "imaging.h"

#include "formatcheck.h"
#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "pngencoder.h"

#include <QBuffer>
#include <QColorTransform>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Imaging {

namespace {
const QString kNoMemory = QStringLiteral("not enough memory");
} // namespace

QString message(LoadError error) {
    switch (error) {
    case LoadError::None:
        return {};
    case LoadError::NotAnImageFile:
        return QStringLiteral("Couldn't read that file as an image.");
    case LoadError::NotImageData:
        return QStringLiteral("Couldn't read that image.");
    case LoadError::DecodeFailed:
        return QStringLiteral("Couldn't decode that image.");
    }
    return {};
}

QString message(SaveError error) {
    switch (error) {
    case SaveError::None:
        return {};
    case SaveError::CannotCreate:
        return QStringLiteral("Couldn't create the PNG file.");
    case SaveError::WriteFailed:
        return QStringLiteral("Saving failed.");
    case SaveError::CannotCreateJpeg:
        return QStringLiteral("Couldn't create the JPEG file.");
    }
    return {};
}

namespace {
thread_local const std::atomic<bool>* abandonFlag = nullptr;
} // namespace

AbandonWhen::AbandonWhen(const std::atomic<bool>& flag) : previous_(abandonFlag) {
    abandonFlag = &flag;
}

AbandonWhen::~AbandonWhen() { abandonFlag = previous_; }

bool AbandonWhen::now() { return abandonFlag && abandonFlag->load(std::memory_order_relaxed); }

QString withReason(const QString& message, const QString& reason) {
    return reason.isEmpty() ? message : QStringLiteral("%1 (%2)").arg(message, reason);
}

const QColorSpace& sRGB() {
    static const QColorSpace space(QColorSpace::SRgb);
    return space;
}

void configureImageReader() { QImageReader::setAllocationLimit(kAllocationLimitMB); }

bool canOpen(QImageReader& reader) { return reader.canRead(); }

QImage upright(QImage image, QImageIOHandler::Transformations t) {
    if (t == QImageIOHandler::TransformationNone || image.isNull())
        return image;
    const bool mirror = t & QImageIOHandler::TransformationMirror;
    const bool flip = t & QImageIOHandler::TransformationFlip;
    if (mirror || flip)
        image = image.mirrored(mirror, flip);
    if (!(t & QImageIOHandler::TransformationRotate90))
        return image;
    const int w = image.width();
    const int h = image.height();
    const int bytes = image.depth() / 8;
    if (bytes * 8 != image.depth())
        return image.transformed(QTransform().rotate(90));
    QImage turned(h, w, image.format());
    if (turned.isNull())
        return {};
    turned.setColorTable(image.colorTable());
    turned.setColorSpace(image.colorSpace());
    // Pixel (x, y) of the turned picture is pixel (y, h - 1 - x) of the stored one; tiles
    // keep both pictures' rows in the cache.
    constexpr int kTile = 64;
    for (int ty = 0; ty < w; ty += kTile) {
        for (int tx = 0; tx < h; tx += kTile) {
            for (int y = ty; y < std::min(ty + kTile, w); ++y) {
                uchar* out = turned.scanLine(y);
                for (int x = tx; x < std::min(tx + kTile, h); ++x)
                    std::memcpy(out + x * bytes, image.constScanLine(h - 1 - x) + y * bytes,
                                size_t(bytes));
            }
        }
    }
    return turned;
}

bool isWbmpName(const QByteArray& suffixOrFormat) {
    return suffixOrFormat.compare("wbmp", Qt::CaseInsensitive) == 0;
}

QSize cappedSize(QSize stored, int maxSide) {
    const int longer = std::max(stored.width(), stored.height());
    if (maxSide <= 0 || longer <= maxSide)
        return stored;
    return QSize(std::max(1, qRound(stored.width() * double(maxSide) / longer)),
                 std::max(1, qRound(stored.height() * double(maxSide) / longer)));
}

QString sizeRefusal(QSize stored) {
    if (qint64(stored.width()) * stored.height() > kMaxStoredPixels)
        return QStringLiteral("larger than 2^30 pixels");
    return {};
}

QString budgetReason(qint64 budget) {
    return QStringLiteral("needs more than %1 MB to decode").arg(budget >> 20);
}

qint64 decodedBytes(QSize decoded, QSize scaled) {
    // The opaque result and a colour-converted copy of the picture at the result's size;
    // unscaled, the decoded picture is that copy and is counted once. (A scaled copy, where
    // there is one, is at most 3072 x 3072 and fits in the slack between the budget and a
    // gigabyte.) Counting two, not three, copies lets a 50 megapixel photo still decode at
    // its full size.
    const qint64 copy = qint64(scaled.width()) * scaled.height() * 4;
    return decoded == scaled ? copy : 2 * copy;
}

namespace {

qint64 bytesPerPixel(QImage::Format format) {
    return format == QImage::Format_Invalid ? 4 : QImage::toPixelFormat(format).bitsPerPixel() / 8;
}

// The format Qt's smooth scaling works in for a picture of the given format: it converts
// every other format first, into a full-size copy.
QImage::Format scalingFormat(QImage::Format format) {
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
        return format;
    case QImage::Format_RGBA64:
    case QImage::Format_Grayscale16:
        return QImage::Format_RGBA64_Premultiplied;
    case QImage::Format_RGBX16FPx4:
        return QImage::Format_RGBX32FPx4;
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBA32FPx4:
        return QImage::Format_RGBA32FPx4_Premultiplied;
    default:
        return QImage::Format_ARGB32_Premultiplied; // or RGB32: the same size
    }
}

bool indicesInPalette(const QImage& image) {
    const int colours = image.colorCount();
    if (colours >= 256)
        return true;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        if (*std::max_element(row, row + image.width()) >= colours)
            return false;
    }
    return true;
}

} // namespace

qint64 readerPeakBytes(const QByteArray& format, QImage::Format pixelFormat, QSize stored,
                       QSize scaled) {
    const qint64 storedPixels = qint64(stored.width()) * stored.height();
    // The decoded picture, at least 4 bytes a pixel: formats of fewer are counted as the
    // 32-bit copy the drawing code makes of them.
    qint64 bytes = storedPixels * std::max<qint64>(4, bytesPerPixel(pixelFormat));
    // WebP is decoded into the library's own buffer (or, animated, composed on a canvas of
    // the reader's) before it reaches the picture.
    if (format == "webp")
        bytes += storedPixels * 4;
    if (scaled != stored) {
        const QImage::Format working = scalingFormat(pixelFormat);
        if (working != pixelFormat)
            bytes += storedPixels * bytesPerPixel(working);
        // The scaled result, in that format, before it becomes ours.
        bytes += qint64(scaled.width()) * scaled.height() * bytesPerPixel(working);
    }
    return bytes;
}

Read readImage(QImageReader& reader, int maxSide, QSize expected) {
    QIODevice* device = reader.device();
    const QByteArray format = reader.format();
    if (!device)
        return {{}, LoadError::NotAnImageFile};
    if (isJpegFormat(format))
        return Jpeg::read(*device, maxSide, kDecodeBudget, expected);
    if (format == "wbmp" && !reader.fileName().isEmpty() &&
        !isWbmpName(QFileInfo(reader.fileName()).suffix().toLatin1()))
        return {{}, LoadError::NotAnImageFile};
    if (const QString problem = FormatCheck::problem(*device, format); !problem.isEmpty())
        return {{}, LoadError::DecodeFailed, problem};

    // The reader's own turn drops the colour profile; upright() keeps it.
    reader.setAutoTransform(false);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return {{}, LoadError::NotAnImageFile};
    const QSize announced = reader.transformation() & QImageIOHandler::TransformationRotate90
                                ? stored.transposed()
                                : stored;
    if (expected.isValid() && announced != expected)
        return {{}, LoadError::DecodeFailed, {}, announced};
    if (QString refusal = sizeRefusal(stored); !refusal.isEmpty())
        return {{}, LoadError::DecodeFailed, refusal, announced};

    // Qt's readers decode these formats whole and scale afterwards.
    const QImage::Format pixelFormat = reader.imageFormat();
    const QSize scaled = cappedSize(stored, maxSide);
    if (readerPeakBytes(format, pixelFormat, stored, scaled) + decodedBytes(stored, scaled) >
        kDecodeBudget)
        return {{}, LoadError::DecodeFailed, budgetReason(kDecodeBudget), announced};
    // A palette picture is checked before it is scaled: scaling looks its indices up.
    const bool indexed = pixelFormat == QImage::Format_Indexed8;
    if (scaled != stored && !indexed) {
        // The reader scales before it turns the picture upright, so the cap is applied
        // to the stored size; the longer side is the same either way.
        reader.setScaledSize(scaled);
    }

    // Some readers leave rows they could not read as they found them (a BMP whose
    // run-length codes skip pixels, for one). Readers decode into an image of the right
    // size and format when handed one, so hand them one that is already filled.
    QImage image;
    if (pixelFormat != QImage::Format_Invalid) {
        image = QImage(stored, pixelFormat);
        if (image.isNull())
            return {{}, LoadError::DecodeFailed, kNoMemory};
        image.fill(0);
    }
    // A reader whose picture differs from the size it announced (a GIF whose screen size
    // and frame disagree, for one) has escaped the checks above.
    if (!reader.read(&image) || image.isNull() || image.size() != (indexed ? stored : scaled))
        return {
            {}, LoadError::DecodeFailed, QStringLiteral("corrupt or incomplete data"), announced};
    if (indexed) {
        // Indices beyond the palette would be drawn as its first colour.
        if (!indicesInPalette(image))
            return {{}, LoadError::DecodeFailed, QStringLiteral("corrupt or incomplete data")};
        // As the reader itself scales.
        if (scaled != stored)
            image = image.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    image = upright(std::move(image), reader.transformation());
    if (image.isNull())
        return {{}, LoadError::DecodeFailed};
    return {std::move(image), LoadError::None, {}, announced};
}

Decoded decode(QImageReader& reader, int maxSide) {
    Read read = readImage(reader, maxSide);
    if (read.image.isNull())
        return {std::nullopt, read.error == LoadError::None ? LoadError::DecodeFailed : read.error,
                read.reason};
    std::optional<PixelImage> pixels = fromQImage(read.image);
    if (!pixels)
        return {std::nullopt, LoadError::DecodeFailed, kNoMemory};
    return {std::move(pixels), LoadError::None, {}, {}, reader.format(), read.announced};
}

FileBytes readFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, LoadError::NotAnImageFile};
    const QString tooLarge = QStringLiteral("larger than %1 MB").arg(kMaxFileBytes >> 20);
    if (!file.isSequential() && file.size() > kMaxFileBytes)
        return {{}, LoadError::DecodeFailed, tooLarge};
    // Read to the end, whatever size the file claims: a pipe has none, and a file may
    // grow or shrink while it is read.
    QByteArray bytes;
    constexpr qint64 kChunk = qint64(1) << 20;
    while (true) {
        const qint64 had = bytes.size();
        if (had > kMaxFileBytes)
            return {{}, LoadError::DecodeFailed, tooLarge};
        const qint64 want = std::min(kChunk, kMaxFileBytes + 1 - had);
        bytes.resize(had + want);
        const qint64 n = file.read(bytes.data() + had, want);
        if (n < 0)
            return {{}, LoadError::NotAnImageFile};
        bytes.resize(had + n);
        if (n == 0) // the end: a pipe's read waits for data until its writer closes it
            break;
    }
    bytes.squeeze();
    return {std::move(bytes)};
}

std::unique_ptr<QImageReader> openReader(QIODevice& device, const QByteArray& suffix) {
    // The suffix is a hint, as a file name's is to a reader given the name: its reader is
    // tried first, then the one the bytes name.
    const qint64 start = device.pos();
    auto reader = std::make_unique<QImageReader>(&device, suffix.toLower());
    if (!suffix.isEmpty() && !canOpen(*reader)) {
        device.seek(start);
        reader = std::make_unique<QImageReader>(&device);
    }
    if (!canOpen(*reader) || (reader->format() == "wbmp" && !isWbmpName(suffix)))
        return nullptr;
    return reader;
}

Decoded decodeBytes(const QByteArray& bytes, const QByteArray& suffix, LoadError unreadable,
                    int maxSide) {
    QByteArray copy = bytes; // shared, not copied: the buffer only reads it
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    const std::unique_ptr<QImageReader> reader = openReader(buffer, suffix);
    if (!reader)
        return {std::nullopt, unreadable};
    Decoded decoded = decode(*reader, maxSide);
    if (decoded.image)
        decoded.source = bytes;
    return decoded;
}

Decoded decodeFile(const QString& path, int maxSide) {
    FileBytes file = readFileBytes(path);
    if (file.error != LoadError::None)
        return {std::nullopt, file.error, file.reason};
    return decodeBytes(file.bytes, QFileInfo(path).suffix().toLatin1(), LoadError::NotAnImageFile,
                       maxSide);
}

Decoded decodeData(const QByteArray& bytes, int maxSide) {
    return decodeBytes(bytes, {}, LoadError::NotImageData, maxSide);
}

namespace {

bool plausible(const QColorSpace& space) {
    const QColorTransform toSRGB = space.transformationToColorSpace(sRGB());
    const QRgb black = toSRGB.map(qRgb(0, 0, 0));
    const QRgb grey = toSRGB.map(qRgb(128, 128, 128));
    const QRgb white = toSRGB.map(qRgb(255, 255, 255));
    for (int shift : {16, 8, 0}) {
        const int b = (black >> shift) & 0xFF, g = (grey >> shift) & 0xFF,
                  w = (white >> shift) & 0xFF;
        if (w - b < 64 || g < b || g > w)
            return false;
    }
    return true;
}

} // namespace

bool convertsToSRGB(const QColorSpace& space) {
    // A profile that maps black and white to nearly the same colour (a curve with a gamma
    // of zero or below, for one) is broken: the picture is taken as untagged.
    return space.isValid() && space != sRGB() && plausible(space);
}

std::optional<PixelImage> fromQImage(const QImage& source) {
    const int w = source.width();
    const int h = source.height();
    if (source.isNull() || w <= 0 || h <= 0)
        return std::nullopt;

    QImage image = source;
    if (convertsToSRGB(image.colorSpace()))
        image.convertToColorSpace(sRGB());

    std::vector<uint8_t> bytes;
    try {
        bytes.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 4, 255);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    {
        // The surface wraps the new image's own buffer: QPainter writes straight into it.
        QImage surface(bytes.data(), w, h, qsizetype(w) * 4, QImage::Format_RGBX8888);
        QPainter painter;
        if (surface.isNull() || !painter.begin(&surface))
            return std::nullopt;
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.fillRect(QRectF(0, 0, w, h), Qt::white);
        painter.drawImage(QRectF(0, 0, w, h), image, QRectF(image.rect()));
        painter.end();
    }
    // RGBX keeps the fourth byte at 255, but make it explicit: it carries no alpha.
    for (size_t i = 3; i < bytes.size(); i += 4)
        bytes[i] = 255;
    return PixelImage(w, h, std::move(bytes));
}

QImage makeQImage(const PixelImage& pixels) {
    if (pixels.isEmpty())
        return {};
    QImage image(int(pixels.width()), int(pixels.height()), QImage::Format_RGBX8888);
    if (image.isNull())
        return {};
    const auto src = pixels.bytes();
    const qsizetype rowBytes = qsizetype(pixels.width()) * 4;
    for (int y = 0; y < image.height(); ++y) {
        uchar* dst = image.scanLine(y);
        std::memcpy(dst, src.data() + y * rowBytes, size_t(rowBytes));
        for (qsizetype x = 3; x < rowBytes; x += 4)
            dst[x] = 255; // RGBX requires it, whatever the source's fourth byte holds
    }
    image.setColorSpace(sRGB());
    return image;
}

} // namespace Imaging
