#include "../testsupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

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
    // At full depth, neither an erase given up nor a stroke that paints nothing moves the
    // oldest state.
    const auto oldestKept = [&] {
        return m.history().undoStack().size() == 20u &&
               m.history().undoStack().front().mask == before[5];
    };
    m.erase();
    m.abandonErase();
    EXPECT_TRUE(oldestKept()) << "abandoned erase";
    ASSERT_TRUE(m.beginStroke());
    m.endStroke();
    EXPECT_TRUE(oldestKept()) << "stroke that painted nothing";
    for (int i = 0; i < 20; ++i)
        m.undo();
    EXPECT_EQ(m.mask()->tiles(), before[5]);
    EXPECT_FALSE(m.canUndo());
    m.undo();
    EXPECT_EQ(m.mask()->tiles(), before[5]);
    EXPECT_EQ(m.history().redoStack().size(), 20u);
}

// When a stroke may begin, and the steps of the history it takes, are checked by the
// random sequences; here, the paint shows before any stamp lands.
TEST(History, OpeningAStrokeShowsPaintAtOnce) {
    MireloModel m;
    loadGradient(m);
    Recorder rec(m);
    EXPECT_TRUE(m.beginStroke());
    EXPECT_EQ(rec.names,
              (std::vector<std::string>{"canUndo", "canRedo", "maskHasPaint", "maskHasPaint"}));
    EXPECT_TRUE(m.maskHasPaint()); // before any stamp lands
}

TEST(History, UndoEndsCompareMode) {
    MireloModel m;
    loadGradient(m);
    stroke(m, {30, 20}, 8);
    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
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
}

} // namespace
