#pragma once

#include <QImage>
#include <QRect>

#include <cstdint>
#include <memory>

class MaskStore;

// The mask as the canvas shows it: each pixel in the colour (1.0, 0.15, 0.25) at an
// opacity of 0.6 x v / 255, as premultiplied R, G, B, A bytes, so drawing it needs no
// conversion pass. Brought up to date tile by tile: only the tiles the mask changed since
// the last update are tinted again.
class MaskOverlay {
public:
    // The tint of `mask` (Format_RGBA8888_Premultiplied, sRGB, the mask's size). *changed,
    // when given, receives the pixels tinted again. The image stays valid until the next
    // update of another size.
    const QImage& update(const MaskStore& mask, QRect* changed = nullptr);

private:
    std::unique_ptr<uint8_t[]> pixels_;
    QImage image_;
    uint64_t revision_ = 0;
};
