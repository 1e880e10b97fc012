#include "patchfill.h"
#include "reference.h"
#include "workergang.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using Reference::level;

std::vector<double> fractions(const PatchFill::Level& l) {
    std::vector<double> seen;
    PatchFill::fill(
        l.rgb, l.hole, l.w, l.h, [&](double f) { seen.push_back(f); }, 1);
    return seen;
}

TEST(PatchFillPyramid, HoleExtentIsTheLongerSideOfItsBox) {
    EXPECT_EQ(PatchFill::holeExtent(level(50, 40, 0, 0, 0, 0)), 0);
    EXPECT_EQ(PatchFill::holeExtent(level(50, 40, 10, 3, 7, 30)), 30);
    EXPECT_EQ(PatchFill::holeExtent(level(50, 40, 49, 39, 1, 1)), 1);
}

TEST(PatchFillPyramid, DownsampleAveragesKnownChildrenOnly) {
    PatchFill::Level l = level(41, 41, 0, 0, 0, 0);
    l.hole[0] = 1; // (0,0) hole: coarse (0,0) averages the other three
    l.hole[2] = l.hole[3] = l.hole[41 + 2] = l.hole[41 + 3] = 1; // coarse (1,0) all hole
    const PatchFill::Level d = PatchFill::downsample(l);
    ASSERT_EQ(d.w, 21);
    ASSERT_EQ(d.h, 21);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(d.rgb[c], (l.rgb[3 + c] + l.rgb[41 * 3 + c] + l.rgb[42 * 3 + c]) / 3.0f);
    EXPECT_EQ(d.hole[0], 0);
    EXPECT_EQ(d.hole[1], 1);
    EXPECT_EQ(d.rgb[3], 0.0f);
    // Last column: two children; corner: one.
    EXPECT_EQ(d.rgb[(0 * 21 + 20) * 3], (l.rgb[40 * 3] + l.rgb[(41 + 40) * 3]) / 2.0f);
    EXPECT_EQ(d.rgb[(20 * 21 + 20) * 3], l.rgb[(40 * 41 + 40) * 3]);
}

TEST(PatchFillPyramid, LargeLevelsHalveTheSameOnTwoProcessors) {
    // 515 x 259 pixels out: large enough for two threads to share the rows.
    const PatchFill::Level l = level(1029, 517, 300, 100, 400, 250);
    const PatchFill::Level one = PatchFill::downsample(l, 1), two = PatchFill::downsample(l, 2);
    ASSERT_GE(two.w * two.h, kSplitLoopPixels);
    EXPECT_EQ(one.rgb, two.rgb);
    EXPECT_EQ(one.hole, two.hole);
}

TEST(InTwoHalves, EveryRowOnceWhetherSplitOrNot) {
    for (int64_t rows : {0, 1, 2, 3, 1001})
        for (bool split : {false, true}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(rows));
            inTwoHalves(rows, split, [&](int64_t first, int64_t end) {
                for (int64_t y = first; y < end; ++y)
                    ++seen[static_cast<size_t>(y)];
            });
            for (int64_t y = 0; y < rows; ++y)
                ASSERT_EQ(seen[static_cast<size_t>(y)], 1) << rows << " rows, row " << y;
        }
}

// The pyramid's depth shows in the number of steps reported, k / T after each of T.
TEST(PatchFillProgress, PyramidStopsAtSmallHolesNarrowLevelsOrSevenLevels) {
    auto twoSquares = level(2600, 2600, 64, 64, 128, 128); // both survive six halvings
    for (int64_t y = 2368; y < 2496; ++y)
        for (int64_t x = 2368; x < 2496; ++x)
            twoSquares.hole[y * 2600 + x] = 1;
    const std::pair<PatchFill::Level, size_t> cases[] = {
        {level(100, 100, 40, 40, 12, 12), 4},  // one level: the hole is under 13
        {level(39, 200, 10, 50, 15, 100), 4},  // one level: narrower than 40
        {level(200, 200, 90, 90, 20, 20), 10}, // two: the half-size hole is under 13
        {level(60, 60, 15, 15, 30, 30), 10},   // two: the half-size level is under 40
        {std::move(twoSquares), 35},           // seven at most
    };
    for (const auto& [l, steps] : cases) {
        const auto f = fractions(l);
        ASSERT_EQ(f.size(), steps) << l.w << "x" << l.h;
        for (size_t k = 0; k < f.size(); ++k)
            EXPECT_EQ(f[k], double(k + 1) / double(steps));
    }
}

TEST(PatchFillResult, HoleTakesTheSurroundingTexture) {
    // Vertical stripes, 4 px dark and 4 px light: the fill should continue them.
    const int64_t w = 160, h = 120;
    PatchFill::Level l{w, h, std::vector<float>(w * h * 3), std::vector<uint8_t>(w * h, 0)};
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c)
                l.rgb[(y * w + x) * 3 + c] = (x / 4) % 2 ? 220.0f : 30.0f;
            if (x >= 60 && x < 100 && y >= 40 && y < 80)
                l.hole[y * w + x] = 1;
        }
    const auto out = PatchFill::fill(l.rgb, l.hole, w, h, {}, 2);
    int64_t close = 0, total = 0;
    for (int64_t y = 40; y < 80; ++y)
        for (int64_t x = 60; x < 100; ++x, ++total)
            close += std::abs(out[(y * w + x) * 3] - ((x / 4) % 2 ? 220.0f : 30.0f)) < 40.0f;
    EXPECT_GT(close, total * 8 / 10) << "stripes continued in " << close << " of " << total;
}

} // namespace
