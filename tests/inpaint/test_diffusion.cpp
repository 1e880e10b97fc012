#include "diffusion.h"
#include "reference.h"

#include <gtest/gtest.h>

namespace {

void expectSameBits(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(want[i]))
            << "first difference at value " << i << ": " << got[i] << " vs " << want[i];
}

// Sizes down to one pixel, odd ones, and densities from no hole to all hole.
TEST(PushPull, MatchesPlainDefinitionOnOddSizes) {
    const std::pair<int64_t, int64_t> sizes[] = {{1, 1},  {5, 3},   {1, 9},
                                                 {13, 1}, {41, 41}, {64, 17}};
    uint32_t seed = 10;
    for (auto [w, h] : sizes) {
        for (double density : {0.0, 0.1, 0.6, 0.97, 1.0}) {
            const auto rgb = Reference::randomColours(w * h, ++seed);
            const auto hole = Reference::randomMask(w * h, ++seed, density);
            SCOPED_TRACE(testing::Message() << w << "x" << h << " density " << density);
            const std::vector<float> want = Reference::pushPull(rgb, hole, w, h);
            expectSameBits(Diffusion::pushPull(rgb, hole, w, h), want);
            // One value a pixel: each channel alone, at the hole pixels only.
            for (int c = 0; c < 3; ++c) {
                std::vector<float> channel(w * h), holeValues;
                for (int64_t i = 0; i < w * h; ++i) {
                    channel[i] = rgb[i * 3 + c];
                    if (hole[i])
                        holeValues.push_back(want[i * 3 + c]);
                }
                expectSameBits(Diffusion::pushPullHoleValues(channel, hole, w, h), holeValues);
            }
        }
    }
}

TEST(Relax, MatchesPlainDefinitionIncludingEdges) {
    const std::pair<int64_t, int64_t> sizes[] = {{1, 1}, {1, 7}, {9, 1}, {5, 3}, {37, 23}};
    uint32_t seed = 50;
    for (auto [w, h] : sizes) {
        for (double density : {0.2, 0.8, 1.0}) {
            const auto rgb = Reference::randomColours(w * h, ++seed);
            const auto hole = Reference::randomMask(w * h, ++seed, density);
            for (int64_t iterations : {17, 0, -3}) {
                auto got = rgb;
                Diffusion::relax(got, hole, w, h, iterations);
                SCOPED_TRACE(testing::Message() << w << "x" << h << " density " << density
                                                << " iterations " << iterations);
                expectSameBits(got, Reference::relax(rgb, hole, w, h, iterations));
            }
        }
    }
}

TEST(Relax, ThinStrokeOnGradientStaysCloseToGradient) {
    const int64_t w = 60, h = 30;
    std::vector<float> rgb(w * h * 3);
    std::vector<uint8_t> hole(w * h, 0);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(y * w + x) * 3 + c] = float(x * 4);
    for (int64_t y = 13; y < 17; ++y)
        for (int64_t x = 5; x < 55; ++x)
            hole[y * w + x] = 1, rgb[(y * w + x) * 3] = 255.0f;
    auto out = Diffusion::pushPull(rgb, hole, w, h);
    Diffusion::relax(out, hole, w, h, 80);
    for (int64_t y = 13; y < 17; ++y)
        for (int64_t x = 5; x < 55; ++x)
            EXPECT_NEAR(out[(y * w + x) * 3], float(x * 4), 2.0f) << x << "," << y;
}

} // namespace
