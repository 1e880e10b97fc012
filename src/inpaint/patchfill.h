#pragma once

#include "targetcolumns.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Coarse-to-fine patch fill of a thick hole. Buffers as in Diffusion: colours w x h x 3
// floats (0 to 255), hole flags w x h bytes, nonzero = to be filled.
class HelpDesk;

namespace PatchFill {

// One pyramid level.
struct Level {
    int64_t w = 0;
    int64_t h = 0;
    std::vector<float> rgb;    // w x h x 3
    std::vector<uint8_t> hole; // w x h
};

// Calls f(t, s) for every target t (target[t] nonzero) whose (2r + 1)-square patch covers
// pixel i of a w x h level, in row order, with s the pixel that plays i's part in t's
// match nnf[t]. Only centres at least r from every edge are visited: no other can be a
// target.
template <typename Flags, typename Field, typename F>
void forCoveringTargets(int64_t i, int64_t w, int64_t h, int64_t r, const Flags& target,
                        const Field& nnf, F&& f) {
    const int64_t x = i % w;
    const int64_t y = i / w;
    for (int64_t dy = -r; dy <= r; ++dy) {
        if (y + dy < r || y + dy >= h - r)
            continue;
        for (int64_t dx = -r; dx <= r; ++dx) {
            if (x + dx < r || x + dx >= w - r)
                continue;
            const int64_t t = i + dy * w + dx;
            if (target[t])
                f(t, int64_t(nnf[t]) - dx - dy * w);
        }
    }
}

// The order of a vote that adds each target's proposals to the sums of the pixels its
// (2r + 1)-square patch covers, for the pixels of rows y0 .. y1 - 1 of a level w wide, with
// their sums kept in a ring of 2r + 1 rows. Target rows y0 - r .. y1 + r - 1 are taken in
// order, each left to right, and add(y, x, dyFirst, dyLast) is called for every target (x, y)
// with the rows y + dyFirst .. y + dyLast of its patch that lie in the band; finish(y) is
// called for each band row y once the targets r rows below it are added, when its sums are
// complete. Each pixel's sums so take their terms in the order of the targets covering it,
// as going through those targets one pixel at a time does.
template <typename Flags, typename Add, typename Finish>
void forVoteBand(int64_t y0, int64_t y1, int64_t r, int64_t w, const TargetColumns& columns,
                 const Flags& target, Add&& add, Finish&& finish) {
    for (int64_t ty = y0 - r; ty < y1 + r; ++ty) {
        if (ty >= 0 && ty < columns.rows()) {
            const int64_t dyFirst = std::max(-r, y0 - ty);
            const int64_t dyLast = std::min(r, y1 - 1 - ty);
            for (int64_t tx = columns.first(ty); tx <= columns.last(ty); ++tx)
                if (target[ty * w + tx])
                    add(ty, tx, dyFirst, dyLast);
        }
        if (ty - r >= y0)
            finish(ty - r);
    }
}

// Pyramid limits: building stops once the hole is smaller than this on its longer side,
// once a level side is under kMinLevelSide, or at kMaxLevels levels.
inline constexpr int64_t kMinHoleExtent = 13;
inline constexpr int64_t kMinLevelSide = 40;
inline constexpr int64_t kMaxLevels = 7;
// Matcher passes at the finest level, at levels in between, and at the coarsest level.
inline constexpr int kFinestPasses = 3;
inline constexpr int kMiddlePasses = 5;
inline constexpr int kCoarsestPasses = 6;
// Relaxation sweeps after push-pull at the coarsest level.
inline constexpr int64_t kCoarseRelaxIterations = 40;

// Fills the hole pixels; known pixels come back bit-identical. Calls progress with the
// fraction k / T after each of its T steps (the coarse fill, then every matcher pass).
// The caller guarantees at least one hole and one known pixel. processors sets the
// matcher's worker count; 0 uses the machine's processor count. desk, when given, is where
// the matcher's passes are posted for threads with nothing else to do; the result does not
// depend on them.
// The buffers are taken by value so a caller that is done with them can move them in.
// shortcut makes it cheaper, for a caller that needs only the fill's broad shapes.
struct Shortcut {
    // The n finest levels of the pyramid (never its coarsest) are not matched: each takes
    // the bilinear enlargement of the level above it. With n = 1 that is a smooth estimate
    // at about a third of the cost.
    int skippedLevels = 0;
    // When above 0, the matcher passes at the finest level that is matched, if that is not
    // the coarsest; else the usual count.
    int finishPasses = 0;
};
std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors = 0,
                        HelpDesk* desk = nullptr, Shortcut shortcut = {});

// The longer side of the bounding box of the level's hole pixels; 0 when there is none.
int64_t holeExtent(const Level& level);

// Half-size level: each pixel averages its known children; it is a hole only when all
// of its children are holes. processors as for fill(); the result does not depend on it.
Level downsample(const Level& level, int processors = 1);

} // namespace PatchFill
