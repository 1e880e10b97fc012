#include "inpainter.h"

#include "diffusion.h"
#include "grainblend.h"
#include "largepages.h"
#include "morph.h"
#include "patchfill.h"
#include "texturefill.h"
#include "workergang.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace Inpainter {

int64_t marginFor(int64_t bw, int64_t bh, bool thick) {
    if (!thick)
        return kThinMargin;
    const auto margin =
        static_cast<int64_t>(static_cast<double>(std::max(bw, bh)) * kThickMarginFactor);
    return std::max(kMinThickMargin, std::min(margin, kMaxThickMargin));
}

Plan plan(std::span<const uint8_t> mask, int64_t W, int64_t H) {
    Plan p;
    if (H <= 0 || W <= 0)
        return p;
    assert(static_cast<int64_t>(mask.size()) >= W * H && "Inpainter::plan: mask too short");
    const Morph::Box box = Morph::setBox(mask, W, H);
    if (box.maxY < 0)
        return p;
    const int64_t bw = box.maxX - box.minX + 1;
    const int64_t bh = box.maxY - box.minY + 1;

    std::vector<uint8_t> boxMask(static_cast<size_t>(bw * bh));
    for (int64_t j = 0; j < bh; ++j)
        for (int64_t i = 0; i < bw; ++i)
            boxMask[j * bw + i] = mask[(box.minY + j) * W + box.minX + i] != 0;
    p.empty = false;
    p.thick = Morph::survivesErosion(boxMask, bw, bh, kThickSteps);
    const int64_t margin = marginFor(bw, bh, p.thick);
    p.x0 = std::max<int64_t>(box.minX - margin, 0);
    p.x1 = std::min(box.maxX + 1 + margin, W);
    p.y0 = std::max<int64_t>(box.minY - margin, 0);
    p.y1 = std::min(box.maxY + 1 + margin, H);
    return p;
}

namespace {

PixelImage erase(PixelImage image, std::span<const uint8_t> mask, const Progress& progress,
                 int processors, const TextureFill::Params* texture) {
    const int64_t W = image.width();
    const Plan crop = plan(mask, W, image.height());
    if (crop.empty)
        return image;
    const bool thick = crop.thick;
    const int64_t x0 = crop.x0;
    const int64_t y0 = crop.y0;
    const int64_t cw = crop.x1 - crop.x0;
    const int64_t ch = crop.y1 - crop.y0;
    const int64_t n = cw * ch;
    const bool twoProcessors = hasSpareProcessor(processors);

    // The crop's colours as floats and its hole flags. A large crop is tens of megabytes
    // of fresh memory, so with a second processor the lower half is converted beside the
    // upper one.
    std::vector<float> colour;
    std::vector<uint8_t> hole;
    LargePages::reserve(colour, static_cast<size_t>(n * 3));
    LargePages::reserve(hole, static_cast<size_t>(n));
    colour.resize(static_cast<size_t>(n * 3));
    hole.resize(static_cast<size_t>(n));
    const std::span<const uint8_t> pixels = image.bytes();
    auto convertRows = [&](int64_t first, int64_t end) {
        int64_t holes = 0;
        for (int64_t j = first; j < end; ++j) {
            const uint8_t* src = pixels.data() + ((y0 + j) * W + x0) * 4;
            float* dst = colour.data() + j * cw * 3;
            for (int64_t i = 0; i < cw; ++i)
                for (int c = 0; c < 3; ++c)
                    dst[i * 3 + c] = static_cast<float>(src[i * 4 + c]);
            const uint8_t* m = mask.data() + (y0 + j) * W + x0;
            uint8_t* flags = hole.data() + j * cw;
            for (int64_t i = 0; i < cw; ++i) {
                flags[i] = m[i] != 0;
                holes += flags[i];
            }
        }
        return holes;
    };
    std::atomic<int64_t> holeCount = 0;
    inTwoHalves(ch, twoProcessors && n >= kSplitLoopPixels,
                [&](int64_t first, int64_t end) { holeCount += convertRows(first, end); });
    if (holeCount >= n)
        return image;

    // The result needs bytes of its own when the caller still shares the image (an undo
    // entry does). With a second processor to spare, copy them while the hole is filled.
    std::vector<uint8_t> copy;
    std::jthread copier;
    if (image.isShared() && twoProcessors) {
        try {
            copier = startThread([&copy, bytes = image.bytes()] {
                try {
                    LargePages::reserve(copy, bytes.size());
                    copy.assign(bytes.begin(), bytes.end());
                } catch (const std::bad_alloc&) {
                    copy = {}; // copied when first written instead, where a failure is reported
                }
            });
        } catch (const std::system_error&) {
            // The picture is copied when it is first written, on this thread.
        }
    }
    const bool copyAside = copier.joinable();

    auto report = [&](double value) {
        if (progress)
            progress(value);
    };
    report(0.02);
    // The fill's colours: for a thick hole the whole crop, for a thin one just the hole
    // pixels in row-major order.
    std::vector<float> filled;
    if (thick) {
        auto step = [&](double f) { report(0.04 + 0.92 * f); };
        if (texture)
            filled = GrainBlend::fill(std::move(colour), std::move(hole), cw, ch, step, processors,
                                      *texture);
        else
            filled = PatchFill::fill(std::move(colour), std::move(hole), cw, ch, step, processors);
    } else {
        filled = Diffusion::smoothFill(colour, hole, cw, ch, kThinRelaxIterations);
        colour = {};
        hole = {};
    }
    report(0.97);

    // Blend back: output = (fill - own) x weight + own, clipped and rounded, with the weight
    // min(m / 128, 1) of the mask byte. An unpainted pixel has weight 0, so its blend is
    // exactly its own value: only painted pixels are computed and written.
    if (copyAside) {
        copier.join();
        if (copy.size() == image.bytes().size())
            image = PixelImage(W, image.height(), std::move(copy));
    }
    const std::span<uint8_t> out = image.mutableBytes();
    // A thin fill holds the painted pixels in row-major order, so it is blended in one run
    // that counts them in k; a thick one, indexed by position, in two halves where there is
    // a second processor.
    auto blendRows = [&](int64_t first, int64_t end) {
        int64_t k = 0;
        for (int64_t j = first; j < end; ++j) {
            uint8_t* dst = out.data() + ((y0 + j) * W + x0) * 4;
            const uint8_t* m = mask.data() + (y0 + j) * W + x0;
            for (int64_t i = 0; i < cw; ++i) {
                if (!m[i])
                    continue;
                const float weight = std::min(static_cast<float>(m[i]) * 0.0078125f, 1.0f);
                const float* f = filled.data() + (thick ? (j * cw + i) * 3 : k * 3);
                ++k;
                for (int c = 0; c < 3; ++c) {
                    const auto own = static_cast<float>(dst[i * 4 + c]);
                    const float o = std::clamp((f[c] - own) * weight + own, 0.0f, 255.0f);
                    dst[i * 4 + c] = static_cast<uint8_t>(std::lrintf(o));
                }
            }
        }
    };
    inTwoHalves(ch, thick && twoProcessors && n >= kSplitLoopPixels, blendRows);
    report(1.0);
    return image;
}

} // namespace

PixelImage run(PixelImage image, std::span<const uint8_t> mask, const Progress& progress,
               int processors, Method method) {
    const TextureFill::Params texture;
    return erase(std::move(image), mask, progress, processors,
                 method == Method::Texture ? &texture : nullptr);
}

PixelImage runTexture(PixelImage image, std::span<const uint8_t> mask,
                      const TextureFill::Params& params, const Progress& progress, int processors) {
    return erase(std::move(image), mask, progress, processors, &params);
}

} // namespace Inpainter
