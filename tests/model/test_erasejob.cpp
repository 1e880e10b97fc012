#include "../testsupport.h"

#include "inpainter.h"

#include <QThreadPool>
#include <QUrl>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(EraseJob, InstallsTheFilledPicture) {
    MireloModel m;
    loadGradient(m);
    m.setMessage(QString("Couldn't read that image."));
    stroke(m, {32, 24}, 12); // thick: patch fill, with progress along the way
    const PixelImage before = *m.current();
    const MaskTiles painted = m.mask()->tiles();
    std::vector<double> seen;
    QObject::connect(&m, &MireloModel::progressChanged, [&] { seen.push_back(m.progress()); });
    int redraws = 0;
    QObject::connect(&m, &MireloModel::pictureChanged, [&] { ++redraws; });

    Recorder rec(m);
    m.erase();
    EXPECT_EQ(rec.names, (std::vector<std::string>{"canUndo", "canRedo", "maskHasPaint", "isBusy",
                                                   "progress", "message"}));
    EXPECT_TRUE(m.isBusy());
    EXPECT_FALSE(m.message());
    // The job and the new snapshot hold the picture without copying it.
    EXPECT_TRUE(m.history().undoStack().back().image.sharesBytesWith(*m.current()));
    EXPECT_TRUE(m.history().undoStack().back().mask.sharesTilesWith(m.mask()->tiles()));

    rec.names.clear();
    ASSERT_TRUE(waitUntilIdle(m));
    EXPECT_EQ(*m.current(), Inpainter::run(before, painted.toBytes(), {}, 1));
    EXPECT_EQ(bytesOf(m.currentImage()), bytesOf(*m.current()));
    EXPECT_EQ(m.passes(), 1);
    EXPECT_TRUE(m.edited() && m.canUndo());
    EXPECT_FALSE(m.isBusy() || m.canRedo() || m.maskHasPaint() || m.mask()->hasPaint());
    EXPECT_EQ(m.progress(), 1.0);
    EXPECT_EQ(redraws, 1);
    ASSERT_GE(seen.size(), 4u); // 0, 0.02, patch-fill steps..., 0.97, 1.0
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    const std::vector<std::string> tail(rec.names.end() - 7, rec.names.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"isBusy", "progress", "edited", "passes", "canUndo",
                                              "canRedo", "maskHasPaint"}));
}

TEST(EraseJob, DocumentIsFrozenWhileItRuns) {
    MireloModel m;
    loadGradient(m);
    stroke(m, {20, 20}, 6);
    m.erase();
    ASSERT_TRUE(m.isBusy());
    // The result cannot arrive before the event loop runs, so every call below meets a
    // running job.
    const PixelImage before = *m.current();
    const MaskTiles mask = m.mask()->tiles();
    const size_t undoDepth = m.history().undoStack().size();
    const QImage savedDuring = m.currentImage();

    m.load(encode(gradient(10, 10)));
    EXPECT_FALSE(m.beginStroke());
    m.undo();
    m.redo();
    m.clearMask();
    m.revertToOriginal();
    m.erase();
    EXPECT_TRUE(m.current()->sharesBytesWith(before));
    EXPECT_TRUE(m.mask()->tiles().sharesTilesWith(mask));
    EXPECT_EQ(m.history().undoStack().size(), undoDepth);
    EXPECT_EQ(m.current()->width(), 64);
    EXPECT_FALSE(m.message());

    // Brush, view and export are not document changes.
    m.setBrushSize(20);
    m.zoomIn();
    QImage copied;
    m.putOnClipboard = [&](const QImage& image) { copied = image; };
    m.copyToClipboard();
    EXPECT_EQ(copied.cacheKey(), savedDuring.cacheKey());

    ASSERT_TRUE(waitUntilIdle(m));
    EXPECT_EQ(m.passes(), 1);
    EXPECT_EQ(m.current()->width(), 64);
}

TEST(EraseJob, ProgressOnlyMovesForwardDuringAJob) {
    MireloModel m;
    loadGradient(m);
    stroke(m, {20, 20}, 6);
    m.erase();
    MireloModelTestAccess::eraseProgressed(m, 0.6);
    MireloModelTestAccess::eraseProgressed(m, 0.5); // arrives late
    EXPECT_EQ(m.progress(), 0.6);
    ASSERT_TRUE(waitUntilIdle(m));
    MireloModelTestAccess::eraseProgressed(m, 0.3); // after the result
    EXPECT_EQ(m.progress(), 1.0);
}

TEST(EraseJob, AnAbandonedEraseLeavesNoTrace) {
    MireloModel m;
    loadGradient(m, 40, 30);
    // Paint on every pixel: the engine hands the picture back at once, with no step at
    // which the job could see that it was abandoned, so its result does arrive.
    stroke(m, {20, 15}, 40);
    const PixelImage before = *m.current();
    const MaskTiles painted = m.mask()->tiles();
    const size_t undoDepth = m.history().undoStack().size();

    // Given up at once: the document is as before, paint and history too.
    m.erase();
    m.abandonErase();
    EXPECT_FALSE(m.isBusy());
    EXPECT_TRUE(m.current()->sharesBytesWith(before));
    EXPECT_EQ(m.mask()->tiles(), painted);
    EXPECT_EQ(m.history().undoStack().size(), undoDepth);
    EXPECT_TRUE(m.maskHasPaint());
    MireloModelTestAccess::finishJobs(m);
    EXPECT_EQ(m.passes(), 0);
    EXPECT_FALSE(m.edited() || m.unsavedResult());
    EXPECT_TRUE(m.maskHasPaint());

    // An erase started right after lands once.
    m.erase();
    m.abandonErase();
    m.erase();
    MireloModelTestAccess::finishJobs(m);
    EXPECT_EQ(m.passes(), 1);
}

TEST(EraseJob, ResultIsDroppedWhenTheModelIsGone) {
    auto doomed = std::make_unique<MireloModel>();
    loadGradient(*doomed, 100, 75);
    stroke(*doomed, {50, 37}, 20);
    doomed->erase();
    doomed.reset();
    // Likely at the same address: a job writing through a stale pointer would show here.
    MireloModel survivor;
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(survivor.isBusy() || survivor.hasImage());
    EXPECT_EQ(survivor.passes(), 0);
    EXPECT_EQ(survivor.progress(), 0.0);
    EXPECT_FALSE(survivor.current());
}

} // namespace
