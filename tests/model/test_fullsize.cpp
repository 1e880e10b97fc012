// Saving at the photo's own size: untouched pixels exactly as decoded, the erased area
// synthesised again with the photo's grain, the same bytes from mirelo-erase --full-size, and the
// current picture after undo.
#include "../testsupport.h"
#include "fullsize.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include <cmath>

using namespace testsupport;

namespace {

constexpr int kW = 6000, kH = 4000;

class FullSize : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        // Detail a scaled-down copy cannot hold: every full-size pixel differs from its
        // neighbours.
        std::vector<uint8_t> bytes(size_t(kW) * kH * 4);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                uint8_t* p = &bytes[(size_t(y) * kW + x) * 4];
                p[0] = uint8_t(x / 24 + (x & 7) * 9);
                p[1] = uint8_t(y / 16 + (y & 3) * 17);
                p[2] = uint8_t((x ^ y) & 255);
                p[3] = 255;
            }
        const PixelImage photo(kW, kH, std::move(bytes));
        ASSERT_EQ(Imaging::savePng(photo, path("photo.png")), Imaging::SaveError::None);
        QImage rgb = Imaging::makeQImage(photo).convertToFormat(QImage::Format_RGB888);
        ASSERT_TRUE(rgb.save(path("photo.jpg"), "jpeg", 90));
    }
    static void TearDownTestSuite() { delete dir; }
    static QString path(const QString& name) { return dir->filePath(name); }
    // Erases a disc of radius 30 at the working size, and writes its mask for the tool.
    static void eraseDisc(MireloModel& m, QPointF at) {
        ASSERT_TRUE(stroke(m, at, 30));
        m.endStroke();
        const std::span<const uint8_t> mask = m.mask()->bytes();
        ASSERT_TRUE(QImage(mask.data(), 3072, 2048, 3072, QImage::Format_Grayscale8)
                        .save(path("mask.png")));
        m.erase();
        ASSERT_TRUE(waitUntilIdle(m));
    }
    static QTemporaryDir* dir;
};
QTemporaryDir* FullSize::dir = nullptr;

TEST_F(FullSize, KeepsUntouchedPixelsGivesTheEraseGrainAndMatchesTheTool) {
    MireloModel m;
    m.processors = 1;
    QString savePath;
    m.chooseSavePath = [&](const QString&, Imaging::FileType) { return savePath; };
    loadNow(m, QUrl::fromLocalFile(path("photo.png")));
    ASSERT_TRUE(m.hasImage());
    ASSERT_EQ(m.current()->width(), 3072);
    ASSERT_TRUE(m.scaledDown());

    eraseDisc(m, {1500, 1000});

    // The save runs while the event loop keeps turning.
    savePath = path("full.png");
    {
        StallMeter meter;
        saveNow(m, true);
        EXPECT_GT(meter.ticks, 0) << "the event loop stood still while saving";
        std::printf("[ stall    ] full-size save: longest pause %lld ms\n", meter.longest);
    }
    ASSERT_FALSE(m.message());
    const auto saved = Imaging::decodeFile(savePath, 0);
    const auto source = Imaging::decodeFile(path("photo.png"), 0);
    ASSERT_TRUE(saved.image && source.image);
    ASSERT_EQ(saved.image->width(), kW);
    ASSERT_EQ(saved.image->height(), kH);

    // The working pixels the erase changed.
    const auto before = m.original()->bytes();
    const auto after = m.current()->bytes();
    int64_t x0 = 3072, y0 = 2048, x1 = -1, y1 = -1;
    for (int64_t y = 0; y < 2048; ++y)
        for (int64_t x = 0; x < 3072; ++x)
            if (!std::equal(&before[(y * 3072 + x) * 4], &before[(y * 3072 + x) * 4 + 3],
                            &after[(y * 3072 + x) * 4])) {
                x0 = std::min(x0, x), x1 = std::max(x1, x);
                y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
    ASSERT_GE(x1, x0);

    // Outside the changed area every pixel is as decoded; deep inside it the erase is
    // synthesised again at full size, so it has the photo's grain (neighbouring pixels
    // differ about as much as in the photo), which an enlargement of the working result
    // cannot have.
    const double f = double(kW) / 3072;
    int64_t untouchedDiffer = 0;
    double grain[2] = {0, 0}; // the result's and the photo's, deep inside the hole
    for (int64_t y = 0; y < kH; ++y) {
        const double v = (y + 0.5) / f - 0.5;
        for (int64_t x = 0; x + 1 < kW; ++x) {
            const double u = (x + 0.5) / f - 0.5;
            const size_t i = size_t(y * kW + x) * 4;
            const uint8_t* got = &saved.image->bytes()[i];
            const uint8_t* was = &source.image->bytes()[i];
            if (u < x0 - 1 || u > x1 + 1 || v < y0 - 1 || v > y1 + 1)
                untouchedDiffer += !std::equal(got, got + 3, was);
            else if (std::hypot(u - 1500, v - 1000) < 18)
                for (int c = 0; c < 3; ++c) {
                    grain[0] += std::abs(got[c + 4] - got[c]);
                    grain[1] += std::abs(was[c + 4] - was[c]);
                }
        }
    }
    EXPECT_EQ(untouchedDiffer, 0);
    EXPECT_GT(grain[0], 0.6 * grain[1]) << "the erased area has lost the photo's grain";

    // mirelo-erase --full-size with the same photo, mask and thread count.
    QProcess tool;
    tool.start(MIRELO_ERASE_EXE, {path("photo.png"), path("mask.png"), "-o", path("tool.png"),
                                  "--full-size", "--threads", "1", "--quiet"});
    ASSERT_TRUE(tool.waitForFinished(120000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_TRUE(ImageBytes::fileBytes(path("tool.png")) == ImageBytes::fileBytes(savePath))
        << "not the app's bytes";

    // After undo the picture is the photo as loaded, so the full-size file is the photo itself.
    m.undo();
    ASSERT_FALSE(m.edited());
    savePath = path("undone.png");
    saveNow(m, true);
    const auto back = Imaging::decodeFile(savePath, 0);
    ASSERT_TRUE(back.image);
    EXPECT_TRUE(*back.image == *source.image);
}

// A JPEG photo saved at full size as JPEG (which keeps the photo's blocks, see the writer's
// own tests): the application and mirelo-erase write the same bytes.
TEST_F(FullSize, JpegShowsProgressAndMatchesTheTool) {
    MireloModel m;
    m.processors = 1;
    const QString out = path("full.jpg");
    m.chooseSavePath = [&](const QString&, Imaging::FileType type) {
        EXPECT_EQ(type, Imaging::FileType::Jpeg);
        return out;
    };
    loadNow(m, QUrl::fromLocalFile(path("photo.jpg")));
    eraseDisc(m, {800, 600});
    // The synthesis shows its progress as an erase does.
    bool shown = false;
    QObject::connect(&m, &MireloModel::progressChanged, [&] {
        shown |= m.activity() == MireloModel::Activity::SavingFullSize && m.progress() == 1.0;
    });
    ASSERT_TRUE(m.saveJPEGFullSize());
    ASSERT_TRUE(m.waitForSaves());
    EXPECT_TRUE(shown);
    const QByteArray written = ImageBytes::fileBytes(out);
    EXPECT_FALSE(written.isEmpty());

    QProcess tool;
    tool.start(MIRELO_ERASE_EXE, {path("photo.jpg"), path("mask.png"), "-o", path("tool.jpg"),
                                  "--full-size", "--threads", "1", "--quiet"});
    ASSERT_TRUE(tool.waitForFinished(120000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_TRUE(ImageBytes::fileBytes(path("tool.jpg")) == written) << "not the app's bytes";
}

TEST(FullSizeMask, AreaAveragingCountsPartlyCoveredPixelsInProportion) {
    // Three pixels into two: each result pixel covers one and a half source pixels.
    const std::vector<uint8_t> mask{0, 255, 255, 0, 255, 255};
    EXPECT_EQ(Imaging::reduceMask(mask, 3, 2, 2, 1), (std::vector<uint8_t>{85, 255}));
}

} // namespace
