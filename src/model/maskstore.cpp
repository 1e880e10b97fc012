#include "maskstore.h"

#include "imaging.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstring>

namespace {

using Rgba = std::array<uint8_t, 4>;

// Overlay colour per mask value, in single precision with every byte truncated.
const std::array<Rgba, 256>& overlayTable() {
    static const std::array<Rgba, 256> table = [] {
        std::array<Rgba, 256> t{};
        for (int v = 0; v < 256; ++v) {
            const float o = static_cast<float>(v) * 0.6f;
            const auto r = static_cast<uint8_t>(o);
            t[v] = {r, static_cast<uint8_t>(o * 0.15f), static_cast<uint8_t>(o * 0.25f), r};
        }
        return t;
    }();
    return table;
}

// The overlay pixel (R, G, B, A premultiplied) of mask value v.
const uint8_t* overlayPixel(uint8_t v) { return overlayTable()[v].data(); }

} // namespace

MaskStore::MaskStore(int64_t width, int64_t height)
    : width_(width), height_(height), gray_(static_cast<size_t>(width * height)),
      overlay_(std::make_unique<uint8_t[]>(static_cast<size_t>(width * height * 4))),
      overlayImage_(overlay_.get(), static_cast<int>(width), static_cast<int>(height),
                    static_cast<qsizetype>(width) * 4, QImage::Format_RGBA8888_Premultiplied) {
    assert(width >= 1 && height >= 1 && "MaskStore: the image has no pixels");
    overlayImage_.setColorSpace(Imaging::sRGB());
}

QRect MaskStore::stamp(QPointF p, double radius, double feather) {
    // The disc is computed in single precision; only the soft-edge width starts in double.
    const float cx = static_cast<float>(p.x());
    const float cy = static_cast<float>(p.y());
    const float r = static_cast<float>(radius);
    const float s = static_cast<float>(std::max(radius * feather, 1.0));
    // A point or size that is not a number would make the box bounds meaningless.
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r) || !std::isfinite(s))
        return {};

    // Clamp in float before converting, so far-away points cannot overflow the integers.
    const auto x0 =
        static_cast<int64_t>(std::clamp(std::floor(cx - r), 0.0f, static_cast<float>(width_)));
    const auto x1 =
        static_cast<int64_t>(std::clamp(std::ceil(cx + r), -1.0f, static_cast<float>(width_ - 1)));
    const auto y0 =
        static_cast<int64_t>(std::clamp(std::floor(cy - r), 0.0f, static_cast<float>(height_)));
    const auto y1 =
        static_cast<int64_t>(std::clamp(std::ceil(cy + r), -1.0f, static_cast<float>(height_ - 1)));
    if (x1 < x0 || y1 < y0)
        return {};

    hasPaint_ = true;
    const float inner = r - s;
    const uint8_t* current = gray_.bytes().data();
    uint8_t* writable = nullptr; // detached from snapshots on the first byte that rises
    for (int64_t y = y0; y <= y1; ++y) {
        const float dy = static_cast<float>(y) + 0.5f - cy;
        for (int64_t x = x0; x <= x1; ++x) {
            const float dx = static_cast<float>(x) + 0.5f - cx;
            const float d = std::sqrt(dy * dy + dx * dx);
            float a;
            if (d <= inner) {
                a = 255.0f;
            } else if (d >= r) {
                a = 0.0f;
            } else {
                const float t = (d - inner) / s;
                a = (1.0f - t * t * (3.0f - 2.0f * t)) * 255.0f;
            }
            const auto v = static_cast<uint8_t>(std::clamp(static_cast<int>(a), 0, 255));
            const int64_t i = y * width_ + x;
            if (current[i] >= v)
                continue;
            if (!writable) {
                writable = gray_.mutableBytes().data();
                current = writable;
            }
            writable[i] = v;
            std::memcpy(overlay_.get() + i * 4, overlayPixel(v), 4);
        }
    }
    return QRect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0 + 1),
                 static_cast<int>(y1 - y0 + 1));
}

void MaskStore::set(const MaskBytes& bytes) {
    assert(bytes.size() == static_cast<size_t>(width_ * height_) &&
           "MaskStore::set: the mask must have one byte per pixel");
    gray_ = bytes;
    const std::span<const uint8_t> g = gray_.bytes();
    bool painted = false;
    uint8_t* out = overlay_.get();
    for (size_t i = 0; i < g.size(); ++i) {
        std::memcpy(out + i * 4, overlayPixel(g[i]), 4);
        painted = painted || g[i] != 0;
    }
    hasPaint_ = painted;
}

void MaskStore::clear() {
    gray_ = MaskBytes(static_cast<size_t>(width_ * height_));
    std::memset(overlay_.get(), 0, static_cast<size_t>(width_ * height_ * 4));
    hasPaint_ = false;
}
