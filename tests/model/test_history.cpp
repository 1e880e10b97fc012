#include "../testsupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

bool maskIsEmpty(const MaskTiles& m) { return !m.anyPainted(); }

// One stroke, one erase, then undo, undo, redo: every step shows the expected picture,
// paint, flags and stacks.
TEST(History, StrokeEraseUndoUndoRedo) {
    MireloModel m;
    loadGradient(m);
    const PixelImage i0 = *m.current();
    ASSERT_TRUE(stroke(m, {30, 20}, 8));
    const MaskTiles painted = m.mask()->tiles();
    ASSERT_EQ(m.history().undoStack().size(), 1u);
    EXPECT_TRUE(maskIsEmpty(m.history().undoStack()[0].mask)); // A: (I0, empty)

    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    const PixelImage i1 = *m.current();
    ASSERT_FALSE(i1 == i0);
    EXPECT_EQ(m.history().undoStack().size(), 2u); // B: (I0, painted)
    EXPECT_EQ(m.history().undoStack()[1].mask, painted);
    EXPECT_TRUE(maskIsEmpty(m.mask()->tiles()));

    m.undo(); // back to B: the paint shows again
    EXPECT_EQ(*m.current(), i0);
    EXPECT_EQ(m.mask()->tiles(), painted);
    EXPECT_FALSE(m.edited());
    EXPECT_TRUE(m.maskHasPaint());
    EXPECT_EQ(bytesOf(m.currentImage()), bytesOf(i0));
    ASSERT_EQ(m.history().redoStack().size(), 1u); // C: (I1, empty)
    EXPECT_EQ(m.history().redoStack()[0].image, i1);
    EXPECT_EQ(m.passes(), 1);

    m.undo(); // back to A
    EXPECT_EQ(*m.current(), i0);
    EXPECT_TRUE(maskIsEmpty(m.mask()->tiles()));
    EXPECT_FALSE(m.maskHasPaint());
    EXPECT_FALSE(m.canUndo());
    ASSERT_EQ(m.history().redoStack().size(), 2u); // D: (I0, painted)
    EXPECT_EQ(m.history().redoStack()[1].mask, painted);

    m.redo(); // D: the paint returns
    EXPECT_EQ(m.mask()->tiles(), painted);
    EXPECT_TRUE(m.maskHasPaint() && m.canUndo() && m.canRedo());
    ASSERT_EQ(m.history().undoStack().size(), 1u);
    EXPECT_TRUE(maskIsEmpty(m.history().undoStack()[0].mask));

    m.redo(); // C: the erased picture, no paint, still one pass
    EXPECT_EQ(*m.current(), i1);
    EXPECT_EQ(bytesOf(m.currentImage()), bytesOf(i1));
    EXPECT_TRUE(m.edited());
    EXPECT_FALSE(m.maskHasPaint() || m.canRedo());
    EXPECT_EQ(m.passes(), 1);
}

TEST(History, KeepsTheTwentyMostRecentStates) {
    MireloModel m;
    loadGradient(m);
    std::vector<MaskTiles> before;
    for (int i = 0; i < 25; ++i) {
        before.push_back(m.mask()->tiles());
        stroke(m, {2.0 + 2 * i, 10.0}, 1.5);
    }
    ASSERT_EQ(m.history().undoStack().size(), 20u);
    EXPECT_EQ(m.history().undoStack().front().mask, before[5]);
    // Strokes do not touch the picture: every snapshot shares the one image buffer.
    for (const auto& s : m.history().undoStack())
        EXPECT_TRUE(s.image.sharesBytesWith(*m.original()));
    // An erase given up at full depth leaves the oldest state where it was.
    m.erase();
    m.abandonErase();
    ASSERT_EQ(m.history().undoStack().size(), 20u);
    EXPECT_EQ(m.history().undoStack().front().mask, before[5]);
    for (int i = 0; i < 20; ++i)
        m.undo();
    EXPECT_EQ(m.mask()->tiles(), before[5]);
    EXPECT_FALSE(m.canUndo());
    m.undo();
    EXPECT_EQ(m.mask()->tiles(), before[5]);
    EXPECT_EQ(m.history().redoStack().size(), 20u);

    m.redo();
    ASSERT_TRUE(stroke(m, {40, 40})); // a new action drops the redo history
    EXPECT_FALSE(m.canRedo());
    EXPECT_TRUE(m.history().redoStack().empty());
}

TEST(History, ClearAndRevertAreSingleStepsOrNothing) {
    MireloModel m;
    loadGradient(m);
    m.clearMask();        // nothing painted
    m.revertToOriginal(); // nothing edited
    EXPECT_TRUE(m.history().undoStack().empty());
    EXPECT_FALSE(m.canUndo());

    stroke(m, {30, 20}, 8);
    const MaskTiles painted = m.mask()->tiles();
    m.clearMask();
    EXPECT_EQ(m.history().undoStack().size(), 2u);
    EXPECT_FALSE(m.maskHasPaint());
    m.undo();
    EXPECT_EQ(m.mask()->tiles(), painted);

    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    const PixelImage erased = *m.current();
    stroke(m, {10, 10});
    m.revertToOriginal();
    EXPECT_EQ(*m.current(), *m.original());
    EXPECT_EQ(m.currentImage().cacheKey(), m.originalImage().cacheKey());
    EXPECT_FALSE(m.edited() || m.maskHasPaint());
    m.undo(); // the edited picture and its paint come back
    EXPECT_EQ(*m.current(), erased);
    EXPECT_TRUE(m.edited() && m.maskHasPaint());
}

TEST(History, StrokeGateRefusesWithoutTakingASnapshot) {
    MireloModel m;
    EXPECT_FALSE(m.beginStroke()); // no image
    loadGradient(m);
    m.setCompare(true);
    EXPECT_FALSE(m.beginStroke());
    m.setCompare(false);
    EXPECT_TRUE(m.history().undoStack().empty());

    Recorder rec(m);
    EXPECT_TRUE(m.beginStroke());
    EXPECT_EQ(rec.names,
              (std::vector<std::string>{"canUndo", "canRedo", "maskHasPaint", "maskHasPaint"}));
    EXPECT_TRUE(m.maskHasPaint()); // before any stamp lands
}

TEST(History, CompareModeEndsWithTheEdits) {
    MireloModel m;
    loadGradient(m);
    stroke(m, {30, 20}, 8);
    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    m.setCompare(true);
    m.revertToOriginal();
    EXPECT_FALSE(m.compare());
    m.undo(); // the erased picture again
    m.setCompare(true);
    m.undo(); // the picture as loaded, with its paint
    EXPECT_FALSE(m.edited() || m.compare());
    EXPECT_TRUE(stroke(m, {10, 10}));
}

TEST(History, StrokeThatPaintsNothingLeavesNoTrace) {
    MireloModel m;
    loadGradient(m);
    stroke(m, {30, 20}, 8);
    m.undo();
    // The disc reaches column 0 but covers no pixel centre: no byte rises.
    ASSERT_TRUE(m.beginStroke());
    m.mask()->stamp({-24, 10}, 24, 0.35);
    m.endStroke();
    EXPECT_FALSE(m.maskHasPaint() || m.mask()->hasPaint() || m.canUndo());
    EXPECT_TRUE(m.canRedo()); // the redo history survives

    // With a full history, the oldest entry stays too.
    for (int i = 0; i < 20; ++i)
        stroke(m, {2.0 + 2 * i, 30.0}, 1.5);
    const MaskTiles oldest = m.history().undoStack().front().mask;
    ASSERT_TRUE(m.beginStroke());
    m.endStroke();
    ASSERT_EQ(m.history().undoStack().size(), 20u);
    EXPECT_EQ(m.history().undoStack().front().mask, oldest);
    EXPECT_TRUE(m.maskHasPaint());
}

TEST(History, ChangesFromOutsideCloseTheOpenStroke) {
    MireloModel m;
    loadGradient(m);
    const std::pair<const char*, std::function<void()>> outside[] = {
        {"undo", [&] { m.undo(); }},
        {"redo", [&] { m.redo(); }},
        {"clear", [&] { m.clearMask(); }},
        {"load", [&] { loadGradient(m); }},
    };
    for (const auto& [name, change] : outside) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(m.beginStroke());
        m.mask()->stamp({20, 20}, 6, 0.35);
        change();
        EXPECT_FALSE(m.strokeOpen());
    }
    // Undo during a stroke undoes that stroke.
    ASSERT_TRUE(m.beginStroke());
    m.mask()->stamp({20, 20}, 6, 0.35);
    m.undo();
    EXPECT_FALSE(m.mask()->hasPaint() || m.maskHasPaint() || m.canUndo());
    EXPECT_TRUE(m.canRedo());
}

} // namespace
