#pragma once

// The erase engine: fills the painted area of an image from its surroundings.
//
// Buffer contract, for every function of the engine:
// - Images are PixelImage: row-major, top row first, 4 bytes per pixel (R, G, B and a
//   fourth byte that the engine never reads or writes).
// - A mask is one byte per image pixel in the same order. 0 = not painted; any nonzero
//   byte marks a pixel to fill, and its value is the paint strength: the fill replaces
//   the pixel with weight min(m / 128, 1), so 128 and above replace it completely.
// - Working colour buffers are w x h x 3 floats on the 0 to 255 scale, the channels of a
//   pixel adjacent; hole flags are w x h bytes, nonzero = to be filled.
// - The engine owns nothing it is given: inputs are taken by value or read-only span,
//   results are new values.
// Results are exact single-precision arithmetic in a fixed order, so the same inputs and
// processor count give the same bytes.

#include "pixelimage.h"
#include "texturefill.h"

#include <cstdint>
#include <functional>
#include <span>

namespace Inpainter {

using Progress = std::function<void(double)>;

// A hole holding a solid square of (2 kThickSteps + 1) painted pixels is filled by patch
// matching; thinner strokes by diffusion.
inline constexpr int64_t kThickSteps = 5;
// Crop margin around the hole: thin strokes need only a little context; thick holes get
// three quarters of their size, within these limits.
inline constexpr int64_t kThinMargin = 24;
inline constexpr int64_t kMinThickMargin = 32;
inline constexpr int64_t kMaxThickMargin = 400;
inline constexpr double kThickMarginFactor = 0.75;
inline constexpr int64_t kThinRelaxIterations = 80;

// Where and how a mask is filled: the hole's crop rectangle [x0, x1) x [y0, y1) with its
// margin, clipped to the image, and whether the hole is thick. empty: nothing is painted.
struct Plan {
    bool empty = true;
    bool thick = false;
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};
Plan plan(std::span<const uint8_t> mask, int64_t width, int64_t height);

// The crop margin for a hole whose bounding box is bw x bh.
int64_t marginFor(int64_t bw, int64_t bh, bool thick);

// Returns the image with its painted pixels filled. Pixels whose mask byte is 0 come back
// byte-identical. progress (optional) is called on this thread with non-decreasing values:
// 0.02, then for a thick hole values between 0.04 and 0.96, then 0.97 and 1.0. An empty
// mask, or one that covers the whole crop, returns the image unchanged without progress.
// mask must hold width x height bytes. processors sets how many threads the patch matcher
// uses; 0 uses the machine's processor count.
// method chooses how a thick hole is filled: Standard by the coarse-to-fine patch fill,
// Texture by the texture-preserving fill (thin strokes are filled by diffusion either way).
enum class Method { Standard, Texture };
PixelImage run(PixelImage image, std::span<const uint8_t> mask, const Progress& progress = {},
               int processors = 0, Method method = Method::Standard);

// run() with the texture fill and the given settings of it, for tuning and comparing them.
PixelImage runTexture(PixelImage image, std::span<const uint8_t> mask,
                      const TextureFill::Params& params, const Progress& progress = {},
                      int processors = 0);

} // namespace Inpainter
