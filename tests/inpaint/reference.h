#pragma once

// Plain, unoptimised implementations of the engine's arithmetic, written directly from
// its definition: full sweeps over every pixel, no skipped work. The engine's optimised
// code must match them bit for bit.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace Reference {

inline std::vector<float> relax(std::vector<float> rgb, const std::vector<uint8_t>& hole, int64_t w,
                                int64_t h, int64_t iterations) {
    if (iterations < 1)
        return rgb;
    const int64_t pw = w + 2;
    std::vector<float> src(pw * (h + 2) * 3, 0.0f), dst(pw * (h + 2) * 3, 0.0f);
    std::vector<float> f(w * h * 3);
    for (int64_t i = 0; i < w * h; ++i)
        for (int c = 0; c < 3; ++c)
            f[i * 3 + c] = hole[i] ? 1.0f : 0.0f;
    auto at = [&](std::vector<float>& b, int64_t x, int64_t y, int c) -> float& {
        return b[(y * pw + x) * 3 + c];
    };
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                at(src, x + 1, y + 1, c) = rgb[(y * w + x) * 3 + c];
    for (int64_t it = 0; it < iterations; ++it) {
        for (int64_t x = 0; x < pw; ++x)
            for (int c = 0; c < 3; ++c) {
                at(src, x, 0, c) = at(src, x, 1, c);
                at(src, x, h + 1, c) = at(src, x, h, c);
            }
        for (int64_t y = 1; y <= h; ++y)
            for (int c = 0; c < 3; ++c) {
                at(src, 0, y, c) = at(src, 1, y, c);
                at(src, w + 1, y, c) = at(src, w, y, c);
            }
        for (int64_t y = 1; y <= h; ++y)
            for (int64_t x = 1; x <= w; ++x)
                for (int c = 0; c < 3; ++c) {
                    const float s = at(src, x, y, c);
                    const float avg = ((at(src, x - 1, y, c) + at(src, x + 1, y, c)) +
                                       (at(src, x, y - 1, c) + at(src, x, y + 1, c))) *
                                      0.25f;
                    at(dst, x, y, c) = s + f[((y - 1) * w + x - 1) * 3 + c] * (avg - s);
                }
        std::swap(src, dst);
    }
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(y * w + x) * 3 + c] = at(src, x + 1, y + 1, c);
    return rgb;
}

inline float bilinearAxis(int64_t d, float scale, int64_t sn, int64_t& i0, int64_t& i1) {
    float f = scale * (float(d) + 0.5f) - 0.5f;
    f = std::clamp(f, 0.0f, float(sn - 1));
    i0 = int64_t(f);
    i1 = std::min(i0 + 1, sn - 1);
    return f - float(i0);
}

inline std::vector<float> pushPull(const std::vector<float>& rgb, const std::vector<uint8_t>& hole,
                                   int64_t w, int64_t h) {
    struct L {
        int64_t w, h;
        std::vector<float> c, a;
    };
    std::vector<L> levels{{w, h, rgb, std::vector<float>(w * h)}};
    for (int64_t i = 0; i < w * h; ++i) {
        levels[0].a[i] = hole[i] ? 0.0f : 1.0f;
        if (hole[i])
            levels[0].c[i * 3] = levels[0].c[i * 3 + 1] = levels[0].c[i * 3 + 2] = 0.0f;
    }
    while (levels.back().w > 1 || levels.back().h > 1) {
        const L& f = levels.back();
        L c{(f.w + 1) / 2, (f.h + 1) / 2, {}, {}};
        c.c.assign(c.w * c.h * 3, 0.0f);
        c.a.assign(c.w * c.h, 0.0f);
        for (int64_t y = 0; y < c.h; ++y)
            for (int64_t x = 0; x < c.w; ++x) {
                float s = 0, sum[3] = {0, 0, 0};
                int n = 0;
                for (auto [cx, cy] : {std::pair{2 * x, 2 * y},
                                      {2 * x + 1, 2 * y},
                                      {2 * x, 2 * y + 1},
                                      {2 * x + 1, 2 * y + 1}}) {
                    if (cx >= f.w || cy >= f.h)
                        continue;
                    const float a = f.a[cy * f.w + cx];
                    s += a;
                    ++n;
                    for (int k = 0; k < 3; ++k)
                        sum[k] += a * f.c[(cy * f.w + cx) * 3 + k];
                }
                if (s > 0)
                    for (int k = 0; k < 3; ++k)
                        c.c[(y * c.w + x) * 3 + k] = sum[k] / s;
                c.a[y * c.w + x] = s / float(n);
            }
        levels.push_back(std::move(c));
    }
    std::vector<float> r = levels.back().c;
    for (int64_t k = int64_t(levels.size()) - 2; k >= 0; --k) {
        const L& f = levels[k];
        const int64_t cw = levels[k + 1].w, ch = levels[k + 1].h;
        const float sx = float(cw) / float(f.w), sy = float(ch) / float(f.h);
        std::vector<float> next(f.w * f.h * 3);
        for (int64_t y = 0; y < f.h; ++y)
            for (int64_t x = 0; x < f.w; ++x) {
                int64_t x0, x1, y0, y1;
                const float tx = bilinearAxis(x, sx, cw, x0, x1);
                const float ty = bilinearAxis(y, sy, ch, y0, y1);
                for (int c = 0; c < 3; ++c) {
                    const float u = (1 - ty) * (1 - tx) * r[(y0 * cw + x0) * 3 + c] +
                                    (1 - ty) * tx * r[(y0 * cw + x1) * 3 + c] +
                                    ty * (1 - tx) * r[(y1 * cw + x0) * 3 + c] +
                                    ty * tx * r[(y1 * cw + x1) * 3 + c];
                    const float a = f.a[y * f.w + x];
                    next[(y * f.w + x) * 3 + c] = a * f.c[(y * f.w + x) * 3 + c] + (1 - a) * u;
                }
            }
        r = std::move(next);
    }
    return r;
}

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

} // namespace Reference
