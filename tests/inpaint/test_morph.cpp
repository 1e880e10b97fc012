#include "morph.h"
#include "reference.h"

#include <gtest/gtest.h>

namespace {

// Erosion written the plain way: a pixel survives a step when its whole 3 x 3 block is set.
bool erodesToSomething(std::vector<uint8_t> m, int64_t w, int64_t h, int64_t steps) {
    for (int64_t s = 0; s < steps; ++s) {
        std::vector<uint8_t> next(w * h, 0);
        bool any = false;
        for (int64_t y = 1; y + 1 < h; ++y)
            for (int64_t x = 1; x + 1 < w; ++x) {
                bool all = true;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        all = all && m[(y + dy) * w + x + dx];
                next[y * w + x] = all;
                any = any || all;
            }
        if (!any)
            return false;
        m = next;
    }
    return true;
}

using Reference::rect;

TEST(MorphErosion, ElevenSquareIsThickAnywhereTenIsNot) {
    EXPECT_TRUE(Morph::survivesErosion(rect(30, 20, 5, 5, 11, 11), 30, 20, 5));
    EXPECT_TRUE(Morph::survivesErosion(rect(11, 11, 0, 0, 11, 11), 11, 11, 5));
    EXPECT_TRUE(Morph::survivesErosion(rect(30, 20, 19, 9, 11, 11), 30, 20, 5));
    EXPECT_FALSE(Morph::survivesErosion(rect(300, 20, 0, 5, 300, 10), 300, 20, 5));
    EXPECT_FALSE(Morph::survivesErosion(rect(20, 300, 5, 0, 10, 300), 20, 300, 5));
}

// Arrays down to one pixel thin, empty masks, and zero steps, which anything survives.
TEST(MorphErosion, MatchesPlainErosionOnRandomMasks) {
    for (uint32_t seed = 0; seed < 60; ++seed) {
        const int64_t w = 1 + seed % 19, h = 1 + (seed * 7) % 21;
        const auto m = Reference::randomMask(w * h, seed, seed % 10 ? 0.85 : 0.0);
        for (int64_t steps : {0, 1, 2, 3})
            ASSERT_EQ(Morph::survivesErosion(m, w, h, steps), erodesToSomething(m, w, h, steps))
                << "seed " << seed << " steps " << steps;
    }
}

TEST(MorphDilate, MatchesChebyshevDistanceOnRandomMasks) {
    for (uint32_t seed = 0; seed < 40; ++seed) {
        const int64_t w = 1 + seed % 23, h = 1 + (seed * 5) % 13, r = seed % 5;
        const auto m = Reference::randomMask(w * h, seed, 0.05);
        const auto d = Morph::dilate(m, w, h, r);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) {
                uint8_t expected = 0;
                for (int64_t v = std::max<int64_t>(0, y - r); v <= std::min(h - 1, y + r); ++v)
                    for (int64_t u = std::max<int64_t>(0, x - r); u <= std::min(w - 1, x + r); ++u)
                        expected |= m[v * w + u] != 0;
                ASSERT_EQ(d[y * w + x], expected) << "seed " << seed << " at " << x << "," << y;
            }
    }
}

TEST(MorphDilate, RowRangesPieceTogetherTheWholeDilation) {
    for (uint32_t seed = 0; seed < 30; ++seed) {
        const int64_t w = 1 + seed % 17, h = 1 + (seed * 7) % 29, r = seed % 4;
        const auto m = Reference::randomMask(w * h, seed + 100, 0.05);
        const auto whole = Morph::dilate(m, w, h, r);
        for (int64_t y0 = 0; y0 <= h; y0 += 1 + int64_t(seed % 5))
            for (int64_t y1 : {y0, std::min(h, y0 + 1), std::min(h, y0 + 4), h}) {
                std::vector<uint8_t> part((y1 - y0) * w, 9);
                Morph::dilateRows(m, w, h, r, y0, y1, part);
                ASSERT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + y0 * w))
                    << "seed " << seed << " rows " << y0 << ".." << y1;
            }
    }
}

} // namespace
