#include "testsupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

bool maskIsEmpty(const MaskBytes& b) {
    return std::all_of(b.bytes().begin(), b.bytes().end(), [](uint8_t v) { return v == 0; });
}

// One stroke, one erase, then undo, undo, redo: every step shows the expected picture,
// paint, flags and stacks.
TEST(History, StrokeEraseUndoUndoRedo) {
    MireloModel m;
    loadGradient(m);
    const PixelImage i0 = *m.current;
    ASSERT_TRUE(stroke(m, {30, 20}, 8));
    const MaskBytes painted = m.mask->gray();
    ASSERT_EQ(m.undoStack.size(), 1u);
    EXPECT_TRUE(maskIsEmpty(m.undoStack[0].mask)); // A: (I0, empty)

    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    const PixelImage i1 = *m.current;
    ASSERT_FALSE(i1 == i0);
    EXPECT_EQ(m.undoStack.size(), 2u); // B: (I0, painted)
    EXPECT_EQ(m.undoStack[1].mask, painted);
    EXPECT_TRUE(maskIsEmpty(m.mask->gray()));

    m.undo(); // back to B: the paint shows again
    EXPECT_EQ(*m.current, i0);
    EXPECT_EQ(m.mask->gray(), painted);
    EXPECT_FALSE(m.edited());
    EXPECT_TRUE(m.maskHasPaint());
    EXPECT_EQ(bytesOf(m.currentImage), bytesOf(i0));
    ASSERT_EQ(m.redoStack.size(), 1u); // C: (I1, empty)
    EXPECT_EQ(m.redoStack[0].image, i1);
    EXPECT_EQ(m.passes(), 1);

    m.undo(); // back to A
    EXPECT_EQ(*m.current, i0);
    EXPECT_TRUE(maskIsEmpty(m.mask->gray()));
    EXPECT_FALSE(m.maskHasPaint());
    EXPECT_FALSE(m.canUndo());
    ASSERT_EQ(m.redoStack.size(), 2u); // D: (I0, painted)
    EXPECT_EQ(m.redoStack[1].mask, painted);

    m.redo(); // D: the paint returns
    EXPECT_EQ(m.mask->gray(), painted);
    EXPECT_TRUE(m.maskHasPaint() && m.canUndo() && m.canRedo());
    ASSERT_EQ(m.undoStack.size(), 1u);
    EXPECT_TRUE(maskIsEmpty(m.undoStack[0].mask));

    m.redo(); // C: the erased picture, no paint, still one pass
    EXPECT_EQ(*m.current, i1);
    EXPECT_EQ(bytesOf(m.currentImage), bytesOf(i1));
    EXPECT_TRUE(m.edited());
    EXPECT_FALSE(m.maskHasPaint() || m.canRedo());
    EXPECT_EQ(m.passes(), 1);
}

TEST(History, KeepsTheTwentyMostRecentStates) {
    MireloModel m;
    loadGradient(m);
    std::vector<MaskBytes> before;
    for (int i = 0; i < 25; ++i) {
        before.push_back(m.mask->gray());
        stroke(m, {2.0 + 2 * i, 10.0}, 1.5);
    }
    ASSERT_EQ(m.undoStack.size(), 20u);
    EXPECT_EQ(m.undoStack.front().mask, before[5]);
    // Strokes do not touch the picture: every snapshot shares the one image buffer.
    for (const auto& s : m.undoStack)
        EXPECT_TRUE(s.image.sharesBytesWith(*m.original));
    for (int i = 0; i < 20; ++i)
        m.undo();
    EXPECT_EQ(m.mask->gray(), before[5]);
    EXPECT_FALSE(m.canUndo());
    m.undo();
    EXPECT_EQ(m.mask->gray(), before[5]);
    EXPECT_EQ(m.redoStack.size(), 20u);

    m.redo();
    ASSERT_TRUE(stroke(m, {40, 40})); // a new action drops the redo history
    EXPECT_FALSE(m.canRedo());
    EXPECT_TRUE(m.redoStack.empty());
}

TEST(History, ClearAndRevertAreSingleStepsOrNothing) {
    MireloModel m;
    loadGradient(m);
    m.clearMask();        // nothing painted
    m.revertToOriginal(); // nothing edited
    EXPECT_TRUE(m.undoStack.empty());
    EXPECT_FALSE(m.canUndo());

    stroke(m, {30, 20}, 8);
    const MaskBytes painted = m.mask->gray();
    m.clearMask();
    EXPECT_EQ(m.undoStack.size(), 2u);
    EXPECT_FALSE(m.maskHasPaint());
    m.undo();
    EXPECT_EQ(m.mask->gray(), painted);

    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    const PixelImage erased = *m.current;
    stroke(m, {10, 10});
    m.revertToOriginal();
    EXPECT_EQ(*m.current, *m.original);
    EXPECT_EQ(m.currentImage.cacheKey(), m.originalImage.cacheKey());
    EXPECT_FALSE(m.edited() || m.maskHasPaint());
    m.undo(); // the edited picture and its paint come back
    EXPECT_EQ(*m.current, erased);
    EXPECT_TRUE(m.edited() && m.maskHasPaint());
}

TEST(History, StrokeGateRefusesWithoutTakingASnapshot) {
    MireloModel m;
    EXPECT_FALSE(m.beginStroke()); // no image
    loadGradient(m);
    m.setCompare(true);
    EXPECT_FALSE(m.beginStroke());
    m.setCompare(false);
    EXPECT_TRUE(m.undoStack.empty());

    Recorder rec(m);
    EXPECT_TRUE(m.beginStroke());
    EXPECT_EQ(rec.names,
              (std::vector<std::string>{"canUndo", "canRedo", "maskHasPaint", "maskHasPaint"}));
    EXPECT_TRUE(m.maskHasPaint()); // before any stamp lands
}

} // namespace
