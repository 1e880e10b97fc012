#include "maskoverlay.h"

#include "imaging.h"
#include "maskstore.h"

#include <array>
#include <cstring>

namespace {

using Rgba = std::array<uint8_t, 4>;

// Tint per mask value, in single precision with every byte truncated.
const std::array<Rgba, 256>& tintTable() {
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

} // namespace

const QImage& MaskOverlay::update(const MaskStore& mask, QRect* changed) {
    const QSize size(static_cast<int>(mask.width()), static_cast<int>(mask.height()));
    if (image_.size() != size) {
        // A new buffer: every tile is tinted below, since no store's tiles are older than
        // revision 0.
        image_ = QImage();
        pixels_.reset(new uint8_t[static_cast<size_t>(mask.width() * mask.height() * 4)]);
        image_ =
            QImage(pixels_.get(), size.width(), size.height(),
                   static_cast<qsizetype>(mask.width()) * 4, QImage::Format_RGBA8888_Premultiplied);
        image_.setColorSpace(Imaging::sRGB());
        revision_ = 0;
    }
    QRect tinted;
    const std::array<Rgba, 256>& table = tintTable();
    const std::span<const uint8_t> bytes = mask.bytes();
    for (const size_t tile : mask.changedTiles(revision_)) {
        const MaskTiles::Area a = mask.tiles().area(tile);
        for (int64_t y = a.y; y < a.y + a.height; ++y) {
            const uint8_t* in = bytes.data() + y * mask.width() + a.x;
            uint8_t* out = pixels_.get() + (y * mask.width() + a.x) * 4;
            for (int64_t x = 0; x < a.width; ++x)
                std::memcpy(out + x * 4, table[in[x]].data(), 4);
        }
        tinted |= QRect(static_cast<int>(a.x), static_cast<int>(a.y), static_cast<int>(a.width),
                        static_cast<int>(a.height));
    }
    revision_ = mask.revision();
    if (changed)
        *changed = tinted;
    return image_;
}
