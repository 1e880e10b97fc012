#pragma once

#include "texturefill.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Where a hole's surroundings are plain (sky, fog, a smooth wall), the texture fill has no
// grain to continue, and what it copies in instead (a bird from elsewhere in the sky, the
// sharp part of a blurred flower) stands out where the standard fill leaves clean ground.
// So Preserve Texture takes the texture fill where the known pixels around a hole pixel
// have grain, the standard fill where they are plain, and a linear blend of the two in
// between. Same buffers and guarantees as TextureFill::fill.
namespace GrainBlend {

// For every hole pixel of the w x h buffer, in row-major order, the mean Sobel gradient
// magnitude of the brightness (0.299 R + 0.587 G + 0.114 B), each capped at 64, of the known
// pixels around it: measured where a pixel's 3 x 3 neighbourhood is known and inside the
// buffer, and spread into the rest by averaging down a pyramid and interpolating back, so a
// hole pixel sees the nearest known ones first. Empty when no pixel can be measured.
// processors as for fill(); the result does not depend on it.
std::vector<float> surroundingGrain(std::span<const float> rgb, std::span<const uint8_t> hole,
                                    int64_t w, int64_t h, int processors = 1);

// Where the texture fill continues a structure wrongly (a sharp stem through a blurred
// flower, the edge of a pine cone across a plain trunk) it moves whole shapes, which costs far
// more than the grain gains. So its low frequencies are held near the standard fill's: d is
// the difference textured - smooth blurred by a Gaussian of the given sigma, and wherever
// |d| exceeds limit in a channel, the excess is taken off textured's hole pixels there. The
// grain, which the blur removes, is kept whole. Both fills hold the same known pixels.
// processors as for fill(); the result does not depend on it.
void limitLowPass(std::vector<float>& textured, std::span<const float> smooth,
                  std::span<const uint8_t> hole, int64_t w, int64_t h, float sigma, float limit,
                  int processors = 1);

// Fills the hole pixels: the standard fill where surroundingGrain is at most
// params.plainBelow, the texture fill (held by limitLowPass) where it is at least
// params.texturedAbove, a linear blend between. Where the standard fill is taken,
// params.plainGrain times the texture fill's detail finer than params.plainGrainSigma is
// kept on it. A hole plain all round gets the standard fill alone, with its bytes on that
// many processors (on two or more, the texture fill starts while the grain is measured and
// is abandoned); any other hole gets the same bytes on any number. Progress as for the
// fills, rising only.
std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors,
                        const TextureFill::Params& params);

} // namespace GrainBlend
