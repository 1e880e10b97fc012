#include "inpainter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

// A grainy picture: a smooth colour ramp under strong pixel-scale noise, like grass or
// gravel seen from afar.
PixelImage grain(int64_t w, int64_t h, uint32_t seed) {
    std::vector<uint8_t> bytes(w * h * 4);
    std::mt19937 rng(seed);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            uint8_t* p = bytes.data() + (y * w + x) * 4;
            const int noise = int(rng() % 81) - 40;
            p[0] = uint8_t(std::clamp(60 + int(x / 4) + noise, 0, 255));
            p[1] = uint8_t(std::clamp(140 + noise, 0, 255));
            p[2] = uint8_t(std::clamp(40 + int(y / 4) + noise / 2, 0, 255));
            p[3] = uint8_t(rng() % 256); // carries no alpha: must survive untouched
        }
    return PixelImage(w, h, std::move(bytes));
}

std::vector<uint8_t> disc(int64_t w, int64_t h, int64_t cx, int64_t cy, int64_t r) {
    std::vector<uint8_t> m(w * h, 0);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                m[y * w + x] = 255;
    return m;
}

// Mean absolute brightness difference between horizontal and vertical neighbours, over
// the pixels of the box [x0, x1) x [y0, y1).
double gradientEnergy(const PixelImage& img, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    const int64_t w = img.width();
    auto lum = [&](int64_t x, int64_t y) {
        const uint8_t* p = img.bytes().data() + (y * w + x) * 4;
        return (p[0] + p[1] + p[2]) / 3.0;
    };
    double sum = 0;
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x)
            sum += std::abs(lum(x + 1, y) - lum(x, y)) + std::abs(lum(x, y + 1) - lum(x, y));
    return sum / double((x1 - x0) * (y1 - y0));
}

TEST(TextureFill, OddSizesAndNearlyFullHoles) {
    struct Shape {
        int64_t w, h, x0, y0, x1, y1; // the hole [x0, x1) x [y0, y1)
    };
    for (const Shape& s :
         {Shape{12, 12, 0, 0, 12, 12}, Shape{15, 60, 1, 2, 14, 58}, Shape{41, 41, 3, 3, 38, 38},
          Shape{301, 16, 5, 2, 295, 14}, Shape{90, 70, 0, 0, 89, 70}}) {
        const PixelImage img = grain(s.w, s.h, uint32_t(s.w * s.h));
        std::vector<uint8_t> mask(s.w * s.h, 0);
        for (int64_t y = s.y0; y < s.y1; ++y)
            for (int64_t x = s.x0; x < s.x1; ++x)
                mask[y * s.w + x] = 255;
        mask[0] = 0; // at least one known pixel
        std::vector<double> progress;
        const PixelImage out = Inpainter::run(
            img, mask, [&](double p) { progress.push_back(p); }, 2, Inpainter::Method::Texture);
        ASSERT_FALSE(progress.empty()) << s.w << "x" << s.h;
        EXPECT_EQ(progress.back(), 1.0);
        for (int64_t i = 0; i < s.w * s.h; ++i)
            ASSERT_TRUE(mask[i] ||
                        !std::memcmp(img.bytes().data() + i * 4, out.bytes().data() + i * 4, 4))
                << "pixel " << i;
    }
}

TEST(TextureFill, KeepsTheGrainThatTheStandardFillSmoothsAway) {
    const PixelImage img = grain(240, 240, 5);
    const auto mask = disc(240, 240, 120, 120, 50);
    const PixelImage standard = Inpainter::run(img, mask, {}, 2);
    const PixelImage kept = Inpainter::run(img, mask, {}, 2, Inpainter::Method::Texture);
    // The core of the hole, well inside it.
    const double truth = gradientEnergy(img, 90, 90, 150, 150);
    const double flat = gradientEnergy(standard, 90, 90, 150, 150);
    const double grainy = gradientEnergy(kept, 90, 90, 150, 150);
    EXPECT_LT(flat, 0.6 * truth) << "the picture no longer tells the fills apart";
    EXPECT_GT(grainy, 0.8 * truth);
    EXPECT_LT(grainy, 1.2 * truth);
}

} // namespace
