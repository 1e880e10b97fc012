#include "matcher.h"
#include "morph.h"
#include "reference.h"
#include "xorshift.h"

#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <set>

namespace {

// The matcher written the plain way, chunks run one after another with the same bounds
// and seeds. The engine runs them in parallel and must give the same field.
struct PlainMatcher {
    int64_t w, h, n, chunks;
    std::vector<float> rgb;
    std::vector<uint8_t> hole, valid, target;
    std::vector<int32_t> nnf, sources;
    std::vector<float> dist;
    int64_t minRow = INT64_MAX, maxRow = -1;

    PlainMatcher(int64_t w_, int64_t h_, std::vector<float> c, std::vector<uint8_t> m, int64_t cpus)
        : w(w_), h(h_), n(w_ * h_), chunks(cpus), rgb(std::move(c)), hole(std::move(m)),
          valid(n, 0), target(n, 0), nnf(n, -1), dist(n, 0.0f) {
        const auto d = Morph::dilate(hole, w, h, 3);
        for (int64_t y = 3; y < h - 3; ++y)
            for (int64_t x = 3; x < w - 3; ++x) {
                if (d[y * w + x]) {
                    target[y * w + x] = 1;
                    minRow = std::min(minRow, y);
                    maxRow = y;
                } else {
                    valid[y * w + x] = 1;
                    sources.push_back(int32_t(y * w + x));
                }
            }
    }
    static uint64_t below(uint64_t& s, uint64_t m) {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return (s * 0x2545F4914F6CDD1DULL) % m;
    }
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
        for (int64_t y = minRow; y <= maxRow; ++y)
            for (int64_t x = 0; x < w; ++x)
                if (target[y * w + x])
                    nnf[y * w + x] = sources[below(s, sources.size())];
    }
    void matchPass(bool reverse) {
        const int64_t d = reverse ? 1 : -1, lo = minRow, span = maxRow + 1 - lo;
        const int64_t k = std::max<int64_t>(1, std::min(span / 8, chunks));
        for (int64_t c = 0; c < k; ++c) {
            const int64_t y0 = lo + span * c / k, y1 = lo + span * (c + 1) / k;
            uint64_t s = ((uint64_t(c + 1) * 7919 + uint64_t(y0)) * 0x9E3779B97F4A7C15ULL) | 1;
            for (int64_t y = y0; y < y1; ++y)
                for (int64_t x = 3; x <= w - 4; ++x)
                    if (target[y * w + x])
                        dist[y * w + x] = D(y * w + x, nnf[y * w + x], INFINITY);
            for (int64_t yy = 0; yy < y1 - y0; ++yy) {
                const int64_t y = d < 0 ? y0 + yy : y1 - 1 - yy;
                for (int64_t xx = 0; xx <= w - 7; ++xx) {
                    const int64_t x = d < 0 ? 3 + xx : w - 4 - xx, i = y * w + x;
                    if (!target[i])
                        continue;
                    int64_t bx = nnf[i] % w, by = nnf[i] / w;
                    float best = dist[i];
                    auto tryc = [&](int64_t cx, int64_t cy) {
                        const float e = D(i, cy * w + cx, best);
                        if (e < best)
                            best = e, bx = cx, by = cy;
                    };
                    if (3 <= x + d && x + d < w - 3 && target[i + d]) {
                        const int64_t q = nnf[i + d], cx = q % w - d, cy = q / w;
                        if (cx >= 0 && cx < w && valid[cy * w + cx])
                            tryc(cx, cy);
                    }
                    if (y0 <= y + d && y + d < y1 && target[i + d * w]) {
                        const int64_t q = nnf[i + d * w], cx = q % w, cy = q / w - d;
                        if (cy >= 0 && cy < h && valid[cy * w + cx])
                            tryc(cx, cy);
                    }
                    for (int64_t R = std::max(w, h); R >= 1; R /= 2) {
                        const int64_t cx = bx + int64_t(below(s, 2 * R + 1)) - R;
                        const int64_t cy = by + int64_t(below(s, 2 * R + 1)) - R;
                        if (3 <= cx && cx < w - 3 && 3 <= cy && cy < h - 3 && valid[cy * w + cx])
                            tryc(cx, cy);
                    }
                    nnf[i] = int32_t(by * w + bx);
                    dist[i] = best;
                }
            }
        }
    }
    void vote() {
        std::vector<float> out = rgb;
        const float k = std::bit_cast<float>(0x388BCF65u);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) {
                if (!hole[y * w + x])
                    continue;
                float R = 0, G = 0, B = 0, S = 0;
                for (int64_t dy = -3; dy <= 3; ++dy)
                    for (int64_t dx = -3; dx <= 3; ++dx) {
                        const int64_t ty = y + dy, tx = x + dx;
                        if (ty < 3 || ty >= h - 3 || tx < 3 || tx >= w - 3 || !target[ty * w + tx])
                            continue;
                        const int64_t q = nnf[ty * w + tx];
                        const int64_t s = (q / w - dy) * w + (q % w - dx);
                        const float a = 1.0f / (dist[ty * w + tx] * k + 1.0f);
                        R += a * rgb[s * 3];
                        G += a * rgb[s * 3 + 1];
                        B += a * rgb[s * 3 + 2];
                        S += a;
                    }
                if (S > 0) {
                    out[(y * w + x) * 3] = R / S;
                    out[(y * w + x) * 3 + 1] = G / S;
                    out[(y * w + x) * 3 + 2] = B / S;
                }
            }
        rgb = out;
    }
};

// A textured level with a rectangular hole.
struct Scene {
    int64_t w, h;
    std::vector<float> rgb;
    std::vector<uint8_t> hole;
};

Scene scene(int64_t w, int64_t h, int64_t hx, int64_t hy, int64_t hw, int64_t hh, uint32_t seed) {
    Scene s{w, h, Reference::randomColours(w * h, seed), std::vector<uint8_t>(w * h, 0)};
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) // smooth stripes plus noise, so matches are not all ties
                s.rgb[(y * w + x) * 3 + c] = float(int((x * 7 + y * 3 + c * 40) % 200) +
                                                   int(s.rgb[(y * w + x) * 3 + c]) % 56);
    for (int64_t y = hy; y < hy + hh; ++y)
        for (int64_t x = hx; x < hx + hw; ++x)
            s.hole[y * w + x] = 1;
    return s;
}

// A wide hole near the top and a one-pixel line below it: the first chunk of a pass has
// far more targets than the others, so the threads that finish early help with its rows.
Scene lopsidedScene(uint32_t seed) {
    Scene s = scene(100, 90, 10, 5, 80, 30, seed);
    for (int64_t y = 35; y < 86; ++y)
        s.hole[y * s.w + 50] = 1;
    return s;
}

TEST(XorShiftAdvance, SkipsExactlyTheGivenNumberOfSteps) {
    for (uint64_t seed : {uint64_t{1}, uint64_t{0x9E3779B97F4A7C15}, ~uint64_t{0}}) {
        XorShift g{seed};
        uint64_t done = 0;
        for (uint64_t n : {0, 1, 2, 3, 63, 64, 1000, 4097, 65536}) {
            while (done < n) {
                g.step();
                ++done;
            }
            EXPECT_EQ(XorShift::advance(seed, n), g.s) << "seed " << seed << " n " << n;
        }
    }
}

TEST(XorShiftDivisor, RemainderEqualsTheDivisionsForEveryValue) {
    std::mt19937_64 rng(5);
    std::vector<uint64_t> values{0, 1, 2, ~uint64_t{0}, ~uint64_t{0} - 1, uint64_t{1} << 63};
    for (int k = 0; k < 2000; ++k)
        values.push_back(rng());
    std::vector<uint64_t> divisors{1, 2, 3, 7, 64, 6145, 4294967295u, 4294967296u, ~uint64_t{0}};
    for (uint64_t d = 1; d < 20000; d += 1 + d / 50)
        divisors.push_back(d);
    for (uint64_t d : divisors) {
        const XorShift::Divisor divisor(d);
        for (uint64_t a : {d - 1, d, d + 1, 3 * d, 3 * d - 1})
            values.push_back(a);
        for (uint64_t a : values)
            ASSERT_EQ(divisor.remainder(a), a % d) << a << " mod " << d;
        values.resize(values.size() - 5);
    }
}

TEST(MatcherSetup, SmallOrSaturatedLevelsAreNotUsable) {
    auto s = scene(8, 40, 3, 10, 2, 2, 1);
    EXPECT_FALSE(Matcher(s.w, s.h, s.rgb, s.hole).usable()) << "narrower than 9";
    s = scene(20, 20, 0, 0, 20, 20, 1);
    EXPECT_FALSE(Matcher(s.w, s.h, s.rgb, s.hole).usable()) << "no source";
    s = scene(20, 20, 0, 0, 0, 0, 1);
    EXPECT_FALSE(Matcher(s.w, s.h, s.rgb, s.hole).usable()) << "no target";
}

TEST(MatcherSetup, HoleInEdgeBandStillMakesTargets) {
    auto s = scene(30, 30, 0, 0, 2, 30, 1); // only columns 0 and 1
    Matcher m(s.w, s.h, s.rgb, s.hole);
    ASSERT_TRUE(m.usable());
    for (int64_t y = 3; y < 27; ++y) {
        EXPECT_EQ(m.target()[y * 30 + 3], 1);
        EXPECT_EQ(m.target()[y * 30 + 4], 1);
        EXPECT_EQ(m.target()[y * 30 + 5], 0);
        EXPECT_EQ(m.valid()[y * 30 + 5], 1);
    }
    EXPECT_EQ(m.target()[30 + 3], 0) << "edge band pixels are neither";
    EXPECT_EQ(m.valid()[30 + 3], 0);
    EXPECT_EQ(m.minRow(), 3);
    EXPECT_EQ(m.maxRow(), 26);
}

TEST(MatcherParallel, ChunksCoverTheRangeAndFollowTheProcessorCount) {
    auto s = scene(20, 20, 8, 8, 3, 3, 1);
    for (int cpus : {1, 2, 3}) {
        Matcher m(s.w, s.h, s.rgb, s.hole, cpus);
        for (auto [lo, hi] : {std::pair<int64_t, int64_t>{5, 5}, {0, 15}, {3, 19}, {10, 75}}) {
            std::mutex lock;
            std::set<std::tuple<int64_t, int64_t, int64_t>> seen;
            m.parallel(lo, hi, [&](int64_t c, int64_t a, int64_t b) {
                std::lock_guard g(lock);
                seen.insert({c, a, b});
            });
            const int64_t span = hi - lo;
            const int64_t chunks =
                span < 1 ? 0 : std::max<int64_t>(1, std::min<int64_t>(span / 8, cpus));
            ASSERT_EQ(int64_t(seen.size()), chunks) << lo << ".." << hi << " cpus " << cpus;
            int64_t next = lo;
            for (auto [c, a, b] : seen) {
                EXPECT_EQ(a, next);
                EXPECT_GE(b - a, chunks > 1 ? 8 : 0);
                next = b;
            }
            EXPECT_EQ(next, chunks ? hi : lo);
        }
    }
}

TEST(MatcherInit, RandomSeedIsRepeatableAndNamesSources) {
    auto s = scene(40, 30, 15, 10, 8, 6, 2);
    Matcher a(s.w, s.h, s.rgb, s.hole), b(s.w, s.h, s.rgb, s.hole);
    a.initNNF({}, 0, 0);
    b.initNNF({}, 0, 0);
    EXPECT_EQ(a.snapshotNNF(), b.snapshotNNF());
    PlainMatcher p(s.w, s.h, s.rgb, s.hole, 1);
    p.initNNF();
    EXPECT_EQ(a.snapshotNNF(), p.nnf);
    for (int64_t i = 0; i < a.n(); ++i) {
        if (a.target()[i])
            EXPECT_EQ(a.valid()[a.nnf()[i]], 1);
        else
            EXPECT_EQ(a.nnf()[i], -1);
    }
}

TEST(MatcherInit, CoarseMatchesScaleUpKeepingParity) {
    auto s = scene(40, 40, 16, 16, 8, 8, 3);
    Matcher m(s.w, s.h, s.rgb, s.hole);
    // Every coarse pixel matched to coarse (3, 4): fine targets map to (6 + x%2, 8 + y%2).
    std::vector<int32_t> prev(20 * 20, 4 * 20 + 3);
    prev[(20 / 2) * 20 + 20 / 2] = -1; // fine (20..21, 20..21) fall back to a random source
    m.initNNF(prev, 20, 20);
    for (int64_t y = 0; y < 40; ++y)
        for (int64_t x = 0; x < 40; ++x) {
            if (!m.target()[y * 40 + x] || (x / 2 == 10 && y / 2 == 10))
                continue;
            EXPECT_EQ(m.nnf()[y * 40 + x], (8 + y % 2) * 40 + 6 + x % 2) << x << "," << y;
        }
    EXPECT_EQ(m.valid()[m.nnf()[20 * 40 + 20]], 1);
}

class MatcherPasses : public testing::TestWithParam<int> {};

TEST_P(MatcherPasses, ParallelPassesAndVotesMatchThePlainMatcher) {
    const int cpus = GetParam();
    std::vector<Scene> scenes;
    for (auto [w, h, hx, hy, hw, hh] :
         {std::tuple{64, 48, 20, 15, 20, 14}, {41, 97, 0, 30, 12, 30}, {120, 70, 50, 0, 30, 70}})
        scenes.push_back(scene(w, h, hx, hy, hw, hh, uint32_t(w + cpus)));
    // Helping threads join rows at random moments, so the lopsided case runs a few times.
    for (uint32_t k = 0; k < 4; ++k)
        scenes.push_back(lopsidedScene(k + uint32_t(cpus)));
    for (const Scene& s : scenes) {
        const int64_t w = s.w, h = s.h;
        Matcher m(s.w, s.h, s.rgb, s.hole, cpus);
        PlainMatcher p(s.w, s.h, s.rgb, s.hole, cpus);
        ASSERT_TRUE(m.usable());
        m.initNNF({}, 0, 0);
        p.initNNF();
        // A vote straight after seeding weighs every match as distance 0.
        m.vote();
        p.vote();
        ASSERT_TRUE(std::equal(p.rgb.begin(), p.rgb.end(), m.rgb().begin()));
        for (int pass = 0; pass < 4; ++pass) {
            m.matchPass(pass % 2 == 1);
            p.matchPass(pass % 2 == 1);
            ASSERT_EQ(m.snapshotNNF(), p.nnf) << w << "x" << h << " pass " << pass;
            ASSERT_TRUE(std::equal(p.dist.begin(), p.dist.end(), m.dist().begin()));
            m.vote();
            p.vote();
            for (int64_t i = 0; i < s.w * s.h * 3; ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(m.rgb()[i]), std::bit_cast<uint32_t>(p.rgb[i]))
                    << "value " << i << " after pass " << pass;
        }
        for (int64_t i = 0; i < s.w * s.h; ++i)
            for (int c = 0; c < 3 && !s.hole[i]; ++c)
                ASSERT_EQ(m.rgb()[i * 3 + c], s.rgb[i * 3 + c]) << "known pixel " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Processors, MatcherPasses, testing::Values(1, 2, 3));

TEST(MatcherPasses, PassesNeverWorsenAMatch) {
    auto s = scene(80, 60, 30, 20, 16, 16, 9);
    Matcher m(s.w, s.h, s.rgb, s.hole, 2);
    m.initNNF({}, 0, 0);
    m.matchPass(false);
    const std::vector<float> before(m.dist().begin(), m.dist().end());
    m.matchPass(true); // colours unchanged, so the refreshed distances equal `before`
    for (int64_t i = 0; i < m.n(); ++i)
        ASSERT_LE(m.dist()[i], before[i]) << "target " << i;
}

} // namespace
