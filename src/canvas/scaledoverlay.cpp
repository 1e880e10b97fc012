#include "scaledoverlay.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Where each of n reduced boxes begins in a source of `source` pixels.
std::vector<int> boxStarts(int source, int n) {
    std::vector<int> starts(static_cast<size_t>(n) + 1);
    for (int i = 0; i <= n; ++i)
        starts[static_cast<size_t>(i)] = static_cast<int>(int64_t(i) * source / n);
    return starts;
}

// The source range of box i; enlarging makes boxes empty, so each takes at least one pixel.
std::pair<int, int> boxRange(const std::vector<int>& starts, int i) {
    const int begin = starts[static_cast<size_t>(i)];
    return {begin, std::max(starts[static_cast<size_t>(i) + 1], begin + 1)};
}

// Trims [begin, end) of a row of bytes to the stretch between its first and last nonzero
// byte, eight bytes at a time; begin == end when all are zero.
void trimZeros(const uint8_t* row, int& begin, int& end) {
    uint64_t word;
    while (begin + 8 <= end && (std::memcpy(&word, row + begin, 8), word == 0))
        begin += 8;
    while (begin < end && row[begin] == 0)
        ++begin;
    while (end - 8 >= begin && (std::memcpy(&word, row + end - 8, 8), word == 0))
        end -= 8;
    while (end > begin && row[end - 1] == 0)
        --end;
}

} // namespace

const QImage& ScaledOverlay::update(const QImage& source, std::span<const uint8_t> coverage,
                                    QSize pixelSize, qreal dpr) {
    const bool same = valid_ && source.constBits() == sourceBits_ && source.size() == sourceSize_ &&
                      pixelSize == size_ && dpr == dpr_;
    if (!same) {
        sourceBits_ = source.constBits();
        sourceSize_ = source.size();
        size_ = pixelSize;
        dpr_ = dpr;
        valid_ = true;
        dirty_ = QRect();
        columnStart_ = boxStarts(source.width(), pixelSize.width());
        rowStart_ = boxStarts(source.height(), pixelSize.height());
        boxOfColumn_.clear();
        if (pixelSize.width() <= source.width()) {
            boxOfColumn_.resize(static_cast<size_t>(source.width()));
            for (int i = 0; i < pixelSize.width(); ++i)
                std::fill(boxOfColumn_.begin() + columnStart_[static_cast<size_t>(i)],
                          boxOfColumn_.begin() + columnStart_[static_cast<size_t>(i) + 1], i);
        }
        image_ = QImage(pixelSize, QImage::Format_ARGB32_Premultiplied);
        image_.setDevicePixelRatio(dpr);
        recompute(source, coverage, 0, size_.width() - 1, 0, size_.height() - 1);
        return image_;
    }

    const QRect dirty = dirty_ & QRect(QPoint(0, 0), sourceSize_);
    dirty_ = QRect();
    if (dirty.isEmpty())
        return image_;
    // The reduced pixels whose boxes can meet the dirty source pixels, with one to spare on
    // each side; recomputing an untouched pixel changes nothing.
    const auto first = [](int s, int n, int total) {
        return std::max(0, static_cast<int>(int64_t(s) * n / total) - 1);
    };
    const auto last = [](int s, int n, int total) {
        return std::min(n - 1, static_cast<int>((int64_t(s) + 1) * n / total) + 1);
    };
    const int w = size_.width();
    const int h = size_.height();
    recompute(source, coverage, first(dirty.left(), w, sourceSize_.width()),
              last(dirty.right(), w, sourceSize_.width()),
              first(dirty.top(), h, sourceSize_.height()),
              last(dirty.bottom(), h, sourceSize_.height()));
    return image_;
}

void ScaledOverlay::recompute(const QImage& source, std::span<const uint8_t> coverage, int i0,
                              int i1, int j0, int j1) {
    const int width = sourceSize_.width();
    const int spanBegin = boxRange(columnStart_, i0).first;
    const int spanEnd = boxRange(columnStart_, i1).second;
    // 64-bit sums: one box may hold a whole 3072 x 3072 source of 255s.
    using Sum = std::array<uint64_t, 4>;
    std::vector<Sum> sums(static_cast<size_t>(i1 - i0 + 1));
    const auto add = [](Sum& sum, const uchar* px) {
        sum[0] += px[0];
        sum[1] += px[1];
        sum[2] += px[2];
        sum[3] += px[3];
    };

    for (int j = j0; j <= j1; ++j) {
        std::fill(sums.begin(), sums.end(), Sum{});
        const auto [y0, y1] = boxRange(rowStart_, j);
        for (int y = y0; y < y1; ++y) {
            // Most of a mask is unpainted and adds nothing: only the painted stretch of each
            // row is summed, and within it only the painted pixels.
            const uint8_t* painted = coverage.data() + int64_t(y) * width;
            int begin = spanBegin;
            int end = spanEnd;
            trimZeros(painted, begin, end);
            if (begin == end)
                continue;
            const uchar* row = source.constScanLine(y);
            if (!boxOfColumn_.empty()) {
                for (int x = begin; x < end; ++x)
                    if (painted[x])
                        add(sums[static_cast<size_t>(boxOfColumn_[static_cast<size_t>(x)] - i0)],
                            row + x * 4);
                continue;
            }
            // Enlarging: neighbouring boxes can share a source pixel.
            for (int i = i0; i <= i1; ++i) {
                const auto [x0, x1] = boxRange(columnStart_, i);
                for (int x = std::max(x0, begin); x < std::min(x1, end); ++x)
                    add(sums[static_cast<size_t>(i - i0)], row + x * 4);
            }
        }

        auto* out = reinterpret_cast<QRgb*>(image_.scanLine(j));
        for (int i = i0; i <= i1; ++i) {
            const Sum& sum = sums[static_cast<size_t>(i - i0)];
            // Premultiplied: no alpha means no colour either.
            if (sum[3] == 0) {
                out[i] = 0;
                continue;
            }
            const auto [x0, x1] = boxRange(columnStart_, i);
            const uint64_t n = uint64_t(x1 - x0) * uint64_t(y1 - y0);
            const auto mean = [&](size_t c) { return static_cast<int>((sum[c] + n / 2) / n); };
            // Source bytes are R, G, B, A; the same premultiplied values go into 0xAARRGGBB.
            out[i] = qRgba(mean(0), mean(1), mean(2), mean(3));
        }
    }
}
