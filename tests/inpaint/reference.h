#pragma once

// Plain, unoptimised implementations of the engine's arithmetic, written directly from
// its definition: full sweeps over every pixel, no skipped work, one thread. The engine's
// optimised code must match them bit for bit.

#include "morph.h"
#include "patchfill.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace Reference {

// A w x h mask with the rw x rh rectangle at (x0, y0) painted v.
inline std::vector<uint8_t> rect(int64_t w, int64_t h, int64_t x0, int64_t y0, int64_t rw,
                                 int64_t rh, uint8_t v = 255) {
    std::vector<uint8_t> m(w * h, 0);
    for (int64_t y = y0; y < y0 + rh; ++y)
        for (int64_t x = x0; x < x0 + rw; ++x)
            m[y * w + x] = v;
    return m;
}

// Jacobi sweeps; a neighbour outside the picture is the edge pixel itself.
inline std::vector<float> relax(std::vector<float> rgb, const std::vector<uint8_t>& hole, int64_t w,
                                int64_t h, int64_t iterations) {
    for (int64_t it = 0; it < iterations; ++it) {
        std::vector<float> next(rgb.size());
        auto at = [&](int64_t x, int64_t y, int c) {
            return rgb[(std::clamp<int64_t>(y, 0, h - 1) * w + std::clamp<int64_t>(x, 0, w - 1)) *
                           3 +
                       c];
        };
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    const float s = at(x, y, c), f = hole[y * w + x] ? 1.0f : 0.0f;
                    const float avg = ((at(x - 1, y, c) + at(x + 1, y, c)) +
                                       (at(x, y - 1, c) + at(x, y + 1, c))) *
                                      0.25f;
                    next[(y * w + x) * 3 + c] = s + f * (avg - s);
                }
        rgb = std::move(next);
    }
    return rgb;
}

// Push-pull: halve down to one pixel averaging known colours by weight, then blend each
// level's own colour with the bilinearly upsampled coarser result.
inline std::vector<float> pushPull(const std::vector<float>& rgb, const std::vector<uint8_t>& hole,
                                   int64_t w, int64_t h) {
    struct L {
        int64_t w, h;
        std::vector<float> c, a;
    };
    std::vector<L> levels{{w, h, rgb, std::vector<float>(w * h)}};
    for (int64_t i = 0; i < w * h; ++i) {
        levels[0].a[i] = hole[i] ? 0.0f : 1.0f;
        for (int k = 0; k < 3 && hole[i]; ++k)
            levels[0].c[i * 3 + k] = 0.0f;
    }
    while (levels.back().w > 1 || levels.back().h > 1) {
        const L& f = levels.back();
        L c{(f.w + 1) / 2, (f.h + 1) / 2, {}, {}};
        c.c.assign(c.w * c.h * 3, 0.0f);
        c.a.assign(c.w * c.h, 0.0f);
        for (int64_t i = 0; i < c.w * c.h; ++i) {
            const int64_t x = i % c.w, y = i / c.w;
            float s = 0, sum[3] = {0, 0, 0};
            int n = 0;
            for (auto [cx, cy] : {std::pair{2 * x, 2 * y},
                                  {2 * x + 1, 2 * y},
                                  {2 * x, 2 * y + 1},
                                  {2 * x + 1, 2 * y + 1}}) {
                if (cx >= f.w || cy >= f.h)
                    continue;
                const float a = f.a[cy * f.w + cx];
                s += a, ++n;
                for (int k = 0; k < 3; ++k)
                    sum[k] += a * f.c[(cy * f.w + cx) * 3 + k];
            }
            for (int k = 0; k < 3 && s > 0; ++k)
                c.c[i * 3 + k] = sum[k] / s;
            c.a[i] = s / float(n);
        }
        levels.push_back(std::move(c));
    }
    auto axis = [](int64_t d, float scale, int64_t sn, int64_t& i0, int64_t& i1) {
        const float f = std::clamp(scale * (float(d) + 0.5f) - 0.5f, 0.0f, float(sn - 1));
        i0 = int64_t(f);
        i1 = std::min(i0 + 1, sn - 1);
        return f - float(i0);
    };
    std::vector<float> r = levels.back().c;
    for (int64_t k = int64_t(levels.size()) - 2; k >= 0; --k) {
        const L& f = levels[k];
        const int64_t cw = levels[k + 1].w, ch = levels[k + 1].h;
        std::vector<float> next(f.w * f.h * 3);
        for (int64_t i = 0; i < f.w * f.h; ++i) {
            int64_t x0, x1, y0, y1;
            const float tx = axis(i % f.w, float(cw) / float(f.w), cw, x0, x1);
            const float ty = axis(i / f.w, float(ch) / float(f.h), ch, y0, y1);
            for (int c = 0; c < 3; ++c) {
                const float u = (1 - ty) * (1 - tx) * r[(y0 * cw + x0) * 3 + c] +
                                (1 - ty) * tx * r[(y0 * cw + x1) * 3 + c] +
                                ty * (1 - tx) * r[(y1 * cw + x0) * 3 + c] +
                                ty * tx * r[(y1 * cw + x1) * 3 + c];
                next[i * 3 + c] = f.a[i] * f.c[i * 3 + c] + (1 - f.a[i]) * u;
            }
        }
        r = std::move(next);
    }
    return r;
}

// The patch matcher with its chunks run one after another, with the same bounds and seeds
// as the engine's parallel chunks. Patches are 7 x 7; a pixel at least 3 from every edge
// is a target when the hole dilated by 3 covers it, and a source otherwise.
struct Matcher {
    int64_t w, h, chunks;
    std::vector<float> rgb;
    std::vector<uint8_t> hole, valid, target;
    std::vector<int32_t> nnf, sources;
    std::vector<float> dist;
    int64_t minRow = INT64_MAX, maxRow = -1;

    Matcher(int64_t w_, int64_t h_, std::vector<float> c, std::vector<uint8_t> m, int64_t cpus)
        : w(w_), h(h_), chunks(cpus), rgb(std::move(c)), hole(std::move(m)), valid(w * h, 0),
          target(w * h, 0), nnf(w * h, -1), dist(w * h, 0.0f) {
        const auto d = Morph::dilate(hole, w, h, 3);
        for (int64_t y = 3; y < h - 3; ++y)
            for (int64_t x = 3; x < w - 3; ++x) {
                (d[y * w + x] ? target : valid)[y * w + x] = 1;
                if (d[y * w + x])
                    minRow = std::min(minRow, y), maxRow = y;
                else
                    sources.push_back(int32_t(y * w + x));
            }
    }
    static uint64_t below(uint64_t& s, uint64_t m) {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return (s * 0x2545F4914F6CDD1DULL) % m;
    }
    // Sum of squared differences, row by row, stopping after a row that reaches limit.
    float D(int64_t t, int64_t c, float limit) const {
        float sum = 0;
        for (int64_t dy = -3; dy <= 3; ++dy) {
            for (int64_t k = 0; k < 21; ++k) {
                const float a = rgb[((t / w + dy) * w + t % w - 3) * 3 + k];
                const float b = rgb[((c / w + dy) * w + c % w - 3) * 3 + k];
                sum = sum + (a - b) * (a - b);
            }
            if (sum >= limit)
                return sum;
        }
        return sum;
    }
    void initNNF() {
        uint64_t s = 0xA12CE22B4ED990ADULL;
        for (int64_t i = minRow * w; i < (maxRow + 1) * w; ++i)
            if (target[i])
                nnf[i] = sources[below(s, sources.size())];
    }
    // One sweep per chunk, top-down and left to right, or bottom-up and right to left: each
    // target tries the shifted match of the neighbour swept before it, then random
    // candidates around its best in windows halving from the picture's size.
    void matchPass(bool reverse) {
        const int64_t d = reverse ? 1 : -1, lo = minRow, span = maxRow + 1 - lo;
        const int64_t k = std::max<int64_t>(1, std::min(span / 8, chunks));
        for (int64_t c = 0; c < k; ++c) {
            const int64_t y0 = lo + span * c / k, y1 = lo + span * (c + 1) / k;
            uint64_t s = ((uint64_t(c + 1) * 7919 + uint64_t(y0)) * 0x9E3779B97F4A7C15ULL) | 1;
            for (int64_t i = y0 * w; i < y1 * w; ++i)
                if (target[i])
                    dist[i] = D(i, nnf[i], INFINITY);
            for (int64_t n = 0; n < (y1 - y0) * w; ++n) {
                const int64_t i = d < 0 ? y0 * w + n : y1 * w - 1 - n, y = i / w;
                if (!target[i])
                    continue;
                int64_t bx = nnf[i] % w, by = nnf[i] / w;
                float best = dist[i];
                auto tryc = [&](int64_t cx, int64_t cy) {
                    if (cx < 0 || cx >= w || cy < 0 || cy >= h || !valid[cy * w + cx])
                        return;
                    const float e = D(i, cy * w + cx, best);
                    if (e < best)
                        best = e, bx = cx, by = cy;
                };
                if (target[i + d])
                    tryc(nnf[i + d] % w - d, nnf[i + d] / w);
                if (y0 <= y + d && y + d < y1 && target[i + d * w])
                    tryc(nnf[i + d * w] % w, nnf[i + d * w] / w - d);
                for (int64_t R = std::max(w, h); R >= 1; R /= 2) {
                    const int64_t cx = bx + int64_t(below(s, 2 * R + 1)) - R;
                    tryc(cx, by + int64_t(below(s, 2 * R + 1)) - R);
                }
                nnf[i] = int32_t(by * w + bx);
                dist[i] = best;
            }
        }
    }
    // Each hole pixel: the average of what the matches of the patches covering it propose,
    // weighted by 1 / (1 + distance x falloff).
    void vote() {
        std::vector<float> out = rgb;
        const float k = std::bit_cast<float>(0x388BCF65u);
        for (int64_t i = 0; i < w * h; ++i) {
            const int64_t x = i % w, y = i / w;
            float sum[3] = {0, 0, 0}, S = 0;
            for (int64_t dy = -3; dy <= 3 && hole[i]; ++dy)
                for (int64_t dx = -3; dx <= 3; ++dx) {
                    const int64_t ty = y + dy, tx = x + dx;
                    if (ty < 3 || ty >= h - 3 || tx < 3 || tx >= w - 3 || !target[ty * w + tx])
                        continue;
                    const int64_t q = nnf[ty * w + tx], s = (q / w - dy) * w + (q % w - dx);
                    const float a = 1.0f / (dist[ty * w + tx] * k + 1.0f);
                    for (int c = 0; c < 3; ++c)
                        sum[c] += a * rgb[s * 3 + c];
                    S += a;
                }
            for (int c = 0; c < 3 && S > 0; ++c)
                out[i * 3 + c] = sum[c] / S;
        }
        rgb = out;
    }
};

// Deterministic random test data.
inline std::vector<float> randomColours(int64_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(0, 255);
    std::vector<float> v(n * 3);
    for (auto& x : v)
        x = float(d(rng));
    return v;
}

inline std::vector<uint8_t> randomMask(int64_t n, uint32_t seed, double density) {
    std::mt19937 rng(seed);
    std::bernoulli_distribution d(density);
    std::vector<uint8_t> v(n);
    for (auto& x : v)
        x = d(rng) ? uint8_t(1 + rng() % 255) : 0;
    return v;
}

// A level of smooth stripes plus noise, so that patch matches are not all ties, with the
// hole [hx, hx + hw) x [hy, hy + hh).
inline PatchFill::Level level(int64_t w, int64_t h, int64_t hx, int64_t hy, int64_t hw, int64_t hh,
                              uint32_t seed = 1) {
    PatchFill::Level l{w, h, randomColours(w * h, seed), std::vector<uint8_t>(w * h, 0)};
    for (int64_t i = 0; i < w * h * 3; ++i)
        l.rgb[i] =
            float(int((i / 3 % w * 7 + i / 3 / w * 3 + i % 3 * 40) % 200) + int(l.rgb[i]) % 56);
    for (int64_t y = hy; y < hy + hh; ++y)
        for (int64_t x = hx; x < hx + hw; ++x)
            l.hole[y * w + x] = 1;
    return l;
}

} // namespace Reference
