#include "../testsupport.h"

#include <QImageReader>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(Loading, FailuresLeaveTheDocumentAsItWas) {
    QTemporaryDir dir;
    MireloModel m;
    loadGradient(m);
    stroke(m, {20, 20});
    const PixelImage before = *m.current();
    const MaskTiles mask = m.mask()->tiles();

    loadNow(m, QUrl::fromLocalFile(dir.filePath("missing.png")));
    EXPECT_EQ(m.message(), QString("Couldn't read that file as an image."));
    loadNow(m, QByteArray("not an image at all"));
    EXPECT_EQ(m.message(), QString("Couldn't read that image."));
    const QByteArray png = encode(gradient(64, 48));
    loadNow(m, png.left(png.size() / 2)); // header intact, pixels cut off
    EXPECT_EQ(m.message(), QString("Couldn't decode that image. (corrupt or incomplete data)"));

    EXPECT_TRUE(m.current()->sharesBytesWith(before));
    EXPECT_TRUE(m.mask()->tiles().sharesTilesWith(mask));
    EXPECT_EQ(m.history().undoStack().size(), 1u);
    EXPECT_TRUE(m.canUndo());
    EXPECT_TRUE(m.maskHasPaint());
}

TEST(Loading, NewImageResetsTheDocumentButKeepsTheBrush) {
    MireloModel m;
    int redraws = 0;
    QObject::connect(&m, &MireloModel::pictureChanged, [&] { ++redraws; });
    loadGradient(m);
    stroke(m, {20, 20});
    m.undo();
    m.setBrushSize(80);
    m.setFeather(0.6);
    m.setCompare(true);
    m.setMessage(QString("Saving failed."));
    m.setView(3, {12, -7});
    m.setCompareSplit(0.2);

    Recorder rec(m);
    redraws = 0;
    loadNow(m, encode(gradient(30, 20)));
    // Busy while decoding in the background, then the document's own order.
    EXPECT_EQ(rec.names, (std::vector<std::string>{"isBusy", "isBusy", "hasImage", "compare",
                                                   "edited", "passes", "message", "canUndo",
                                                   "canRedo", "maskHasPaint"}));
    EXPECT_EQ(redraws, 1);
    EXPECT_EQ(m.current()->width(), 30);
    EXPECT_TRUE(m.current()->sharesBytesWith(*m.original()));
    EXPECT_EQ(m.currentImage().cacheKey(), m.originalImage().cacheKey());
    EXPECT_FALSE(m.compare());
    EXPECT_FALSE(m.message());
    EXPECT_FALSE(m.canUndo() || m.canRedo() || m.maskHasPaint() || m.edited());
    EXPECT_TRUE(m.history().undoStack().empty() && m.history().redoStack().empty());
    EXPECT_EQ(m.zoom(), 1.0);
    EXPECT_EQ(m.pan(), QPointF(0, 0));
    EXPECT_EQ(m.compareSplit(), 0.5);
    EXPECT_EQ(m.brushSize(), 80);
    EXPECT_EQ(m.feather(), 0.6);
}

TEST(Loading, DecodesInTheBackgroundAndTheNewestRequestWins) {
    QTemporaryDir dir;
    // Large enough that decoding takes many turns of the event loop.
    std::vector<uint8_t> bytes(size_t(6000) * 4000 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 2654435761u >> 13);
    const QString big = dir.filePath("big.png");
    ASSERT_EQ(Imaging::savePng(PixelImage(6000, 4000, std::move(bytes)), big),
              Imaging::SaveError::None);

    MireloModel m;
    {
        StallMeter meter;
        m.load(QUrl::fromLocalFile(big));
        EXPECT_TRUE(m.isBusy());
        EXPECT_EQ(m.activity(), MireloModel::Activity::Opening);
        ASSERT_TRUE(waitUntilIdle(m));
        EXPECT_GT(meter.ticks, 0) << "the event loop stood still while decoding";
        std::printf("[ stall    ] 6000 x 4000 PNG open: longest pause %lld ms\n", meter.longest);
    }
    ASSERT_TRUE(m.hasImage());
    EXPECT_EQ(m.current()->width(), 3072); // the longer side capped
    EXPECT_EQ(m.current()->height(), 2048);
    EXPECT_EQ(m.mask()->width(), 3072);
    EXPECT_EQ(m.currentImage().size(), QSize(3072, 2048));

    // A second request replaces the first: the older result, arriving late, is dropped.
    m.load(QUrl::fromLocalFile(big));
    m.load(encode(gradient(30, 20)));
    MireloModelTestAccess::finishJobs(m);
    EXPECT_EQ(m.current()->width(), 30);
    EXPECT_FALSE(m.isBusy());
    EXPECT_EQ(m.activity(), MireloModel::Activity::None);
}

} // namespace
