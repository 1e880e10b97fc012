#include "fullsizeedits.h"

#include "bilinear.h"
#include "matcher.h"
#include "simd.h"
#include "workergang.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace FullSizeEdits {

namespace {

// [x0, x1) x [y0, y1)
struct Box {
    int64_t x0, y0, x1, y1;
    int64_t area() const { return (x1 - x0) * (y1 - y0); }
    bool overlaps(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

// Margins of known pixels around a changed area at the working size: a quarter of its
// longer side, within these limits. The synthesis draws its patches from there.
constexpr int64_t kMinMargin = 16;
constexpr int64_t kMaxMargin = 64;
// More separate changed areas than this are synthesised as one crop.
constexpr size_t kMaxRegions = 256;

// The working pixels the edits changed, 1 each, and the box around them (x1 = 0: none).
std::vector<uint8_t> changedWorkingPixels(const PixelImage& original, const PixelImage& current,
                                          Box& box) {
    const int64_t w = original.width();
    const int64_t h = original.height();
    const auto before = original.bytes();
    const auto after = current.bytes();
    std::vector<uint8_t> changed(static_cast<size_t>(w * h), 0);
    box = {w, h, 0, 0};
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const size_t i = size_t(y * w + x);
            if (std::equal(&before[i * 4], &before[i * 4 + 3], &after[i * 4]))
                continue;
            changed[i] = 1;
            box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1),
                   std::max(box.y1, y + 1)};
        }
    return changed;
}

// The crops the changed pixels are synthesised in: each 8-connected group of them with its
// margin, groups whose crops overlap merged into one, so every crop's changed pixels lie
// at least a margin away from any other crop.
std::vector<Box> regions(const std::vector<uint8_t>& changed, int64_t w, int64_t h,
                         const Box& all) {
    std::vector<Box> boxes;
    std::vector<uint8_t> seen(changed.size(), 0);
    std::vector<int64_t> stack;
    for (int64_t y = all.y0; y < all.y1 && boxes.size() <= kMaxRegions; ++y)
        for (int64_t x = all.x0; x < all.x1; ++x) {
            const int64_t start = y * w + x;
            if (!changed[start] || seen[start])
                continue;
            Box b{x, y, x + 1, y + 1};
            seen[start] = 1;
            stack.assign(1, start);
            while (!stack.empty()) {
                const int64_t i = stack.back();
                stack.pop_back();
                const int64_t px = i % w, py = i / w;
                b = {std::min(b.x0, px), std::min(b.y0, py), std::max(b.x1, px + 1),
                     std::max(b.y1, py + 1)};
                for (int64_t ny = std::max<int64_t>(0, py - 1); ny <= std::min(h - 1, py + 1); ++ny)
                    for (int64_t nx = std::max<int64_t>(0, px - 1); nx <= std::min(w - 1, px + 1);
                         ++nx)
                        if (changed[ny * w + nx] && !seen[ny * w + nx]) {
                            seen[ny * w + nx] = 1;
                            stack.push_back(ny * w + nx);
                        }
            }
            boxes.push_back(b);
        }
    const auto grown = [w, h](const Box& b) {
        const int64_t m =
            std::clamp(std::max(b.x1 - b.x0, b.y1 - b.y0) / 4, kMinMargin, kMaxMargin);
        return Box{std::max<int64_t>(0, b.x0 - m), std::max<int64_t>(0, b.y0 - m),
                   std::min(w, b.x1 + m), std::min(h, b.y1 + m)};
    };
    if (boxes.size() > kMaxRegions)
        return {grown(all)};
    for (Box& b : boxes)
        b = grown(b);
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < boxes.size() && !merged; ++i)
            for (size_t j = i + 1; j < boxes.size() && !merged; ++j)
                if (boxes[i].overlaps(boxes[j])) {
                    const Box& o = boxes[j];
                    boxes[i] = {std::min(boxes[i].x0, o.x0), std::min(boxes[i].y0, o.y0),
                                std::max(boxes[i].x1, o.x1), std::max(boxes[i].y1, o.y1)};
                    boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
    }
    return boxes;
}

// The working pictures and the full-size geometry the enlargement samples them with.
struct Enlargement {
    const std::vector<uint8_t>& changed;
    const uint8_t* current;
    int64_t w, h, fw, fh;
    std::vector<Bilinear::Tap> columns;
    float sy;

    Enlargement(const std::vector<uint8_t>& changed, const PixelImage& current, int64_t fw,
                int64_t fh)
        : changed(changed), current(current.bytes().data()), w(current.width()),
          h(current.height()), fw(fw), fh(fh), columns(static_cast<size_t>(fw)),
          sy(float(h) / float(fh)) {
        const float sx = float(w) / float(fw);
        for (int64_t x = 0; x < fw; ++x)
            columns[size_t(x)] = Bilinear::tap(x, sx, w);
    }

    // The blend weight of full-size pixel (x, y) and the enlarged working colour there.
    float at(int64_t x, int64_t y, float up[3]) const {
        const Bilinear::Tap ty = Bilinear::tap(y, sy, h);
        const Bilinear::Tap& tx = columns[size_t(x)];
        const Bilinear::Weights k = Bilinear::weights(tx, ty);
        const size_t i00 = size_t(ty.i0 * w + tx.i0), i10 = size_t(ty.i0 * w + tx.i1);
        const size_t i01 = size_t(ty.i1 * w + tx.i0), i11 = size_t(ty.i1 * w + tx.i1);
        const float a = k.w00 * float(changed[i00]) + k.w10 * float(changed[i10]) +
                        k.w01 * float(changed[i01]) + k.w11 * float(changed[i11]);
        if (a <= 0.0f)
            return a;
        const uint8_t* c = current;
        for (size_t ch = 0; ch < 3; ++ch)
            up[ch] = k.w00 * float(c[i00 * 4 + ch]) + k.w10 * float(c[i10 * 4 + ch]) +
                     k.w01 * float(c[i01 * 4 + ch]) + k.w11 * float(c[i11 * 4 + ch]);
        return a;
    }

    // A working-size colour array over box b (rgb floats), enlarged at full-size pixel (x, y).
    void sample(const float* values, const Box& b, int64_t x, int64_t y, float out[3]) const {
        Bilinear::Tap ty = Bilinear::tap(y, sy, h);
        Bilinear::Tap tx = columns[size_t(x)];
        const auto inside = [](Bilinear::Tap t, int64_t lo, int64_t hi) {
            return Bilinear::Tap{std::clamp(t.i0, lo, hi - 1) - lo,
                                 std::clamp(t.i1, lo, hi - 1) - lo, t.t};
        };
        tx = inside(tx, b.x0, b.x1);
        ty = inside(ty, b.y0, b.y1);
        Bilinear::sample(values, b.x1 - b.x0, tx, ty, Bilinear::weights(tx, ty), out);
    }

    // The working pixel full-size pixel (x, y) lies in.
    std::pair<int64_t, int64_t> workingPixel(int64_t x, int64_t y) const {
        return {std::min(w - 1, (2 * x + 1) * w / (2 * fw)),
                std::min(h - 1, (2 * y + 1) * h / (2 * fh))};
    }

    // The full-size box a working box covers.
    Box fullBox(const Box& b) const {
        return {b.x0 * fw / w, b.y0 * fh / h, std::min(fw, (b.x1 * fw + w - 1) / w),
                std::min(fh, (b.y1 * fh + h - 1) / h)};
    }
};

void blend(uint8_t* p, float a, const float* fill) {
    for (size_t c = 0; c < 3; ++c) {
        const float v = float(p[c]) * (1.0f - a) + fill[c] * a;
        p[c] = uint8_t(std::clamp(v + 0.5f, 0.0f, 255.0f));
    }
}

// o[i] += k * (a[i] + b[i]) for i < n: two taps of a symmetric kernel at once. Both
// versions give the same bits: the same operations an element, in the same order.
void addPair(float* o, const float* a, const float* b, float k, size_t n) {
    for (size_t i = 0; i < n; ++i)
        o[i] += k * (a[i] + b[i]);
}

[[gnu::target("avx2")]] void addPairWide(float* o, const float* a, const float* b, float k,
                                         size_t n) {
    for (size_t i = 0; i < n; ++i)
        o[i] += k * (a[i] + b[i]);
}

// Subtracts from rgb (w x h x 3) its blur by a Gaussian of sigma pixels, edges repeated,
// `times` times over, at the pixels where `where` (w x h) is positive; the others keep
// their values. Each pass is the same for any processor count: rows are independent.
void highPass(std::vector<float>& rgb, int64_t w, int64_t h, float sigma, int times,
              const std::vector<float>& where, int processors) {
    const int64_t r = std::max<int64_t>(1, int64_t(std::ceil(3.0f * sigma)));
    // k[q] weighs the pixels q to either side.
    std::vector<float> k(size_t(r + 1));
    float sum = 0.0f;
    for (int64_t q = 0; q <= r; ++q) {
        k[size_t(q)] = std::exp(-float(q * q) / (2.0f * sigma * sigma));
        sum += q == 0 ? k[0] : 2.0f * k[size_t(q)];
    }
    for (float& v : k)
        v /= sum;
    // Each row's span of pixels that change, and the span its horizontal blur is needed
    // over: the union of the changing spans within r rows. Columns outside are never read.
    using Span = std::pair<int64_t, int64_t>;
    std::vector<Span> changing(size_t(h), Span{w, 0}), needed(size_t(h), Span{w, 0});
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            if (where[size_t(y * w + x)] > 0.0f)
                changing[size_t(y)] = {std::min(changing[size_t(y)].first, x), x + 1};
    for (int64_t y = 0; y < h; ++y)
        for (int64_t q = std::max<int64_t>(0, y - r); q <= std::min(h - 1, y + r); ++q) {
            const Span& c = changing[size_t(q)];
            if (c.first < c.second)
                needed[size_t(y)] = {std::min(needed[size_t(y)].first, c.first),
                                     std::max(needed[size_t(y)].second, c.second)};
        }
    const size_t stride = size_t(w) * 3;
    const bool split = hasSpareProcessor(processors) && w * h >= kSplitLoopPixels;
    const auto add = Simd::wideKernels() ? addPairWide : addPair;
    std::vector<float> across(rgb.size());
    for (int n = 0; n < times; ++n) {
        inTwoHalves(h, split, [&](int64_t y0, int64_t y1) {
            std::vector<float> padded(size_t(w + 2 * r) * 3);
            for (int64_t y = y0; y < y1; ++y) {
                const int64_t lo = needed[size_t(y)].first, hi = needed[size_t(y)].second;
                if (lo >= hi)
                    continue;
                const float* row = &rgb[size_t(y) * stride];
                for (int64_t x = lo - r; x < hi + r; ++x)
                    std::copy_n(row + std::clamp<int64_t>(x, 0, w - 1) * 3, 3,
                                &padded[size_t(x - lo + r) * 3]);
                float* o = &across[size_t(y) * stride + size_t(lo) * 3];
                const size_t n3 = size_t(hi - lo) * 3;
                const float* centre = &padded[size_t(r) * 3];
                for (size_t i = 0; i < n3; ++i)
                    o[i] = k[0] * centre[i];
                for (int64_t q = 1; q <= r; ++q)
                    add(o, centre - q * 3, centre + q * 3, k[size_t(q)], n3);
            }
        });
        inTwoHalves(h, split, [&](int64_t y0, int64_t y1) {
            std::vector<float> blurred(stride);
            for (int64_t y = y0; y < y1; ++y) {
                const int64_t lo = changing[size_t(y)].first, hi = changing[size_t(y)].second;
                if (lo >= hi)
                    continue;
                const size_t n3 = size_t(hi - lo) * 3;
                const auto at = [&](int64_t q) {
                    return &across[size_t(std::clamp<int64_t>(y + q, 0, h - 1)) * stride +
                                   size_t(lo) * 3];
                };
                const float* centre = at(0);
                for (size_t i = 0; i < n3; ++i)
                    blurred[i] = k[0] * centre[i];
                for (int64_t q = 1; q <= r; ++q)
                    add(blurred.data(), at(-q), at(q), k[size_t(q)], n3);
                float* row = &rgb[size_t(y) * stride];
                for (int64_t x = lo; x < hi; ++x)
                    if (where[size_t(y * w + x)] > 0.0f)
                        for (size_t c = 0; c < 3; ++c)
                            row[size_t(x) * 3 + c] -= blurred[size_t(x - lo) * 3 + c];
            }
        });
    }
}

// The working result's field over a working box: for each patch of the changed area, the
// centre of a known patch that looks like it (crop coordinates, -1 for none). None when
// the box has no usable interior.
std::optional<std::vector<int32_t>> workingField(const Enlargement& e, const Box& b, int processors,
                                                 const std::function<void()>& advance) {
    PatchFill::Level level{b.x1 - b.x0, b.y1 - b.y0, {}, {}};
    level.rgb.resize(size_t(level.w * level.h * 3));
    level.hole.resize(size_t(level.w * level.h));
    for (int64_t y = b.y0; y < b.y1; ++y)
        for (int64_t x = b.x0; x < b.x1; ++x) {
            const size_t i = size_t((y - b.y0) * level.w + (x - b.x0));
            for (size_t c = 0; c < 3; ++c)
                level.rgb[i * 3 + c] = float(e.current[size_t(y * e.w + x) * 4 + c]);
            level.hole[i] = e.changed[size_t(y * e.w + x)];
        }
    Matcher m(std::move(level), processors);
    if (!m.usable())
        return std::nullopt;
    // Only the field is wanted: no vote, so the working result stays what the passes match.
    m.initNNF({}, 0, 0);
    for (int p = 0; p < kFieldPasses; ++p) {
        m.matchPass(p % 2 == 1);
        advance();
    }
    return m.snapshotNNF();
}

// Synthesises the fill of one crop again at full size; false (full untouched) when it
// cannot be.
bool synthesise(PixelImage& full, const Enlargement& e, const Box& b, int processors,
                const std::function<void()>& advance, uint8_t* marks) {
    const Box fb = e.fullBox(b);
    if (fb.area() > kMaxSynthesisPixels)
        return false;
    const auto field = workingField(e, b, processors, advance);
    if (!field)
        return false;

    const int64_t cw = fb.x1 - fb.x0, ch = fb.y1 - fb.y0, bw = b.x1 - b.x0;
    PatchFill::Level level{cw, ch, {}, {}};
    level.rgb.resize(size_t(cw * ch * 3));
    level.hole.resize(size_t(cw * ch));
    std::vector<float> weight(size_t(cw * ch), 0.0f);
    std::vector<int32_t> seeds(size_t(cw * ch), -1);
    const uint8_t* px = full.bytes().data();
    const double sx = double(e.fw) / double(e.w), sy = double(e.fh) / double(e.h);
    for (int64_t y = fb.y0; y < fb.y1; ++y)
        for (int64_t x = fb.x0; x < fb.x1; ++x) {
            const size_t i = size_t((y - fb.y0) * cw + (x - fb.x0));
            float up[3] = {};
            const float a = e.at(x, y, up);
            weight[i] = a;
            level.hole[i] = a > 0.0f;
            for (size_t c = 0; c < 3; ++c)
                level.rgb[i * 3 + c] = a > 0.0f ? up[c] : float(px[size_t(y * e.fw + x) * 4 + c]);
            // The working pixel this one lies in, its match, and the same offset scaled up.
            const auto [tx, ty] = e.workingPixel(x, y);
            if (tx < b.x0 || tx >= b.x1 || ty < b.y0 || ty >= b.y1)
                continue;
            const int32_t match = (*field)[size_t((ty - b.y0) * bw + (tx - b.x0))];
            if (match < 0)
                continue;
            const int64_t mx = match % bw + b.x0, my = match / bw + b.y0;
            const int64_t sxf = x + std::llround(double(mx - tx) * sx) - fb.x0;
            const int64_t syf = y + std::llround(double(my - ty) * sy) - fb.y0;
            if (sxf >= 0 && sxf < cw && syf >= 0 && syf < ch)
                seeds[i] = int32_t(syf * cw + sxf);
        }

    Matcher m(std::move(level), processors);
    if (!m.usable())
        return false;
    m.seedNNF(seeds);
    m.limitSearch(kSearchRadius);
    std::vector<int32_t>().swap(seeds);
    m.vote();
    // The last pass ends with the best patch per pixel rather than an average, which would
    // soften the grain again.
    for (int p = 0; p < kDetailPasses; ++p) {
        m.matchPass(p % 2 == 1);
        if (p + 1 < kDetailPasses)
            m.vote();
        else
            m.voteBest();
        advance();
    }
    const std::span<const float> fill = m.rgb();
    // The working result decided what is where; the synthesis adds only the detail the
    // working size cannot hold. So its own low frequencies (its pixels averaged over each
    // working pixel's footprint, enlarged as the working result is) are replaced by the
    // working result's, and what is left is filtered once more below.
    const int64_t bh = b.y1 - b.y0;
    std::vector<float> low(size_t(bw * bh * 3), 0.0f), counts(size_t(bw * bh), 0.0f);
    for (int64_t y = fb.y0; y < fb.y1; ++y)
        for (int64_t x = fb.x0; x < fb.x1; ++x) {
            const auto [tx, ty] = e.workingPixel(x, y);
            if (tx < b.x0 || tx >= b.x1 || ty < b.y0 || ty >= b.y1)
                continue;
            const size_t i = size_t((y - fb.y0) * cw + (x - fb.x0));
            const size_t j = size_t((ty - b.y0) * bw + (tx - b.x0));
            for (size_t c = 0; c < 3; ++c)
                low[j * 3 + c] += fill[i * 3 + c];
            counts[j] += 1.0f;
        }
    for (size_t j = 0; j < counts.size(); ++j)
        for (size_t c = 0; c < 3; ++c)
            low[j * 3 + c] = counts[j] > 0.0f ? low[j * 3 + c] / counts[j] : 0.0f;
    std::vector<float> detail(size_t(cw * ch * 3));
    for (int64_t y = fb.y0; y < fb.y1; ++y)
        for (int64_t x = fb.x0; x < fb.x1; ++x) {
            const size_t i = size_t((y - fb.y0) * cw + (x - fb.x0));
            float own[3];
            e.sample(low.data(), b, x, y, own);
            for (size_t c = 0; c < 3; ++c)
                detail[i * 3 + c] = fill[i * 3 + c] - own[c];
        }
    // Detail near the working size's own finest scale would move the shapes the working
    // result shows rather than add grain to them; only the finer grain is kept.
    highPass(detail, cw, ch, float(kDetailSigma * std::max(sx, sy)), kDetailOrder, weight,
             processors);
    uint8_t* out = full.mutableBytes().data();
    for (int64_t y = fb.y0; y < fb.y1; ++y)
        for (int64_t x = fb.x0; x < fb.x1; ++x) {
            const size_t i = size_t((y - fb.y0) * cw + (x - fb.x0));
            if (!(weight[i] > 0.0f))
                continue;
            float up[3] = {}, v[3];
            e.at(x, y, up);
            for (size_t c = 0; c < 3; ++c)
                v[c] = up[c] + detail[i * 3 + c];
            blend(out + (y * e.fw + x) * 4, weight[i], v);
            if (marks)
                marks[y * e.fw + x] = 1;
        }
    return true;
}

} // namespace

void carry(PixelImage& full, const PixelImage& original, const PixelImage& current, Fill fill,
           const std::function<void(double)>& progress, int processors,
           std::vector<uint8_t>* changedPixels) {
    const int64_t w = original.width();
    const int64_t h = original.height();
    if (changedPixels)
        changedPixels->assign(size_t(full.width() * full.height()), 0);
    if (full.isEmpty() || original.isEmpty() || current.width() != w || current.height() != h ||
        original.sharesBytesWith(current))
        return;
    Box all;
    const std::vector<uint8_t> changed = changedWorkingPixels(original, current, all);
    if (all.x1 == 0)
        return;
    const Enlargement e(changed, current, full.width(), full.height());
    // Synthesis adds nothing where the full size is no larger than the working one.
    const bool synthesis = fill == Fill::Synthesised && e.fw > w && e.fh > h;
    const std::vector<Box> crops =
        synthesis
            ? regions(changed, w, h, all)
            : std::vector<Box>{{std::max<int64_t>(0, all.x0 - 1), std::max<int64_t>(0, all.y0 - 1),
                                std::min(w, all.x1 + 1), std::min(h, all.y1 + 1)}};

    const int64_t total = int64_t(crops.size()) * (kFieldPasses + kDetailPasses);
    int64_t step = 0;
    const std::function<void()> advance = [&] {
        ++step;
        if (progress)
            progress(double(step) / double(total));
    };
    uint8_t* marks = changedPixels ? changedPixels->data() : nullptr;
    for (const Box& b : crops) {
        if (synthesis && synthesise(full, e, b, processors, advance, marks))
            continue;
        // The enlargement alone.
        const Box fb = e.fullBox(b);
        uint8_t* out = full.mutableBytes().data();
        for (int64_t y = fb.y0; y < fb.y1; ++y)
            for (int64_t x = fb.x0; x < fb.x1; ++x) {
                float up[3];
                const float a = e.at(x, y, up);
                if (a > 0.0f) {
                    blend(out + (y * e.fw + x) * 4, a, up);
                    if (marks)
                        marks[y * e.fw + x] = 1;
                }
            }
    }
    if (progress)
        progress(1.0);
}

} // namespace FullSizeEdits
