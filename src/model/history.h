#pragma once

#include "masktiles.h"
#include "pixelimage.h"

#include <cstddef>
#include <optional>
#include <vector>

// One undo record: the picture and the mask, both shared until written (the mask tile by
// tile), so a record costs what changed since the one before it.
struct Snapshot {
    PixelImage image;
    MaskTiles mask;
};

// The undo history of a document: up to kDepth records to go back to, the ones to go
// forward to again, and one step that may still be taken back as if it had never been
// recorded (a stroke that paints nothing, an erase that fails or is abandoned).
class History {
public:
    static constexpr size_t kDepth = 20;

    // Oldest first; the last is the one undo goes back to (redo: forward to).
    const std::vector<Snapshot>& undoStack() const { return undo_; }
    const std::vector<Snapshot>& redoStack() const { return redo_; }

    // Records the document as it is before a change: the redo records go, and the
    // oldest record when there would be more than kDepth.
    void record(Snapshot before);
    // The same, remembering what it dropped, so that the step can be taken back.
    void recordTentatively(Snapshot before);
    // The tentative step stays; nothing can take it back any more.
    void confirm() { tentative_.reset(); }
    // Takes the tentative step back: the history is as it was before it.
    void retract();
    bool hasTentativeStep() const { return tentative_.has_value(); }

    // Goes back one step from `now`, which becomes the record to go forward to; the
    // record to apply, or none when there is no step (then `now` is not kept).
    std::optional<Snapshot> undo(Snapshot now);
    // Goes forward one step from `now`, likewise.
    std::optional<Snapshot> redo(Snapshot now);
    void clear();

private:
    struct Tentative {
        std::optional<Snapshot> dropped;
        std::vector<Snapshot> redo;
    };
    static std::optional<Snapshot> step(std::vector<Snapshot>& from, std::vector<Snapshot>& to,
                                        Snapshot now);

    std::vector<Snapshot> undo_;
    std::vector<Snapshot> redo_;
    std::optional<Tentative> tentative_;
};
