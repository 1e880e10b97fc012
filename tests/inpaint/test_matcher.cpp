#include "matcher.h"
#include "reference.h"
#include "simd.h"
#include "xorshift.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <new>
#include <random>
#include <thread>

namespace {

using Reference::level;

// A wide hole near the top and a one-pixel line below it: the first chunk of a pass has
// far more targets than the others, so the threads that finish early help with its rows.
// Its colours are not whole numbers, as at a coarser level.
PatchFill::Level lopsidedLevel(uint32_t seed) {
    PatchFill::Level s = level(100, 90, 10, 5, 80, 30, seed);
    for (int64_t y = 35; y < 86; ++y)
        s.hole[y * s.w + 50] = 1;
    for (float& v : s.rgb)
        v *= 0.75f;
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
    auto s = level(8, 40, 3, 10, 2, 2, 1);
    EXPECT_FALSE(Matcher(PatchFill::Level{s.w, s.h, s.rgb, s.hole}).usable()) << "narrower than 9";
    s = level(20, 20, 0, 0, 20, 20, 1);
    EXPECT_FALSE(Matcher(PatchFill::Level{s.w, s.h, s.rgb, s.hole}).usable()) << "no source";
    s = level(20, 20, 0, 0, 0, 0, 1);
    EXPECT_FALSE(Matcher(PatchFill::Level{s.w, s.h, s.rgb, s.hole}).usable()) << "no target";
}

TEST(MatcherInit, CoarseMatchesScaleUpKeepingParity) {
    auto s = level(40, 40, 16, 16, 8, 8, 3);
    Matcher m(PatchFill::Level{s.w, s.h, s.rgb, s.hole});
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

// Processors, and whether distances and votes use the AVX2 kernels or the baseline ones.
class MatcherPasses : public testing::TestWithParam<std::tuple<int, bool>> {
protected:
    void TearDown() override { Simd::useWideKernels(true); }
};

TEST_P(MatcherPasses, ParallelPassesAndVotesMatchThePlainMatcher) {
    const auto [cpus, wide] = GetParam();
    if (Simd::useWideKernels(wide) != wide)
        GTEST_SKIP() << "this processor has no AVX2";
    // Holes inside, in the edge band only (columns 0 and 1), across the top edge, and across
    // the whole width, where a vote's rows of sums meet the left and right edges.
    std::vector<PatchFill::Level> levels;
    for (auto [w, h, hx, hy, hw, hh] : {std::tuple{64, 48, 20, 15, 20, 14},
                                        {41, 97, 0, 30, 2, 30},
                                        {120, 70, 50, 0, 30, 70},
                                        {43, 40, 0, 14, 43, 9}})
        levels.push_back(level(w, h, hx, hy, hw, hh, uint32_t(w + cpus)));
    // Targets on 15, 16, 23 and 24 rows: either side of where a pass on 2 or 3 processors
    // gets one more chunk of at least 8 rows.
    for (int64_t rows : {9, 10, 17, 18})
        levels.push_back(level(30, 40, 10, 8, 6, rows, uint32_t(rows + cpus)));
    // Helping threads join rows at random moments, so the lopsided case runs a few times.
    for (uint32_t k = 0; k < 4; ++k)
        levels.push_back(lopsidedLevel(k + uint32_t(cpus)));
    // Every other level's passes and votes are also offered to a thread from outside,
    // which joins whenever it wakes.
    for (size_t k = 0; k < levels.size(); ++k) {
        const PatchFill::Level& s = levels[k];
        const int64_t w = s.w, h = s.h;
        HelpDesk desk;
        std::jthread helper;
        if (k % 2)
            helper = std::jthread([&desk] { desk.serve(std::chrono::milliseconds(1), [] {}); });
        struct Closer {
            HelpDesk& desk;
            ~Closer() { desk.close(); } // before the helper is joined
        } closer{desk};
        Matcher m(PatchFill::Level{s.w, s.h, s.rgb, s.hole}, cpus, &desk);
        Reference::Matcher p(s.w, s.h, s.rgb, s.hole, cpus);
        ASSERT_TRUE(m.usable());
        // Whole-number colours are measured from their bytes, the lopsided ones as floats.
        ASSERT_EQ(m.readsBytes(), k < levels.size() - 4);
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
    }
}

INSTANTIATE_TEST_SUITE_P(ProcessorsAndKernels, MatcherPasses,
                         testing::Combine(testing::Values(1, 2, 3), testing::Bool()));

// A loop's chunk that throws (an allocation failing in a worker) fails the loop on the
// calling thread, once every other chunk has ended, whichever thread it ran on; the gang
// then runs the next loop as usual. A helper's failure goes to the desk's owner.
TEST(WorkerThreads, WhatAChunkThrowsReachesTheCaller) {
    struct Loop {
        int64_t failing;
        std::atomic<int> ended{0};
    };
    const auto body = [](void* p, int64_t c) {
        auto* loop = static_cast<Loop*>(p);
        if (c == loop->failing)
            throw std::bad_alloc();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++loop->ended;
    };
    WorkerGang gang;
    const int64_t chunks = gang.reserve(3);
    for (int64_t failing = 0; failing < chunks; ++failing) {
        Loop loop{failing};
        EXPECT_THROW(gang.run(chunks, body, &loop), std::bad_alloc);
        EXPECT_EQ(loop.ended.load(), chunks - 1);
    }
    Loop whole{-1};
    gang.run(chunks, body, &whole);
    EXPECT_EQ(whole.ended.load(), chunks);

    HelpDesk desk;
    std::atomic<bool> taken = false;
    std::jthread helper([&desk] { desk.serve(std::chrono::milliseconds(1), [] {}); });
    desk.post(
        [](void* p) {
            static_cast<std::atomic<bool>*>(p)->store(true);
            throw std::bad_alloc();
        },
        &taken);
    while (!taken.load())
        std::this_thread::yield();
    const std::exception_ptr failure = desk.withdraw();
    desk.close();
    EXPECT_THROW(std::rethrow_exception(failure), std::bad_alloc);
}

} // namespace
