#pragma once

// Bilinear enlargement shared by the push-pull fill and the patch-fill pyramid.
// All arithmetic is single precision in a fixed order, so results are reproducible
// bit for bit.

#include <algorithm>
#include <cstdint>

namespace Bilinear {

// Where destination coordinate d (of dn) samples a source of sn pixels along one axis.
struct Tap {
    int64_t i0;
    int64_t i1;
    float t;
};

// scale = sn / dn computed once by the caller in single precision.
inline Tap tap(int64_t d, float scale, int64_t sn) {
    float f = scale * (static_cast<float>(d) + 0.5f) - 0.5f;
    if (f <= 0.0f)
        f = 0.0f;
    if (f > static_cast<float>(sn - 1))
        f = static_cast<float>(sn - 1);
    const auto i0 = static_cast<int64_t>(f);
    return {i0, std::min(i0 + 1, sn - 1), f - static_cast<float>(i0)};
}

// The four corner weights of a sample; each product is rounded on its own.
struct Weights {
    float w00, w10, w01, w11;
};

inline Weights weights(const Tap& tx, const Tap& ty) {
    return {(1.0f - ty.t) * (1.0f - tx.t), (1.0f - ty.t) * tx.t, ty.t * (1.0f - tx.t), ty.t * tx.t};
}

// Writes the C channels of the sample at (tx, ty) of a float image of width sw, C values a
// pixel.
template <int C = 3>
inline void sample(const float* src, int64_t sw, const Tap& tx, const Tap& ty, const Weights& k,
                   float* out) {
    const float* p00 = src + (ty.i0 * sw + tx.i0) * C;
    const float* p10 = src + (ty.i0 * sw + tx.i1) * C;
    const float* p01 = src + (ty.i1 * sw + tx.i0) * C;
    const float* p11 = src + (ty.i1 * sw + tx.i1) * C;
    for (int c = 0; c < C; ++c)
        out[c] = k.w00 * p00[c] + k.w10 * p10[c] + k.w01 * p01[c] + k.w11 * p11[c];
}

} // namespace Bilinear
