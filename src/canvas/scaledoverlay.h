#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <span>
#include <vector>

// The mask overlay reduced to the size the picture is shown at, for drawing below 1:1.
//
// Scaling the full-size overlay on every pass would cost more than the rest of the pass
// together, and the overlay changes with every brush stamp. So the reduced copy is built
// once per size and then kept up to date piece by piece: the canvas marks the source pixels
// that stamps changed, and only the reduced pixels covering them are averaged again. Each
// reduced pixel is the plain average of the premultiplied source pixels in its box, so an
// update in pieces gives exactly the bytes of a full rebuild.
//
// The copy is premultiplied ARGB32, the raster engine's own format, so it blits unconverted.
class ScaledOverlay {
public:
    // The copy of source (premultiplied R, G, B, A bytes) at pixelSize device pixels, tagged
    // with dpr. coverage holds one byte per source pixel and is zero wherever the source
    // pixel is transparent; it lets the averaging skip unpainted stretches at a quarter of
    // the memory traffic. Rebuilt when the source buffer, either size or dpr differs from
    // last time; otherwise only the marked areas are recomputed.
    const QImage& update(const QImage& source, std::span<const uint8_t> coverage, QSize pixelSize,
                         qreal dpr);
    // The source pixels in sourceRect have changed.
    void markDirty(const QRect& sourceRect) { dirty_ |= sourceRect; }

private:
    // Averages the reduced pixels in the columns i0..i1 and rows j0..j1.
    void recompute(const QImage& source, std::span<const uint8_t> coverage, int i0, int i1, int j0,
                   int j1);

    const uchar* sourceBits_ = nullptr;
    QSize sourceSize_;
    QSize size_;
    qreal dpr_ = 0;
    bool valid_ = false;
    QRect dirty_;
    // Entry i is the first source column (row) of reduced column (row) i; one more entry
    // closes the last box.
    std::vector<int> columnStart_;
    std::vector<int> rowStart_;
    // When reducing the width, the reduced column of each source column (the boxes do not
    // overlap then); empty when enlarging.
    std::vector<int> boxOfColumn_;
    QImage image_;
};
