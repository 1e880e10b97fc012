#include "diffusion.h"

#include "bilinear.h"

#include <cassert>

namespace Diffusion {
namespace {

// C values a pixel: 3 for colours, 1 for a single measure.
template <int C> struct PyramidLevel {
    int64_t w = 0;
    int64_t h = 0;
    std::vector<float> colour; // w x h x C
    std::vector<float> weight; // w x h, fraction of known pixels below
};

// Half-size level. fine(i) gives a child's weight and colour pointer.
template <int C, typename Fine> PyramidLevel<C> reduce(int64_t fw, int64_t fh, const Fine& fine) {
    PyramidLevel<C> coarse;
    coarse.w = (fw + 1) / 2;
    coarse.h = (fh + 1) / 2;
    coarse.colour.resize(static_cast<size_t>(coarse.w * coarse.h * C));
    coarse.weight.resize(static_cast<size_t>(coarse.w * coarse.h));
    for (int64_t y = 0; y < coarse.h; ++y) {
        for (int64_t x = 0; x < coarse.w; ++x) {
            float s = 0.0f;
            float sum[C] = {};
            int n = 0;
            const int64_t cx[4] = {2 * x, 2 * x + 1, 2 * x, 2 * x + 1};
            const int64_t cy[4] = {2 * y, 2 * y, 2 * y + 1, 2 * y + 1};
            for (int k = 0; k < 4; ++k) {
                if (cx[k] >= fw || cy[k] >= fh)
                    continue;
                const auto [a, colour] = fine(cy[k] * fw + cx[k]);
                s += a;
                ++n;
                for (int c = 0; c < C; ++c)
                    sum[c] += a * colour[c];
            }
            const int64_t o = y * coarse.w + x;
            for (int c = 0; c < C; ++c)
                coarse.colour[o * C + c] = s > 0.0f ? sum[c] / s : 0.0f;
            coarse.weight[o] = s / static_cast<float>(n);
        }
    }
    return coarse;
}

// Push-pull restricted to what differs from the input: the levels above full size are
// built from the input directly (at full size a known pixel weighs 1 with its own colour
// and a hole pixel weighs 0 with colour 0), and only hole pixels are pulled back down,
// since a known pixel's result is its own colour. Writes the C values of the k-th hole
// pixel (row-major order) to out[Ck ...]. Each channel's arithmetic is the same whatever C.
template <int C>
void pushPullHoles(std::span<const float> values, std::span<const uint8_t> hole, int64_t w,
                   int64_t h, float* out) {
    static const float kZero[C] = {};
    std::vector<PyramidLevel<C>> levels;
    if (w > 1 || h > 1) {
        levels.push_back(reduce<C>(w, h, [&](int64_t i) {
            return hole[i] ? std::pair{0.0f, kZero} : std::pair{1.0f, values.data() + i * C};
        }));
    }
    while (!levels.empty() && (levels.back().w > 1 || levels.back().h > 1)) {
        const PyramidLevel<C>& f = levels.back();
        levels.push_back(reduce<C>(f.w, f.h, [&f](int64_t i) {
            return std::pair{f.weight[i], f.colour.data() + i * C};
        }));
    }

    std::vector<float> result;
    if (!levels.empty())
        result = levels.back().colour;
    for (auto k = static_cast<int64_t>(levels.size()) - 2; k >= 0; --k) {
        const PyramidLevel<C>& fine = levels[k];
        const PyramidLevel<C>& coarse = levels[k + 1];
        const float sx = static_cast<float>(coarse.w) / static_cast<float>(fine.w);
        const float sy = static_cast<float>(coarse.h) / static_cast<float>(fine.h);
        std::vector<float> next(static_cast<size_t>(fine.w * fine.h * C));
        float u[C];
        for (int64_t y = 0; y < fine.h; ++y) {
            const Bilinear::Tap ty = Bilinear::tap(y, sy, coarse.h);
            for (int64_t x = 0; x < fine.w; ++x) {
                const int64_t i = y * fine.w + x;
                const Bilinear::Tap tx = Bilinear::tap(x, sx, coarse.w);
                Bilinear::sample<C>(result.data(), coarse.w, tx, ty, Bilinear::weights(tx, ty), u);
                const float a = fine.weight[i];
                const float b = 1.0f - a;
                for (int c = 0; c < C; ++c)
                    next[i * C + c] = a * fine.colour[i * C + c] + b * u[c];
            }
        }
        result.swap(next);
    }

    // Full size: a hole pixel's weight is 0 and its colour 0, so its result is the
    // upsampled value itself.
    if (levels.empty()) { // 1 x 1: the coarsest level is the input with its hole zeroed
        if (hole[0])
            for (int c = 0; c < C; ++c)
                out[c] = 0.0f;
        return;
    }
    const PyramidLevel<C>& top = levels[0];
    const float sx = static_cast<float>(top.w) / static_cast<float>(w);
    const float sy = static_cast<float>(top.h) / static_cast<float>(h);
    for (int64_t y = 0; y < h; ++y) {
        const Bilinear::Tap ty = Bilinear::tap(y, sy, top.h);
        for (int64_t x = 0; x < w; ++x) {
            if (!hole[y * w + x])
                continue;
            const Bilinear::Tap tx = Bilinear::tap(x, sx, top.w);
            Bilinear::sample<C>(result.data(), top.w, tx, ty, Bilinear::weights(tx, ty), out);
            out += C;
        }
    }
}

// Jacobi relaxation over the hole pixels only. A known pixel is a fixed point of the sweep
// (source + 0 x (average - source)), and so is every neighbour value it supplies; the
// missing neighbour of a hole pixel on the edge is that pixel itself. So each hole pixel
// needs just the indices of its four neighbours in a compact array that holds the hole
// values followed by the known neighbours' constant values.
//
// values: 3 per hole pixel in row-major order, updated in place.
void relaxHoles(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h,
                int64_t iterations, std::vector<float>& values) {
    if (iterations < 1)
        return;
    const auto holes = static_cast<int64_t>(values.size() / 3);
    if (holes == 0)
        return;
    std::vector<float> cur = values;
    std::vector<int32_t> neighbours(static_cast<size_t>(holes * 4)); // left, right, up, down
    // Compact indices of the hole pixels (-1 for known ones) of the rows above, at and below
    // the current one; holes are numbered in row-major order.
    std::vector<int32_t> above(static_cast<size_t>(w), -1), row(above), below(above);
    int32_t numbered = 0;
    auto number = [&](int64_t y, std::vector<int32_t>& slots) {
        for (int64_t x = 0; x < w; ++x)
            slots[x] = (y >= 0 && y < h && hole[y * w + x]) ? numbered++ : -1;
    };
    auto ref = [&](int32_t slot, int64_t other) -> int32_t {
        if (slot >= 0)
            return slot;
        for (int c = 0; c < 3; ++c)
            cur.push_back(rgb[other * 3 + c]);
        return static_cast<int32_t>(cur.size() / 3 - 1);
    };
    number(0, row);
    for (int64_t y = 0; y < h; ++y) {
        number(y + 1, below);
        for (int64_t x = 0; x < w; ++x) {
            const int32_t self = row[x];
            if (self < 0)
                continue;
            const int64_t i = y * w + x;
            int32_t* nb = neighbours.data() + int64_t(self) * 4;
            nb[0] = x > 0 ? ref(row[x - 1], i - 1) : self;
            nb[1] = x < w - 1 ? ref(row[x + 1], i + 1) : self;
            nb[2] = y > 0 ? ref(above[x], i - w) : self;
            nb[3] = y < h - 1 ? ref(below[x], i + w) : self;
        }
        std::swap(above, row);
        std::swap(row, below);
    }
    std::vector<float> next = cur; // the constants sit in both buffers
    for (int64_t it = 0; it < iterations; ++it) {
        const float* src = cur.data();
        float* dst = next.data();
        for (int64_t k = 0; k < holes; ++k) {
            const int32_t* nb = neighbours.data() + k * 4;
            const float* l = src + int64_t(nb[0]) * 3;
            const float* r = src + int64_t(nb[1]) * 3;
            const float* u = src + int64_t(nb[2]) * 3;
            const float* d = src + int64_t(nb[3]) * 3;
            for (int c = 0; c < 3; ++c) {
                const float s = src[k * 3 + c];
                const float average = ((l[c] + r[c]) + (u[c] + d[c])) * 0.25f;
                dst[k * 3 + c] = s + (average - s);
            }
        }
        cur.swap(next);
    }
    std::copy(cur.begin(), cur.begin() + holes * 3, values.begin());
}

int64_t countHoles(std::span<const uint8_t> hole, int64_t n) {
    int64_t count = 0;
    for (int64_t i = 0; i < n; ++i)
        count += hole[i] != 0;
    return count;
}

void checkBuffers(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h) {
    assert(w >= 1 && h >= 1 && "Diffusion: empty buffer");
    assert(static_cast<int64_t>(rgb.size()) >= w * h * 3 && "Diffusion: colour buffer too short");
    assert(static_cast<int64_t>(hole.size()) >= w * h && "Diffusion: hole flags too short");
    (void)rgb, (void)hole, (void)w, (void)h;
}

} // namespace

std::vector<float> pushPull(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w,
                            int64_t h) {
    checkBuffers(rgb, hole, w, h);
    std::vector<float> values(static_cast<size_t>(countHoles(hole, w * h) * 3));
    pushPullHoles<3>(rgb, hole, w, h, values.data());
    std::vector<float> out(rgb.begin(), rgb.begin() + w * h * 3);
    for (int64_t i = 0, k = 0; i < w * h; ++i)
        if (hole[i])
            for (int c = 0; c < 3; ++c)
                out[i * 3 + c] = values[k++];
    return out;
}

std::vector<float> pushPullHoleValues(std::span<const float> values, std::span<const uint8_t> hole,
                                      int64_t w, int64_t h) {
    assert(w >= 1 && h >= 1 && static_cast<int64_t>(values.size()) >= w * h &&
           static_cast<int64_t>(hole.size()) >= w * h && "pushPullHoleValues: bad buffers");
    std::vector<float> out(static_cast<size_t>(countHoles(hole, w * h)));
    pushPullHoles<1>(values, hole, w, h, out.data());
    return out;
}

void relax(std::span<float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h,
           int64_t iterations) {
    checkBuffers(rgb, hole, w, h);
    if (iterations < 1)
        return;
    std::vector<float> values;
    values.reserve(static_cast<size_t>(countHoles(hole, w * h) * 3));
    for (int64_t i = 0; i < w * h; ++i)
        if (hole[i])
            values.insert(values.end(), rgb.begin() + i * 3, rgb.begin() + i * 3 + 3);
    relaxHoles(rgb, hole, w, h, iterations, values);
    for (int64_t i = 0, k = 0; i < w * h; ++i)
        if (hole[i])
            for (int c = 0; c < 3; ++c)
                rgb[i * 3 + c] = values[k++];
}

std::vector<float> smoothFill(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w,
                              int64_t h, int64_t iterations) {
    checkBuffers(rgb, hole, w, h);
    std::vector<float> values(static_cast<size_t>(countHoles(hole, w * h) * 3));
    pushPullHoles<3>(rgb, hole, w, h, values.data());
    relaxHoles(rgb, hole, w, h, iterations, values);
    return values;
}

} // namespace Diffusion
