#include "matcher.h"

#include "morph.h"
#include "simd.h"
#include "xorshift.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <thread>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr uint64_t kInitSeed = 0xA12CE22B4ED990ADULL;
constexpr uint64_t kChunkSeedPrime = 7919;
constexpr uint64_t kChunkSeedMultiplier = 0x9E3779B97F4A7C15ULL;
// A match at this distance weighs one half in the vote: 1 / (d * k + 1), k ~ 1/15000.
const float kVoteFalloff = std::bit_cast<float>(0x388BCF65u);

} // namespace

Matcher::Matcher(PatchFill::Level level, int processors, HelpDesk* desk)
    : w_(level.w), h_(level.h), n_(level.w * level.h), processors_(processors), desk_(desk),
      rgb_(std::move(level.rgb)), hole_(std::move(level.hole)) {
    setUp();
}

void Matcher::setUp() {
    // Never more chunks than threads can be started for.
    const int64_t cpus =
        processors_ > 0 ? processors_ : std::max<int64_t>(1, std::thread::hardware_concurrency());
    processors_ = static_cast<int>(gang_.reserve(cpus));
    const int64_t w = w_;
    const int64_t h = h_;
    assert(w >= 0 && h >= 0 && "Matcher: negative size");
    assert(static_cast<int64_t>(rgb_.size()) >= n_ * 3 && "Matcher: colours too short");
    assert(static_cast<int64_t>(hole_.size()) >= n_ && "Matcher: hole flags too short");
    const auto n = static_cast<size_t>(n_);
    rgb_.resize(n * 3);
    hole_.resize(n);
    valid_.allocate(n);
    target_.allocate(n);
    nnf_.allocate(n);
    dist_.allocate(n);
    vote_.allocate(n);
    const bool classify = w >= kMinSide && h >= kMinSide;

    // Rows are classified in parallel chunks, each dilating the hole over its own rows;
    // each counts its sources, holes and target rows, and the sources and holes are then
    // written in ascending order at each chunk's offsets.
    struct Part {
        int64_t y0, y1, sources = 0, holes = 0;
        int64_t minRow = std::numeric_limits<int64_t>::max(), maxRow = -1;
    };
    // The bytes are written as the rows are classified, until a known colour is found that
    // is not a whole byte.
    if (classify)
        bytes_.allocate(n * 3 + kBytesPadding);
    std::atomic<bool> wholeBytes = classify;
    const int64_t chunks = h > 0 ? chunkCount(h) : 1;
    std::vector<Part> parts(static_cast<size_t>(chunks));
    targetsBefore_.assign(static_cast<size_t>(h) + 1, 0);
    targetColumns_.reset(h, w);
    for (int64_t c = 0; c < chunks; ++c)
        parts[c] = {h * c / chunks, h * (c + 1) / chunks};
    runChunks(chunks, [&](int64_t c) {
        Part& part = parts[c];
        // The interior rows of this chunk, and the hole dilated by the patch radius over them.
        const int64_t i0 = classify ? std::clamp(part.y0, kRadius, h - kRadius) : part.y0;
        const int64_t i1 = classify ? std::clamp(part.y1, kRadius, h - kRadius) : part.y0;
        std::vector<uint8_t> near(static_cast<size_t>((i1 - i0) * w));
        Morph::dilateRows(hole_, w, h, kRadius, i0, i1, near);
        for (int64_t y = part.y0; y < part.y1; ++y) {
            const int64_t row = y * w;
            for (int64_t x = 0; x < w; ++x)
                part.holes += hole_[row + x] != 0;
            if (wholeBytes.load(std::memory_order_relaxed) && !toBytes(row, w))
                wholeBytes.store(false, std::memory_order_relaxed);
            if (y < i0 || y >= i1)
                continue;
            const uint8_t* nearRow = near.data() + (y - i0) * w;
            for (int64_t x = kRadius; x < w - kRadius; ++x) {
                if (nearRow[x]) {
                    target_[row + x] = 1;
                    targetColumns_.add(x, y);
                    vote_[row + x] = 1.0f; // the weight of distance 0, until a pass
                    ++targetsBefore_[static_cast<size_t>(y) + 1];
                    part.minRow = std::min(part.minRow, y);
                    part.maxRow = y;
                } else {
                    valid_[row + x] = 1;
                    ++part.sources;
                }
            }
        }
    });
    if (!classify)
        return;
    if (!wholeBytes.load())
        bytes_.allocate(0);
    int64_t offset = 0;
    for (const Part& part : parts) {
        minRow_ = std::min(minRow_, part.minRow);
        maxRow_ = std::max(maxRow_, part.maxRow);
        offset += part.sources;
    }
    sourceCount_ = offset;
    usable_ = sourceCount_ > 0 && maxRow_ >= 0;
    if (!usable_)
        return;
    for (size_t y = 1; y < targetsBefore_.size(); ++y)
        targetsBefore_[y] += targetsBefore_[y - 1];
    columns_ = targetColumns_.columns();
    for (int64_t r = std::max(w, h); r >= 1; r /= 2)
        spans_[static_cast<size_t>(radii_++)] = XorShift::Divisor(static_cast<uint64_t>(2 * r + 1));
    rowDone_ = std::make_unique<Counter[]>(static_cast<size_t>(maxRow_ - minRow_ + 1));
    sources_.allocate(static_cast<size_t>(sourceCount_));
    offset = 0;
    for (Part& part : parts) {
        part.sources = std::exchange(offset, offset + part.sources);
        part.holes = std::exchange(holeCount_, holeCount_ + part.holes);
    }
    holes_.allocate(static_cast<size_t>(holeCount_));
    runChunks(chunks, [&](int64_t c) {
        int32_t* source = sources_.data() + parts[c].sources;
        int32_t* hole = holes_.data() + parts[c].holes;
        for (int64_t i = parts[c].y0 * w; i < parts[c].y1 * w; ++i) {
            if (valid_[i])
                *source++ = static_cast<int32_t>(i);
            if (hole_[i])
                *hole++ = static_cast<int32_t>(i);
        }
    });
}

bool Matcher::toBytes(int64_t first, int64_t count) {
    for (int64_t i = first; i < first + count; ++i) {
        if (hole_[i])
            continue;
        for (int64_t c = 0; c < 3; ++c) {
            const float v = rgb_[i * 3 + c];
            if (!(v >= 0.0f && v <= 255.0f) || v != static_cast<float>(static_cast<int>(v)))
                return false;
            bytes_[i * 3 + c] = static_cast<uint8_t>(v);
        }
    }
    return true;
}

int64_t Matcher::chunkCount(int64_t span) const {
    int64_t cpus = processors_;
    if (cpus <= 0)
        cpus = std::max<int64_t>(1, std::thread::hardware_concurrency());
    return std::max<int64_t>(1, std::min(span / kMinChunkRows, cpus));
}

// Patch distance: the sum of squared differences of the 7 x 7 patches centred on a
// target and a candidate, added one value at a time in row order, and cut short after a
// patch row once it reaches its limit.
//
// One such sum is a chain of 147 dependent additions, so evaluating distances one after
// another leaves the processor waiting on each addition. This evaluates up to kLanes of
// them side by side: every lane keeps its own sum in exactly the order above, and the
// independent chains overlap. A lane that reaches its limit keeps the sum it had then;
// the others go on until all are cut or complete.
//
// The lanes are checked against their limits after some patch rows only. A lane that
// reached its limit at a row that is not checked adds the rows up to the next check, so
// its sum ends larger than where the cut would have left it, but never below its limit:
// the squares added are not negative, and adding one to a float never lowers it. A
// caller only compares such a sum with the limit it gave, and that comparison comes out
// the same; a lane that is never cut has the same complete sum either way.
namespace {

// A candidate's patch is read from the colours or from their bytes; a byte converts to
// the float it stands for exactly.
inline float value(const float* p) { return *p; }
inline float value(const uint8_t* p) { return static_cast<float>(*p); }

// Adds the squared differences of one patch row to the sums of up to four lanes, each in
// its own order. The four chains are independent and stay in registers, so they overlap.
template <int N, typename S>
void addPatchRow(const float* const* x, const S* const* y, int64_t offset, float* sums) {
    constexpr int64_t kValues = Matcher::kPatchRowValues;
    float sq[N][kValues];
    for (int j = 0; j < N; ++j)
        for (int64_t k = 0; k < kValues; ++k) {
            const float d = x[j][offset + k] - value(y[j] + offset + k);
            sq[j][k] = d * d;
        }
    float s[N];
    for (int j = 0; j < N; ++j)
        s[j] = sums[j];
    for (int64_t k = 0; k < kValues; ++k)
        for (int j = 0; j < N; ++j)
            s[j] += sq[j][k];
    for (int j = 0; j < N; ++j)
        sums[j] = s[j];
}

#if defined(__x86_64__)
inline __m128 loadFour(const float* p) { return _mm_loadu_ps(p); }
inline __m128 loadFour(const uint8_t* p) {
    int32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    const __m128i zero = _mm_setzero_si128();
    return _mm_cvtepi32_ps(
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero));
}

// The same sums for four lanes with SSE, which every x86-64 processor has. Each lane's
// squared differences are computed along its row four values at a time, and a 4 x 4
// transpose turns them into one vector per value position, added in the same order as
// above; the row's last value is gathered from the four lanes.
template <typename S>
void addPatchRowNarrow(const float* const* x, const S* const* y, int64_t offset, float* sums) {
    static_assert(Matcher::kPatchRowValues == 21, "five blocks of four values and one more");
    const float *x0 = x[0] + offset, *x1 = x[1] + offset, *x2 = x[2] + offset, *x3 = x[3] + offset;
    const S *y0 = y[0] + offset, *y1 = y[1] + offset, *y2 = y[2] + offset, *y3 = y[3] + offset;
    auto square = [](const float* a, const S* b) {
        const __m128 d = _mm_sub_ps(_mm_loadu_ps(a), loadFour(b));
        return _mm_mul_ps(d, d);
    };
    __m128 s = _mm_loadu_ps(sums);
    for (int k = 0; k < 20; k += 4) {
        __m128 r0 = square(x0 + k, y0 + k), r1 = square(x1 + k, y1 + k);
        __m128 r2 = square(x2 + k, y2 + k), r3 = square(x3 + k, y3 + k);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        s = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(s, r0), r1), r2), r3);
    }
    const __m128 d =
        _mm_sub_ps(_mm_setr_ps(x0[20], x1[20], x2[20], x3[20]),
                   _mm_setr_ps(value(y0 + 20), value(y1 + 20), value(y2 + 20), value(y3 + 20)));
    s = _mm_add_ps(s, _mm_mul_ps(d, d));
    _mm_storeu_ps(sums, s);
}

// The same sums for eight lanes at once, with AVX2. Each lane's squared differences are
// computed along its row, then an 8 x 8 transpose turns them into one vector per value
// position, added in the same order as above: every lane's sum is bit for bit the
// scalar one. The last of the three blocks holds five values; its colours are loaded
// masked, as the row may end the picture's buffer, and its bytes whole, the buffer of
// bytes running on past its last row (the three values too many are never added).
template <typename S>
[[gnu::target("avx2")]] void addPatchRowWide(const float* const* x, const S* const* y,
                                             int64_t offset, float* sums) {
    static_assert(Matcher::kPatchRowValues == 21, "three blocks of eight values");
    const __m256i tail = _mm256_setr_epi32(-1, -1, -1, -1, -1, 0, 0, 0);
    __m256 s = _mm256_loadu_ps(sums);
    for (int block = 0; block < 3; ++block) {
        __m256 r[8];
        for (int j = 0; j < 8; ++j) {
            const float* xs = x[j] + offset + block * 8;
            const S* ys = y[j] + offset + block * 8;
            const __m256 xv = block < 2 ? _mm256_loadu_ps(xs) : _mm256_maskload_ps(xs, tail);
            __m256 yv;
            if constexpr (std::is_same_v<S, float>)
                yv = block < 2 ? _mm256_loadu_ps(ys) : _mm256_maskload_ps(ys, tail);
            else
                yv = _mm256_cvtepi32_ps(
                    _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(ys))));
            const __m256 d = _mm256_sub_ps(xv, yv);
            r[j] = _mm256_mul_ps(d, d);
        }
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        // Column k holds value k of every lane.
        const __m256 column[8] = {
            _mm256_permute2f128_ps(u0, u4, 0x20), _mm256_permute2f128_ps(u1, u5, 0x20),
            _mm256_permute2f128_ps(u2, u6, 0x20), _mm256_permute2f128_ps(u3, u7, 0x20),
            _mm256_permute2f128_ps(u0, u4, 0x31), _mm256_permute2f128_ps(u1, u5, 0x31),
            _mm256_permute2f128_ps(u2, u6, 0x31), _mm256_permute2f128_ps(u3, u7, 0x31)};
        const int values = block < 2 ? 8 : 5;
        for (int k = 0; k < values; ++k)
            s = _mm256_add_ps(s, column[k]);
    }
    _mm256_storeu_ps(sums, s);
}
#else
template <typename S>
void addPatchRowNarrow(const float* const* x, const S* const* y, int64_t offset, float* sums) {
    addPatchRow<4>(x, y, offset, sums);
}
template <typename S> void addPatchRowWide(const float* const*, const S* const*, int64_t, float*) {}
#endif

} // namespace

void Matcher::distances(const int64_t* targets, const int64_t* candidates, int count,
                        const float* limits, float* out) const {
    if (bytes_.size())
        measure(bytes_.data(), targets, candidates, count, limits, out);
    else
        measure(rgb_.data(), targets, candidates, count, limits, out);
}

template <typename S>
void Matcher::measure(const S* source, const int64_t* targets, const int64_t* candidates, int count,
                      const float* limits, float* out) const {
    assert(count >= 1 && count <= kLanes && "distances: lane count out of range");
    constexpr int64_t kRows = 2 * kRadius + 1;
    // The rows after which lanes are checked (bit r for row r), besides the last. Most
    // lanes are random candidates that the first row already takes past their limit; of
    // the rest, checking after every row costs more, in unpredictable branches and in
    // lanes moved, than the rows it saves.
    constexpr unsigned kCheckedRows = 0b1001;
    const int64_t stride = w_ * 3;
    // The open lanes, in lane order and packed together as lanes are cut: their patches'
    // first rows, their sums and their lane numbers. Eight more entries let the last group
    // run whole; they repeat the first open lane, and their sums are thrown away.
    const float* a[kLanes + 8];
    const S* b[kLanes + 8];
    float sum[kLanes + 8];
    int lane[kLanes];
    std::fill_n(sum, count + 8, 0.0f);
    for (int j = 0; j < count; ++j) {
        a[j] = rgb_.data() + (targets[j] - kRadius * w_ - kRadius) * 3;
        b[j] = source + (candidates[j] - kRadius * w_ - kRadius) * 3;
        lane[j] = j;
    }
    int openCount = count;
    for (int64_t row = 0; row < kRows && openCount > 0; ++row) {
        for (int g = 0; g < 8; ++g) {
            a[openCount + g] = a[0];
            b[openCount + g] = b[0];
        }
        // Eight lanes at a time with the wide kernel while at least five are left, else four.
        for (int m = 0; m < openCount;) {
            if (wide_ && openCount - m >= 5) {
                addPatchRowWide(a + m, b + m, row * stride, sum + m);
                m += 8;
            } else {
                addPatchRowNarrow(a + m, b + m, row * stride, sum + m);
                m += 4;
            }
        }
        if (!(kCheckedRows >> row & 1))
            continue;
        int kept = 0;
        for (int m = 0; m < openCount; ++m) {
            if (sum[m] >= limits[lane[m]]) {
                out[lane[m]] = sum[m];
                continue;
            }
            a[kept] = a[m];
            b[kept] = b[m];
            sum[kept] = sum[m];
            lane[kept++] = lane[m];
        }
        openCount = kept;
    }
    for (int m = 0; m < openCount; ++m)
        out[lane[m]] = sum[m];
}

std::vector<int32_t> Matcher::snapshotNNF() {
    std::vector<int32_t> field;
    LargePages::reserve(field, static_cast<size_t>(n_));
    field.resize(static_cast<size_t>(n_));
    const int64_t chunks = chunkCount(h_);
    runChunks(chunks, [&](int64_t c) {
        for (int64_t i = h_ * c / chunks * w_; i < h_ * (c + 1) / chunks * w_; ++i)
            field[i] = usable_ && target_[i] ? nnf_[i] : -1;
    });
    return field;
}

void Matcher::initNNF(std::span<const int32_t> prev, int64_t pw, int64_t ph) {
    assert(usable_ && "initNNF: level not usable");
    assert((prev.empty() || static_cast<int64_t>(prev.size()) >= pw * ph) &&
           "initNNF: previous field too short");
    // In row order, a target whose coarse match does not land on a source takes the next
    // draw of one generator. Chunks of rows set the others and list these; each chunk then
    // draws for its own, the generator advanced past the draws of the chunks before it.
    const int64_t span = maxRow_ + 1 - minRow_;
    const int64_t chunks = chunkCount(span);
    std::vector<std::vector<int32_t>> drawing(static_cast<size_t>(chunks));
    runChunks(chunks, [&](int64_t c) {
        for (int64_t y = minRow_ + span * c / chunks; y < minRow_ + span * (c + 1) / chunks; ++y) {
            for (int64_t x = 0; x < w_; ++x) {
                const int64_t i = y * w_ + x;
                if (!target_[i])
                    continue;
                if (!prev.empty()) {
                    const int64_t py = std::min(ph - 1, y / 2);
                    const int64_t px = std::min(pw - 1, x / 2);
                    const int64_t p = prev[py * pw + px];
                    if (p >= 0) {
                        const int64_t cx = 2 * (p % pw) + x % 2;
                        const int64_t cy = 2 * (p / pw) + y % 2;
                        if (cx < w_ && cy < h_ && valid_[cy * w_ + cx]) {
                            nnf_[i] = static_cast<int32_t>(cy * w_ + cx);
                            continue;
                        }
                    }
                }
                drawing[c].push_back(static_cast<int32_t>(i));
            }
        }
    });
    std::vector<uint64_t> drawsBefore(static_cast<size_t>(chunks), 0);
    for (int64_t c = 1; c < chunks; ++c)
        drawsBefore[c] = drawsBefore[c - 1] + drawing[c - 1].size();
    const XorShift::Divisor sourceCount(static_cast<uint64_t>(sourceCount_));
    runChunks(chunks, [&](int64_t c) {
        XorShift rng{XorShift::advance(kInitSeed, drawsBefore[c])};
        for (const int32_t i : drawing[c])
            nnf_[i] = sources_[rng.below(sourceCount)];
    });
}

void Matcher::seedNNF(std::span<const int32_t> seeds) {
    assert(usable_ && "seedNNF: level not usable");
    assert(static_cast<int64_t>(seeds.size()) >= n_ && "seedNNF: too few seeds");
    XorShift rng{kInitSeed};
    const XorShift::Divisor sourceCount(static_cast<uint64_t>(sourceCount_));
    for (int64_t i = minRow_ * w_; i < (maxRow_ + 1) * w_; ++i) {
        if (!target_[i])
            continue;
        const int32_t s = seeds[i];
        nnf_[i] = s >= 0 && s < n_ && valid_[s] ? s : sources_[rng.below(sourceCount)];
    }
}

void Matcher::limitSearch(int64_t radius) {
    radii_ = 0;
    for (int64_t r = std::min(radius, std::max(w_, h_)); r >= 1; r /= 2)
        spans_[static_cast<size_t>(radii_++)] = XorShift::Divisor(static_cast<uint64_t>(2 * r + 1));
}

// A pass splits the target rows into chunkCount() chunks of nearly equal size, each with its own
// random sequence, and the chunks' sweeps run side by side. The rows of a chunk depend on each
// other only through vertical propagation, which reads the match of the pixel in the same
// column of the row swept just before. So a thread whose chunk is done helps with the chunk
// that has the most rows left: it takes that chunk's next row, starts the chunk's random
// sequence where that row begins, and follows the thread sweeping the row before a few
// pixels behind. Every row sees exactly the matches and draws it would see if its chunk
// ran alone, so the field is the one chunk-by-chunk sweeps give, only with the threads
// kept busy when a hole puts more targets in one chunk than in another, and a thread with
// nothing else to do can join a pass at any time.
struct Matcher::Sweep {
    int64_t d, lo, span, chunks;
    int64_t first(int64_t chunk) const { return lo + span * chunk / chunks; }
    int64_t rows(int64_t chunk) const { return first(chunk + 1) - first(chunk); }
};

namespace {

// Pixels a sweep advances between reports of its progress to a thread following it.
constexpr int64_t kReportEvery = 16;

uint64_t chunkSeed(int64_t chunk, int64_t y0) {
    return ((static_cast<uint64_t>(chunk + 1) * kChunkSeedPrime + static_cast<uint64_t>(y0)) *
            kChunkSeedMultiplier) |
           1;
}

} // namespace

void Matcher::matchPass(bool reverse) {
    assert(usable_ && "matchPass: level not usable");
    const int64_t span = maxRow_ + 1 - minRow_;
    const Sweep sweep{reverse ? 1 : -1, minRow_, span, chunkCount(span)};
    if (claimedSize_ < sweep.chunks) {
        claimed_ = std::make_unique<Counter[]>(static_cast<size_t>(sweep.chunks));
        claimedSize_ = sweep.chunks;
    }
    for (int64_t c = 0; c < sweep.chunks; ++c)
        claimed_[c].value.store(0, std::memory_order_relaxed);
    for (int64_t r = 0; r < span; ++r)
        rowDone_[r].value.store(0, std::memory_order_relaxed);
    // A helper from the desk starts on the first chunk, as a thread whose own chunk is done.
    runShared(sweep.chunks, [this, &sweep](int64_t self) { this->sweep(sweep, self); });
}

// A row of a sweep, and the target of it being matched.
struct Matcher::Row {
    int64_t y = 0;
    XorShift rng{1};
    // The row swept before this one when another thread sweeps it, else null, and how far
    // that thread has got.
    const Counter* above = nullptr;
    int64_t aboveDone = 0;
    Counter* done = nullptr; // how far this row has got, for a thread following it
    int64_t nextReport = kReportEvery;
    int64_t p = 0; // position along the row of the target being matched, or of the next one
    // The target being matched: its index, its match before the pass, its best match so
    // far and that match's distance, and the next radius of its random search.
    int64_t i = 0, own = 0, bx = 0, by = 0;
    float best = 0.0f;
    int next = 0;
    // Its lanes in the present distances call, and the radius its batch scanned up to.
    int lo = 0, hi = 0, scanned = 0;
    // Random-search offsets: one per radius, from the level size halving to 1.
    int64_t offX[64], offY[64];
};

void Matcher::sweep(const Sweep& s, int64_t self) {
    int64_t chunk = self;
    int64_t lastChunk = -1;
    int64_t lastIndex = -1;
    uint64_t rng = 0;
    Row rows[kRowsAtOnce];
    while (true) {
        const int64_t chunkRows = s.rows(chunk);
        const int64_t j = claimed_[chunk].value.fetch_add(kRowsAtOnce, std::memory_order_relaxed);
        if (j >= chunkRows) {
            int64_t most = 0;
            chunk = -1;
            for (int64_t c = 0; c < s.chunks; ++c) {
                const int64_t left = s.rows(c) - claimed_[c].value.load(std::memory_order_relaxed);
                if (left > most) {
                    most = left;
                    chunk = c;
                }
            }
            if (chunk < 0)
                return;
            continue;
        }
        const int64_t y0 = s.first(chunk);
        const int64_t y1 = y0 + chunkRows;
        const int64_t y = s.d < 0 ? y0 + j : y1 - 1 - j;
        // Continuing its own row sequence, a thread holds the generator where the row
        // starts; otherwise it skips the draws of the chunk's rows swept before this one.
        const bool continues = chunk == lastChunk && j == lastIndex + 1;
        if (!continues) {
            const int64_t targetsBefore = s.d < 0 ? targetsBefore_[y] - targetsBefore_[y0]
                                                  : targetsBefore_[y1] - targetsBefore_[y + 1];
            rng = XorShift::advance(chunkSeed(chunk, y0),
                                    static_cast<uint64_t>(targetsBefore) * 2 * radii_);
        }
        const int count = static_cast<int>(std::min<int64_t>(kRowsAtOnce, chunkRows - j));
        for (int r = 0; r < count; ++r) {
            Row& row = rows[r];
            row.y = y - s.d * r;
            // A later row starts its draws where the row before it ends.
            row.rng.s =
                r == 0 ? rng
                       : XorShift::advance(rows[r - 1].rng.s,
                                           static_cast<uint64_t>(targetsBefore_[rows[r - 1].y + 1] -
                                                                 targetsBefore_[rows[r - 1].y]) *
                                               2 * radii_);
            row.above = r == 0 && j > 0 && !continues ? &rowDone_[y + s.d - minRow_] : nullptr;
            row.aboveDone = row.above ? 0 : std::numeric_limits<int64_t>::max();
            row.done = &rowDone_[row.y - minRow_];
            row.nextReport = kReportEvery;
        }
        matchRows(rows, count, y0, y1, s.d);
        rng = rows[count - 1].rng.s;
        lastChunk = chunk;
        lastIndex = j + count - 1;
    }
}

// Sweeps count consecutive rows of a chunk side by side. A target needs the final matches
// of the target before it in its row and of the one in the same column of the row before,
// so a later row follows the row before it one target behind, and each step matches one
// target of every row that may move. Their distances are measured in the same calls: the
// stragglers of one target's candidates, whose sums run to the last patch row one
// dependent addition after another, overlap with another's, and so do the cache misses of
// their random candidates. Each target sees exactly the matches, draws and distances it
// would see alone.
void Matcher::matchRows(Row* rows, int count, int64_t y0, int64_t y1, int64_t d) {
    const int64_t w = w_;
    const int64_t h = h_;
    const int64_t positions = w - 2 * kRadius;
    const int64_t xFirst = d < 0 ? kRadius : w - kRadius - 1;
    const int64_t step = -d;
    const int radii = radii_;
    assert(radii <= 64 && count <= kRowsAtOnce);
    const float infinity = std::numeric_limits<float>::infinity();
    const uint8_t* bytes = bytes_.size() ? bytes_.data() : nullptr;
    int64_t ts[kLanes];
    int64_t cs[kLanes];
    float limits[kLanes];
    float es[kLanes];
    int ks[kLanes];

    // The colours changed since the last pass, so every stored distance of the rows is stale.
    int pending = 0;
    auto flush = [&] {
        distances(ts, cs, pending, limits, es);
        for (int j = 0; j < pending; ++j)
            dist_[ts[j]] = es[j];
        pending = 0;
    };
    for (int r = 0; r < count; ++r) {
        for (int64_t i = rows[r].y * w + kRadius; i < rows[r].y * w + w - kRadius; ++i) {
            if (!target_[i])
                continue;
            ts[pending] = i;
            cs[pending] = nnf_[i];
            limits[pending] = infinity;
            if (++pending == kLanes)
                flush();
        }
    }
    if (pending)
        flush();

    auto seek = [&](const Row& row, int64_t p) {
        while (p < positions && !target_[row.y * w + xFirst + p * step])
            ++p;
        return p;
    };
    for (int r = 0; r < count; ++r)
        rows[r].p = seek(rows[r], 0);

    Row* active[kRowsAtOnce];
    while (true) {
        // A row may move when the row before it has finished the column of its target.
        int moving = 0;
        for (int r = 0; r < count; ++r)
            if (rows[r].p < positions && (r == 0 || rows[r - 1].p > rows[r].p))
                active[moving++] = &rows[r];
        if (moving == 0)
            break;

        for (int a = 0; a < moving; ++a) {
            Row& row = *active[a];
            row.i = row.y * w + xFirst + row.p * step;
            if (row.p >= row.nextReport) {
                row.done->value.store(row.p, std::memory_order_release);
                row.nextReport = row.p + kReportEvery;
            }
            row.own = nnf_[row.i];
            row.bx = row.own % w;
            row.by = row.own / w;
            row.best = dist_[row.i];
            // The random search's draws do not depend on the outcome of propagation, so
            // they are made first. Where the field is coherent the search centres on the
            // target's own match, so the flags and first patch rows of the candidates
            // around it are fetched now, while propagation measures; a fetch made for a
            // centre that then moves is only wasted.
            for (int k = 0; k < radii; ++k) {
                const int64_t radius = std::max(w, h) >> k;
                row.offX[k] = static_cast<int64_t>(row.rng.below(spans_[k])) - radius;
                row.offY[k] = static_cast<int64_t>(row.rng.below(spans_[k])) - radius;
                const int64_t cx = row.bx + row.offX[k];
                const int64_t cy = row.by + row.offY[k];
                if (cx >= kRadius && cx < w - kRadius && cy >= kRadius && cy < h - kRadius) {
                    // Where the candidate's row of targets leaves the flag in doubt, it is
                    // read; fetching it for every candidate costs less than deciding which.
                    __builtin_prefetch(&valid_[cy * w + cx]);
                    const int64_t first = ((cy - kRadius) * w + cx - kRadius) * 3;
                    if (bytes) {
                        __builtin_prefetch(bytes + first);
                        __builtin_prefetch(bytes + first + kPatchRowValues - 1);
                    } else {
                        __builtin_prefetch(rgb_.data() + first);
                        __builtin_prefetch(rgb_.data() + first + kPatchRowValues - 1);
                    }
                }
            }
        }

        // Propagation: the neighbours already visited this sweep lie at i + d and
        // i + d * w (the latter only inside this chunk); their matches shifted back by
        // one are the candidates, tried horizontal first.
        //
        // A candidate at a position already measured for this target cannot win: the
        // colours do not change during a pass, so it has the same distance as before,
        // which was no less than the best then and the best only falls. Where the field
        // is coherent, both neighbours propose the target's own match, whose distance runs
        // to the last patch row; such candidates are not measured again.
        int n = 0;
        for (int a = 0; a < moving; ++a) {
            Row& row = *active[a];
            const int64_t i = row.i;
            const int64_t x = i - row.y * w;
            row.lo = n;
            auto propose = [&](int64_t c) {
                ts[n] = i;
                cs[n] = c;
                limits[n++] = row.best;
            };
            if (x + d >= kRadius && x + d < w - kRadius && target_[i + d]) {
                const int64_t q = nnf_[i + d];
                const int64_t cx = q % w - d;
                const int64_t cy = q / w;
                if (cx >= 0 && cx < w && valid_[cy * w + cx] && cy * w + cx != row.own)
                    propose(cy * w + cx);
            }
            if (row.y + d >= y0 && row.y + d < y1 && target_[i + d * w]) {
                for (int spins = 0; row.aboveDone <= row.p; ++spins) {
                    row.aboveDone = row.above->value.load(std::memory_order_acquire);
                    if (row.aboveDone > row.p)
                        break;
                    if (spins < 64)
                        spinPause();
                    else
                        std::this_thread::yield();
                }
                const int64_t q = nnf_[i + d * w];
                const int64_t cx = q % w;
                const int64_t cy = q / w - d;
                if (cy >= 0 && cy < h && valid_[cy * w + cx] && cy * w + cx != row.own &&
                    (n == row.lo || cy * w + cx != cs[row.lo]))
                    propose(cy * w + cx);
            }
            row.hi = n;
        }
        if (n)
            distances(ts, cs, n, limits, es);
        for (int a = 0; a < moving; ++a) {
            Row& row = *active[a];
            for (int j = row.lo; j < row.hi; ++j) {
                if (es[j] < row.best) {
                    row.best = es[j];
                    row.bx = cs[j] % w;
                    row.by = cs[j] / w;
                }
            }
            row.next = 0;
        }

        // Random search: one candidate per radius around the best match so far, at the
        // offsets drawn above. Candidates are measured together assuming the centre
        // stays; when one wins, the later ones move with the new centre and are measured
        // again. A distance cut short at a looser limit is still at least the current
        // best, so every decision is the one a candidate-by-candidate search makes.
        while (true) {
            n = 0;
            for (int a = 0; a < moving; ++a) {
                Row& row = *active[a];
                row.lo = n;
                int k = row.next;
                for (; k < radii && n - row.lo < kBatch; ++k) {
                    const int64_t cx = row.bx + row.offX[k];
                    const int64_t cy = row.by + row.offY[k];
                    // A zero offset proposes the best match itself, which cannot beat itself.
                    if (!validAt(cx, cy) || (row.offX[k] == 0 && row.offY[k] == 0))
                        continue;
                    ts[n] = row.i;
                    cs[n] = cy * w + cx;
                    limits[n] = row.best;
                    ks[n++] = k;
                }
                row.hi = n;
                // With no candidate left, the search is over.
                row.scanned = n == row.lo ? radii : k;
            }
            if (n == 0)
                break;
            distances(ts, cs, n, limits, es);
            for (int a = 0; a < moving; ++a) {
                Row& row = *active[a];
                row.next = row.scanned;
                for (int j = row.lo; j < row.hi; ++j) {
                    if (es[j] < row.best) {
                        row.best = es[j];
                        row.bx = cs[j] % w;
                        row.by = cs[j] / w;
                        row.next = ks[j] + 1;
                        break;
                    }
                }
            }
        }

        for (int a = 0; a < moving; ++a) {
            Row& row = *active[a];
            nnf_[row.i] = static_cast<int32_t>(row.by * w + row.bx);
            dist_[row.i] = row.best;
            // Up to 49 hole pixels use this weight in the next vote; compute it once, here.
            vote_[row.i] = 1.0f / (row.best * kVoteFalloff + 1.0f);
            row.p = seek(row, row.p + 1);
        }
    }
    for (int r = 0; r < count; ++r)
        rows[r].done->value.store(std::numeric_limits<int64_t>::max(), std::memory_order_release);
}

void Matcher::vote() {
    assert(usable_ && "vote: level not usable");
    // Each target adds what its match proposes, weighted, to the sums of the pixels its patch
    // covers (PatchFill::forVoteBand). Threads take bands of rows as they go. Bands of up to 32
    // rows, at least four a thread where a level has the rows for them, so a thread that joins late
    // still finds work; each band adds about a target row's work.
    const int64_t y0 = std::max<int64_t>(0, minRow_ - kRadius);
    const int64_t y1 = std::min(h_, maxRow_ + kRadius + 1);
    const int64_t band = std::clamp<int64_t>((y1 - y0) / (4 * chunkCount(y1 - y0)), 8, 32);
    const int64_t bands = (y1 - y0 + band - 1) / band;
    const auto ringSize =
        static_cast<size_t>((columns_.end - columns_.first + 2 * kRadius) * 4 * kRing);
    Counter next;
    runShared(std::min(chunkCount(y1 - y0), bands), [&](int64_t) {
        std::vector<float> ring(ringSize);
        while (true) {
            const int64_t k = next.value.fetch_add(1, std::memory_order_relaxed);
            if (k >= bands)
                return;
            voteRows(y0 + k * band, std::min(y1, y0 + (k + 1) * band), ring.data());
        }
    });
}

void Matcher::voteBest() {
    assert(usable_ && "voteBest: level not usable");
    voteWith(&Matcher::voteBestHoles);
}

void Matcher::voteWith(void (Matcher::*holes)(int64_t first, int64_t end)) {
    // Only hole pixels change, and no vote reads one (see the header), so the threads write
    // their hole pixels in place. They take the hole pixels in blocks as they go, so a
    // helper can join at any time; the split does not affect the result.
    constexpr int64_t kBlock = 1024;
    Counter next;
    runShared(std::max<int64_t>(1, std::min(chunkCount(h_), holeCount_ / 64)), [&](int64_t) {
        while (true) {
            const int64_t first = next.value.fetch_add(kBlock, std::memory_order_relaxed);
            if (first >= holeCount_)
                return;
            (this->*holes)(first, std::min(first + kBlock, holeCount_));
        }
    });
}

template <typename F> void Matcher::forCoveringMatches(int64_t i, F&& f) const {
    PatchFill::forCoveringTargets(i, w_, h_, kRadius, target_, nnf_,
                                  [&](int64_t t, int64_t s) { f(t, rgb_.data() + s * 3); });
}

void Matcher::voteBestHoles(int64_t first, int64_t end) {
    for (int64_t k = first; k < end; ++k) {
        const int64_t i = holes_[k];
        const float* best = nullptr;
        float least = std::numeric_limits<float>::infinity();
        forCoveringMatches(i, [&](int64_t t, const float* proposal) {
            if (dist_[t] < least) {
                least = dist_[t];
                best = proposal;
            }
        });
        if (best)
            std::copy_n(best, 3, rgb_.data() + i * 3);
    }
}

namespace {

// Adds one patch row of a proposal: sums[k] += a * from[k] for the row's 21 values, and a to
// the weights of its 7 pixels. Each value's sum takes the same operations as added alone.
inline void addProposalRow(float a, const float* from, float* sums, float* weights) {
    static_assert(Matcher::kPatchRowValues == 21, "five blocks of four values and one more");
#if defined(__x86_64__)
    const __m128 weight = _mm_set1_ps(a);
    for (int k = 0; k < 20; k += 4)
        _mm_storeu_ps(sums + k, _mm_add_ps(_mm_loadu_ps(sums + k),
                                           _mm_mul_ps(weight, _mm_loadu_ps(from + k))));
    sums[20] += a * from[20];
    _mm_storeu_ps(weights, _mm_add_ps(_mm_loadu_ps(weights), weight));
    for (int k = 4; k < 7; ++k)
        weights[k] += a;
#else
    for (int k = 0; k < 21; ++k)
        sums[k] += a * from[k];
    for (int k = 0; k < 7; ++k)
        weights[k] += a;
#endif
}

} // namespace

void Matcher::voteRows(int64_t y0, int64_t y1, float* ring) {
    const int64_t x0 = columns_.first - kRadius;
    const int64_t columns = columns_.end + kRadius - x0;
    float* const sums = ring;
    float* const weights = ring + kRing * columns * 3;
    PatchFill::forVoteBand(
        y0, y1, kRadius, w_, targetColumns_, target_,
        [&](int64_t ty, int64_t tx, int64_t dyFirst, int64_t dyLast) {
            const int64_t t = ty * w_ + tx;
            const float a = vote_[t];
            const int64_t s = nnf_[t];
            for (int64_t dy = dyFirst; dy <= dyLast; ++dy) {
                const int64_t at = (ty + dy) % kRing * columns + tx - kRadius - x0;
                addProposalRow(a, rgb_.data() + (s + dy * w_ - kRadius) * 3, sums + at * 3,
                               weights + at);
            }
        },
        [&](int64_t y) {
            // The row's hole pixels take their averages, and its place in the ring is cleared
            // for the row kRing below.
            float* rowSums = sums + y % kRing * columns * 3;
            float* rowWeights = weights + y % kRing * columns;
            const uint8_t* holeRow = hole_.data() + y * w_ + x0;
            float* out = rgb_.data() + (y * w_ + x0) * 3;
            for (int64_t c = 0; c < columns; ++c) {
                if (holeRow[c] && rowWeights[c] > 0.0f) {
                    out[c * 3] = rowSums[c * 3] / rowWeights[c];
                    out[c * 3 + 1] = rowSums[c * 3 + 1] / rowWeights[c];
                    out[c * 3 + 2] = rowSums[c * 3 + 2] / rowWeights[c];
                }
            }
            std::fill_n(rowSums, columns * 3, 0.0f);
            std::fill_n(rowWeights, columns, 0.0f);
        });
}
