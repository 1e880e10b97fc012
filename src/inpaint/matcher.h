#pragma once

#include "largepages.h"
#include "patchfill.h"
#include "simd.h"
#include "targetcolumns.h"
#include "workergang.h"
#include "xorshift.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

// The patch work of one pyramid level: a nearest-neighbour field from every target
// patch (one that touches the hole) to a source patch (wholly known), improved by
// propagation and random search, and voting of the matched patches into new hole
// colours. Patches are 7 x 7; pixel (x, y) has index y * w + x.
//
// Only pixels at least kRadius from every edge can be sources or targets. An interior
// pixel is a target when the hole dilated by kRadius covers it, and a source otherwise.
// Passes split the target rows into chunks that run in parallel; a thread whose chunk is
// done helps with the rows of another, so a lopsided hole still keeps every thread busy.
class Matcher {
public:
    static constexpr int64_t kRadius = 3;
    static constexpr int64_t kPatchRowValues = (2 * kRadius + 1) * 3;
    // A level smaller than this on either side has no usable interior.
    static constexpr int64_t kMinSide = 9;
    // Minimum rows per chunk when a loop is split.
    static constexpr int64_t kMinChunkRows = 8;

    // Takes the level's colours and hole flags. processors: the number of chunks a loop
    // may use; 0 reads the machine's processor count at every loop. desk, when given, is
    // where the passes are posted for threads that have nothing else to do; they make a
    // pass faster but do not change its result.
    explicit Matcher(PatchFill::Level level, int processors = 0, HelpDesk* desk = nullptr);
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // Seeds the field of every target. prev (pw x ph, empty for none) is the coarser
    // level's field: a coarse match is scaled up by 2 keeping the target's parity when
    // that lands on a source, else the target gets a random source.
    void initNNF(std::span<const int32_t> prev, int64_t pw, int64_t ph);
    // Seeds the field of every target from proposals: seeds holds n source centres, -1 for
    // none, and a target whose proposal is not a source gets a random source. Until a pass
    // has run, every match weighs the same in a vote.
    void seedNNF(std::span<const int32_t> seeds);
    // Limits the random search to offsets of at most radius pixels (halving down to 1), for
    // a field that starts close to its matches already. Call before the first pass.
    void limitSearch(int64_t radius);
    // One propagation and random-search sweep; reverse runs bottom-up, right to left. The
    // field is the one the chunks give swept one after another, whichever thread sweeps
    // which row.
    void matchPass(bool reverse);
    // Recomputes the hole colours as weighted averages of what the matched patches propose.
    // Every colour a vote reads lies in a matched source patch, which holds no hole pixel,
    // so the new hole colours are written in place.
    void vote();
    // Sets every hole colour to what the best-matched patch covering it proposes (the one
    // of least distance; of equals, the first in row order) instead of an average, so
    // the grain of the sources is kept whole. Needs the distances of a pass.
    void voteBest();
    // The field: each target's match, -1 at every other pixel.
    std::vector<int32_t> snapshotNNF();

    // The number of chunks a loop over span rows splits into: min(span / 8, processors),
    // at least 1.
    int64_t chunkCount(int64_t span) const;

    int64_t w() const { return w_; }
    int64_t h() const { return h_; }
    int64_t n() const { return n_; }
    bool usable() const { return usable_; }
    // Whether candidate patches are read from the colours' bytes (see bytes_).
    bool readsBytes() const { return bytes_.size() > 0; }
    int64_t minRow() const { return minRow_; }
    int64_t maxRow() const { return maxRow_; }
    std::span<const float> rgb() const { return rgb_; }
    // Hands the colours over; the matcher is done with them.
    std::vector<float> takeRgb() { return std::move(rgb_); }
    std::span<const uint8_t> hole() const { return hole_; }
    std::span<const uint8_t> valid() const { return valid_; }
    std::span<const uint8_t> target() const { return target_; }
    // Matches at the targets; what other pixels hold is unspecified.
    std::span<const int32_t> nnf() const { return nnf_; }
    std::span<const float> dist() const { return dist_; }

private:
    // Rows one thread sweeps side by side; see matchRows(). Eight put more independent
    // lanes into each distances call, whose work then overlaps: 3-5 % faster than four on a
    // thick hole; more gain nothing.
    static constexpr int kRowsAtOnce = 8;
    // Candidates one target's random search measures at once.
    static constexpr int kBatch = 16;
    // Up to kLanes patch distances at once, each cut short once past its own limit (a cut
    // one is then only known to be at least its limit); see matcher.cpp.
    static constexpr int kLanes = kRowsAtOnce * kBatch;
    void distances(const int64_t* targets, const int64_t* candidates, int count,
                   const float* limits, float* out) const;
    // distances() reading the candidates' patches from source, the colours (as floats) or
    // their bytes.
    template <typename S>
    void measure(const S* source, const int64_t* targets, const int64_t* candidates, int count,
                 const float* limits, float* out) const;
    // A counter on a cache line of its own, so threads updating neighbours do not collide.
    struct alignas(64) Counter {
        std::atomic<int64_t> value{0};
    };
    struct Sweep;
    struct Row;
    void sweep(const Sweep& sweep, int64_t self);
    void matchRows(Row* rows, int count, int64_t y0, int64_t y1, int64_t d);
    void setUp();
    // Writes the bytes of the known colours of pixels first .. first + count - 1; false, and
    // stops, at one that is not a whole byte.
    bool toBytes(int64_t first, int64_t count);
    // Bytes after the last pixel's: the last block of a patch row is read as eight bytes.
    static constexpr size_t kBytesPadding = 8;
    // Runs holes over the hole pixels, split between the chunks.
    void voteWith(void (Matcher::*holes)(int64_t first, int64_t end));
    // Rows of sums a vote keeps: those a patch covers.
    static constexpr int64_t kRing = 2 * kRadius + 1;
    // vote() for the hole pixels of rows y0 .. y1 - 1, with kRing rows of sums in ring
    // (4 floats a column of the targets' columns widened by kRadius), zeroed.
    void voteRows(int64_t y0, int64_t y1, float* ring);
    void voteBestHoles(int64_t first, int64_t end);
    // Calls f(t, proposal) for each target t whose patch covers hole pixel i, in row order,
    // with the colour (3 floats) t's match proposes for i.
    template <typename F> void forCoveringMatches(int64_t i, F&& f) const;

    int64_t w_ = 0;
    int64_t h_ = 0;
    int64_t n_ = 0;
    int processors_ = 0;
    HelpDesk* desk_ = nullptr;
    std::vector<float> rgb_;    // n x 3, current colour estimate
    std::vector<uint8_t> hole_; // n
    // Fixed-size buffers, zeroed: setUp() writes only what is not zero, in parallel, and
    // the per-target ones are touched only in the rows that hold targets, so most of a large
    // level's memory is never faulted in. Large ones are backed by huge pages where the
    // system can.
    template <typename T> using Buffer = LargePages::Buffer<T>;
    template <typename F> void runChunks(int64_t chunks, F&& body) {
        gang_.run(
            chunks, [](void* f, int64_t c) { (*static_cast<std::remove_reference_t<F>*>(f))(c); },
            &body);
    }
    // runChunks() for a loop whose threads take their share as they go: it is posted at the
    // desk while it runs, and a helper from there runs body(0) beside the chunks.
    template <typename F> void runShared(int64_t chunks, F&& body) {
        runWithHelp(
            desk_, [](void* f) { (*static_cast<std::remove_reference_t<F>*>(f))(0); }, &body,
            [&] { runChunks(chunks, body); });
    }

    Buffer<uint8_t> valid_;  // n, 1 = may centre a source patch
    Buffer<uint8_t> target_; // n, 1 = centres a patch that needs a match
    Buffer<int32_t> nnf_;    // n, matched source centre of a target
    Buffer<float> dist_;     // n, distance of a target to its match
    Buffer<float> vote_;     // n, voting weight of a target's match (targets only), kept
                             // with dist_ by the passes
    // n x 3, the known colours as bytes, where every known colour is a whole number from 0 to
    // 255 (as at the finest level, which holds the picture's own values): a candidate patch
    // holds only known pixels, so its distance is the same read from here, at a quarter of
    // the memory its random reads fetch. Empty where the colours are not all whole bytes.
    Buffer<uint8_t> bytes_;
    Buffer<int32_t> sources_; // indices of the valid pixels, ascending
    int64_t sourceCount_ = 0;
    Buffer<int32_t> holes_; // indices of the hole pixels, ascending
    int64_t holeCount_ = 0;
    TargetColumns targetColumns_;
    // valid_ at (x, y), read only where the row's targets leave it in doubt.
    bool validAt(int64_t x, int64_t y) const {
        if (x < kRadius || x >= w_ - kRadius || y < kRadius || y >= h_ - kRadius)
            return false;
        return !targetColumns_.inRange(x, y) || valid_[y * w_ + x];
    }
    std::vector<int64_t> targetsBefore_;      // h + 1: the number of targets in the rows above y
    int radii_ = 0;                           // random-search candidates per target
    std::array<XorShift::Divisor, 64> spans_; // per radius r: 2r + 1, the range of its draws
    std::unique_ptr<Counter[]> rowDone_;      // per target row: how far this pass's sweep has got
    std::unique_ptr<Counter[]> claimed_;      // per chunk: the next row of its sweep to hand out
    int64_t claimedSize_ = 0;
    int64_t minRow_ = std::numeric_limits<int64_t>::max();
    int64_t maxRow_ = -1;
    TargetColumns::Columns columns_{}; // of all the targets
    bool usable_ = false;
    // Whether distances use the AVX2 kernel, read once for the level's many calls.
    const bool wide_ = Simd::wideKernels();
    WorkerGang gang_;
};
