#include "fullsize.h"

#include "fullsizeedits.h"
#include "imaging.h"
#include "jpegencoder.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <memory>

namespace Imaging {

Decoded fullSizeResult(const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current,
                       const std::function<void(double)>& progress, int processors,
                       std::vector<uint8_t>* changed) {
    QByteArray bytes = source; // shared, not copied: the buffer only reads it
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    if (!canOpen(reader))
        return {std::nullopt, LoadError::DecodeFailed};
    Decoded decoded = decode(reader, 0);
    if (decoded.image)
        FullSizeEdits::carry(*decoded.image, original, current, FullSizeEdits::Fill::Synthesised,
                             progress, processors, changed);
    return decoded;
}

SaveError saveFullSize(FileType type, const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current, const QString& path,
                       const std::function<void(double)>& progress, int processors,
                       QString* reason) {
    const bool jpeg = type == FileType::Jpeg;
    std::vector<uint8_t> changed; // which pixels changed, for keeping a JPEG's blocks
    Decoded full = fullSizeResult(source, format, original, current, progress, processors,
                                  jpeg ? &changed : nullptr);
    if (!full.image) {
        if (reason)
            *reason = full.reason;
        return SaveError::WriteFailed;
    }
    if (!jpeg)
        return savePng(*full.image, path, reason);
    if (isJpegFormat(full.format)) {
        if (const std::unique_ptr<EditedJpeg> kept =
                EditedJpeg::make(source, *full.image, changed)) {
            // Only the photo's blocks are written: the picture need not wait beside them.
            full.image.reset();
            std::vector<uint8_t>().swap(changed);
            return saveFile(
                path, SaveError::CannotCreateJpeg,
                [&](QIODevice& device) { return kept->write(device); }, reason);
        }
    }
    return saveJpeg(*full.image, path, reason);
}

namespace {

// The source pixels output pixel i of n covers along an axis of size, with their shares.
struct Cover {
    int64_t first = 0;
    std::vector<double> weights;
};

std::vector<Cover> covers(int64_t size, int64_t n) {
    std::vector<Cover> result(static_cast<size_t>(n));
    const double step = double(size) / double(n);
    for (int64_t i = 0; i < n; ++i) {
        const double lo = double(i) * step;
        const double hi = std::min(double(i + 1) * step, double(size));
        Cover& c = result[size_t(i)];
        c.first = std::min(int64_t(lo), size - 1);
        for (int64_t s = c.first; s < size && double(s) < hi; ++s)
            c.weights.push_back(std::min(hi, double(s + 1)) - std::max(lo, double(s)));
    }
    return result;
}

} // namespace

std::vector<uint8_t> reduceMask(std::span<const uint8_t> mask, int64_t width, int64_t height,
                                int64_t toWidth, int64_t toHeight) {
    std::vector<uint8_t> out(static_cast<size_t>(toWidth * toHeight));
    if (width <= 0 || height <= 0 || toWidth <= 0 || toHeight <= 0)
        return out;
    const std::vector<Cover> across = covers(width, toWidth);
    const std::vector<Cover> down = covers(height, toHeight);
    const double area = double(width) / double(toWidth) * (double(height) / double(toHeight));
    std::vector<double> sums(static_cast<size_t>(toWidth));
    for (int64_t y = 0; y < toHeight; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0);
        const Cover& rows = down[size_t(y)];
        for (size_t r = 0; r < rows.weights.size(); ++r) {
            const uint8_t* row = mask.data() + (rows.first + int64_t(r)) * width;
            for (int64_t x = 0; x < toWidth; ++x) {
                const Cover& cols = across[size_t(x)];
                double s = 0.0;
                for (size_t k = 0; k < cols.weights.size(); ++k)
                    s += cols.weights[k] * double(row[cols.first + int64_t(k)]);
                sums[size_t(x)] += rows.weights[r] * s;
            }
        }
        for (int64_t x = 0; x < toWidth; ++x)
            out[size_t(y * toWidth + x)] =
                uint8_t(std::clamp(std::lround(sums[size_t(x)] / area), 0L, 255L));
    }
    return out;
}

} // namespace Imaging
