#include "../testsupport.h"

#include "inpainter.h"

#include <gtest/gtest.h>

#include <random>

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

// What the document should be, kept with plain vectors and the rules stated simply.
struct Reference {
    struct Entry {
        Bytes image, mask;
    };
    bool hasImage = false;
    Bytes original, current, mask;
    bool paint = false; // some mask byte is nonzero
    bool edited = false;
    qint64 passes = 0;
    std::vector<Entry> undo, redo;

    void push() {
        undo.push_back({current, mask});
        if (undo.size() > 20)
            undo.erase(undo.begin());
        redo.clear();
    }
    void step(std::vector<Entry>& from, std::vector<Entry>& to) {
        if (from.empty())
            return;
        to.push_back({current, mask});
        current = from.back().image;
        mask = from.back().mask;
        from.pop_back();
        paint = std::any_of(mask.begin(), mask.end(), [](uint8_t v) { return v != 0; });
        edited = current != original;
    }
};

void expectSame(const MireloModel& m, const Reference& r, int stepNo, const char* op) {
    SCOPED_TRACE(::testing::Message() << "step " << stepNo << " after " << op);
    ASSERT_EQ(m.hasImage(), r.hasImage);
    ASSERT_FALSE(m.isBusy());
    ASSERT_EQ(m.canUndo(), !r.undo.empty());
    ASSERT_EQ(m.canRedo(), !r.redo.empty());
    ASSERT_EQ(m.edited(), r.edited);
    ASSERT_EQ(m.passes(), r.passes);
    if (!r.hasImage)
        return;
    ASSERT_EQ(m.maskHasPaint(), r.paint);
    ASSERT_EQ(m.mask()->hasPaint(), r.paint);
    ASSERT_EQ(bytesOf(*m.current()), r.current);
    ASSERT_EQ(bytesOf(m.currentImage()), r.current);
    ASSERT_EQ(Bytes(m.mask()->bytes().begin(), m.mask()->bytes().end()), r.mask);
    ASSERT_EQ(m.history().undoStack().size(), r.undo.size());
    ASSERT_EQ(m.history().redoStack().size(), r.redo.size());
    for (size_t i = 0; i < r.undo.size(); ++i) {
        ASSERT_EQ(bytesOf(m.history().undoStack()[i].image), r.undo[i].image) << "undo entry " << i;
        ASSERT_EQ(m.history().undoStack()[i].mask.toBytes(), r.undo[i].mask) << "undo entry " << i;
    }
    for (size_t i = 0; i < r.redo.size(); ++i) {
        ASSERT_EQ(bytesOf(m.history().redoStack()[i].image), r.redo[i].image) << "redo entry " << i;
        ASSERT_EQ(m.history().redoStack()[i].mask.toBytes(), r.redo[i].mask) << "redo entry " << i;
    }
}

// Thousands of random operations on tiny pictures, compared with the reference after each.
TEST(Sequence, RandomOperationsMatchTheReference) {
    const QByteArray files[] = {encode(gradient(24, 16)), encode(gradient(13, 19))};
    Bytes decoded[2];
    for (int i = 0; i < 2; ++i)
        decoded[i] = bytesOf(*Imaging::decodeData(files[i]).image);

    MireloModel m;
    m.processors = 1;
    Reference r;
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };

    for (int stepNo = 0; stepNo < 3000; ++stepNo) {
        const char* op = "";
        switch (pick(10)) {
        case 0: {
            op = "load";
            const int which = pick(3);
            if (which == 2) {
                loadNow(m, QByteArray("garbage"));
                break;
            }
            loadNow(m, files[which]);
            r = Reference{};
            r.hasImage = true;
            r.original = r.current = decoded[which];
            r.mask.assign(r.current.size() / 4, 0);
            break;
        }
        case 1:
        case 2:
        case 3: {
            op = "stroke";
            m.setCompare(pick(8) == 0);
            const bool allowed = r.hasImage && !m.compare();
            ASSERT_EQ(m.beginStroke(), allowed) << "step " << stepNo;
            if (!allowed)
                break;
            const Reference before = r;
            r.push();
            for (int k = pick(3); k >= 0; --k)
                m.mask()->stamp(QPointF(pick(30) - 3.0, pick(24) - 3.0), 0.5 + pick(8),
                                pick(5) / 4.0);
            m.endStroke();
            const auto g = m.mask()->bytes();
            for (size_t i = 0; i < g.size(); ++i) {
                ASSERT_GE(g[i], r.mask[i]) << "a stamp lowered the mask";
            }
            r.mask.assign(g.begin(), g.end());
            if (r.mask == before.mask) { // painted nothing: no undo step
                r.undo = before.undo;
                r.redo = before.redo;
            }
            r.paint = std::any_of(r.mask.begin(), r.mask.end(), [](uint8_t v) { return v != 0; });
            break;
        }
        case 4: {
            op = "erase";
            m.erase();
            if (!r.hasImage || !r.paint)
                break;
            ASSERT_TRUE(m.isBusy());
            const PixelImage before(m.current()->width(), m.current()->height(), r.current);
            r.push();
            r.current = bytesOf(Inpainter::run(before, r.mask, {}, 1));
            std::fill(r.mask.begin(), r.mask.end(), uint8_t(0));
            r.paint = false;
            r.edited = true;
            ++r.passes;
            ASSERT_TRUE(waitUntilIdle(m));
            break;
        }
        case 5:
        case 6:
            op = "undo";
            m.undo();
            r.step(r.undo, r.redo);
            break;
        case 7:
            op = "redo";
            m.redo();
            r.step(r.redo, r.undo);
            break;
        case 8:
            op = "clear";
            m.clearMask();
            if (r.hasImage && r.paint) {
                r.push();
                std::fill(r.mask.begin(), r.mask.end(), uint8_t(0));
                r.paint = false;
            }
            break;
        case 9:
            op = "revert";
            m.revertToOriginal();
            if (r.hasImage && r.edited) {
                r.push();
                r.current = r.original;
                std::fill(r.mask.begin(), r.mask.end(), uint8_t(0));
                r.paint = false;
                r.edited = false;
            }
            break;
        }
        expectSame(m, r, stepNo, op);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

} // namespace
