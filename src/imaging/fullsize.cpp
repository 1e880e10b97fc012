#include "fullsize.h"

#include "bilinear.h"
#include "imaging.h"
#include "jpegencoder.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <memory>

namespace Imaging {

void enlargeEdits(PixelImage& full, const PixelImage& original, const PixelImage& current,
                  std::vector<uint8_t>* changedPixels) {
    const int64_t w = original.width();
    const int64_t h = original.height();
    if (changedPixels)
        changedPixels->assign(size_t(full.width() * full.height()), 0);
    if (full.isEmpty() || original.isEmpty() || current.width() != w || current.height() != h ||
        original.sharesBytesWith(current))
        return;

    // Which working pixels the edits changed, and their bounding box.
    const auto before = original.bytes();
    const auto after = current.bytes();
    std::vector<float> changed(static_cast<size_t>(w * h), 0.0f);
    int64_t x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const size_t i = size_t(y * w + x);
            if (std::equal(&before[i * 4], &before[i * 4 + 3], &after[i * 4]))
                continue;
            changed[i] = 1.0f;
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
            y0 = std::min(y0, y);
            y1 = std::max(y1, y);
        }
    if (x1 < 0)
        return;

    const int64_t fw = full.width();
    const int64_t fh = full.height();
    const float sx = float(w) / float(fw);
    const float sy = float(h) / float(fh);
    std::vector<Bilinear::Tap> columns(static_cast<size_t>(fw));
    for (int64_t x = 0; x < fw; ++x)
        columns[size_t(x)] = Bilinear::tap(x, sx, w);
    const uint8_t* cur = after.data();
    uint8_t* out = full.mutableBytes().data();

    for (int64_t y = 0; y < fh; ++y) {
        const Bilinear::Tap ty = Bilinear::tap(y, sy, h);
        if (ty.i1 < y0 || ty.i0 > y1)
            continue;
        for (int64_t x = 0; x < fw; ++x) {
            const Bilinear::Tap& tx = columns[size_t(x)];
            if (tx.i1 < x0 || tx.i0 > x1)
                continue;
            const Bilinear::Weights k = Bilinear::weights(tx, ty);
            const size_t i00 = size_t(ty.i0 * w + tx.i0), i10 = size_t(ty.i0 * w + tx.i1);
            const size_t i01 = size_t(ty.i1 * w + tx.i0), i11 = size_t(ty.i1 * w + tx.i1);
            const float a = k.w00 * changed[i00] + k.w10 * changed[i10] + k.w01 * changed[i01] +
                            k.w11 * changed[i11];
            if (a <= 0.0f)
                continue; // untouched: the full-size pixel stays exactly as decoded
            if (changedPixels)
                (*changedPixels)[size_t(y * fw + x)] = 1;
            uint8_t* p = out + (y * fw + x) * 4;
            for (size_t c = 0; c < 3; ++c) {
                const float up = k.w00 * float(cur[i00 * 4 + c]) + k.w10 * float(cur[i10 * 4 + c]) +
                                 k.w01 * float(cur[i01 * 4 + c]) + k.w11 * float(cur[i11 * 4 + c]);
                const float v = float(p[c]) * (1.0f - a) + up * a;
                p[c] = uint8_t(std::clamp(v + 0.5f, 0.0f, 255.0f));
            }
        }
    }
}

Decoded fullSizeResult(const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current,
                       std::vector<uint8_t>* changed) {
    QByteArray bytes = source; // shared, not copied: the buffer only reads it
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    if (!canOpen(reader))
        return {std::nullopt, LoadError::DecodeFailed};
    Decoded decoded = decode(reader, 0);
    if (decoded.image)
        enlargeEdits(*decoded.image, original, current, changed);
    return decoded;
}

SaveError saveFullSizeJpeg(const QByteArray& source, const QByteArray& format,
                           const PixelImage& original, const PixelImage& current,
                           const QString& path, QString* reason) {
    std::vector<uint8_t> changed;
    Decoded full = fullSizeResult(source, format, original, current, &changed);
    if (!full.image) {
        if (reason)
            *reason = full.reason;
        return SaveError::WriteFailed;
    }
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
