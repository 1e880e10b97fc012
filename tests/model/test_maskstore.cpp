#include "maskstore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

uint8_t at(const MaskStore& s, int x, int y) { return s.bytes()[y * s.width() + x]; }

bool allZero(const MaskStore& s) {
    return std::all_of(s.bytes().begin(), s.bytes().end(), [](uint8_t v) { return v == 0; });
}

TEST(MaskStore, FeatheredDiscFallsOffByDistance) {
    MaskStore s(100, 100);
    // Centred on pixel (50, 50): the pixel k columns away lies at distance k exactly.
    const QRect box = s.stamp({50.5, 50.5}, 24.0, 0.35);
    EXPECT_EQ(box, QRect(26, 26, 50, 50));
    EXPECT_EQ(at(s, 50, 50), 255);
    EXPECT_EQ(at(s, 50 + 15, 50), 255);
    EXPECT_EQ(at(s, 50 + 16, 50), 253);
    EXPECT_EQ(at(s, 50, 50 - 20), 118);
    EXPECT_EQ(at(s, 50 - 23, 50), 9);
    EXPECT_EQ(at(s, 50 + 24, 50), 0);

    MaskStore edge(100, 100);
    edge.stamp({51.1, 50.5}, 24.0, 0.35); // pixel 35 at distance 15.6
    EXPECT_EQ(at(edge, 35, 50), 255);
}

TEST(MaskStore, FeatherZeroKeepsOnePixelSoftEdge) {
    MaskStore s(100, 100);
    s.stamp({50.5, 50.5}, 24.0, 0.0);
    EXPECT_EQ(at(s, 50 + 23, 50), 255);
    MaskStore a(100, 100);
    a.stamp({50.7, 50.5}, 24.0, 0.0); // pixel 27 at 23.2
    EXPECT_EQ(at(a, 27, 50), 228);
    MaskStore b(100, 100);
    b.stamp({51.0, 50.5}, 24.0, 0.0); // pixel 27 at 23.5
    EXPECT_EQ(at(b, 27, 50), 127);

    MaskStore tiny(10, 10);
    tiny.stamp({4.5, 4.5}, 0.5, 0.35);
    EXPECT_EQ(at(tiny, 4, 4), 127);
    EXPECT_EQ(at(tiny, 5, 4), 0);
}

TEST(MaskStore, StampsOnlyRaiseAndClipToTheImage) {
    MaskStore s(40, 30);
    EXPECT_TRUE(s.stamp({-25.0, 10.0}, 24.0, 0.35).isEmpty());
    EXPECT_TRUE(s.stamp({40.0 + 24.0, 10.0}, 24.0, 0.35).isEmpty());
    EXPECT_TRUE(s.stamp({qQNaN(), 10.0}, 24.0, 0.35).isEmpty());
    EXPECT_TRUE(s.stamp({1e30, -1e30}, 5.0, 0.35).isEmpty()); // no integer overflow
    EXPECT_FALSE(s.hasPaint());
    EXPECT_TRUE(allZero(s));

    // Touches column 0 but covers no pixel centre: painted in name only.
    MaskStore miss(40, 30);
    EXPECT_EQ(miss.stamp({-24.0, 10.0}, 24.0, 0.35), QRect(0, 0, 1, 30));
    EXPECT_TRUE(miss.hasPaint());
    EXPECT_TRUE(allZero(miss));

    MaskStore corner(40, 30);
    EXPECT_EQ(corner.stamp({39.0, 29.0}, 8.0, 0.35), QRect(31, 21, 9, 9));
    EXPECT_EQ(at(corner, 39, 29), 255); // the clipped box's last column and row are painted
    const MaskTiles once = corner.tiles();
    corner.stamp({39.0, 29.0}, 8.0, 0.35);
    EXPECT_EQ(corner.tiles(), once);
    corner.stamp({39.0, 29.0}, 8.0, 1.0); // weaker
    EXPECT_EQ(corner.tiles(), once);
}

TEST(MaskStore, SnapshotsShareTheTilesAStrokeLeavesAlone) {
    MaskStore s(200, 150); // 4 x 3 tiles, the last column and row cut short
    s.stamp({10.0, 10.0}, 5.0, 0.35);
    const MaskTiles snapshot = s.tiles();
    const std::vector<uint8_t> before(s.bytes().begin(), s.bytes().end());
    s.stamp({10.0, 10.0}, 5.0, 0.35); // nothing rises: still shared
    EXPECT_TRUE(snapshot.sharesTilesWith(s.tiles()));

    const uint64_t seen = s.revision();
    s.stamp({160.0, 100.0}, 5.0, 0.35); // within tile 6 (column 2, row 1) only
    EXPECT_EQ(s.changedTiles(seen), std::vector<size_t>{6});
    for (size_t i = 0; i < snapshot.tileCount(); ++i)
        EXPECT_EQ(snapshot.sharesTile(s.tiles(), i), i != 6) << "tile " << i;
    EXPECT_EQ(snapshot.toBytes(), before);

    // An undo rewrites that one tile.
    EXPECT_EQ(s.set(snapshot), 1u);
    EXPECT_TRUE(s.tiles().sharesTilesWith(snapshot));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), s.bytes().begin()));
    EXPECT_EQ(s.changedTiles(seen), std::vector<size_t>{6});
    // A new store is news to a view that saw an older one.
    EXPECT_EQ(MaskStore(200, 150).changedTiles(s.revision()).size(), 12u);
}

TEST(MaskTiles, KeepOddSizesAndCompareByBytes) {
    std::vector<uint8_t> bytes(130 * 70, 0); // edge tiles 2 columns wide and 6 rows high
    for (size_t i = 0; i < bytes.size(); i += 7)
        bytes[i] = static_cast<uint8_t>(i % 255 + 1);
    const MaskTiles t(130, 70, bytes);
    EXPECT_EQ(t.toBytes(), bytes);
    EXPECT_TRUE(t.anyPainted());

    MaskTiles a(130, 70);
    MaskTiles b = a;
    b.writableTile(5); // written but still all zeros: equal, no longer shared
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a.sharesTilesWith(b) || b.anyPainted());
    b.writableTile(5)[1 * 64 + 1] = 1; // pixel (129, 65)
    EXPECT_NE(a, b);
    EXPECT_EQ(b.toBytes()[65 * 130 + 129], 1);
}

// Clearing and undoing to an empty mask are checked through the model by the random
// sequences; a faint byte still counts as paint.
TEST(MaskStore, SetWithFaintPaintCountsAsPainted) {
    MaskStore s(30, 20);
    std::vector<uint8_t> one(30 * 20, 0);
    one[123] = 1;
    s.set(MaskTiles(30, 20, one));
    EXPECT_TRUE(s.hasPaint());
}

} // namespace
