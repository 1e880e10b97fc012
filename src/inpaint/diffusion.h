#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Smooth filling of hole pixels in a colour buffer: w x h x 3 floats, row-major, the
// three channels of a pixel adjacent. Hole flags: w x h bytes, nonzero = to be filled.
// Known pixels are never changed. w and h are at least 1.
namespace Diffusion {

// First estimate: known pixels averaged down a pyramid to 1 x 1 and interpolated back
// up, so every hole pixel gets a colour however far it is from known ones.
std::vector<float> pushPull(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w,
                            int64_t h);

// pushPull for a buffer of one value a pixel (w x h floats), returning only the values of
// the hole pixels, in row-major order. Each value is the one pushPull gives a channel of
// three equal ones.
std::vector<float> pushPullHoleValues(std::span<const float> values, std::span<const uint8_t> hole,
                                      int64_t w, int64_t h);

// Jacobi smoothing: each sweep replaces every hole value by the average of its four
// neighbours from the previous sweep; a missing neighbour at the edge is the pixel
// itself. Does nothing when iterations < 1.
void relax(std::span<float> rgb, std::span<const uint8_t> hole, int64_t w, int64_t h,
           int64_t iterations);

// pushPull followed by relax, computing only what the hole needs: returns the three
// filled values of each hole pixel, in row-major order of the hole pixels. Known pixels
// would come back unchanged, so they are not returned.
std::vector<float> smoothFill(std::span<const float> rgb, std::span<const uint8_t> hole, int64_t w,
                              int64_t h, int64_t iterations);

} // namespace Diffusion
