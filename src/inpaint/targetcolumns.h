#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

// Per row of a level, the first and last column of its targets (the patch centres that need
// a match). Inside the bounds of patch centres, a pixel outside its row's range is a valid
// source, so most random candidates are known valid from this small table, 8 bytes a row,
// without reading the level-sized valid flags, whose line is seldom in the cache.
class TargetColumns {
public:
    void reset(int64_t rows, int64_t w) {
        spans_.assign(static_cast<size_t>(rows), Span{static_cast<int32_t>(w), -1});
    }
    // Columns of a row are added in increasing order.
    void add(int64_t x, int64_t y) {
        Span& span = spans_[static_cast<size_t>(y)];
        span.first = std::min(span.first, static_cast<int32_t>(x));
        span.last = static_cast<int32_t>(x);
    }
    int64_t rows() const { return static_cast<int64_t>(spans_.size()); }
    // The first column of any row's targets, and one past the last; first >= end where
    // there are none.
    struct Columns {
        int64_t first, end;
    };
    Columns columns() const {
        Columns all{std::numeric_limits<int64_t>::max(), 0};
        for (const Span span : spans_) {
            if (span.first <= span.last) {
                all.first = std::min<int64_t>(all.first, span.first);
                all.end = std::max<int64_t>(all.end, span.last + 1);
            }
        }
        return all;
    }
    // The first and last column of row y's targets; first > last where it has none.
    int64_t first(int64_t y) const { return spans_[static_cast<size_t>(y)].first; }
    int64_t last(int64_t y) const { return spans_[static_cast<size_t>(y)].last; }
    // Whether (x, y) lies within its row's range of targets.
    bool inRange(int64_t x, int64_t y) const {
        const Span span = spans_[static_cast<size_t>(y)];
        return x >= span.first && x <= span.last;
    }

private:
    struct Span {
        int32_t first, last;
    };
    std::vector<Span> spans_;
};
