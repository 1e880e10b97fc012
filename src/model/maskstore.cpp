#include "maskstore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>

namespace {

// Revisions count up across all stores, so a change of store reads as a change of every
// pixel to a view that saw the old one. Stores are made on loading threads.
uint64_t nextRevision() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

constexpr int64_t kTile = MaskTiles::kTileSide;

} // namespace

MaskStore::MaskStore(int64_t width, int64_t height)
    : width_(width), height_(height), gray_(static_cast<size_t>(width * height), uint8_t(0)),
      tiles_(width, height), revision_(nextRevision()),
      tileRevision_(tiles_.tileCount(), revision_) {}

std::vector<size_t> MaskStore::changedTiles(uint64_t since) const {
    std::vector<size_t> changed;
    for (size_t i = 0; i < tileRevision_.size(); ++i)
        if (tileRevision_[i] > since)
            changed.push_back(i);
    return changed;
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
    // The tile of the last byte that rose, detached from snapshots on its first rise.
    size_t tile = tiles_.tileCount();
    uint8_t* tileBytes = nullptr;
    uint64_t revision = 0;
    for (int64_t y = y0; y <= y1; ++y) {
        const float dy = static_cast<float>(y) + 0.5f - cy;
        const size_t tileRow = static_cast<size_t>(y / kTile * tiles_.columns());
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
            if (gray_[static_cast<size_t>(i)] >= v)
                continue;
            if (revision == 0)
                revision = revision_ = nextRevision();
            const size_t t = tileRow + static_cast<size_t>(x / kTile);
            if (t != tile) {
                tile = t;
                tileBytes = tiles_.writableTile(t);
                tileRevision_[t] = revision;
            }
            gray_[static_cast<size_t>(i)] = v;
            tileBytes[y % kTile * kTile + x % kTile] = v;
        }
    }
    return QRect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0 + 1),
                 static_cast<int>(y1 - y0 + 1));
}

void MaskStore::rewriteTile(const MaskTiles& from, size_t i, uint64_t revision) {
    const MaskTiles::Area a = from.area(i);
    const uint8_t* source = from.tile(i);
    for (int64_t y = 0; y < a.height; ++y) {
        uint8_t* row = gray_.data() + (a.y + y) * width_ + a.x;
        if (source)
            std::memcpy(row, source + y * kTile, static_cast<size_t>(a.width));
        else
            std::memset(row, 0, static_cast<size_t>(a.width));
    }
    tileRevision_[i] = revision;
}

size_t MaskStore::set(const MaskTiles& mask) {
    assert(mask.width() == width_ && mask.height() == height_ &&
           "MaskStore::set: the mask must have the store's size");
    size_t rewritten = 0;
    uint64_t revision = 0;
    for (size_t i = 0; i < tileRevision_.size(); ++i) {
        if (tiles_.sharesTile(mask, i))
            continue;
        if (revision == 0)
            revision = revision_ = nextRevision();
        rewriteTile(mask, i, revision);
        ++rewritten;
    }
    tiles_ = mask;
    hasPaint_ = tiles_.anyPainted();
    return rewritten;
}

void MaskStore::clear() {
    const MaskTiles empty(width_, height_);
    set(empty);
    hasPaint_ = false;
}
