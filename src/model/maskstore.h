#pragma once

#include "masktiles.h"

#include <QPointF>
#include <QRect>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The brush mask of the open image.
//
// bytes() holds the mask bytes (see MaskTiles), and tiles() the same bytes as shared
// tiles for undo snapshots: a snapshot costs a table of pointers, a stroke copies only the
// tiles it raises, and restoring a snapshot rewrites only the tiles that differ. Brush
// stamps only ever raise a byte; bytes fall only through set() and clear().
//
// Every change takes a new revision number, larger than any other store's before it, so a
// view can ask what changed since it last looked, even across a change of store.
//
// One store exists per loaded image and is never resized. GUI thread only, once made.
class MaskStore {
public:
    // A store of width x height pixels (each at least 1), all unpainted.
    MaskStore(int64_t width, int64_t height);
    MaskStore(const MaskStore&) = delete;
    MaskStore& operator=(const MaskStore&) = delete;

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    // One byte per pixel, row-major, top row first.
    std::span<const uint8_t> bytes() const { return gray_; }
    // The same bytes, cheap to copy and shared until written.
    const MaskTiles& tiles() const { return tiles_; }
    // True once paint may be present: set by any stamp that touches the image (even when
    // no byte rises) and by set() with a nonzero byte; cleared by clear() and set() of
    // all zeros.
    bool hasPaint() const { return hasPaint_; }
    // The revision of the last change (the store's making counts as one).
    uint64_t revision() const { return revision_; }
    // The tiles (see MaskTiles) changed after revision `since`: all of them when `since`
    // is older than the store.
    std::vector<size_t> changedTiles(uint64_t since) const;

    // Paints one feathered disc centred on p (image pixel coordinates, pixel (x, y)
    // covering [x, x + 1) x [y, y + 1)): full strength within radius - s, falling off
    // smoothly to nothing at radius, where the soft edge s is radius x feather but at
    // least one pixel. Returns the rectangle of pixels it visited (empty when the disc
    // misses the image), which callers can use to repaint only that area.
    QRect stamp(QPointF p, double radius, double feather);
    // Replaces the mask bytes with `mask` (of the store's size), rewriting the tiles where
    // they differ. Returns the number of tiles rewritten: those not shared with it.
    size_t set(const MaskTiles& mask);
    // Unpaints everything.
    void clear();

private:
    // Copies tile i of `from` into the bytes, marked with the revision.
    void rewriteTile(const MaskTiles& from, size_t i, uint64_t revision);

    int64_t width_;
    int64_t height_;
    std::vector<uint8_t> gray_;
    MaskTiles tiles_;
    bool hasPaint_ = false;
    uint64_t revision_;
    std::vector<uint64_t> tileRevision_;
};
