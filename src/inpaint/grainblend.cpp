#include "grainblend.h"

#include "diffusion.h"
#include "patchfill.h"

#include <algorithm>
#include <cmath>

namespace GrainBlend {

namespace {
constexpr float kGrainCap = 64.0f;
}

std::vector<float> surroundingGrain(std::span<const float> rgb, std::span<const uint8_t> hole,
                                    int64_t w, int64_t h) {
    const int64_t n = w * h;
    std::vector<float> luma(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i)
        luma[i] = 0.299f * rgb[i * 3] + 0.587f * rgb[i * 3 + 1] + 0.114f * rgb[i * 3 + 2];
    // The measured magnitudes, in all three channels for the pyramid; unmeasured pixels
    // are its hole.
    std::vector<float> grain(static_cast<size_t>(n * 3), 0.0f);
    std::vector<uint8_t> unmeasured(static_cast<size_t>(n), 1);
    bool any = false;
    for (int64_t y = 1; y + 1 < h; ++y)
        for (int64_t x = 1; x + 1 < w; ++x) {
            bool known = true;
            for (int64_t dy = -1; dy <= 1 && known; ++dy)
                for (int64_t dx = -1; dx <= 1; ++dx)
                    known = known && !hole[(y + dy) * w + x + dx];
            if (!known)
                continue;
            const auto l = [&](int64_t dx, int64_t dy) { return luma[(y + dy) * w + x + dx]; };
            const float gx =
                (l(1, -1) + 2.0f * l(1, 0) + l(1, 1)) - (l(-1, -1) + 2.0f * l(-1, 0) + l(-1, 1));
            const float gy =
                (l(-1, 1) + 2.0f * l(0, 1) + l(1, 1)) - (l(-1, -1) + 2.0f * l(0, -1) + l(1, -1));
            // Capped, so that the few strong edges of a lone object beside the hole do
            // not make plain ground around it count as grain.
            const float m = std::min(std::sqrt(gx * gx + gy * gy), kGrainCap);
            const int64_t i = y * w + x;
            grain[i * 3] = grain[i * 3 + 1] = grain[i * 3 + 2] = m;
            unmeasured[i] = 0;
            any = true;
        }
    if (!any)
        return {};
    const std::vector<float> spread = Diffusion::pushPull(grain, unmeasured, w, h);
    std::vector<float> out(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i)
        out[i] = spread[i * 3];
    return out;
}

std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors,
                        const TextureFill::Params& params) {
    const float lo = params.plainBelow, hi = params.texturedAbove;
    std::vector<float> weight;
    if (hi > lo)
        weight = surroundingGrain(rgb, hole, w, h);
    bool plain = false, textured = weight.empty();
    for (size_t i = 0; i < weight.size(); ++i) {
        weight[i] = hole[i] ? std::clamp((weight[i] - lo) / (hi - lo), 0.0f, 1.0f) : 0.0f;
        if (!hole[i])
            continue;
        plain = plain || weight[i] < 1.0f;
        textured = textured || weight[i] > 0.0f;
    }
    if (!plain)
        return TextureFill::fill(std::move(rgb), std::move(hole), w, h, progress, processors,
                                 params);
    if (!textured)
        return PatchFill::fill(std::move(rgb), std::move(hole), w, h, progress, processors);
    const auto report = [&progress](double from, double to) {
        return [&progress, from, to](double f) {
            if (progress)
                progress(from + (to - from) * f);
        };
    };
    const std::vector<float> smooth =
        PatchFill::fill(rgb, hole, w, h, report(0.0, 0.5), processors);
    std::vector<float> out = TextureFill::fill(std::move(rgb), std::move(hole), w, h,
                                               report(0.5, 1.0), processors, params);
    for (size_t i = 0; i < weight.size(); ++i)
        for (size_t c = 0; c < 3; ++c)
            out[i * 3 + c] = smooth[i * 3 + c] + (out[i * 3 + c] - smooth[i * 3 + c]) * weight[i];
    return out;
}

} // namespace GrainBlend
