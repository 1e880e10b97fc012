#include "morph.h"

#include "largepages.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace Morph {

// Rows are skipped eight bytes at a time, since most of a large mask is clear.
Box setBox(std::span<const uint8_t> mask, int64_t w, int64_t h) {
    Box box{w, -1, h, -1};
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* row = mask.data() + y * w;
        int64_t x = 0;
        for (; x + 8 <= w; x += 8) {
            uint64_t word;
            std::memcpy(&word, row + x, 8);
            if (word)
                break;
        }
        for (; x < w && !row[x]; ++x) {
        }
        if (x == w)
            continue;
        box.minX = std::min(box.minX, x);
        int64_t last = w - 1;
        while (!row[last])
            --last;
        box.maxX = std::max(box.maxX, last);
        if (box.maxY < 0)
            box.minY = y;
        box.maxY = y;
    }
    return box;
}

bool survivesErosion(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t steps) {
    assert(steps >= 0 && "survivesErosion: steps must not be negative");
    assert(static_cast<int64_t>(mask.size()) >= w * h && "survivesErosion: mask too short");
    if (steps == 0)
        return true;
    if (w < 3 || h < 3)
        return false;

    // A 3 x 3 erosion is a horizontal 3-wide erosion followed by a vertical one; the
    // separable form reads 6 bytes per pixel instead of 9 and vectorises. The border
    // rows and columns of every step stay clear.
    const auto n = static_cast<size_t>(w * h);
    std::vector<uint8_t> cur(n), rows(n), next(n);
    for (size_t i = 0; i < n; ++i)
        cur[i] = mask[i] != 0;

    for (int64_t step = 0; step < steps; ++step) {
        for (int64_t y = 0; y < h; ++y) {
            const uint8_t* c = cur.data() + y * w;
            uint8_t* r = rows.data() + y * w;
            for (int64_t x = 1; x < w - 1; ++x)
                r[x] = c[x - 1] & c[x] & c[x + 1];
        }
        uint8_t any = 0;
        std::fill(next.begin(), next.begin() + w, 0);
        std::fill(next.end() - w, next.end(), 0);
        for (int64_t y = 1; y < h - 1; ++y) {
            const uint8_t* up = rows.data() + (y - 1) * w;
            const uint8_t* mid = rows.data() + y * w;
            const uint8_t* down = rows.data() + (y + 1) * w;
            uint8_t* out = next.data() + y * w;
            out[0] = 0;
            out[w - 1] = 0;
            for (int64_t x = 1; x < w - 1; ++x) {
                out[x] = up[x] & mid[x] & down[x];
                any |= out[x];
            }
        }
        if (!any)
            return false;
        cur.swap(next);
    }
    return true;
}

std::vector<uint8_t> dilate(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t r) {
    const auto n = static_cast<size_t>(std::max<int64_t>(w * h, 0));
    std::vector<uint8_t> result;
    LargePages::reserve(result, n);
    result.resize(n);
    if (h > 0 && w > 0)
        dilateRows(mask, w, h, r, 0, h, result);
    return result;
}

void dilateRows(std::span<const uint8_t> mask, int64_t w, int64_t h, int64_t r, int64_t y0,
                int64_t y1, std::span<uint8_t> out) {
    assert(r >= 0 && "dilate: negative radius");
    assert(static_cast<int64_t>(mask.size()) >= w * h && "dilate: mask too short");
    assert(0 <= y0 && y0 <= y1 && y1 <= h && "dilateRows: rows out of range");
    assert(static_cast<int64_t>(out.size()) >= (y1 - y0) * w && "dilateRows: output too short");
    if (y0 >= y1 || w <= 0)
        return;

    // The horizontal pass covers the rows the vertical one reads: r beyond each end.
    const int64_t a = std::max<int64_t>(y0 - r, 0);
    const int64_t b = std::min(y1 + r, h);
    std::vector<uint8_t> mid;
    LargePages::reserve(mid, static_cast<size_t>((b - a) * w));
    mid.resize(static_cast<size_t>((b - a) * w));

    // Each pass counts the set values in a sliding window: O(1) per pixel whatever r is.
    for (int64_t y = a; y < b; ++y) {
        const uint8_t* in = mask.data() + y * w;
        uint8_t* row = mid.data() + (y - a) * w;
        int64_t count = 0;
        for (int64_t x = 0; x < std::min(r, w); ++x)
            count += in[x] != 0;
        for (int64_t x = 0; x < w; ++x) {
            if (x + r < w)
                count += in[x + r] != 0;
            if (x - r - 1 >= 0)
                count -= in[x - r - 1] != 0;
            row[x] = count > 0;
        }
    }
    std::vector<int64_t> counts(static_cast<size_t>(w), 0);
    for (int64_t y = a; y < std::min(y0 + r, h); ++y)
        for (int64_t x = 0; x < w; ++x)
            counts[x] += mid[(y - a) * w + x];
    for (int64_t y = y0; y < y1; ++y) {
        if (y + r < h)
            for (int64_t x = 0; x < w; ++x)
                counts[x] += mid[(y + r - a) * w + x];
        if (y - r - 1 >= a)
            for (int64_t x = 0; x < w; ++x)
                counts[x] -= mid[(y - r - 1 - a) * w + x];
        uint8_t* row = out.data() + (y - y0) * w;
        for (int64_t x = 0; x < w; ++x)
            row[x] = counts[x] > 0;
    }
}

} // namespace Morph
