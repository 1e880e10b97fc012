#pragma once

// Carrying the edits of a working copy into the same picture at its original size.
//
// A document is a copy of the photo scaled down; a full-size result decodes the photo again
// at its own size and carries the edits over. Every pixel whose neighbourhood no edit
// changed keeps its full-size value exactly. Where the working picture changed, the
// changed area's footprint is enlarged bilinearly into a blend weight a, so the seam is as
// soft as at the working size, and the pixel becomes (1 - a) x its full-size value + a x
// the fill.
//
// The fill is either the working result enlarged bilinearly, which is soft at full size,
// or synthesised again from the full-size pixels around the hole: the working result's
// own patch field (which known patch each patch of the changed area looks like) is found
// at the working size, carried up as the field of one more, finer pyramid level, and a
// patch-matching pass runs there on the full-size pixels, with the enlargement as the first
// estimate, ending with the best patch per pixel. Of what that gives, only the detail the
// working size cannot hold is kept: its own low frequencies are replaced by the working
// result's and what remains is high-passed, so the full-size picture shows the shapes and
// shades the working one showed, with the photo's grain where its surroundings have it.
// Changed areas far apart are synthesised one at a time, each in a crop of its own.

#include "pixelimage.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace FullSizeEdits {

enum class Fill { Enlarged, Synthesised };

// A crop whose full-size area is larger than this many pixels is filled by enlargement:
// synthesis takes about 45 bytes a pixel of its crop.
inline constexpr int64_t kMaxSynthesisPixels = int64_t(8) << 20;
// Field passes at the working size, and passes at full size, whose random search looks
// no further than kSearchRadius pixels: the carried field is close to its matches already.
inline constexpr int kFieldPasses = 2;
inline constexpr int kDetailPasses = 1;
inline constexpr int64_t kSearchRadius = 16;
// The synthesis keeps only detail finer than the working size holds: it takes away the blur
// by a Gaussian of kDetailSigma working pixels (times the enlargement, in full-size pixels)
// kDetailOrder times over. Repeating steepens the cut: the finest grain stays almost whole,
// while the coarser detail, which would shift the working result's shades, goes.
inline constexpr double kDetailSigma = 1.0;
inline constexpr int kDetailOrder = 6;

// Carries the difference between original and current (both of the working size) into
// full, the same picture at its original size, in place. progress (optional) is called
// with non-decreasing values up to 1; processors as for the engine (0: the machine's).
// Without a difference, or when the sizes do not fit together, full is left as it is.
// The same inputs and processor count give the same bytes. changed (when given) receives
// a byte for each pixel of full, row by row: 1 where the edits were blended in (a > 0), 0
// where the pixel was left exactly as it was.
void carry(PixelImage& full, const PixelImage& original, const PixelImage& current, Fill fill,
           const std::function<void(double)>& progress = {}, int processors = 0,
           std::vector<uint8_t>* changed = nullptr);

} // namespace FullSizeEdits
