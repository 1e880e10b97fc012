#include "diffusion.h"

#include "bilinear.h"

#include <cassert>
#include <cstring>

namespace Diffusion {
namespace {

struct PyramidLevel {
    int64_t w = 0;
    int64_t h = 0;
    std::vector<float> colour; // w x h x 3
    std::vector<float> weight; // w x h, fraction of known pixels below
};

PyramidLevel reduce(const PyramidLevel& fine) {
    PyramidLevel coarse;
    coarse.w = (fine.w + 1) / 2;
    coarse.h = (fine.h + 1) / 2;
    coarse.colour.assign(static_cast<size_t>(coarse.w * coarse.h * 3), 0.0f);
    coarse.weight.assign(static_cast<size_t>(coarse.w * coarse.h), 0.0f);
    for (int64_t y = 0; y < coarse.h; ++y) {
        for (int64_t x = 0; x < coarse.w; ++x) {
            float s = 0.0f;
            float sum[3] = {0.0f, 0.0f, 0.0f};
            int n = 0;
            const int64_t cx[4] = {2 * x, 2 * x + 1, 2 * x, 2 * x + 1};
            const int64_t cy[4] = {2 * y, 2 * y, 2 * y + 1, 2 * y + 1};
            for (int k = 0; k < 4; ++k) {
                if (cx[k] >= fine.w || cy[k] >= fine.h)
                    continue;
                const int64_t i = cy[k] * fine.w + cx[k];
                const float a = fine.weight[i];
                s += a;
                ++n;
                for (int c = 0; c < 3; ++c)
                    sum[c] += a * fine.colour[i * 3 + c];
            }
            const int64_t o = y * coarse.w + x;
            if (s > 0.0f)
                for (int c = 0; c < 3; ++c)
                    coarse.colour[o * 3 + c] = sum[c] / s;
            coarse.weight[o] = s / static_cast<float>(n);
        }
    }
    return coarse;
}

} // namespace

std::vector<float> pushPull(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w,
                            int64_t h) {
    assert(w >= 1 && h >= 1 && "pushPull: empty buffer");
    assert(static_cast<int64_t>(rgb.size()) >= w * h * 3 && "pushPull: colour buffer too short");
    assert(static_cast<int64_t>(hole.size()) >= w * h && "pushPull: hole flags too short");
    const int64_t n = w * h;

    std::vector<PyramidLevel> levels(1);
    levels[0].w = w;
    levels[0].h = h;
    levels[0].colour.assign(rgb.begin(), rgb.begin() + n * 3);
    levels[0].weight.assign(static_cast<size_t>(n), 1.0f);
    for (int64_t i = 0; i < n; ++i) {
        if (hole[i]) {
            levels[0].weight[i] = 0.0f;
            levels[0].colour[i * 3] = levels[0].colour[i * 3 + 1] = levels[0].colour[i * 3 + 2] =
                0.0f;
        }
    }
    while (levels.back().w > 1 || levels.back().h > 1)
        levels.push_back(reduce(levels.back()));

    std::vector<float> result = levels.back().colour;
    for (auto k = static_cast<int64_t>(levels.size()) - 2; k >= 0; --k) {
        const PyramidLevel& fine = levels[k];
        const int64_t cw = levels[k + 1].w;
        const int64_t ch = levels[k + 1].h;
        const float sx = static_cast<float>(cw) / static_cast<float>(fine.w);
        const float sy = static_cast<float>(ch) / static_cast<float>(fine.h);
        std::vector<float> next(static_cast<size_t>(fine.w * fine.h * 3));
        float u[3];
        for (int64_t y = 0; y < fine.h; ++y) {
            const Bilinear::Tap ty = Bilinear::tap(y, sy, ch);
            for (int64_t x = 0; x < fine.w; ++x) {
                const int64_t i = y * fine.w + x;
                const float a = fine.weight[i];
                float* out = next.data() + i * 3;
                const float* c = fine.colour.data() + i * 3;
                // At full size a weight is exactly 1 or 0: a known pixel's blend is its own
                // colour, bit for bit, so only hole pixels need the upsampled value.
                if (k == 0 && a == 1.0f) {
                    out[0] = c[0];
                    out[1] = c[1];
                    out[2] = c[2];
                    continue;
                }
                const Bilinear::Tap tx = Bilinear::tap(x, sx, cw);
                Bilinear::sample(result.data(), cw, tx, ty, Bilinear::weights(tx, ty), u);
                const float b = 1.0f - a;
                for (int ch3 = 0; ch3 < 3; ++ch3)
                    out[ch3] = a * c[ch3] + b * u[ch3];
            }
        }
        result.swap(next);
    }
    return result;
}

void relax(std::span<float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h,
           int64_t iterations) {
    assert(w >= 1 && h >= 1 && "relax: empty buffer");
    assert(static_cast<int64_t>(rgb.size()) >= w * h * 3 && "relax: colour buffer too short");
    assert(static_cast<int64_t>(hole.size()) >= w * h && "relax: hole flags too short");
    if (iterations < 1)
        return;

    // Known values are fixed points of the sweep (source + 0 x (average - source)), so
    // only runs of hole pixels are computed. Both padded buffers start with the input,
    // so each always holds the known values. A frame cell is read only as the missing
    // neighbour of a hole pixel on the edge, and it mirrors that pixel.
    const int64_t pw = w + 2;
    const int64_t stride = pw * 3;
    std::vector<float> src(static_cast<size_t>(pw * (h + 2) * 3), 0.0f);
    for (int64_t y = 0; y < h; ++y)
        std::memcpy(src.data() + (y + 1) * stride + 3, rgb.data() + y * w * 3,
                    static_cast<size_t>(w * 3) * sizeof(float));
    std::vector<float> dst = src;

    struct Run {
        int64_t start; // padded index of the first value
        int64_t count; // values (3 per pixel)
    };
    std::vector<Run> runs;
    std::vector<std::pair<int64_t, int64_t>> frame; // (frame cell, mirrored pixel), padded
    auto padded = [pw](int64_t x, int64_t y) { return ((y + 1) * pw + (x + 1)) * 3; };
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* row = hole.data() + y * w;
        for (int64_t x = 0; x < w;) {
            if (!row[x]) {
                ++x;
                continue;
            }
            const int64_t x0 = x;
            while (x < w && row[x]) {
                const int64_t p = padded(x, y);
                if (y == 0)
                    frame.emplace_back(p - stride, p);
                if (y == h - 1)
                    frame.emplace_back(p + stride, p);
                if (x == 0)
                    frame.emplace_back(p - 3, p);
                if (x == w - 1)
                    frame.emplace_back(p + 3, p);
                ++x;
            }
            runs.push_back({padded(x0, y), (x - x0) * 3});
        }
    }

    for (int64_t it = 0; it < iterations; ++it) {
        for (const auto& [cell, pixel] : frame)
            for (int c = 0; c < 3; ++c)
                src[cell + c] = src[pixel + c];
        const float* s = src.data();
        float* d = dst.data();
        for (const Run& run : runs) {
            const float* __restrict in = s + run.start;
            float* __restrict out = d + run.start;
            for (int64_t k = 0; k < run.count; ++k) {
                const float average =
                    ((in[k - 3] + in[k + 3]) + (in[k - stride] + in[k + stride])) * 0.25f;
                out[k] = in[k] + (average - in[k]);
            }
        }
        src.swap(dst);
    }

    for (const Run& run : runs) {
        const int64_t pixel = run.start / 3;
        const int64_t y = pixel / pw - 1;
        const int64_t x = pixel % pw - 1;
        std::memcpy(rgb.data() + (y * w + x) * 3, src.data() + run.start,
                    static_cast<size_t>(run.count) * sizeof(float));
    }
}

} // namespace Diffusion
