#include "imaging.h"

#include "pngencoder.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QSaveFile>

#include <algorithm>
#include <cstring>

namespace Imaging {

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
    }
    return {};
}

const QColorSpace& sRGB() {
    static const QColorSpace space(QColorSpace::SRgb);
    return space;
}

void configureImageReader() { QImageReader::setAllocationLimit(kAllocationLimitMB); }

bool canOpen(QImageReader& reader) { return reader.canRead(); }

namespace {

// A JPEG whose entropy-coded data ends before its end-of-image marker. The decoder
// fills the missing part with grey and reports success, which would put a half-grey
// picture in front of the user as if it were the photo.
bool isTruncatedJpeg(QIODevice* device) {
    if (!device || !device->isReadable() || device->isSequential())
        return false;
    const qint64 origin = device->pos();
    if (!device->seek(0))
        return false;
    const QByteArray data = device->readAll();
    device->seek(origin);

    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype n = data.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return false;
    qsizetype i = 2;
    while (i + 1 < n) {
        if (p[i] != 0xFF) { // entropy-coded data: look for the next real marker
            ++i;
            continue;
        }
        const unsigned char marker = p[i + 1];
        if (marker == 0xD9)
            return false;
        if (marker == 0x00 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD7) ||
            marker == 0x01) {
            // Stuffed zero, fill byte or restart marker inside a scan.
            i += marker == 0xFF ? 1 : 2;
            continue;
        }
        if (i + 3 >= n)
            return true;
        const qsizetype length = (qsizetype(p[i + 2]) << 8) | p[i + 3];
        if (length < 2)
            return false; // not a layout we understand; let the decoder judge it
        i += 2 + length;
    }
    return true;
}

} // namespace

Decoded decode(QImageReader& reader, int maxSide) {
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return {std::nullopt, LoadError::NotAnImageFile};
    if (qint64(stored.width()) * stored.height() > kMaxStoredPixels)
        return {std::nullopt, LoadError::DecodeFailed};

    const int longer = std::max(stored.width(), stored.height());
    if (maxSide > 0 && longer > maxSide) {
        // The reader scales before it turns the picture upright, so the cap is applied
        // to the stored size; the longer side is the same either way.
        reader.setScaledSize(
            QSize(std::max(1, qRound(stored.width() * double(maxSide) / longer)),
                  std::max(1, qRound(stored.height() * double(maxSide) / longer))));
    }
    if (reader.format() == "jpeg" && isTruncatedJpeg(reader.device()))
        return {std::nullopt, LoadError::DecodeFailed};

    const QImage image = reader.read();
    if (image.isNull())
        return {std::nullopt, LoadError::DecodeFailed};
    std::optional<PixelImage> pixels = fromQImage(image);
    if (!pixels)
        return {std::nullopt, LoadError::DecodeFailed};
    return {std::move(pixels), LoadError::None};
}

Decoded decodeFile(const QString& path, int maxSide) {
    QImageReader reader(path);
    if (!canOpen(reader))
        return {std::nullopt, LoadError::NotAnImageFile};
    return decode(reader, maxSide);
}

Decoded decodeData(const QByteArray& bytes, int maxSide) {
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!canOpen(reader))
        return {std::nullopt, LoadError::NotImageData};
    return decode(reader, maxSide);
}

std::optional<PixelImage> fromQImage(const QImage& source) {
    const int w = source.width();
    const int h = source.height();
    if (source.isNull() || w <= 0 || h <= 0)
        return std::nullopt;

    QImage image = source;
    if (image.colorSpace().isValid() && image.colorSpace() != sRGB())
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

namespace {

// QFileDevice does not always notice a failing final flush, so flush and check here.
bool writePng(const RgbxRows& rows, QFileDevice& file) {
    return encodePng(rows, file) && file.flush() && file.error() == QFileDevice::NoError;
}

} // namespace

SaveError savePng(const QImage& image, const QString& path) {
    const QImage rgbx = image.format() == QImage::Format_RGBX8888
                            ? image
                            : image.convertToFormat(QImage::Format_RGBX8888);
    if (rgbx.isNull())
        return SaveError::WriteFailed;
    return savePng(RgbxRows{rgbx.constBits(), rgbx.width(), rgbx.height(), rgbx.bytesPerLine()},
                   path);
}

SaveError savePng(const PixelImage& image, const QString& path) {
    return savePng(RgbxRows{image.bytes().data(), image.width(), image.height(), image.width() * 4},
                   path);
}

SaveError savePng(const RgbxRows& image, const QString& path) {
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        // A device or pipe: write into it. Replacing it by a renamed temporary file would
        // swap the device node for a regular file.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return SaveError::CannotCreate;
        return writePng(image, file) ? SaveError::None : SaveError::WriteFailed;
    }
    QSaveFile file(path);
    // Where no temporary file can be made beside the target (a folder we may not write
    // but a file in it we may), write the target directly.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return SaveError::CannotCreate;
    if (!writePng(image, file)) {
        file.cancelWriting(); // keep whatever was at the path before
        file.commit();
        return SaveError::WriteFailed;
    }
    return file.commit() ? SaveError::None : SaveError::WriteFailed;
}

} // namespace Imaging
