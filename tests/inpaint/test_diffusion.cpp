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

TEST(PushPull, WithoutHoleReturnsInputAndAllHoleGivesZeros) {
    const auto rgb = Reference::randomColours(7 * 5, 1);
    expectSameBits(Diffusion::pushPull(rgb, std::vector<uint8_t>(35, 0), 7, 5), rgb);
    expectSameBits(Diffusion::pushPull(rgb, std::vector<uint8_t>(35, 1), 7, 5),
                   std::vector<float>(105, 0.0f));
}

TEST(PushPull, OnePixel) {
    const std::vector<float> px{10, 20, 30};
    expectSameBits(Diffusion::pushPull(px, std::vector<uint8_t>{0}, 1, 1), px);
    expectSameBits(Diffusion::pushPull(px, std::vector<uint8_t>{9}, 1, 1), {0, 0, 0});
}

TEST(PushPull, ConstantImageFillsToTheConstant) {
    std::vector<float> rgb(40 * 30 * 3, 100.0f);
    std::vector<uint8_t> hole(40 * 30, 0);
    for (int y = 5; y < 25; ++y)
        for (int x = 3; x < 37; ++x)
            hole[y * 40 + x] = 1, rgb[(y * 40 + x) * 3] = 7.0f;
    const auto out = Diffusion::pushPull(rgb, hole, 40, 30);
    for (float v : out)
        ASSERT_EQ(v, 100.0f);
}

TEST(PushPull, MatchesPlainDefinitionOnOddSizes) {
    const std::pair<int64_t, int64_t> sizes[] = {{5, 3}, {1, 9}, {13, 1}, {41, 41}, {64, 17}};
    uint32_t seed = 10;
    for (auto [w, h] : sizes) {
        for (double density : {0.1, 0.6, 0.97}) {
            const auto rgb = Reference::randomColours(w * h, ++seed);
            const auto hole = Reference::randomMask(w * h, ++seed, density);
            SCOPED_TRACE(testing::Message() << w << "x" << h << " density " << density);
            expectSameBits(Diffusion::pushPull(rgb, hole, w, h),
                           Reference::pushPull(rgb, hole, w, h));
        }
    }
}

TEST(Relax, NonPositiveIterationsChangeNothing) {
    const auto rgb = Reference::randomColours(6 * 4, 3);
    const auto hole = Reference::randomMask(24, 4, 0.5);
    for (int64_t it : {0, -3}) {
        auto copy = rgb;
        Diffusion::relax(copy, hole, 6, 4, it);
        expectSameBits(copy, rgb);
    }
}

TEST(Relax, MatchesPlainDefinitionIncludingEdges) {
    const std::pair<int64_t, int64_t> sizes[] = {{1, 1}, {1, 7}, {9, 1}, {5, 3}, {37, 23}};
    uint32_t seed = 50;
    for (auto [w, h] : sizes) {
        for (double density : {0.2, 0.8, 1.0}) {
            const auto rgb = Reference::randomColours(w * h, ++seed);
            const auto hole = Reference::randomMask(w * h, ++seed, density);
            auto got = rgb;
            Diffusion::relax(got, hole, w, h, 17);
            SCOPED_TRACE(testing::Message() << w << "x" << h << " density " << density);
            expectSameBits(got, Reference::relax(rgb, hole, w, h, 17));
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
