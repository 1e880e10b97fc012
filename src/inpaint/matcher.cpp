#include "matcher.h"

#include "morph.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <thread>

namespace {

// 64-bit xorshift generator; every draw of the matcher comes from one of these with a
// fixed seed, so a level gives the same field on every run.
struct XorShift {
    uint64_t s;
    void step() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
    }
    uint64_t below(uint64_t m) {
        step();
        return (s * 0x2545F4914F6CDD1DULL) % m;
    }
};

constexpr uint64_t kInitSeed = 0xA12CE22B4ED990ADULL;
constexpr uint64_t kChunkSeedPrime = 7919;
constexpr uint64_t kChunkSeedMultiplier = 0x9E3779B97F4A7C15ULL;
// A match at this distance weighs one half in the vote: 1 / (d * k + 1), k ~ 1/15000.
const float kVoteFalloff = std::bit_cast<float>(0x388BCF65u);

} // namespace

Matcher::Matcher(const PatchFill::Level& level, int processors)
    : Matcher(level.w, level.h, level.rgb, level.hole, processors) {}

Matcher::Matcher(int64_t w, int64_t h, std::span<const float> rgb, std::span<const uint8_t> hole,
                 int processors)
    : w_(w), h_(h), n_(w * h), processors_(processors) {
    assert(w >= 0 && h >= 0 && "Matcher: negative size");
    assert(static_cast<int64_t>(rgb.size()) >= n_ * 3 && "Matcher: colours too short");
    assert(static_cast<int64_t>(hole.size()) >= n_ && "Matcher: hole flags too short");
    const auto n = static_cast<size_t>(n_);
    rgb_.assign(rgb.begin(), rgb.begin() + n_ * 3);
    out_.assign(n * 3, 0.0f);
    hole_.assign(hole.begin(), hole.begin() + n_);
    valid_.assign(n, 0);
    target_.assign(n, 0);
    nnf_.assign(n, -1);
    dist_.assign(n, 0.0f);
    if (w < kMinSide || h < kMinSide)
        return;

    const std::vector<uint8_t> near = Morph::dilate(hole_, w, h, kRadius);
    for (int64_t y = kRadius; y < h - kRadius; ++y) {
        for (int64_t x = kRadius; x < w - kRadius; ++x) {
            const int64_t i = y * w + x;
            if (near[i]) {
                target_[i] = 1;
                minRow_ = std::min(minRow_, y);
                maxRow_ = std::max(maxRow_, y);
            } else {
                valid_[i] = 1;
                sources_.push_back(static_cast<int32_t>(i));
            }
        }
    }
    usable_ = !sources_.empty() && maxRow_ >= 0;
    if (!usable_)
        return;

    vote_.assign(n, 0.0f);
    holeRows_.assign(static_cast<size_t>(h + 1), 0);
    for (int64_t y = 0; y < h; ++y) {
        holeRows_[y] = static_cast<int32_t>(holes_.size());
        for (int64_t x = 0; x < w; ++x)
            if (hole_[y * w + x])
                holes_.push_back(static_cast<int32_t>(y * w + x));
    }
    holeRows_[h] = static_cast<int32_t>(holes_.size());
    gang_.reserve(chunkCount(maxRow_ - minRow_ + 1));
}

int64_t Matcher::chunkCount(int64_t span) const {
    int64_t cpus = processors_;
    if (cpus <= 0)
        cpus = std::max<int64_t>(1, std::thread::hardware_concurrency());
    return std::max<int64_t>(1, std::min(span / kMinChunkRows, cpus));
}

// Sum of squared differences of the 7 x 7 patches centred on t and c, added one value at
// a time in row order. Stops after a patch row once the sum reaches limit.
float Matcher::distance(int64_t t, int64_t c, float limit) const {
    const int64_t stride = w_ * 3;
    const float* a = rgb_.data() + (t - kRadius * w_ - kRadius) * 3;
    const float* b = rgb_.data() + (c - kRadius * w_ - kRadius) * 3;
    float sum = 0.0f;
    for (int64_t row = 0; row < 2 * kRadius + 1; ++row) {
        float sq[kPatchRowValues];
        for (int64_t k = 0; k < kPatchRowValues; ++k) {
            const float d = a[k] - b[k];
            sq[k] = d * d;
        }
        for (int64_t k = 0; k < kPatchRowValues; ++k)
            sum += sq[k];
        if (sum >= limit)
            return sum;
        a += stride;
        b += stride;
    }
    return sum;
}

void Matcher::initNNF(std::span<const int32_t> prev, int64_t pw, int64_t ph) {
    assert(usable_ && "initNNF: level not usable");
    assert((prev.empty() || static_cast<int64_t>(prev.size()) >= pw * ph) &&
           "initNNF: previous field too short");
    XorShift rng{kInitSeed};
    const auto sourceCount = static_cast<uint64_t>(sources_.size());
    for (int64_t y = minRow_; y <= maxRow_; ++y) {
        for (int64_t x = 0; x < w_; ++x) {
            const int64_t i = y * w_ + x;
            if (!target_[i])
                continue;
            if (!prev.empty()) {
                const int64_t py = std::min(ph - 1, y / 2);
                const int64_t px = std::min(pw - 1, x / 2);
                const int64_t p = prev[py * pw + px];
                if (p >= 0) {
                    const int64_t cx = 2 * (p % pw) + x % 2;
                    const int64_t cy = 2 * (p / pw) + y % 2;
                    if (cx < w_ && cy < h_ && valid_[cy * w_ + cx]) {
                        nnf_[i] = static_cast<int32_t>(cy * w_ + cx);
                        continue;
                    }
                }
            }
            nnf_[i] = sources_[rng.below(sourceCount)];
        }
    }
}

void Matcher::matchPass(bool reverse) {
    assert(usable_ && "matchPass: level not usable");
    const int64_t d = reverse ? 1 : -1;
    parallel(minRow_, maxRow_ + 1,
             [this, d](int64_t chunk, int64_t y0, int64_t y1) { matchRows(chunk, y0, y1, d); });
}

void Matcher::matchRows(int64_t chunk, int64_t y0, int64_t y1, int64_t d) {
    const int64_t w = w_;
    const int64_t h = h_;
    XorShift rng{((static_cast<uint64_t>(chunk + 1) * kChunkSeedPrime + static_cast<uint64_t>(y0)) *
                  kChunkSeedMultiplier) |
                 1};
    const float infinity = std::numeric_limits<float>::infinity();

    // The colours changed since the last pass, so every stored distance is stale.
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = kRadius; x < w - kRadius; ++x) {
            const int64_t i = y * w + x;
            if (target_[i])
                dist_[i] = distance(i, nnf_[i], infinity);
        }

    const int64_t yFirst = d < 0 ? y0 : y1 - 1;
    const int64_t yEnd = d < 0 ? y1 : y0 - 1;
    const int64_t xFirst = d < 0 ? kRadius : w - kRadius - 1;
    const int64_t xEnd = d < 0 ? w - kRadius : kRadius - 1;
    const int64_t step = -d;
    for (int64_t y = yFirst; y != yEnd; y += step) {
        for (int64_t x = xFirst; x != xEnd; x += step) {
            const int64_t i = y * w + x;
            if (!target_[i])
                continue;
            int64_t bx = nnf_[i] % w;
            int64_t by = nnf_[i] / w;
            float best = dist_[i];

            // Propagation: the neighbour already visited this sweep lies at i + d; its
            // match shifted back by one is the candidate.
            if (x + d >= kRadius && x + d < w - kRadius && target_[i + d]) {
                const int64_t q = nnf_[i + d];
                const int64_t cx = q % w - d;
                const int64_t cy = q / w;
                if (cx >= 0 && cx < w && valid_[cy * w + cx]) {
                    const float e = distance(i, cy * w + cx, best);
                    if (e < best) {
                        best = e;
                        bx = cx;
                        by = cy;
                    }
                }
            }
            if (y + d >= y0 && y + d < y1 && target_[i + d * w]) {
                const int64_t q = nnf_[i + d * w];
                const int64_t cx = q % w;
                const int64_t cy = q / w - d;
                if (cy >= 0 && cy < h && valid_[cy * w + cx]) {
                    const float e = distance(i, cy * w + cx, best);
                    if (e < best) {
                        best = e;
                        bx = cx;
                        by = cy;
                    }
                }
            }

            // Random search around the best match, radius halving from the level size.
            for (int64_t r = std::max(w, h); r >= 1; r /= 2) {
                const auto span = static_cast<uint64_t>(2 * r + 1);
                const int64_t cx = bx + static_cast<int64_t>(rng.below(span)) - r;
                const int64_t cy = by + static_cast<int64_t>(rng.below(span)) - r;
                if (cx < kRadius || cx >= w - kRadius || cy < kRadius || cy >= h - kRadius ||
                    !valid_[cy * w + cx])
                    continue;
                const float e = distance(i, cy * w + cx, best);
                if (e < best) {
                    best = e;
                    bx = cx;
                    by = cy;
                }
            }
            nnf_[i] = static_cast<int32_t>(by * w + bx);
            dist_[i] = best;
        }
    }
}

void Matcher::vote() {
    assert(usable_ && "vote: level not usable");
    const int64_t w = w_;
    const int64_t h = h_;

    // Each target's weight is used by up to 49 hole pixels; compute it once.
    parallel(minRow_, maxRow_ + 1, [this, w](int64_t, int64_t y0, int64_t y1) {
        for (int64_t i = y0 * w; i < y1 * w; ++i)
            if (target_[i])
                vote_[i] = 1.0f / (dist_[i] * kVoteFalloff + 1.0f);
    });

    // Only hole pixels change; each is computed from rgb_ (read only here) into out_ and
    // copied back once every chunk is done. The chunking does not affect the result.
    parallel(0, h, [this, w, h](int64_t, int64_t y0, int64_t y1) {
        for (int32_t k = holeRows_[y0]; k < holeRows_[y1]; ++k) {
            const int64_t i = holes_[k];
            const int64_t x = i % w;
            const int64_t y = i / w;
            float r = 0.0f, g = 0.0f, b = 0.0f, s = 0.0f;
            for (int64_t dy = -kRadius; dy <= kRadius; ++dy) {
                if (y + dy < kRadius || y + dy >= h - kRadius)
                    continue;
                for (int64_t dx = -kRadius; dx <= kRadius; ++dx) {
                    if (x + dx < kRadius || x + dx >= w - kRadius)
                        continue;
                    const int64_t t = i + dy * w + dx;
                    if (!target_[t])
                        continue;
                    const float a = vote_[t];
                    const float* src = rgb_.data() + (nnf_[t] - dx - dy * w) * 3;
                    r += a * src[0];
                    g += a * src[1];
                    b += a * src[2];
                    s += a;
                }
            }
            float* o = out_.data() + i * 3;
            const float* own = rgb_.data() + i * 3;
            if (s > 0.0f) {
                o[0] = r / s;
                o[1] = g / s;
                o[2] = b / s;
            } else {
                o[0] = own[0];
                o[1] = own[1];
                o[2] = own[2];
            }
        }
    });
    for (const int32_t i : holes_) {
        rgb_[i * 3] = out_[i * 3];
        rgb_[i * 3 + 1] = out_[i * 3 + 1];
        rgb_[i * 3 + 2] = out_[i * 3 + 2];
    }
}
