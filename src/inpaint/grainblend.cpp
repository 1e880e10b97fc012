#include "grainblend.h"

#include "diffusion.h"
#include "morph.h"
#include "patchfill.h"
#include "workergang.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace GrainBlend {

namespace {
constexpr float kGrainCap = 64.0f;
}

std::vector<float> surroundingGrain(std::span<const float> rgb, std::span<const uint8_t> hole,
                                    int64_t w, int64_t h, int processors) {
    const int64_t n = w * h;
    // The measured magnitudes; unmeasured pixels are the hole of the push-pull that spreads
    // them. Every value is written by the loop below, rows split between two threads.
    const auto grain = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n));
    const auto unmeasured = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n));
    std::atomic<bool> any = false;
    const bool split = hasSpareProcessor(processors) && n >= kSplitLoopPixels;
    inTwoHalves(h, split, [&](int64_t first, int64_t end) {
        // The brightness of rows y - 1, y and y + 1, and which columns hold no hole pixel in
        // them.
        std::vector<float> luma(static_cast<size_t>(3 * w));
        std::vector<uint8_t> clear(static_cast<size_t>(w));
        const auto brightness = [&](int64_t y) {
            float* l = &luma[static_cast<size_t>((y + 3) % 3 * w)];
            for (int64_t x = 0; x < w; ++x) {
                const float* p = &rgb[(y * w + x) * 3];
                l[x] = 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
            }
        };
        bool found = false;
        for (int64_t y = first; y < end; ++y) {
            std::fill_n(&grain[y * w], w, 0.0f);
            std::fill_n(&unmeasured[y * w], w, uint8_t{1});
            if (y < 1 || y + 1 >= h)
                continue;
            if (y == first || y == 1) {
                brightness(y - 1);
                brightness(y);
            }
            brightness(y + 1);
            const uint8_t* up = &hole[(y - 1) * w];
            const uint8_t* at = &hole[y * w];
            const uint8_t* down = &hole[(y + 1) * w];
            for (int64_t x = 0; x < w; ++x)
                clear[x] = !(up[x] | at[x] | down[x]);
            const float* l0 = &luma[static_cast<size_t>((y - 1) % 3 * w)];
            const float* l1 = &luma[static_cast<size_t>(y % 3 * w)];
            const float* l2 = &luma[static_cast<size_t>((y + 1) % 3 * w)];
            for (int64_t x = 1; x + 1 < w; ++x) {
                if (!(clear[x - 1] && clear[x] && clear[x + 1]))
                    continue;
                const float gx = (l0[x + 1] + 2.0f * l1[x + 1] + l2[x + 1]) -
                                 (l0[x - 1] + 2.0f * l1[x - 1] + l2[x - 1]);
                const float gy =
                    (l2[x - 1] + 2.0f * l2[x] + l2[x + 1]) - (l0[x - 1] + 2.0f * l0[x] + l0[x + 1]);
                // Capped, so that the few strong edges of a lone object beside the hole do
                // not make plain ground around it count as grain.
                grain[y * w + x] = std::min(std::sqrt(gx * gx + gy * gy), kGrainCap);
                unmeasured[y * w + x] = 0;
                found = true;
            }
        }
        if (found)
            any.store(true, std::memory_order_relaxed);
    });
    if (!any)
        return {};
    const std::vector<float> spread = Diffusion::pushPullHoleValues(
        {grain.get(), static_cast<size_t>(n)}, {unmeasured.get(), static_cast<size_t>(n)}, w, h);
    // Every hole pixel is unmeasured.
    std::vector<float> out;
    out.reserve(spread.size());
    for (int64_t i = 0, k = 0; i < n; ++i) {
        if (!unmeasured[i])
            continue;
        if (hole[i])
            out.push_back(spread[static_cast<size_t>(k)]);
        ++k;
    }
    return out;
}

namespace {

// textured - smooth blurred by a Gaussian of sigma, at the hole pixels of the box around
// the hole grown by the blur's reach. The difference is zero outside the hole, so nothing
// beyond the box is needed. Taps that fall outside the picture are left out, so the edge of
// the picture does not pull the blurred difference towards zero.
struct BlurredDifference {
    int64_t x0 = 0, y0 = 0, bw = 0, bh = 0;
    std::unique_ptr<float[]> values; // bw x bh x 3, set at hole pixels only; null for none
    const float* at(int64_t x, int64_t y) const {
        return &values[static_cast<size_t>(((y - y0) * bw + x - x0) * 3)];
    }
};

// to[j] += tap * from[j] for j < n, n a multiple of 8, in blocks of eight the compiler
// turns into vector instructions. Each to[j] takes its terms in the order of the calls.
void addScaled(float* to, const float* from, float tap, int64_t n) {
    for (int64_t j = 0; j < n; j += 8)
        for (int64_t l = 0; l < 8; ++l)
            to[j + l] += tap * from[j + l];
}

// The sum of the taps k = -reach .. reach, in that order, whose position at + k lies in
// [0, size): the weight of a blurred value at position at.
float tapsInside(const std::vector<float>& taps, int64_t reach, int64_t at, int64_t size) {
    float weight = 0;
    for (int64_t k = std::max(-reach, -at); k <= std::min(reach, size - 1 - at); ++k)
        weight += taps[static_cast<size_t>(k + reach)];
    return weight;
}

BlurredDifference blurDifference(std::span<const float> textured, std::span<const float> smooth,
                                 std::span<const uint8_t> hole, int64_t w, int64_t h, float sigma,
                                 int processors) {
    BlurredDifference out;
    const int64_t reach = static_cast<int64_t>(std::ceil(3.0f * sigma));
    const Morph::Box box = Morph::setBox(hole, w, h);
    if (box.maxY < 0)
        return out;
    const int64_t x0 = std::max<int64_t>(0, box.minX - reach),
                  x1 = std::min(w - 1, box.maxX + reach);
    const int64_t y0 = std::max<int64_t>(0, box.minY - reach),
                  y1 = std::min(h - 1, box.maxY + reach);
    const int64_t bw = x1 - x0 + 1, bh = y1 - y0 + 1;
    std::vector<float> taps(static_cast<size_t>(2 * reach + 1));
    for (int64_t k = -reach; k <= reach; ++k)
        taps[k + reach] = std::exp(-0.5f * static_cast<float>(k * k) / (sigma * sigma));
    // Each blurred value sums its taps in order, the taps outside the picture left out.
    // Here a row holds zeros outside the picture instead, which add nothing to the sums, so
    // a whole row is blurred with one pass over it per tap.
    const int64_t values = bw * 3;
    const int64_t stride = (values + 7) / 8 * 8;
    const auto rows = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(bh * stride));
    std::vector<float> across(static_cast<size_t>(bw));
    for (int64_t x = 0; x < bw; ++x)
        across[x] = tapsInside(taps, reach, x0 + x, w);
    // Rows are blurred independently, along and then across, so each pass splits its rows.
    const bool split = hasSpareProcessor(processors) && bw * bh >= kSplitLoopPixels / 4;
    inTwoHalves(bh, split, [&](int64_t firstRow, int64_t endRow) {
        std::vector<float> diff(static_cast<size_t>(stride + 2 * reach * 3));
        for (int64_t y = firstRow; y < endRow; ++y) {
            // diff[(x + reach) * 3 + c]: the difference at column x0 + x.
            std::fill(diff.begin(), diff.end(), 0.0f);
            const int64_t from = std::max<int64_t>(0, x0 - reach), to = std::min(w - 1, x1 + reach);
            for (int64_t i = ((y0 + y) * w + from) * 3, j = (from - x0 + reach) * 3;
                 i < ((y0 + y) * w + to + 1) * 3; ++i, ++j)
                diff[j] = textured[i] - smooth[i];
            float* row = &rows[y * stride];
            std::fill_n(row, stride, 0.0f);
            for (int64_t k = 0; k <= 2 * reach; ++k)
                addScaled(row, &diff[k * 3], taps[k], stride);
            for (int64_t j = 0; j < values; ++j)
                row[j] /= across[j / 3];
        }
    });
    out = {x0, y0, bw, bh,
           std::make_unique_for_overwrite<float[]>(static_cast<size_t>(values * bh))};
    inTwoHalves(bh, split, [&](int64_t firstRow, int64_t endRow) {
        std::vector<float> sum(static_cast<size_t>(stride));
        for (int64_t y = firstRow; y < endRow; ++y) {
            const uint8_t* flags = &hole[(y0 + y) * w + x0];
            if (std::none_of(flags, flags + bw, [](uint8_t f) { return f != 0; }))
                continue;
            std::fill(sum.begin(), sum.end(), 0.0f);
            const int64_t first = std::max(-reach, -(y0 + y)),
                          last = std::min(reach, h - 1 - y0 - y);
            for (int64_t k = first; k <= last; ++k)
                addScaled(sum.data(), &rows[(y + k) * stride], taps[k + reach], stride);
            const float down = tapsInside(taps, reach, y0 + y, h);
            for (int64_t x = 0; x < bw; ++x)
                if (flags[x])
                    for (int64_t c = 0; c < 3; ++c)
                        out.values[(y * bw + x) * 3 + c] = sum[x * 3 + c] / down;
        }
    });
    return out;
}

} // namespace

void limitLowPass(std::vector<float>& textured, std::span<const float> smooth,
                  std::span<const uint8_t> hole, int64_t w, int64_t h, float sigma, float limit,
                  int processors) {
    if (limit <= 0.0f || sigma <= 0.0f)
        return;
    const BlurredDifference d = blurDifference(textured, smooth, hole, w, h, sigma, processors);
    for (int64_t y = d.y0; y < d.y0 + d.bh; ++y)
        for (int64_t x = d.x0; x < d.x0 + d.bw; ++x) {
            if (!hole[y * w + x])
                continue;
            float* t = &textured[(y * w + x) * 3];
            for (int c = 0; c < 3; ++c) {
                const float blurred = d.at(x, y)[c];
                t[c] -= blurred - std::clamp(blurred, -limit, limit);
            }
        }
}

namespace {

// The texture fill's weight at each hole pixel, in row-major order, from the grain around
// it, and whether any pixel takes some of the standard fill (plain) or of the texture fill
// (textured). Without weights (no blend, or no pixel that can be measured) the texture fill
// is taken everywhere.
struct Weights {
    std::vector<float> weight;
    bool plain = false;
    bool textured = true;
};

Weights weigh(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h,
              int processors, const TextureFill::Params& params) {
    const float lo = params.plainBelow, hi = params.texturedAbove;
    Weights out;
    if (hi > lo)
        out.weight = surroundingGrain(rgb, hole, w, h, processors);
    out.textured = out.weight.empty();
    for (float& f : out.weight) {
        f = std::clamp((f - lo) / (hi - lo), 0.0f, 1.0f);
        out.plain = out.plain || f < 1.0f;
        out.textured = out.textured || f > 0.0f;
    }
    return out;
}

// The blend of the two fills' results; smooth is empty where the texture fill is taken alone.
std::vector<float> blend(std::vector<float> out, const std::vector<float>& smooth,
                         const Weights& weights, std::span<const uint8_t> hole, int64_t w,
                         int64_t h, int processors, const TextureFill::Params& params) {
    if (smooth.empty())
        return out;
    limitLowPass(out, smooth, hole, w, h, params.lowPassSigma, params.lowPassLimit, processors);
    if (!weights.plain)
        return out;
    // Where the standard fill is taken, the texture fill's finest grain may still be kept on it.
    BlurredDifference coarse;
    if (params.plainGrain > 0.0f && params.plainGrainSigma > 0.0f)
        coarse = blurDifference(out, smooth, hole, w, h, params.plainGrainSigma, processors);
    for (int64_t i = 0, k = 0; i < w * h; ++i) {
        if (!hole[i])
            continue;
        const float* grain = coarse.values ? coarse.at(i % w, i / w) : nullptr;
        const float f = weights.weight[static_cast<size_t>(k++)];
        for (int64_t c = 0; c < 3; ++c) {
            const float d = out[i * 3 + c] - smooth[i * 3 + c];
            out[i * 3 + c] = smooth[i * 3 + c] + d * f;
            if (grain)
                out[i * 3 + c] += (1.0f - f) * params.plainGrain * (d - grain[c]);
        }
    }
    return out;
}

} // namespace

std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors,
                        const TextureFill::Params& params) {
    const bool limited = params.lowPassLimit > 0.0f && params.lowPassSigma > 0.0f;
    // The standard fill that the limit and the blend take skips its finest level
    // (params.standardSkippedLevels) where the hole allows, and makes fewer passes at the
    // next: the limit needs only its broad shapes, and where it is taken the texture fill's
    // finest grain is added to it. Its field depends on how many chunks its passes split
    // into, so it always runs as on one processor; the texture fill gives the same bytes on
    // any number, and so does the blend of the two. It is needed unless the texture fill is
    // taken everywhere without a limit.
    const PatchFill::Shortcut shortcut{params.standardSkippedLevels, params.standardFinishPasses};
    const auto needsStandard = [limited](const Weights& weights) {
        return weights.plain || limited;
    };
    const auto report = [&progress](double from, double to) {
        return [&progress, from, to](double f) {
            if (progress)
                progress(from + (to - from) * f);
        };
    };
    const std::vector<uint8_t> holeFlags = hole;
    const int cpus = processors > 0
                         ? processors
                         : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    // With processors to share, the texture fill starts at once on this thread, while a side
    // thread measures the grain and then runs the standard fill; neither waits on the other's
    // serial steps, and the thread that finishes first helps the other through its desk. A
    // hole plain all round takes the standard fill alone, with its bytes on that many
    // processors: the texture fill is then abandoned. Progress is reported from this thread
    // only; the standard fill, about a third of the texture fill's work, counts for a quarter.
    enum Verdict : int { kUndecided, kBoth, kTextureOnly, kPlain, kFailed };
    std::atomic<int> verdict = kUndecided;
    const auto decide = [&verdict](Verdict v) {
        verdict = v;
        verdict.notify_all();
    };
    Weights weights;
    std::vector<float> smooth, out;
    // The side thread's copy of the input, handed back for a hole plain all round.
    std::vector<float> plainRgb;
    std::vector<uint8_t> plainHole;
    // Both outlive the side thread.
    HelpDesk smoothDesk, textureDesk;
    std::atomic<double> smoothDone = 0.0;
    // Set when this thread's fill ends in an exception (a caller's progress callback throws
    // to abandon the erase): the side thread's fill then stops at its next step too.
    std::atomic<bool> stop = false;
    struct Stopped {};
    std::exception_ptr failure;
    std::jthread side;
    if (cpus >= 2) {
        try {
            side = startThread([&, rgb = rgb, hole = hole]() mutable {
                try {
                    weights = weigh(rgb, hole, w, h, 1, params);
                    if (!weights.textured) {
                        plainRgb = std::move(rgb);
                        plainHole = std::move(hole);
                        decide(kPlain);
                    } else if (!needsStandard(weights)) {
                        smoothDone = 1.0;
                        decide(kTextureOnly);
                    } else {
                        decide(kBoth);
                        smooth = PatchFill::fill(
                            std::move(rgb), std::move(hole), w, h,
                            [&smoothDone, &stop](double f) {
                                if (stop.load(std::memory_order_relaxed))
                                    throw Stopped{};
                                smoothDone.store(f, std::memory_order_relaxed);
                            },
                            1, &smoothDesk, shortcut);
                    }
                } catch (...) {
                    failure = std::current_exception();
                    decide(kFailed);
                }
                smoothDesk.close();
                textureDesk.serve(std::chrono::milliseconds(40), [] {});
            });
        } catch (const std::system_error&) {
            // Everything runs on this thread, one after the other.
        }
    }
    if (!side.joinable()) {
        weights = weigh(rgb, holeFlags, w, h, processors, params);
        if (!weights.textured)
            return PatchFill::fill(std::move(rgb), std::move(hole), w, h, progress, processors);
        if (!needsStandard(weights))
            return TextureFill::fill(std::move(rgb), std::move(hole), w, h, progress, processors,
                                     params);
        smooth = PatchFill::fill(rgb, hole, w, h, report(0.0, 0.25), 1, nullptr, shortcut);
        out = TextureFill::fill(std::move(rgb), std::move(hole), w, h, report(0.25, 1.0),
                                processors, params);
        return blend(std::move(out), smooth, weights, holeFlags, w, h, processors, params);
    }

    double reported = 0.0;
    const auto both = [&](double f) {
        // The texture fill reports 0 once its pyramid is built: its levels wait for the
        // verdict, so a hole plain all round costs no more of it than that.
        if (f == 0.0)
            verdict.wait(kUndecided);
        if (verdict.load() >= kPlain)
            throw Stopped{};
        reported = 0.25 * smoothDone.load(std::memory_order_relaxed) + 0.75 * f;
        if (progress)
            progress(reported);
    };
    // Ends the side thread's service, before it is joined, also when this thread throws.
    struct Closer {
        HelpDesk& desk;
        ~Closer() { desk.close(); }
    };
    try {
        Closer closer{textureDesk};
        out = TextureFill::fill(std::move(rgb), std::move(hole), w, h, both, cpus - 1, params,
                                &textureDesk);
        smoothDesk.serve(std::chrono::milliseconds(40), [&] {
            if (verdict.load() < kPlain)
                both(1.0);
        });
    } catch (const Stopped&) {
        // The side thread's verdict: a hole plain all round, or its own failure.
    } catch (...) {
        stop = true; // the side thread is joined as this unwinds
        throw;
    }
    side.join();
    if (verdict == kFailed)
        std::rethrow_exception(failure);
    if (verdict == kPlain)
        return PatchFill::fill(std::move(plainRgb), std::move(plainHole), w, h,
                               report(reported, 1.0), processors);
    // Where the texture fill is taken alone, no standard fill ran and smooth is empty.
    return blend(std::move(out), smooth, weights, holeFlags, w, h, processors, params);
}

} // namespace GrainBlend
