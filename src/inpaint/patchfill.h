#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Coarse-to-fine patch fill of a thick hole. Buffers as in Diffusion: colours w x h x 3
// floats (0 to 255), hole flags w x h bytes, nonzero = to be filled.
namespace PatchFill {

// One pyramid level.
struct Level {
    int64_t w = 0;
    int64_t h = 0;
    std::vector<float> rgb;    // w x h x 3
    std::vector<uint8_t> hole; // w x h
};

// Pyramid limits: building stops once the hole is smaller than this on its longer side,
// once a level side is under kMinLevelSide, or at kMaxLevels levels.
inline constexpr int64_t kMinHoleExtent = 13;
inline constexpr int64_t kMinLevelSide = 40;
inline constexpr int64_t kMaxLevels = 7;
// Matcher passes at the finest level, at levels in between, and at the coarsest level.
inline constexpr int kFinestPasses = 3;
inline constexpr int kMiddlePasses = 5;
inline constexpr int kCoarsestPasses = 6;
// Relaxation sweeps after push-pull at the coarsest level.
inline constexpr int64_t kCoarseRelaxIterations = 40;

// Fills the hole pixels; known pixels come back bit-identical. Calls progress with the
// fraction k / T after each of its T steps (the coarse fill, then every matcher pass).
// The caller guarantees at least one hole and one known pixel. processors sets the
// matcher's worker count; 0 uses the machine's processor count.
// The buffers are taken by value so a caller that is done with them can move them in.
std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors = 0);

// The longer side of the bounding box of the level's hole pixels; 0 when there is none.
int64_t holeExtent(const Level& level);

// Half-size level: each pixel averages its known children; it is a hole only when all
// of its children are holes. processors as for fill(); the result does not depend on it.
Level downsample(const Level& level, int processors = 1);

} // namespace PatchFill
