#include "texturefill.h"

#include "simd.h"
#include "targetcolumns.h"

#include "bilinear.h"
#include "diffusion.h"
#include "largepages.h"
#include "morph.h"
#include "patchfill.h"
#include "workergang.h"
#include "xorshift.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <thread>

namespace TextureFill {
namespace {

constexpr int64_t kR = 3;       // patch radius: 7 x 7 patches
constexpr int64_t kValues = 4;  // per pixel: red, green, blue, texture feature
constexpr int64_t kMinSide = 9; // a smaller level has no usable interior
constexpr int64_t kMinChunkRows = 8;
// A pass sweeps this many runs of targets (fewer on a level with few target rows), each
// with its own random draws, on however many threads there are: every processor count
// gives the same field.
constexpr int64_t kFieldChunks = 2;
// Above this many source-hole pairs the onion peel searches at random instead of exhaustively.
constexpr int64_t kExhaustivePairs = 1'000'000;

// The most candidates measured side by side: one per random-search radius.
constexpr int kMaxBatch = 64;

// Four floats handled as one, so a pixel's colour and feature take one vector operation.
using V4 = float __attribute__((vector_size(16)));

inline V4 load(const float* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, V4 v) { std::memcpy(p, &v, sizeof v); }
inline float total(V4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Sum of squared differences of colours and features over one patch row of 7 pixels,
// starting at a and b. Even and odd columns sum in two chains.
inline float rowDistance(const float* a, const float* b) {
    V4 even = {0.0f, 0.0f, 0.0f, 0.0f};
    V4 odd = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int64_t dx = 0; dx < 2 * kR; dx += 2) {
        const V4 d0 = load(a + dx * kValues) - load(b + dx * kValues);
        const V4 d1 = load(a + (dx + 1) * kValues) - load(b + (dx + 1) * kValues);
        even += d0 * d0;
        odd += d1 * d1;
    }
    const V4 d6 = load(a + 2 * kR * kValues) - load(b + 2 * kR * kValues);
    even += d6 * d6;
    return total(even + odd);
}

// Starts n sums at zero and lists all of them in open; returns n.
inline int openAll(int n, float* out, int* open) {
    for (int k = 0; k < n; ++k) {
        out[k] = 0.0f;
        open[k] = k;
    }
    return n;
}

// The distances of one patch against n others: for each k, the sum of rowDistance over the
// 7 rows of the patches whose top left pixels are a and b[k] (rows rowStep floats apart),
// cut short after a row once it reaches limit. The patches are measured row by row side
// by side, so the loads of one overlap the sums of the others; each sum takes its rows in
// order, so every result is the one a patch-by-patch loop gives.
void patchDistances(const float* a, const float* const* b, int n, int64_t rowStep, float limit,
                    float* out) {
    int open[kMaxBatch];
    int count = openAll(n, out, open);
    for (int64_t dy = 0; dy < 2 * kR + 1 && count > 0; ++dy) {
        const int64_t offset = dy * rowStep;
        int kept = 0;
        for (int j = 0; j < count; ++j) {
            const int k = open[j];
            out[k] += rowDistance(a + offset, b[k] + offset);
            open[kept] = k;
            kept += out[k] < limit;
        }
        count = kept;
    }
}

#if defined(__x86_64__)
// The same with AVX2: in each row an even and an odd column side by side in one vector,
// whose low half is the even chain and whose high half the odd one, operation for operation.
using V8 = float __attribute__((vector_size(32)));
[[gnu::target("avx2")]] void patchDistancesWide(const float* a, const float* const* b, int n,
                                                int64_t rowStep, float limit, float* out) {
    int open[kMaxBatch];
    int count = openAll(n, out, open);
    for (int64_t dy = 0; dy < 2 * kR + 1 && count > 0; ++dy) {
        const float* ra = a + dy * rowStep;
        int kept = 0;
        for (int j = 0; j < count; ++j) {
            const int k = open[j];
            const float* rb = b[k] + dy * rowStep;
            V8 both = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
            for (int64_t dx = 0; dx < 2 * kR; dx += 2) {
                V8 x, y;
                std::memcpy(&x, ra + dx * kValues, sizeof x);
                std::memcpy(&y, rb + dx * kValues, sizeof y);
                const V8 d = x - y;
                both += d * d;
            }
            const V4 d6 = load(ra + 2 * kR * kValues) - load(rb + 2 * kR * kValues);
            const V4 even = V4{both[0], both[1], both[2], both[3]} + d6 * d6;
            const V4 odd = {both[4], both[5], both[6], both[7]};
            out[k] += total(even + odd);
            open[kept] = k;
            kept += out[k] < limit;
        }
        count = kept;
    }
}
#else
void patchDistancesWide(const float* a, const float* const* b, int n, int64_t rowStep, float limit,
                        float* out) {
    patchDistances(a, b, n, rowStep, limit, out);
}
#endif

// One pyramid level: kValues floats per pixel and the hole flags.
struct Level {
    int64_t w = 0;
    int64_t h = 0;
    std::vector<float> px;
    std::vector<uint8_t> hole;
};

int64_t holeExtent(const Level& level) {
    int64_t minX = level.w, maxX = -1, minY = level.h, maxY = -1;
    for (int64_t y = 0; y < level.h; ++y)
        for (int64_t x = 0; x < level.w; ++x)
            if (level.hole[y * level.w + x]) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = y;
            }
    return maxY < 0 ? 0 : std::max(maxX - minX + 1, maxY - minY + 1);
}

// Half-size level: each pixel averages its known children; a hole when all are holes.
Level downsample(const Level& level, int processors) {
    Level out;
    out.w = (level.w + 1) / 2;
    out.h = (level.h + 1) / 2;
    LargePages::reserve(out.px, static_cast<size_t>(out.w * out.h * kValues));
    out.px.assign(static_cast<size_t>(out.w * out.h * kValues), 0.0f);
    out.hole.assign(static_cast<size_t>(out.w * out.h), 0);
    const bool split = hasSpareProcessor(processors) && out.w * out.h >= kSplitLoopPixels;
    inTwoHalves(out.h, split, [&](int64_t first, int64_t end) {
        for (int64_t y = first; y < end; ++y)
            for (int64_t x = 0; x < out.w; ++x) {
                V4 sum = {0.0f, 0.0f, 0.0f, 0.0f};
                float count = 0.0f;
                for (int64_t cy = 2 * y; cy < std::min(2 * y + 2, level.h); ++cy)
                    for (int64_t cx = 2 * x; cx < std::min(2 * x + 2, level.w); ++cx) {
                        const int64_t i = cy * level.w + cx;
                        if (level.hole[i])
                            continue;
                        sum += load(level.px.data() + i * kValues);
                        count += 1.0f;
                    }
                const int64_t o = y * out.w + x;
                if (count > 0.0f)
                    store(out.px.data() + o * kValues, sum / count);
                else
                    out.hole[o] = 1;
            }
    });
    return out;
}

// The texture feature of every known pixel: the magnitude of the brightness gradient,
// averaged over the known pixels of a box around it, times weight. Differences reach
// only known pixels (one-sided beside the hole), so the hole's own colours never count.
void computeFeatures(Level& level, int64_t radius, float weight, int processors) {
    const int64_t w = level.w;
    const int64_t h = level.h;
    const int64_t n = w * h;
    float* px = level.px.data();
    const uint8_t* hole = level.hole.data();
    std::vector<float> lum;
    LargePages::reserve(lum, static_cast<size_t>(n));
    lum.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i)
        lum[i] = (px[i * kValues] + px[i * kValues + 1] + px[i * kValues + 2]) / 3.0f;
    // Summed-area tables of the magnitudes and of the pixels that have one.
    const int64_t sw = w + 1;
    std::vector<double> sum, count;
    LargePages::reserve(sum, static_cast<size_t>(sw * (h + 1)));
    LargePages::reserve(count, static_cast<size_t>(sw * (h + 1)));
    sum.assign(static_cast<size_t>(sw * (h + 1)), 0.0);
    count.assign(static_cast<size_t>(sw * (h + 1)), 0.0);
    auto slope = [&](int64_t i, bool before, bool after, int64_t step, float& g) {
        const bool b = before && !hole[i - step];
        const bool a = after && !hole[i + step];
        if (a && b)
            g = (lum[i + step] - lum[i - step]) * 0.5f;
        else if (a)
            g = lum[i + step] - lum[i];
        else if (b)
            g = lum[i] - lum[i - step];
        else
            return false;
        return true;
    };
    for (int64_t y = 0; y < h; ++y) {
        double rowSum = 0.0, rowCount = 0.0;
        for (int64_t x = 0; x < w; ++x) {
            const int64_t i = y * w + x;
            float gx = 0.0f, gy = 0.0f;
            if (!hole[i]) {
                const bool hx = slope(i, x > 0, x + 1 < w, 1, gx);
                const bool hy = slope(i, y > 0, y + 1 < h, w, gy);
                if (hx || hy) {
                    rowSum += std::sqrt(gx * gx + gy * gy);
                    rowCount += 1.0;
                }
            }
            sum[(y + 1) * sw + x + 1] = sum[y * sw + x + 1] + rowSum;
            count[(y + 1) * sw + x + 1] = count[y * sw + x + 1] + rowCount;
        }
    }
    const bool split = hasSpareProcessor(processors) && n >= kSplitLoopPixels;
    inTwoHalves(h, split, [&](int64_t first, int64_t end) {
        for (int64_t y = first; y < end; ++y) {
            const int64_t y0 = std::max<int64_t>(0, y - radius);
            const int64_t y1 = std::min(h, y + radius + 1);
            for (int64_t x = 0; x < w; ++x) {
                const int64_t i = y * w + x;
                if (hole[i]) {
                    px[i * kValues + 3] = 0.0f;
                    continue;
                }
                const int64_t x0 = std::max<int64_t>(0, x - radius);
                const int64_t x1 = std::min(w, x + radius + 1);
                auto box = [&](const std::vector<double>& t) {
                    return t[y1 * sw + x1] - t[y0 * sw + x1] - t[y1 * sw + x0] + t[y0 * sw + x0];
                };
                const double c = box(count);
                px[i * kValues + 3] = c > 0.0 ? static_cast<float>(box(sum) / c) * weight : 0.0f;
            }
        }
    });
}

// Patch matching on one level with colour and feature distances. Sources and targets as
// in the standard matcher: an interior pixel is a target when the hole dilated by the
// patch radius covers it, else a source.
class Field {
public:
    Field(Level& level, int processors, const Params& params, HelpDesk* desk)
        : level_(level), w_(level.w), h_(level.h), n_(level.w * level.h), processors_(processors),
          params_(params), desk_(desk) {
        // Large levels' buffers fault in huge pages where the system offers them.
        const auto n = static_cast<size_t>(n_);
        LargePages::reserve(nnf_, n);
        // Zeroed, and touched only around the hole: most of a large level's pages are never
        // faulted in.
        valid_.allocate(n);
        target_.allocate(n);
        dist_.allocate(n);
        weight_.allocate(n);
        nnf_.assign(n, -1);
        if (w_ < kMinSide || h_ < kMinSide)
            return;
        const std::vector<uint8_t> near = Morph::dilate(level.hole, w_, h_, kR);
        targetColumns_.reset(h_, w_);
        // Every interior pixel is a source or a target: room for all of them at once, rather
        // than the copies of a growing list.
        LargePages::reserve(sources_, static_cast<size_t>((w_ - 2 * kR) * (h_ - 2 * kR)));
        for (int64_t y = kR; y < h_ - kR; ++y)
            for (int64_t x = kR; x < w_ - kR; ++x) {
                const int64_t i = y * w_ + x;
                if (near[i]) {
                    target_[i] = 1;
                    targetColumns_.add(x, y);
                    targets_.push_back(static_cast<int32_t>(i));
                } else {
                    valid_[i] = 1;
                    sources_.push_back(static_cast<int32_t>(i));
                }
            }
        for (int64_t i = 0; i < n_; ++i)
            if (level.hole[i])
                holes_.push_back(static_cast<int32_t>(i));
        usable_ = !sources_.empty() && !targets_.empty();
        if (!usable_)
            return;
        columns_ = targetColumns_.columns();
        scratch_.resize(targets_.size());
        const int64_t rows = targets_.back() / w_ - targets_.front() / w_ + 1;
        int64_t cpus = processors_;
        if (cpus <= 0)
            cpus = std::max<int64_t>(1, std::thread::hardware_concurrency());
        chunks_ = std::max<int64_t>(1, std::min(rows / kMinChunkRows, kFieldChunks));
        for (int64_t r = std::max(w_, h_); r >= 1; r /= 2)
            spans_.emplace_back(static_cast<uint64_t>(2 * r + 1));
        threads_ = gang_.reserve(std::min(chunks_, cpus)); // fewer where threads cannot be started
    }

    bool usable() const { return usable_; }
    std::vector<int32_t> takeNnf() { return std::move(nnf_); }

    // Coarsest level: fills the hole layer by layer from its edge inwards. A pixel of a
    // layer takes the value its position holds in the best match of its patch, measured
    // over the pixels known or filled so far; the matches seed the hole targets' field.
    void onionPeel() {
        float* px = level_.px.data();
        std::vector<uint8_t> filled(static_cast<size_t>(n_));
        for (int64_t i = 0; i < n_; ++i)
            filled[i] = !level_.hole[i];
        std::vector<int32_t> layer;
        layer.reserve(holes_.size());
        XorShift rng{0x5DEECE66DULL};
        const bool exhaustive =
            static_cast<int64_t>(sources_.size()) * static_cast<int64_t>(holes_.size()) <=
            kExhaustivePairs;
        auto partial = [&](int64_t c, int64_t s, float limit) {
            float sum = 0.0f;
            for (int64_t dy = -kR; dy <= kR; ++dy) {
                V4 row = {0.0f, 0.0f, 0.0f, 0.0f};
                for (int64_t dx = -kR; dx <= kR; ++dx) {
                    const int64_t k = dy * w_ + dx;
                    if (!filled[c + k])
                        continue;
                    const V4 d = load(px + (c + k) * kValues) - load(px + (s + k) * kValues);
                    row += d * d;
                }
                sum += total(row);
                if (sum >= limit)
                    break;
            }
            return sum;
        };
        int64_t remaining = static_cast<int64_t>(holes_.size());
        while (remaining > 0) {
            layer.clear();
            for (const int32_t i : holes_) {
                if (filled[i])
                    continue;
                const int64_t x = i % w_;
                const int64_t y = i / w_;
                bool edge = false;
                for (int64_t dy = -1; dy <= 1 && !edge; ++dy)
                    for (int64_t dx = -1; dx <= 1 && !edge; ++dx) {
                        const int64_t qx = x + dx, qy = y + dy;
                        edge = qx >= 0 && qx < w_ && qy >= 0 && qy < h_ && filled[qy * w_ + qx];
                    }
                if (edge)
                    layer.push_back(i);
            }
            if (layer.empty())
                break;
            for (const int32_t p : layer) {
                const int64_t x = p % w_;
                const int64_t y = p / w_;
                // The patch centre nearest p that lies wholly inside the level.
                const int64_t cx = std::clamp(x, kR, w_ - kR - 1);
                const int64_t cy = std::clamp(y, kR, h_ - kR - 1);
                const int64_t c = cy * w_ + cx;
                int64_t best = -1;
                float bestDist = std::numeric_limits<float>::infinity();
                auto consider = [&](int64_t s) {
                    if (s < 0 || s >= n_ || !valid_[s])
                        return;
                    const float d = partial(c, s, bestDist);
                    if (d < bestDist) {
                        bestDist = d;
                        best = s;
                    }
                };
                // Neighbours matched in earlier layers propose their matches, shifted.
                for (int64_t dy = -1; dy <= 1; ++dy)
                    for (int64_t dx = -1; dx <= 1; ++dx) {
                        const int64_t qx = cx + dx, qy = cy + dy;
                        if (qx < 0 || qx >= w_ || qy < 0 || qy >= h_)
                            continue;
                        const int32_t q = nnf_[qy * w_ + qx];
                        if (q >= 0 && q % w_ - dx >= 0 && q % w_ - dx < w_)
                            consider(q - dx - dy * w_);
                    }
                if (exhaustive) {
                    for (const int32_t s : sources_)
                        consider(s);
                } else {
                    for (int k = 0; k < 16; ++k)
                        consider(sources_[rng.below(sources_.size())]);
                    for (int round = 0; round < 3 && best >= 0; ++round) {
                        int64_t reach = std::max(w_, h_);
                        for (const XorShift::Divisor& span : spans_) {
                            const int64_t ox = static_cast<int64_t>(rng.below(span)) - reach;
                            const int64_t oy = static_cast<int64_t>(rng.below(span)) - reach;
                            reach /= 2;
                            const int64_t sx = best % w_ + ox, sy = best / w_ + oy;
                            if (sx >= 0 && sx < w_ && sy >= 0 && sy < h_)
                                consider(sy * w_ + sx);
                        }
                    }
                }
                if (best < 0)
                    best = sources_.front();
                if (p == c)
                    nnf_[c] = static_cast<int32_t>(best);
                store(px + p * kValues, load(px + (best + p - c) * kValues));
            }
            for (const int32_t p : layer)
                filled[p] = 1;
            remaining -= static_cast<int64_t>(layer.size());
        }
        // Targets the layers did not match (the known ring around the hole) start at random.
        for (const int32_t t : targets_)
            if (nnf_[t] < 0)
                nnf_[t] = sources_[rng.below(sources_.size())];
    }

    // Seeds the field from the coarser level's (pw x ph): a coarse match scaled up by 2
    // keeping the target's parity, or another child of the same coarse pixel, or else a
    // random source. Without a coarser field every target starts at random.
    void seed(std::span<const int32_t> prev, int64_t pw, int64_t ph) {
        XorShift rng{0xA12CE22B4ED990ADULL};
        for (const int32_t t : targets_) {
            const int64_t x = t % w_;
            const int64_t y = t / w_;
            int32_t match = -1;
            if (!prev.empty()) {
                const int32_t p = prev[std::min(ph - 1, y / 2) * pw + std::min(pw - 1, x / 2)];
                if (p >= 0) {
                    const int64_t sx = p % pw, sy = p / pw;
                    for (int k = 0; k < 4 && match < 0; ++k) {
                        const int64_t cx = 2 * sx + ((x + k) & 1);
                        const int64_t cy = 2 * sy + ((y + k / 2) & 1);
                        if (cx < w_ && cy < h_ && valid_[cy * w_ + cx])
                            match = static_cast<int32_t>(cy * w_ + cx);
                    }
                }
            }
            if (match < 0)
                match = sources_[rng.below(sources_.size())];
            nnf_[t] = match;
        }
    }

    // Distances of the current field to the current colours.
    void refresh() {
        runTargets([this](int64_t first, int64_t end) {
            for (int64_t k = first; k < end; ++k) {
                const int32_t t = targets_[k];
                dist_[t] = distance(t, nnf_[t], std::numeric_limits<float>::infinity());
            }
        });
    }

    // One propagation and random-search sweep, backwards when reverse. Each chunk sweeps
    // its own run of targets and propagates only between them, so the field depends on
    // the chunk count but not on timing. round varies the random draws between passes.
    void pass(bool reverse, uint64_t round) {
        runChunks([this, reverse, round](int64_t first, int64_t end) {
            const float infinity = std::numeric_limits<float>::infinity();
            for (int64_t k = first; k < end; ++k) {
                const int32_t t = targets_[k];
                dist_[t] = distance(t, nnf_[t], infinity);
            }
            const int64_t lo = targets_[first];
            const int64_t hi = targets_[end - 1];
            XorShift rng{((static_cast<uint64_t>(first) + 1) * 7919 + round * 104729) *
                             0x9E3779B97F4A7C15ULL |
                         1};
            const int64_t d = reverse ? 1 : -1;
            const int64_t w = w_;
            const int64_t h = h_;
            const int64_t count = end - first;
            auto targetAt = [&](int64_t step) {
                return targets_[reverse ? end - 1 - step : first + step];
            };
            // Random-search offsets, one pair per radius, of this target and the next. The
            // draws do not depend on the search's outcome, so the next target's are made
            // while this one is matched, and the flags and first patch rows of its
            // candidates around its present match are fetched meanwhile.
            const size_t radii = spans_.size();
            int64_t offsets[2][64][2];
            auto draw = [&](int64_t step, int64_t(*out)[2]) {
                const int64_t i = targetAt(step);
                const int64_t bx = nnf_[i] % w, by = nnf_[i] / w;
                int64_t reach = std::max(w, h);
                for (size_t k = 0; k < radii; ++k) {
                    out[k][0] = static_cast<int64_t>(rng.below(spans_[k])) - reach;
                    out[k][1] = static_cast<int64_t>(rng.below(spans_[k])) - reach;
                    reach /= 2;
                    const int64_t cx = bx + out[k][0], cy = by + out[k][1];
                    if (cx >= kR && cx < w - kR && cy >= kR && cy < h - kR) {
                        if (targetColumns_.inRange(cx, cy))
                            __builtin_prefetch(&valid_[cy * w + cx]);
                        const float* row = level_.px.data() + ((cy - kR) * w + cx - kR) * kValues;
                        __builtin_prefetch(row);
                        __builtin_prefetch(row + (2 * kR + 1) * kValues - 1);
                    }
                }
            };
            if (count > 0)
                draw(0, offsets[0]);
            for (int64_t step = 0; step < count; ++step) {
                const int64_t i = targetAt(step);
                const int64_t(*drawn)[2] = offsets[step % 2];
                if (step + 1 < count)
                    draw(step + 1, offsets[(step + 1) % 2]);
                int64_t best = nnf_[i];
                float bestDist = dist_[i];
                auto consider = [&](int64_t c) {
                    if (c == best)
                        return;
                    const float e = distance(i, c, bestDist);
                    if (e < bestDist) {
                        bestDist = e;
                        best = c;
                    }
                };
                // Neighbours already swept this pass propose their matches, shifted back.
                if (i + d >= lo && i + d <= hi && target_[i + d]) {
                    const int64_t q = nnf_[i + d];
                    const int64_t cx = q % w - d;
                    if (cx >= 0 && cx < w && valid_[q - d])
                        consider(q - d);
                }
                if (i + d * w >= lo && i + d * w <= hi && target_[i + d * w]) {
                    const int64_t q = nnf_[i + d * w];
                    const int64_t cy = q / w - d;
                    if (cy >= 0 && cy < h && valid_[q - d * w])
                        consider(q - d * w);
                }
                // Random search around the best so far, the radius halving from the level size.
                // The candidates are measured together assuming the centre stays; when one
                // wins, the later ones move with the new centre and are measured again. A
                // distance cut short at a looser limit is still at least the current best,
                // so every decision is the one a candidate-by-candidate search makes.
                for (size_t next = 0; next < radii;) {
                    int64_t cs[kMaxBatch];
                    size_t ks[kMaxBatch];
                    float es[kMaxBatch];
                    int n = 0;
                    for (size_t k = next; k < radii; ++k) {
                        const int64_t cx = best % w + drawn[k][0], cy = best / w + drawn[k][1];
                        if (validAt(cx, cy) && cy * w + cx != best) {
                            cs[n] = cy * w + cx;
                            ks[n++] = k;
                        }
                    }
                    distances(i, cs, n, bestDist, es);
                    next = radii;
                    for (int j = 0; j < n; ++j)
                        if (es[j] < bestDist) {
                            bestDist = es[j];
                            best = cs[j];
                            next = ks[j] + 1;
                            break;
                        }
                }
                nnf_[i] = static_cast<int32_t>(best);
                dist_[i] = bestDist;
            }
        });
    }

    // Every hole pixel becomes the weighted mean of what the patches covering it propose,
    // a match at distance d weighing exp(-d / (2 s2)) with s2 the chosen percentile of the
    // distances. Proposals come from source patches, which hold no hole pixel, so the hole
    // is written in place.
    void vote() {
        for (size_t k = 0; k < targets_.size(); ++k)
            scratch_[k] = dist_[targets_[k]];
        const auto nth = static_cast<size_t>(std::clamp(params_.percentile, 0.0f, 1.0f) *
                                             static_cast<float>(scratch_.size() - 1));
        std::nth_element(scratch_.begin(), scratch_.begin() + static_cast<int64_t>(nth),
                         scratch_.end());
        const float s2 = std::max(scratch_[nth], 1e-3f);
        const float k = -1.0f / (2.0f * s2);
        runTargets([this, k](int64_t first, int64_t end) {
            for (int64_t j = first; j < end; ++j) {
                const int32_t t = targets_[j];
                weight_[t] = std::exp(dist_[t] * k);
            }
        });
        // Each target adds its weighted proposal to the sums of the pixels its patch covers
        // (PatchFill::forVoteBand); each chunk takes a band of rows.
        const int64_t y0 = std::max<int64_t>(0, targets_.front() / w_ - kR);
        const int64_t y1 = std::min(h_, targets_.back() / w_ + kR + 1);
        auto band = [this, y0](int64_t first, int64_t end) { voteRows(y0 + first, y0 + end); };
        split(y1 - y0, std::max<int64_t>(1, std::min(kPieces, (y1 - y0) / 32)), band);
    }

    // vote() for the hole pixels of rows y0 .. y1 - 1.
    void voteRows(int64_t y0, int64_t y1) {
        constexpr int64_t kRing = 2 * kR + 1;
        const int64_t x0 = columns_.first - kR;
        const int64_t columns = columns_.end + kR - x0;
        std::vector<float> ring(static_cast<size_t>(kRing * columns * (kValues + 1)));
        float* const sums = ring.data();
        float* const weights = sums + kRing * columns * kValues;
        float* px = level_.px.data();
        PatchFill::forVoteBand(
            y0, y1, kR, w_, targetColumns_, target_,
            [&](int64_t ty, int64_t tx, int64_t dyFirst, int64_t dyLast) {
                const int64_t t = ty * w_ + tx;
                const float a = weight_[t];
                for (int64_t dy = dyFirst; dy <= dyLast; ++dy) {
                    const int64_t at = (ty + dy) % kRing * columns + tx - kR - x0;
                    const float* from = px + (nnf_[t] + dy * w_ - kR) * kValues;
                    float* to = sums + at * kValues;
                    for (int64_t k = 0; k <= 2 * kR; ++k) {
                        store(to + k * kValues,
                              load(to + k * kValues) + a * load(from + k * kValues));
                        weights[at + k] += a;
                    }
                }
            },
            [&](int64_t y) {
                // The row's sums are complete; its place in the ring is cleared for reuse.
                float* rowSums = sums + y % kRing * columns * kValues;
                float* rowWeights = weights + y % kRing * columns;
                const uint8_t* holeRow = level_.hole.data() + y * w_ + x0;
                for (int64_t c = 0; c < columns; ++c)
                    if (holeRow[c] && rowWeights[c] > 0.0f)
                        store(px + (y * w_ + x0 + c) * kValues,
                              load(rowSums + c * kValues) / rowWeights[c]);
                std::fill_n(rowSums, columns * kValues, 0.0f);
                std::fill_n(rowWeights, columns, 0.0f);
            });
    }

    // Every hole pixel takes what the nearest of the patches covering it proposes.
    void bestPatch() {
        runHoles([this](int64_t first, int64_t end) {
            float* px = level_.px.data();
            for (int64_t j = first; j < end; ++j) {
                const int64_t i = holes_[j];
                float best = std::numeric_limits<float>::infinity();
                int64_t from = -1;
                forCovering(i, [&](int64_t t, int64_t source) {
                    if (dist_[t] < best) {
                        best = dist_[t];
                        from = source;
                    }
                });
                if (from >= 0)
                    store(px + i * kValues, load(px + from * kValues));
            }
        });
    }

    // Evens out the shade of the filled hole with its surroundings. Along the hole's edge
    // the known pixels are compared with what the best patches centred in the hole propose
    // for them; the differences, averaged along the edge, are spread smoothly over the
    // hole and added to it. A fill copied from a lighter or darker part of a sky or a wall
    // then meets its surroundings without a seam, and keeps its grain.
    void correctShade(int64_t iterations) {
        const uint8_t* hole = level_.hole.data();
        float* px = level_.px.data();
        // The box of the targets, one pixel wider: it holds the hole and its edge.
        int64_t x0 = w_, x1 = -1, y0 = h_, y1 = -1;
        for (const int32_t t : targets_) {
            x0 = std::min<int64_t>(x0, t % w_);
            x1 = std::max<int64_t>(x1, t % w_);
            y0 = std::min<int64_t>(y0, t / w_);
            y1 = std::max<int64_t>(y1, t / w_);
        }
        for (const int32_t i : holes_) {
            x0 = std::min<int64_t>(x0, i % w_);
            x1 = std::max<int64_t>(x1, i % w_);
            y0 = std::min<int64_t>(y0, i / w_);
            y1 = std::max<int64_t>(y1, i / w_);
        }
        x0 = std::max<int64_t>(0, x0 - 1);
        y0 = std::max<int64_t>(0, y0 - 1);
        x1 = std::min(w_ - 1, x1 + 1);
        y1 = std::min(h_ - 1, y1 + 1);
        const int64_t bw = x1 - x0 + 1, bh = y1 - y0 + 1;
        std::vector<float> diff(static_cast<size_t>(bw * bh * 3), 0.0f);
        std::vector<uint8_t> edge(static_cast<size_t>(bw * bh), 0);
        for (const int32_t t : targets_) {
            if (hole[t])
                continue;
            float best = std::numeric_limits<float>::infinity();
            int64_t from = -1;
            forCovering(t, [&](int64_t c, int64_t source) {
                if (hole[c] && dist_[c] < best) {
                    best = dist_[c];
                    from = source;
                }
            });
            if (from < 0)
                continue;
            const int64_t b = (t / w_ - y0) * bw + (t % w_ - x0);
            edge[b] = 1;
            for (int64_t c = 0; c < 3; ++c)
                diff[b * 3 + c] = px[t * kValues + c] - px[from * kValues + c];
        }
        // Averaged along the edge over 7 x 7 windows, so the grain does not streak in.
        std::vector<float> known(static_cast<size_t>(bw * bh * 3), 0.0f);
        std::vector<uint8_t> unknown(static_cast<size_t>(bw * bh), 1);
        for (int64_t y = 0; y < bh; ++y)
            for (int64_t x = 0; x < bw; ++x) {
                const int64_t b = y * bw + x;
                if (!edge[b])
                    continue;
                float sum[3] = {0.0f, 0.0f, 0.0f};
                float count = 0.0f;
                for (int64_t qy = std::max<int64_t>(0, y - kR); qy <= std::min(bh - 1, y + kR);
                     ++qy)
                    for (int64_t qx = std::max<int64_t>(0, x - kR); qx <= std::min(bw - 1, x + kR);
                         ++qx) {
                        const int64_t q = qy * bw + qx;
                        if (!edge[q])
                            continue;
                        for (int64_t c = 0; c < 3; ++c)
                            sum[c] += diff[q * 3 + c];
                        count += 1.0f;
                    }
                for (int64_t c = 0; c < 3; ++c)
                    known[b * 3 + c] = sum[c] / count;
                unknown[b] = 0;
            }
        if (std::none_of(unknown.begin(), unknown.end(), [](uint8_t v) { return v == 0; }))
            return;
        // The differences vary slowly, so they are spread at half size, a quarter of the work:
        // each half-size pixel takes the mean of its edge pixels, and the hole the bilinear
        // enlargement of the result.
        PatchFill::Level half =
            PatchFill::downsample({bw, bh, std::move(known), std::move(unknown)});
        const int64_t hw = half.w, hh = half.h;
        const std::vector<float> spread =
            Diffusion::smoothFill(half.rgb, half.hole, hw, hh, iterations);
        for (int64_t o = 0, k = 0; o < hw * hh; ++o)
            if (half.hole[o])
                std::copy_n(spread.data() + 3 * k++, 3, half.rgb.data() + o * 3);
        const float sx = static_cast<float>(hw) / static_cast<float>(bw);
        const float sy = static_cast<float>(hh) / static_cast<float>(bh);
        for (int64_t y = 0; y < bh; ++y) {
            const Bilinear::Tap ty = Bilinear::tap(y, sy, hh);
            for (int64_t x = 0; x < bw; ++x) {
                const int64_t i = (y + y0) * w_ + x + x0;
                if (!hole[i])
                    continue;
                const Bilinear::Tap tx = Bilinear::tap(x, sx, hw);
                float d[3];
                Bilinear::sample(half.rgb.data(), hw, tx, ty, Bilinear::weights(tx, ty), d);
                for (int64_t c = 0; c < 3; ++c)
                    px[i * kValues + c] += d[c];
            }
        }
    }

private:
    // The patch distance of target t to source c, cut short at limit.
    float distance(int64_t t, int64_t c, float limit) const {
        float e;
        distances(t, &c, 1, limit, &e);
        return e;
    }
    // The patch distances of target t to the n sources cs, each cut short at limit.
    void distances(int64_t t, const int64_t* cs, int n, float limit, float* out) const {
        const float* a = level_.px.data() + (t - kR * w_ - kR) * kValues;
        const float* b[kMaxBatch];
        for (int k = 0; k < n; ++k)
            b[k] = level_.px.data() + (cs[k] - kR * w_ - kR) * kValues;
        if (wide_)
            patchDistancesWide(a, b, n, w_ * kValues, limit, out);
        else
            patchDistances(a, b, n, w_ * kValues, limit, out);
    }

    // Calls f(target, source pixel) for every target whose patch covers pixel i, with the
    // pixel that plays i's part in that target's match.
    template <typename F> void forCovering(int64_t i, F&& f) const {
        PatchFill::forCoveringTargets(i, w_, h_, kR, target_, nnf_, f);
    }

    // Runs body(first, end) over the pass's chunks of the targets in parallel.
    template <typename Body> void runChunks(Body&& body) {
        split(static_cast<int64_t>(targets_.size()), chunks_, body);
    }
    // The same for loops whose result does not depend on the split: in more pieces, so a
    // helper that joins late still finds work.
    static constexpr int64_t kPieces = 8;
    template <typename Body> void runTargets(Body&& body) {
        const auto count = static_cast<int64_t>(targets_.size());
        split(count, std::max<int64_t>(1, std::min(kPieces, count / 64)), body);
    }
    template <typename Body> void runHoles(Body&& body) {
        const auto count = static_cast<int64_t>(holes_.size());
        split(count, std::max<int64_t>(1, std::min(kPieces, count / 64)), body);
    }
    // Every chunk gets at least one item. The threads take the chunks as they go, joined by
    // a helper from the desk when there is one; which thread runs a chunk does not matter.
    template <typename Body> void split(int64_t count, int64_t chunks, Body& body) {
        if (count < 1)
            return;
        struct Context {
            Body* body;
            int64_t count, chunks;
            std::atomic<int64_t> next{0};
            static void take(void* p) {
                auto* x = static_cast<Context*>(p);
                for (int64_t c; (c = x->next.fetch_add(1, std::memory_order_relaxed)) < x->chunks;)
                    (*x->body)(x->count * c / x->chunks, x->count * (c + 1) / x->chunks);
            }
        } ctx{&body, count, std::min(chunks, count)};
        runWithHelp(ctx.chunks > 1 ? desk_ : nullptr, &Context::take, &ctx, [&] {
            gang_.run(
                std::min(threads_, ctx.chunks), [](void* p, int64_t) { Context::take(p); }, &ctx);
        });
    }

    Level& level_;
    int64_t w_, h_, n_;
    int processors_;
    const Params& params_;
    HelpDesk* desk_;
    bool usable_ = false;
    int64_t chunks_ = 1;
    int64_t threads_ = 1;
    LargePages::Buffer<uint8_t> valid_, target_;
    TargetColumns targetColumns_;
    TargetColumns::Columns columns_{}; // of all the targets
    // valid_ at (x, y), read only where the row's targets leave it in doubt.
    bool validAt(int64_t x, int64_t y) const {
        if (x < kR || x >= w_ - kR || y < kR || y >= h_ - kR)
            return false;
        return !targetColumns_.inRange(x, y) || valid_[y * w_ + x];
    }
    std::vector<int32_t> nnf_;
    LargePages::Buffer<float> dist_, weight_;
    std::vector<float> scratch_;
    std::vector<int32_t> sources_, targets_, holes_;
    std::vector<XorShift::Divisor> spans_;
    const bool wide_ = Simd::wideKernels();
    WorkerGang gang_;
};

// Replaces the values of the level's hole pixels by the bilinear enlargement of the
// coarser level (sw x sh).
void enlargeIntoHole(const Level& coarse, Level& level, int processors) {
    const float sx = static_cast<float>(coarse.w) / static_cast<float>(level.w);
    const float sy = static_cast<float>(coarse.h) / static_cast<float>(level.h);
    const bool split = hasSpareProcessor(processors) && level.w * level.h >= kSplitLoopPixels;
    inTwoHalves(level.h, split, [&](int64_t first, int64_t end) {
        for (int64_t y = first; y < end; ++y) {
            const Bilinear::Tap ty = Bilinear::tap(y, sy, coarse.h);
            for (int64_t x = 0; x < level.w; ++x) {
                if (!level.hole[y * level.w + x])
                    continue;
                const Bilinear::Tap tx = Bilinear::tap(x, sx, coarse.w);
                const Bilinear::Weights k = Bilinear::weights(tx, ty);
                const float* src = coarse.px.data();
                auto at = [&](int64_t cx, int64_t cy) {
                    return load(src + (cy * coarse.w + cx) * kValues);
                };
                const V4 v = k.w00 * at(tx.i0, ty.i0) + k.w10 * at(tx.i1, ty.i0) +
                             k.w01 * at(tx.i0, ty.i1) + k.w11 * at(tx.i1, ty.i1);
                store(level.px.data() + (y * level.w + x) * kValues, v);
            }
        }
    });
}

// The smooth fill of a level's hole, colours and feature alike.
void smoothFill(Level& level) {
    const int64_t n = level.w * level.h;
    std::vector<float> rgb(static_cast<size_t>(n * 3)), feature(static_cast<size_t>(n * 3));
    for (int64_t i = 0; i < n; ++i)
        for (int64_t c = 0; c < 3; ++c) {
            rgb[i * 3 + c] = level.px[i * kValues + c];
            feature[i * 3 + c] = level.px[i * kValues + 3];
        }
    for (std::vector<float>* values : {&rgb, &feature}) {
        *values = Diffusion::pushPull(*values, level.hole, level.w, level.h);
        Diffusion::relax(*values, level.hole, level.w, level.h, PatchFill::kCoarseRelaxIterations);
    }
    for (int64_t i = 0; i < n; ++i) {
        if (!level.hole[i])
            continue;
        for (int64_t c = 0; c < 3; ++c)
            level.px[i * kValues + c] = rgb[i * 3 + c];
        level.px[i * kValues + 3] = feature[i * 3];
    }
}

} // namespace

std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors,
                        const Params& params, HelpDesk* desk) {
    assert(w >= 1 && h >= 1 && "TextureFill::fill: empty buffer");
    assert(static_cast<int64_t>(rgb.size()) >= w * h * 3 && "TextureFill::fill: colours too short");
    assert(static_cast<int64_t>(hole.size()) >= w * h && "TextureFill::fill: hole too short");
    const int64_t n = w * h;
    std::vector<Level> levels(1);
    Level& finest = levels[0];
    finest.w = w;
    finest.h = h;
    LargePages::reserve(finest.px, static_cast<size_t>(n * kValues));
    finest.px.resize(static_cast<size_t>(n * kValues));
    for (int64_t i = 0; i < n; ++i)
        for (int64_t c = 0; c < 3; ++c)
            finest.px[i * kValues + c] = rgb[i * 3 + c];
    hole.resize(static_cast<size_t>(n));
    finest.hole = std::move(hole);
    computeFeatures(finest, params.featureRadius, params.featureWeight, processors);
    while (true) {
        const Level& last = levels.back();
        if (holeExtent(last) < PatchFill::kMinHoleExtent ||
            std::min(last.w, last.h) < PatchFill::kMinLevelSide)
            break;
        Level next = downsample(last, processors);
        if (std::none_of(next.hole.begin(), next.hole.end(), [](uint8_t v) { return v != 0; }))
            break;
        levels.push_back(std::move(next));
        if (static_cast<int64_t>(levels.size()) == PatchFill::kMaxLevels)
            break;
    }

    const auto coarsest = static_cast<int64_t>(levels.size()) - 1;
    auto passesFor = [&](int64_t k) {
        if (k == 0)
            return params.finestPasses;
        return k == coarsest ? params.coarsestPasses : params.middlePasses;
    };
    int64_t totalSteps = 1;
    for (int64_t k = 0; k <= coarsest; ++k)
        totalSteps += passesFor(k);
    int64_t steps = 0;
    auto advance = [&] {
        ++steps;
        if (progress)
            progress(static_cast<double>(steps) / static_cast<double>(totalSteps));
    };

    std::vector<int32_t> prev;
    int64_t pw = 0, ph = 0;
    for (int64_t k = coarsest; k >= 0; --k) {
        Level& level = levels[static_cast<size_t>(k)];
        if (k < coarsest) {
            enlargeIntoHole(levels[static_cast<size_t>(k) + 1], level, processors);
            levels.pop_back(); // the coarser level is done with
        }
        Field field(level, processors, params, desk);
        const int passes = passesFor(k);
        if (k == coarsest) {
            if (progress)
                progress(0.0);
            if (field.usable() && params.onionPeel)
                field.onionPeel();
            else
                smoothFill(level);
            advance();
        }
        if (!field.usable()) {
            for (int p = 0; p < passes; ++p)
                advance();
            prev.clear();
        } else {
            if (k < coarsest || !params.onionPeel) {
                field.seed(params.carryField ? std::span<const int32_t>(prev)
                                             : std::span<const int32_t>(),
                           pw, ph);
                if (params.carryField && !prev.empty()) {
                    field.refresh();
                    field.vote();
                }
            }
            for (int p = 0; p < passes; ++p) {
                field.pass(p % 2 == 1, static_cast<uint64_t>(p));
                if (k == 0 && p == passes - 1 && params.bestPatchFinish)
                    field.bestPatch();
                else
                    field.vote();
                advance();
            }
            if (k == 0 && params.shadeIterations > 0)
                field.correctShade(params.shadeIterations);
            prev = field.takeNnf();
        }
        pw = level.w;
        ph = level.h;
    }

    std::vector<float> out = std::move(rgb);
    out.resize(static_cast<size_t>(n * 3));
    const Level& result = levels[0];
    for (int64_t i = 0; i < n; ++i)
        if (result.hole[i])
            for (int64_t c = 0; c < 3; ++c)
                out[i * 3 + c] = result.px[i * kValues + c];
    return out;
}

} // namespace TextureFill
