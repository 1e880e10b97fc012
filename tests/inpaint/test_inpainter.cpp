#include "inpainter.h"
#include "largepages.h"
#include "reference.h"
#include "workergang.h"

#include <gtest/gtest.h>

namespace {

PixelImage photo(int64_t w, int64_t h, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(w * h * 4);
    std::mt19937 rng(seed);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            uint8_t* p = bytes.data() + (y * w + x) * 4;
            p[0] = uint8_t((x * 3 + rng() % 20) & 255);
            p[1] = uint8_t((y * 2 + rng() % 20) & 255);
            p[2] = uint8_t(((x + y) + rng() % 20) & 255);
            p[3] = uint8_t(rng() % 256); // carries no alpha: must survive untouched
        }
    return PixelImage(w, h, std::move(bytes));
}

std::vector<uint8_t> rect(int64_t w, int64_t h, int64_t x0, int64_t y0, int64_t rw, int64_t rh,
                          uint8_t v = 255) {
    std::vector<uint8_t> m(w * h, 0);
    for (int64_t y = y0; y < y0 + rh; ++y)
        for (int64_t x = x0; x < x0 + rw; ++x)
            m[y * w + x] = v;
    return m;
}

struct Erased {
    PixelImage image;
    std::vector<double> progress;
};

Erased erase(const PixelImage& in, const std::vector<uint8_t>& mask, int cpus = 2) {
    Erased r;
    r.image = Inpainter::run(
        in, mask, [&](double p) { r.progress.push_back(p); }, cpus);
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
    const PixelImage img = photo(40, 30);
    for (const auto& mask : {std::vector<uint8_t>(40 * 30, 0), std::vector<uint8_t>(40 * 30, 9)}) {
        const Erased r = erase(img, mask);
        EXPECT_EQ(r.image, img);
        EXPECT_TRUE(r.progress.empty());
    }
    const Erased one = erase(photo(1, 1), {255});
    EXPECT_EQ(one.image, photo(1, 1));
    EXPECT_TRUE(one.progress.empty());
    const Erased none = erase(PixelImage(0, 0), {});
    EXPECT_TRUE(none.image.isEmpty());
}

TEST(InpainterThin, DiffusionWithExactProgress) {
    const PixelImage img = photo(300, 200);
    auto mask = rect(300, 200, 20, 100, 250, 6);
    const Erased r = erase(img, mask);
    EXPECT_EQ(r.progress, (std::vector<double>{0.02, 0.97, 1.0}));
    EXPECT_GT(checkUntouched(img, r.image, mask), 1000);
}

TEST(InpainterThin, LargeCropGivesTheSameBytesOnOneOrTwoProcessors) {
    // A diagonal stroke across most of the photo: a crop of over 300 000 pixels, which
    // two processors convert in halves, and a fill that does not depend on the count.
    const PixelImage img = photo(700, 500, 11);
    std::vector<uint8_t> mask(700 * 500, 0);
    for (int64_t x = 10; x < 690; ++x)
        for (int64_t t = 0; t < 3; ++t)
            mask[(10 + (x - 10) * 480 / 680 + t) * 700 + x] = 200;
    const Erased one = erase(img, mask, 1), two = erase(img, mask, 2);
    EXPECT_EQ(one.image, two.image);
    EXPECT_GT(checkUntouched(img, two.image, mask), 1500);
}

TEST(InpainterThick, PatchFillProgressRisesToOne) {
    const PixelImage img = photo(260, 220);
    auto mask = rect(260, 220, 100, 80, 40, 40);
    const Erased r = erase(img, mask);
    ASSERT_GE(r.progress.size(), 6u);
    EXPECT_EQ(r.progress.front(), 0.02);
    EXPECT_EQ(r.progress[r.progress.size() - 2], 0.97);
    EXPECT_EQ(r.progress.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
    EXPECT_DOUBLE_EQ(r.progress[r.progress.size() - 3], 0.96);
    EXPECT_GT(checkUntouched(img, r.image, mask), 1000);
}

TEST(InpainterThick, SameInputsAndProcessorsGiveSameBytes) {
    const PixelImage img = photo(333, 251, 7);
    auto mask = rect(333, 251, 120, 90, 70, 50);
    for (int cpus : {1, 2}) {
        const Erased a = erase(img, mask, cpus), b = erase(img, mask, cpus);
        EXPECT_EQ(a.image, b.image) << cpus << " processors";
    }
}

// Where no thread can be started, both fills run on the calling thread alone and give what
// one processor gives, whatever count was asked for; a fill out of memory throws
// std::bad_alloc for its caller to report.
TEST(InpainterThick, FailuresToStartThreadsOrAllocateAreSurvived) {
    const PixelImage img = photo(640, 480, 5);
    const PixelImage shared = img; // makes the engine copy the picture beside the fill
    auto mask = rect(640, 480, 200, 150, 240, 180);
    for (auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture}) {
        const PixelImage one = Inpainter::run(img, mask, {}, 1, method);
        limitThreadStarts(0);
        const PixelImage four = Inpainter::run(img, mask, {}, 4, method);
        limitThreadStarts(-1);
        EXPECT_EQ(four, one);
    }
    LargePages::simulateExhaustion(true);
    EXPECT_THROW(Inpainter::run(img, mask, {}, 2), std::bad_alloc);
    LargePages::simulateExhaustion(false);
    EXPECT_EQ(shared, img);
}

TEST(InpainterThick, HolesOnTheBorderAndCorners) {
    const PixelImage img = photo(180, 140, 3);
    for (auto mask : {rect(180, 140, 0, 0, 30, 30), rect(180, 140, 150, 110, 30, 30),
                      rect(180, 140, 0, 40, 180, 20), rect(180, 140, 60, 0, 5, 140)}) {
        const Erased r = erase(img, mask);
        EXPECT_EQ(r.progress.back(), 1.0);
        checkUntouched(img, r.image, mask);
    }
}

TEST(InpainterBlend, StrengthBlendsBetweenPixelAndFill) {
    const PixelImage img = photo(120, 90, 5);
    const auto full = erase(img, rect(120, 90, 30, 40, 60, 5, 255)).image;
    const auto at128 = erase(img, rect(120, 90, 30, 40, 60, 5, 128)).image;
    const auto at64 = erase(img, rect(120, 90, 30, 40, 60, 5, 64)).image;
    EXPECT_EQ(at128, full) << "128 and above replace the pixel";
    int64_t checked = 0;
    for (int64_t y = 40; y < 45; ++y)
        for (int64_t x = 30; x < 90; ++x)
            for (int c = 0; c < 3; ++c) {
                const int64_t i = (y * 120 + x) * 4 + c;
                const float own = img.bytes()[i], fill = full.bytes()[i];
                // The full-strength byte is the rounded fill, so allow that rounding.
                EXPECT_NEAR(at64.bytes()[i], own + 0.5f * (fill - own), 1.0f);
                ++checked;
            }
    EXPECT_EQ(checked, 5 * 60 * 3);
}

TEST(InpainterResult, ConstantImageFillsToTheConstant) {
    std::vector<uint8_t> bytes(200 * 150 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 4 == 3 ? 255 : uint8_t(90 + i % 4);
    const PixelImage img(200, 150, bytes);
    for (auto mask : {rect(200, 150, 50, 50, 80, 60), rect(200, 150, 10, 70, 180, 3)})
        EXPECT_EQ(erase(img, mask).image, img);
}

TEST(InpainterResult, InputCopiesAreNotWritten) {
    const PixelImage img = photo(64, 64);
    const PixelImage snapshot = img; // shares the bytes, as an undo entry does
    const auto out = Inpainter::run(img, rect(64, 64, 20, 20, 15, 15));
    EXPECT_NE(out, img);
    EXPECT_EQ(snapshot, photo(64, 64));
    EXPECT_TRUE(snapshot.sharesBytesWith(img));
}

TEST(InpainterResult, OddSizesAndTinyImages) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 7}, {7, 1}, {3, 3}, {17, 9}, {301, 13}}) {
        const PixelImage img = photo(w, h, uint32_t(w * h));
        std::vector<uint8_t> mask(w * h, 0);
        mask[(h / 2) * w + w / 2] = 255;
        const Erased r = erase(img, mask);
        checkUntouched(img, r.image, mask);
        EXPECT_EQ(r.progress.size(), 3u) << w << "x" << h;
    }
}

} // namespace
