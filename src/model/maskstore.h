#pragma once

#include "maskbytes.h"

#include <QImage>
#include <QPointF>
#include <QRect>

#include <cstdint>
#include <memory>

// The brush mask of the open image and its tinted overlay.
//
// gray() holds the mask bytes (see MaskBytes). Brush stamps only ever raise a byte;
// bytes fall only through set() and clear(). The overlay shows each pixel in the colour
// (1.0, 0.15, 0.25) at an opacity of 0.6 x v / 255, as premultiplied R, G, B, A bytes
// kept up to date with every change, so drawing it needs no conversion pass.
//
// One store exists per loaded image and is never resized. GUI thread only.
class MaskStore {
public:
    // A store of width x height pixels (each at least 1), all unpainted.
    MaskStore(int64_t width, int64_t height);
    MaskStore(const MaskStore&) = delete;
    MaskStore& operator=(const MaskStore&) = delete;

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    const MaskBytes& gray() const { return gray_; }
    // True once paint may be present: set by any stamp that touches the image (even when
    // no byte rises) and by set() with a nonzero byte; cleared by clear() and set() of
    // all zeros.
    bool hasPaint() const { return hasPaint_; }
    // The overlay as a drawable image (Format_RGBA8888_Premultiplied, sRGB) over the
    // store's own buffer: it always shows the current bytes. Copies of it must not
    // outlive the store.
    const QImage& overlayImage() const { return overlayImage_; }

    // Paints one feathered disc centred on p (image pixel coordinates, pixel (x, y)
    // covering [x, x + 1) x [y, y + 1)): full strength within radius - s, falling off
    // smoothly to nothing at radius, where the soft edge s is radius x feather but at
    // least one pixel. Returns the rectangle of pixels it visited (empty when the disc
    // misses the image), which callers can use to repaint only that area.
    QRect stamp(QPointF p, double radius, double feather);
    // Replaces the mask bytes (exactly width x height of them) and redraws the overlay.
    void set(const MaskBytes& bytes);
    // Unpaints everything.
    void clear();

private:
    int64_t width_;
    int64_t height_;
    MaskBytes gray_;
    bool hasPaint_ = false;
    std::unique_ptr<uint8_t[]> overlay_;
    QImage overlayImage_;
};
