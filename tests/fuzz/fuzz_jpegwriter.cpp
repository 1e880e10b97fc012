// Keeping a JPEG photo's blocks after an edit, as a full-size JPEG save does, on JPEG bytes
// from anywhere: whatever the photo's markers, sampling or damage, the writer refuses it
// with a reason, or writes a JPEG that decodes to the photo's size.
#include "fuzzsupport.h"
#include "imaging.h"
#include "jpegencoder.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::startQt();
    Imaging::configureImageReader();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        // Small pictures only: large claims cost time, not coverage.
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        const QSize claimed = QImageReader(&buffer, "jpeg").size();
        if (!claimed.isValid() || qint64(claimed.width()) * claimed.height() > 1 << 20)
            return 0;
    }
    const Imaging::Decoded decoded = Imaging::decodeData(bytes, 0);
    if (!decoded.image || !bytes.startsWith("\xFF\xD8"))
        return 0;
    // An erase of the middle third, painted grey.
    PixelImage picture = *decoded.image;
    const int64_t w = picture.width(), h = picture.height();
    std::vector<uint8_t> changed(size_t(w * h), 0);
    for (int64_t y = h / 3; y < 2 * h / 3 + 1 && y < h; ++y)
        for (int64_t x = w / 3; x < 2 * w / 3 + 1 && x < w; ++x) {
            changed[size_t(y * w + x)] = 1;
            std::fill_n(picture.mutableBytes().data() + (y * w + x) * 4, 3, uint8_t(128));
        }
    QString reason;
    const auto edited = Imaging::EditedJpeg::make(bytes, picture, changed, &reason);
    if (!edited) {
        if (reason.isEmpty())
            Fuzz::broken("a refused photo says why");
        return 0;
    }
    QByteArray out;
    QBuffer device(&out);
    device.open(QIODevice::WriteOnly);
    if (!edited->write(device))
        return 0;
    const Imaging::Decoded written = Imaging::decodeData(out, 0);
    if (!written.image || written.image->width() != w || written.image->height() != h)
        Fuzz::broken("the written JPEG decodes to the photo's size");
    return 0;
}
