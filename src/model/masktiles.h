#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The mask bytes of a document: one byte per image pixel, 0 = unpainted, 255 = fully
// painted, values between from the brush's soft edge.
//
// The bytes are kept as square tiles. Copies share every tile until one of them writes
// it, so an undo snapshot costs a table of pointers plus the tiles painted after it, not
// a copy of the whole mask. A tile that was never painted holds no buffer and reads as
// zeros. Tiles on the right and bottom edges are stored whole; their bytes beyond the
// picture stay zero.
//
// Copies may be read on any thread; a copy is written only by the thread that owns it.
class MaskTiles {
public:
    static constexpr int64_t kTileSide = 64;
    static constexpr size_t kTileBytes = size_t(kTileSide * kTileSide);

    // The pixels one tile covers, clipped to the picture.
    struct Area {
        int64_t x, y, width, height;
    };

    MaskTiles() = default;
    // width x height unpainted pixels (each at least 1).
    MaskTiles(int64_t width, int64_t height);
    // The given bytes: width x height of them, row-major, top row first.
    MaskTiles(int64_t width, int64_t height, std::span<const uint8_t> bytes);

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    // Tiles across and tiles in all; tile i is the one at column i % columns(), row
    // i / columns().
    int64_t columns() const { return columns_; }
    size_t tileCount() const { return tiles_.size(); }
    Area area(size_t tile) const;
    // Tile i's bytes, kTileSide to a row, or nullptr when it is all zeros.
    const uint8_t* tile(size_t i) const { return tiles_[i] ? tiles_[i]->data() : nullptr; }
    // Tile i for writing: made (all zeros) or copied first when it is absent or shared.
    uint8_t* writableTile(size_t i);
    // True when both hold tile i in the same buffer, so neither wrote it since they met.
    bool sharesTile(const MaskTiles& other, size_t i) const { return tiles_[i] == other.tiles_[i]; }
    // True when the two share every tile: no byte was copied between them.
    bool sharesTilesWith(const MaskTiles& other) const { return tiles_ == other.tiles_; }

    // The bytes as one row-major buffer of width x height.
    std::vector<uint8_t> toBytes() const;
    // True when some byte is not zero.
    bool anyPainted() const;

    // Same size and the same bytes.
    friend bool operator==(const MaskTiles& a, const MaskTiles& b);

private:
    using Tile = std::array<uint8_t, kTileBytes>;

    int64_t width_ = 0;
    int64_t height_ = 0;
    int64_t columns_ = 0;
    std::vector<std::shared_ptr<Tile>> tiles_;
};
