#pragma once

#include <cstdint>
#include <functional>
#include <vector>

class HelpDesk;

// Texture-preserving fill of a thick hole, the alternative to PatchFill. Same buffers and
// guarantees: colours w x h x 3 floats (0 to 255), hole flags w x h bytes, nonzero = to
// be filled; known pixels come back bit-identical; the same inputs give the same result
// on any number of processors.
//
// It follows the non-local patch-based inpainting of Newson, Almansa, Gousseau and Perez
// (IPOL 2017) on the same coarse-to-fine skeleton as PatchFill, with four changes that
// keep the grain of a texture:
// - every pixel carries a texture feature, its local mean gradient magnitude, which takes
//   part in the patch distance, so a flat patch no longer matches a textured one; at a
//   coarse level it tells how busy the fine picture below each pixel is;
// - the coarsest level is filled layer by layer from the hole's edge inwards (onion peel),
//   each pixel copied from the best match of the known part of its patch, instead of
//   smoothly;
// - a finer level starts from the coarser field scaled up and voted with its own sources'
//   pixels, so detail that only exists at this level enters the hole from the start;
// - votes weigh a match by exp(-d / (2 s2)), where s2 is a percentile of the level's
//   current distances, and the finest level ends with every pixel taken from the best of
//   the patches that cover it rather than an average; the difference between what the
//   hole's patches propose along its edge and the known pixels there is then spread over
//   the hole, so the fill meets its surroundings in the same shade.
namespace TextureFill {

struct Params {
    // Scale of the texture feature against the colours in the patch distance.
    float featureWeight = 4.0f;
    // Box radius over which gradient magnitudes are averaged at full size.
    int64_t featureRadius = 2;
    // The percentile of the distances that sets s2 of the vote's weights.
    float percentile = 0.9f;
    // Coarsest level: onion peel (else the smooth fill PatchFill uses).
    bool onionPeel = true;
    // Finest level: finish with the best patch per pixel (else a last weighted vote).
    bool bestPatchFinish = true;
    // A finer level starts from the coarser field (else from the enlarged coarser colours).
    bool carryField = true;
    // Relaxation sweeps that even out the shade of the fill with the hole's edge; 0 = none.
    int64_t shadeIterations = 20;
    // Surroundings whose grain (GrainBlend::surroundingGrain) is at most plainBelow take
    // the standard fill, at least texturedAbove this fill, a blend between; equal values
    // use this fill everywhere.
    float plainBelow = 2.0f;
    float texturedAbove = 12.0f;
    // The texture fill's colours, blurred by a Gaussian of sigma lowPassSigma, may differ
    // from the standard fill's by at most lowPassLimit per channel (GrainBlend::limitLowPass);
    // 0 = no limit.
    float lowPassSigma = 4.0f;
    float lowPassLimit = 10.0f;
    // The standard fill that the limit and the plain areas take skips this many of its
    // finest levels, each enlarged from the one above, and makes this many matcher passes at
    // the finest level it matches, 0 for the usual count (PatchFill::Shortcut).
    int standardSkippedLevels = 1;
    int standardFinishPasses = 2;
    // Where the standard fill is taken, plainGrain times the texture fill's detail finer than
    // a Gaussian of plainGrainSigma is added to it; 0 = none.
    float plainGrain = 1.0f;
    float plainGrainSigma = 1.5f;
    int finestPasses = 1;
    int middlePasses = 4;
    int coarsestPasses = 16;
};

// Fills the hole pixels. Calls progress with the fraction k / T after each of its T steps
// (the coarsest level's start, then every matcher pass), and with 0 once the pyramid is
// built, so that a caller can abandon the fill before its first step. The caller
// guarantees at least one hole and one known pixel. processors sets the worker count; 0
// uses the machine's. desk, when given, is where the passes' loops are posted for a thread
// with nothing else to do.
std::vector<float> fill(std::vector<float> rgb, std::vector<uint8_t> hole, int64_t w, int64_t h,
                        const std::function<void(double)>& progress, int processors = 0,
                        const Params& params = {}, HelpDesk* desk = nullptr);

} // namespace TextureFill
