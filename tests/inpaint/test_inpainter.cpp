#include "grainblend.h"
#include "inpainter.h"
#include "largepages.h"
#include "reference.h"
#include "simd.h"
#include "workergang.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using Reference::rect;

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

struct Erased {
    PixelImage image;
    std::vector<double> progress;
};

Erased erase(const PixelImage& in, const std::vector<uint8_t>& mask, int cpus = 2,
             Inpainter::Method method = Inpainter::Method::Standard) {
    Erased r;
    r.image = Inpainter::run(
        in, mask, [&](double p) { r.progress.push_back(p); }, cpus, method);
    return r;
}

// Unpainted pixels and every fourth byte come back exactly; returns painted pixels changed.
int64_t checkUntouched(const PixelImage& in, const PixelImage& out,
                       const std::vector<uint8_t>& mask) {
    EXPECT_EQ(out.width(), in.width());
    EXPECT_EQ(out.height(), in.height());
    int64_t changed = 0;
    for (int64_t i = 0; i < in.width() * in.height(); ++i) {
        const uint8_t* a = in.bytes().data() + i * 4;
        const uint8_t* b = out.bytes().data() + i * 4;
        EXPECT_EQ(a[3], b[3]) << "fourth byte of pixel " << i;
        if (!mask[i]) {
            for (int c = 0; c < 3; ++c)
                if (a[c] != b[c]) {
                    ADD_FAILURE() << "unpainted pixel " << i << " changed";
                    return changed;
                }
        } else {
            changed += a[0] != b[0] || a[1] != b[1] || a[2] != b[2];
        }
    }
    return changed;
}

TEST(InpainterPlan, ThickOrThinAndMargins) {
    const int64_t W = 2000, H = 1200;
    auto p = Inpainter::plan(rect(W, H, 500, 500, 10, 400), W, H);
    EXPECT_FALSE(p.thick) << "a 10-pixel bar is thin";
    EXPECT_EQ(p.x0, 476);
    EXPECT_EQ(p.x1, 534);
    p = Inpainter::plan(rect(W, H, 500, 500, 11, 11), W, H);
    EXPECT_TRUE(p.thick);
    EXPECT_EQ(p.x0, 500 - 32);
    EXPECT_EQ(Inpainter::marginFor(100, 40, true), 75);
    EXPECT_EQ(Inpainter::marginFor(533, 20, true), 399);
    EXPECT_EQ(Inpainter::marginFor(534, 20, true), 400);
    EXPECT_EQ(Inpainter::marginFor(3000, 20, true), 400);
    EXPECT_EQ(Inpainter::marginFor(3000, 20, false), 24);
    p = Inpainter::plan(rect(W, H, 0, 1100, 50, 100), W, H);
    EXPECT_EQ(p.x0, 0) << "clipped at the border";
    EXPECT_EQ(p.y1, H);
    EXPECT_EQ(p.y0, 1100 - 75);
}

TEST(InpainterDegenerate, NothingToDoReturnsTheImageWithoutProgress) {
    const PixelImage img = grain(40, 30, 1);
    for (const auto& mask : {std::vector<uint8_t>(40 * 30, 0), std::vector<uint8_t>(40 * 30, 9)}) {
        const Erased r = erase(img, mask);
        EXPECT_EQ(r.image, img);
        EXPECT_TRUE(r.progress.empty());
    }
    const Erased one = erase(grain(1, 1, 1), {255});
    EXPECT_EQ(one.image, grain(1, 1, 1));
    EXPECT_TRUE(one.progress.empty());
    const Erased none = erase(PixelImage(0, 0), {});
    EXPECT_TRUE(none.image.isEmpty());
}

// Thin strokes and thick holes, inside, on the border and in the corners, odd and tiny
// pictures, and holes that leave one pixel known, by either fill: only painted pixels change, the
// fourth byte never does, and progress rises from 0.02 to exactly 1.
TEST(InpainterResult, OnlyPaintedPixelsChangeAndProgressRisesToOne) {
    struct Case {
        int64_t w, h, x0, y0, rw, rh, changed;
    };
    const Case cases[] = {
        {300, 200, 20, 100, 250, 6, 1000},
        {260, 220, 100, 80, 40, 40, 1000},
        {180, 140, 0, 0, 30, 30, 100},
        {180, 140, 150, 110, 30, 30, 100},
        {180, 140, 0, 40, 180, 20, 100},
        {180, 140, 60, 0, 5, 140, 100},
        {1, 7, 0, 3, 1, 1, 0},
        {7, 1, 3, 0, 1, 1, 0},
        {3, 3, 1, 1, 1, 1, 0},
        {17, 9, 8, 4, 1, 1, 0},
        {301, 13, 150, 6, 1, 1, 0},
        // Nearly full holes: the first pixel stays known.
        {12, 12, 0, 0, 12, 12, 0},
        {15, 60, 1, 2, 13, 56, 0},
        {41, 41, 3, 3, 35, 35, 0},
        {301, 16, 5, 2, 290, 12, 0},
        {90, 70, 0, 0, 89, 70, 0},
    };
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " hole at " << c.x0 << ","
                                            << c.y0 << " method " << int(method));
            const PixelImage img = grain(c.w, c.h, uint32_t(c.w * c.h));
            auto mask = rect(c.w, c.h, c.x0, c.y0, c.rw, c.rh);
            mask[0] = 0;
            const Erased r = erase(img, mask, 2, method);
            EXPECT_GE(checkUntouched(img, r.image, mask), c.changed);
            ASSERT_FALSE(r.progress.empty());
            EXPECT_EQ(r.progress.front(), 0.02);
            EXPECT_EQ(r.progress.back(), 1.0);
            EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
        }
}

TEST(InpainterResult, LargeThinCropGivesTheSameBytesOnOneOrTwoProcessors) {
    // A diagonal stroke across most of the photo: a crop of over 300 000 pixels, which
    // two processors convert in halves, and a fill that does not depend on the count.
    const PixelImage img = grain(700, 500, 11);
    std::vector<uint8_t> mask(700 * 500, 0);
    for (int64_t x = 10; x < 690; ++x)
        for (int64_t t = 0; t < 3; ++t)
            mask[(10 + (x - 10) * 480 / 680 + t) * 700 + x] = 200;
    const Erased one = erase(img, mask, 1), two = erase(img, mask, 2);
    EXPECT_EQ(one.image, two.image);
    EXPECT_GT(checkUntouched(img, two.image, mask), 1500);
}

// The same bytes again, and with the baseline distance kernels where AVX2 ones run.
// Preserve Texture gives the same bytes on any number of processors where the texture fill
// runs.
TEST(InpainterResult, SameInputsAndProcessorsGiveSameBytesWithEitherKernel) {
    const PixelImage img = grain(333, 251, 7);
    auto mask = rect(333, 251, 120, 90, 70, 50);
    const bool wide = Simd::useWideKernels(true);
    std::vector<PixelImage> texture;
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        for (int cpus : {1, 2, 4}) {
            const PixelImage first = Inpainter::run(img, mask, {}, cpus, method);
            EXPECT_EQ(Inpainter::run(img, mask, {}, cpus, method), first)
                << cpus << " processors, method " << int(method);
            if (method == Inpainter::Method::Texture)
                texture.push_back(first);
            if (!wide)
                continue;
            Simd::useWideKernels(false);
            EXPECT_EQ(Inpainter::run(img, mask, {}, cpus, method), first)
                << "baseline kernels, " << cpus << " processors, method " << int(method);
            Simd::useWideKernels(true);
        }
    EXPECT_EQ(texture[1], texture[0]);
    EXPECT_EQ(texture[2], texture[0]);
}

// Where no thread can be started, both fills run on the calling thread alone and give what
// one processor gives, whatever count was asked for; a fill out of memory throws
// std::bad_alloc for its caller to report. The input's bytes, shared with a copy as an
// undo entry shares them, are never written.
TEST(InpainterResult, FailuresToStartThreadsOrAllocateAreSurvived) {
    const PixelImage img = grain(640, 480, 5);
    const PixelImage shared = img;
    auto mask = rect(640, 480, 200, 150, 240, 180);
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture}) {
        const PixelImage one = Inpainter::run(img, mask, {}, 1, method);
        limitThreadStarts(0);
        const PixelImage four = Inpainter::run(img, mask, {}, 4, method);
        limitThreadStarts(-1);
        EXPECT_EQ(four, one);
        EXPECT_NE(one, img);
    }
    LargePages::simulateExhaustion(true);
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        EXPECT_THROW(Inpainter::run(img, mask, {}, 2, method), std::bad_alloc);
    LargePages::simulateExhaustion(false);
    EXPECT_EQ(shared, grain(640, 480, 5));
    EXPECT_TRUE(shared.sharesBytesWith(img));
}

// A caller abandons an erase by throwing from its progress callback. The exception comes out
// of the erase, from within a fill or, for Preserve Texture on two processors, while its
// thread helps the standard fill finish; the callback is not called again.
TEST(InpainterResult, AProgressCallbackThatThrowsAbandonsTheErase) {
    const PixelImage img = grain(640, 480, 5);
    const auto mask = rect(640, 480, 200, 150, 240, 180);
    struct Abandon {};
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        for (double at : {0.3, 0.9}) {
            int late = 0;
            bool thrown = false;
            const auto progress = [&](double value) {
                late += thrown;
                if (value >= at) {
                    thrown = true;
                    throw Abandon{};
                }
            };
            EXPECT_THROW(Inpainter::run(img, mask, progress, 2, method), Abandon);
            EXPECT_EQ(late, 0);
        }
}

TEST(InpainterResult, StrengthBlendsBetweenPixelAndFill) {
    const PixelImage img = grain(120, 90, 5);
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        for (auto [x0, y0, rw, rh] : {std::array<int64_t, 4>{30, 40, 60, 5}, {30, 20, 50, 40}}) {
            auto run = [&](uint8_t strength) {
                return Inpainter::run(img, rect(120, 90, x0, y0, rw, rh, strength), {}, 2, method);
            };
            const PixelImage full = run(255), at64 = run(64);
            EXPECT_EQ(run(128), full) << "128 and above replace the pixel";
            for (int64_t y = y0; y < y0 + rh; ++y)
                for (int64_t x = x0; x < x0 + rw; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const int64_t i = (y * 120 + x) * 4 + c;
                        const float own = img.bytes()[i], fill = full.bytes()[i];
                        // The full-strength byte is the rounded fill, so allow that rounding;
                        // a fill clipped to 0 or 255 no longer tells where the fill was.
                        if (fill == 0 || fill == 255)
                            continue;
                        ASSERT_NEAR(at64.bytes()[i], own + 0.5f * (fill - own), 1.0f);
                    }
        }
}

TEST(InpainterResult, ConstantImageFillsToTheConstant) {
    std::vector<uint8_t> bytes(200 * 150 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 4 == 3 ? 255 : uint8_t(90 + i % 4 * 30);
    const PixelImage img(200, 150, bytes);
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture})
        for (auto mask : {rect(200, 150, 50, 50, 80, 60), rect(200, 150, 10, 70, 180, 3)})
            EXPECT_EQ(Inpainter::run(img, mask, {}, 2, method), img);
}

// A hole plain all round (a gentle gradient: no grain anywhere) takes the standard fill
// itself, with its bytes on each processor count, though on two the texture fill starts
// before the grain is known; progress still only rises, to 1.
TEST(TextureFill, AHolePlainAllRoundTakesTheStandardFill) {
    constexpr int64_t w = 240, h = 180;
    std::vector<uint8_t> bytes(w * h * 4);
    for (int64_t i = 0; i < w * h; ++i) {
        const auto v = uint8_t(60 + (i % w) / 10 + (i / w) / 12);
        bytes[i * 4] = v, bytes[i * 4 + 1] = uint8_t(v + 20), bytes[i * 4 + 2] = 200;
        bytes[i * 4 + 3] = 255;
    }
    const PixelImage img(w, h, std::move(bytes));
    const auto mask = rect(w, h, 80, 60, 70, 50);
    for (int cpus : {1, 2}) {
        std::vector<double> seen;
        const PixelImage plain = Inpainter::run(
            img, mask, [&](double f) { seen.push_back(f); }, cpus, Inpainter::Method::Texture);
        EXPECT_EQ(plain, Inpainter::run(img, mask, {}, cpus)) << cpus << " processors";
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), 1.0);
    }
}

TEST(TextureFill, KeepsTheGrainThatTheStandardFillSmoothsAway) {
    const PixelImage img = grain(240, 240, 5);
    const auto mask = rect(240, 240, 70, 70, 100, 100);
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

// Plain ground with a lone object beside the hole (a rocket beside its launch tower, a
// post in fog): the texture fill has no grain to continue there, and must not copy the
// object in. It gives the standard fill with at most the sky's faint grain on it; a copied
// band of the rocket would stand 100 levels off.
TEST(TextureFill, PlainGroundWithAnObjectBesideTheHoleFillsPlain) {
    constexpr int64_t w = 200, h = 160;
    std::vector<uint8_t> bytes(w * h * 4);
    std::mt19937 rng(3);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            uint8_t* p = &bytes[size_t((y * w + x) * 4)];
            const int v = 90 + int(y / 3) + (rng() % 8 == 0); // an evening sky, faintly noisy
            p[0] = uint8_t(v + 40), p[1] = uint8_t(v), p[2] = uint8_t(v - 30), p[3] = 255;
        }
    for (int64_t y = 30; y < 130; ++y) // the rocket: light, with dark bands
        for (int64_t x = 122; x < 134; ++x)
            for (int c = 0; c < 3; ++c)
                bytes[size_t((y * w + x) * 4 + c)] = uint8_t(y % 20 < 4 ? 30 : 245);
    const PixelImage img(w, h, std::move(bytes));
    const auto mask = rect(w, h, 84, 20, 14, 120); // the tower, 24 pixels to its left
    const PixelImage standard = Inpainter::run(img, mask, {}, 2);
    const PixelImage plain = Inpainter::run(img, mask, {}, 2, Inpainter::Method::Texture);
    int most = 0;
    for (size_t i = 0; i < plain.bytes().size(); ++i)
        most = std::max(most, std::abs(int(plain.bytes()[i]) - int(standard.bytes()[i])));
    EXPECT_LE(most, 2) << "the standard fill with at most the sky's own grain on it";
}

// A wrong shape (a bright blob across the hole) is pulled back to within the limit of the
// standard fill; the grain on it, which the blur does not see, and the known pixels stay.
TEST(TextureFill, LowPassLimitTakesOffWrongShapesButKeepsTheGrain) {
    constexpr int64_t w = 80, h = 60;
    std::vector<uint8_t> hole(w * h, 0);
    const std::vector<float> smooth(w * h * 3, 100.0f);
    std::vector<float> blob = smooth, faint = smooth;
    auto grain = [](int64_t x, int64_t y) { return (x + y) % 2 ? 30.0f : -30.0f; };
    for (int64_t y = 10; y < 50; ++y)
        for (int64_t x = 20; x < 60; ++x) {
            hole[y * w + x] = 1;
            for (int c = 0; c < 3; ++c) {
                blob[(y * w + x) * 3 + c] += 90.0f + grain(x, y);
                faint[(y * w + x) * 3 + c] += 10.0f + grain(x, y);
            }
        }
    const std::vector<float> faintBefore = faint;
    GrainBlend::limitLowPass(blob, smooth, hole, w, h, 4.0f, 20.0f);
    GrainBlend::limitLowPass(faint, smooth, hole, w, h, 4.0f, 20.0f);
    EXPECT_EQ(faint, faintBefore) << "within the limit nothing changes";
    for (int64_t x = 36; x < 44; ++x) // the core, beyond the blur's reach of the edge
        EXPECT_NEAR(blob[(30 * w + x) * 3], 120.0f + grain(x, 30), 0.5f);
    for (int64_t i = 0; i < w * h; ++i)
        ASSERT_TRUE(hole[i] || blob[i * 3 + 1] == 100.0f) << "known pixel " << i;
}

} // namespace
