#include "patchfill.h"

#include "bilinear.h"
#include "diffusion.h"
#include "largepages.h"
#include "matcher.h"
#include "workergang.h"

#include <algorithm>
#include <cassert>
#include <optional>

namespace PatchFill {

int64_t holeExtent(const Level& level) {
    int64_t minX = level.w, maxX = -1, minY = level.h, maxY = -1;
    for (int64_t y = 0; y < level.h; ++y) {
        const uint8_t* row = level.hole.data() + y * level.w;
        for (int64_t x = 0; x < level.w; ++x) {
            if (row[x]) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = y;
            }
        }
    }
    if (maxY < 0)
        return 0;
    return std::max(maxX - minX + 1, maxY - minY + 1);
}

namespace {

// Rows first ... end - 1 of the half-size level. Each value adds its known children in the
// order (2x, 2y), (2x + 1, 2y), (2x, 2y + 1), (2x + 1, 2y + 1), from zero, and divides the
// sum by their count.
void downsampleRows(const Level& level, Level& out, int64_t first, int64_t end) {
    const int64_t w = level.w;
    for (int64_t y = first; y < end; ++y) {
        const bool twoRows = 2 * y + 1 < level.h;
        const float* top = level.rgb.data() + 2 * y * w * 3;
        const float* bottom = twoRows ? top + w * 3 : top;
        const uint8_t* holeTop = level.hole.data() + 2 * y * w;
        const uint8_t* holeBottom = twoRows ? holeTop + w : holeTop;
        float* o = out.rgb.data() + y * out.w * 3;
        for (int64_t x = 0; x < out.w; ++x) {
            // All four children inside and known, nearly everywhere: no checks, and 0 + a
            // is a.
            if (twoRows && 2 * x + 1 < w &&
                !(holeTop[2 * x] | holeTop[2 * x + 1] | holeBottom[2 * x] |
                  holeBottom[2 * x + 1])) {
                for (int c = 0; c < 3; ++c)
                    o[x * 3 + c] = (((top[6 * x + c] + top[6 * x + 3 + c]) + bottom[6 * x + c]) +
                                    bottom[6 * x + 3 + c]) /
                                   4.0f;
                continue;
            }
            float sum[3] = {0.0f, 0.0f, 0.0f};
            float count = 0.0f;
            const int64_t cx[4] = {2 * x, 2 * x + 1, 2 * x, 2 * x + 1};
            const int64_t cy[4] = {2 * y, 2 * y, 2 * y + 1, 2 * y + 1};
            for (int k = 0; k < 4; ++k) {
                if (cx[k] >= w || cy[k] >= level.h)
                    continue;
                const int64_t i = cy[k] * w + cx[k];
                if (level.hole[i])
                    continue;
                for (int c = 0; c < 3; ++c)
                    sum[c] += level.rgb[i * 3 + c];
                count += 1.0f;
            }
            if (count > 0.0f) {
                for (int c = 0; c < 3; ++c)
                    o[x * 3 + c] = sum[c] / count;
            } else {
                out.hole[y * out.w + x] = 1;
            }
        }
    }
}

} // namespace

Level downsample(const Level& level, int processors) {
    Level out;
    out.w = (level.w + 1) / 2;
    out.h = (level.h + 1) / 2;
    LargePages::reserve(out.rgb, static_cast<size_t>(out.w * out.h * 3));
    LargePages::reserve(out.hole, static_cast<size_t>(out.w * out.h));
    out.rgb.assign(static_cast<size_t>(out.w * out.h * 3), 0.0f);
    out.hole.assign(static_cast<size_t>(out.w * out.h), 0);
    const bool split = hasSpareProcessor(processors) && out.w * out.h >= kSplitLoopPixels;
    inTwoHalves(out.h, split,
                [&](int64_t first, int64_t end) { downsampleRows(level, out, first, end); });
    return out;
}

namespace {

bool anyHole(const Level& level) {
    return std::any_of(level.hole.begin(), level.hole.end(), [](uint8_t v) { return v != 0; });
}

int passesFor(int64_t k, int64_t coarsest) {
    if (k == 0)
        return kFinestPasses;
    return k == coarsest ? kCoarsestPasses : kMiddlePasses;
}

// Rows first ... end - 1 of enlargeIntoHole(); sx, sy: the coarse-to-fine size ratios.
void enlargeRows(const std::vector<float>& coarse, int64_t sw, int64_t sh, float sx, float sy,
                 Level& level, int64_t first, int64_t end) {
    for (int64_t y = first; y < end; ++y) {
        const uint8_t* row = level.hole.data() + y * level.w;
        const Bilinear::Tap ty = Bilinear::tap(y, sy, sh);
        for (int64_t x = 0; x < level.w; ++x) {
            if (!row[x])
                continue;
            const Bilinear::Tap tx = Bilinear::tap(x, sx, sw);
            Bilinear::sample(coarse.data(), sw, tx, ty, Bilinear::weights(tx, ty),
                             level.rgb.data() + (y * level.w + x) * 3);
        }
    }
}

// Replaces the colours of the level's hole pixels by the bilinear enlargement of the
// coarser result (sw x sh). Known pixels keep their own colours.
void enlargeIntoHole(const std::vector<float>& coarse, int64_t sw, int64_t sh, Level& level,
                     int processors) {
    const float sx = static_cast<float>(sw) / static_cast<float>(level.w);
    const float sy = static_cast<float>(sh) / static_cast<float>(level.h);
    const bool split = hasSpareProcessor(processors) && level.w * level.h >= kSplitLoopPixels;
    inTwoHalves(level.h, split, [&](int64_t first, int64_t end) {
        enlargeRows(coarse, sw, sh, sx, sy, level, first, end);
    });
}

} // namespace

std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors, HelpDesk* desk,
                        Shortcut shortcut) {
    assert(w >= 1 && h >= 1 && "PatchFill::fill: empty buffer");
    assert(static_cast<int64_t>(rgb.size()) >= w * h * 3 && "PatchFill::fill: colours too short");
    assert(static_cast<int64_t>(hole.size()) >= w * h && "PatchFill::fill: hole flags too short");
    rgb.resize(static_cast<size_t>(w * h * 3));
    hole.resize(static_cast<size_t>(w * h));

    std::vector<Level> levels(1);
    levels[0].w = w;
    levels[0].h = h;
    levels[0].rgb = std::move(rgb);
    levels[0].hole = std::move(hole);
    while (true) {
        const Level& last = levels.back();
        if (holeExtent(last) < kMinHoleExtent || std::min(last.w, last.h) < kMinLevelSide)
            break;
        Level next = downsample(last, processors);
        if (!anyHole(next))
            break;
        levels.push_back(std::move(next));
        if (static_cast<int64_t>(levels.size()) == kMaxLevels)
            break;
    }

    const auto coarsest = static_cast<int64_t>(levels.size()) - 1;
    const int64_t skippedLevels = shortcut.skippedLevels;
    const auto passesAt = [&](int64_t k) {
        if (shortcut.finishPasses > 0 && k == skippedLevels && k < coarsest)
            return shortcut.finishPasses;
        return passesFor(k, coarsest);
    };
    int64_t total = 1;
    for (int64_t k = 0; k <= coarsest; ++k)
        total += passesAt(k);
    int64_t step = 0;
    auto advance = [&] {
        ++step;
        if (progress)
            progress(static_cast<double>(step) / static_cast<double>(total));
    };

    const Level& top = levels[coarsest];
    std::vector<float> cur = Diffusion::pushPull(top.rgb, top.hole, top.w, top.h);
    Diffusion::relax(cur, top.hole, top.w, top.h, kCoarseRelaxIterations);
    advance();

    std::optional<std::vector<int32_t>> prevNNF;
    int64_t pw = top.w, ph = top.h;
    // Each level is used once, coarsest first, so its buffers become the working colours
    // and the matcher's in place.
    for (int64_t k = coarsest; k >= 0; --k) {
        Level& level = levels[k];
        if (k < coarsest)
            enlargeIntoHole(cur, pw, ph, level, processors);
        else
            level.rgb = std::move(cur);
        if (k < skippedLevels && k < coarsest) {
            for (int p = 0; p < passesAt(k); ++p)
                advance();
            if (k == 0)
                return std::move(level.rgb);
            pw = level.w;
            ph = level.h;
            cur = std::move(level.rgb);
            prevNNF.reset();
            levels.pop_back();
            continue;
        }
        Matcher m(std::move(level), processors, desk);
        const int passes = passesAt(k);
        if (m.usable()) {
            m.initNNF(prevNNF ? std::span<const int32_t>(*prevNNF) : std::span<const int32_t>(), pw,
                      ph);
            for (int p = 0; p < passes; ++p) {
                m.matchPass(p % 2 == 1);
                m.vote();
                advance();
            }
            if (k > 0) // the finest level passes its field to no one
                prevNNF = m.snapshotNNF();
        } else {
            for (int p = 0; p < passes; ++p)
                advance();
            prevNNF.reset();
        }
        pw = m.w();
        ph = m.h();
        cur = m.takeRgb();
        levels.pop_back();
    }
    return cur;
}

} // namespace PatchFill
