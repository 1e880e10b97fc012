#include "masktiles.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {

int64_t tilesFor(int64_t pixels) {
    return (pixels + MaskTiles::kTileSide - 1) / MaskTiles::kTileSide;
}

bool allZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t v) { return v == 0; });
}

} // namespace

MaskTiles::MaskTiles(int64_t width, int64_t height)
    : width_(width), height_(height), columns_(tilesFor(width)),
      tiles_(static_cast<size_t>(tilesFor(width) * tilesFor(height))) {
    assert(width >= 1 && height >= 1 && "MaskTiles: the image has no pixels");
}

MaskTiles::MaskTiles(int64_t width, int64_t height, std::span<const uint8_t> bytes)
    : MaskTiles(width, height) {
    assert(bytes.size() == static_cast<size_t>(width * height) &&
           "MaskTiles: the mask must have one byte per pixel");
    for (size_t i = 0; i < tiles_.size(); ++i) {
        const Area a = area(i);
        bool painted = false;
        for (int64_t y = 0; y < a.height && !painted; ++y)
            painted = !allZero(bytes.data() + (a.y + y) * width + a.x, size_t(a.width));
        if (!painted)
            continue;
        uint8_t* t = writableTile(i);
        for (int64_t y = 0; y < a.height; ++y)
            std::memcpy(t + y * kTileSide, bytes.data() + (a.y + y) * width + a.x, size_t(a.width));
    }
}

MaskTiles::Area MaskTiles::area(size_t tile) const {
    const int64_t x = static_cast<int64_t>(tile) % columns_ * kTileSide;
    const int64_t y = static_cast<int64_t>(tile) / columns_ * kTileSide;
    return {x, y, std::min(kTileSide, width_ - x), std::min(kTileSide, height_ - y)};
}

uint8_t* MaskTiles::writableTile(size_t i) {
    std::shared_ptr<Tile>& t = tiles_[i];
    // use_count() is exact for the owner asking: if it reads 1, no other copy holds the
    // tile and none can appear except through this object.
    if (!t)
        t = std::make_shared<Tile>(); // value-initialised: zeros
    else if (t.use_count() > 1)
        t = std::make_shared<Tile>(*t);
    return t->data();
}

std::vector<uint8_t> MaskTiles::toBytes() const {
    std::vector<uint8_t> bytes(static_cast<size_t>(width_ * height_), uint8_t(0));
    for (size_t i = 0; i < tiles_.size(); ++i) {
        if (!tiles_[i])
            continue;
        const Area a = area(i);
        for (int64_t y = 0; y < a.height; ++y)
            std::memcpy(bytes.data() + (a.y + y) * width_ + a.x, tiles_[i]->data() + y * kTileSide,
                        size_t(a.width));
    }
    return bytes;
}

bool MaskTiles::anyPainted() const {
    return std::any_of(tiles_.begin(), tiles_.end(), [](const std::shared_ptr<Tile>& t) {
        return t && !allZero(t->data(), t->size());
    });
}

bool operator==(const MaskTiles& a, const MaskTiles& b) {
    if (a.width_ != b.width_ || a.height_ != b.height_)
        return false;
    for (size_t i = 0; i < a.tiles_.size(); ++i) {
        const uint8_t* x = a.tile(i);
        const uint8_t* y = b.tile(i);
        if (x == y)
            continue;
        // Bytes beyond the picture are zero in every tile, so whole tiles compare.
        if (!x || !y ? !allZero(x ? x : y, MaskTiles::kTileBytes)
                     : std::memcmp(x, y, MaskTiles::kTileBytes) != 0)
            return false;
    }
    return true;
}
