#include "history.h"

#include <utility>

void History::record(Snapshot before) {
    tentative_.reset();
    if (undo_.size() >= kDepth)
        undo_.erase(undo_.begin(), undo_.end() - (kDepth - 1));
    undo_.push_back(std::move(before));
    redo_.clear();
}

void History::recordTentatively(Snapshot before) {
    Tentative t;
    if (undo_.size() >= kDepth)
        t.dropped = undo_.front();
    t.redo = redo_;
    record(std::move(before));
    tentative_ = std::move(t);
}

void History::retract() {
    if (!tentative_)
        return;
    Tentative t = std::move(*tentative_);
    tentative_.reset();
    if (!undo_.empty())
        undo_.pop_back();
    if (t.dropped)
        undo_.insert(undo_.begin(), std::move(*t.dropped));
    redo_ = std::move(t.redo);
}

std::optional<Snapshot> History::undo(Snapshot now) { return step(undo_, redo_, std::move(now)); }

std::optional<Snapshot> History::redo(Snapshot now) { return step(redo_, undo_, std::move(now)); }

std::optional<Snapshot> History::step(std::vector<Snapshot>& from, std::vector<Snapshot>& to,
                                      Snapshot now) {
    if (from.empty())
        return std::nullopt;
    Snapshot target = std::move(from.back());
    from.pop_back();
    to.push_back(std::move(now));
    return target;
}

void History::clear() {
    undo_.clear();
    redo_.clear();
    tentative_.reset();
}
