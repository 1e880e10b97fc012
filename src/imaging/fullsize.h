#pragma once

// The edited picture at the photo's original size.
//
// A document is a copy of the photo scaled down to at most kMaxSide; a full-size result
// decodes the same source again without the cap and carries the edits over
// (fullsizeedits.h). The application's full-size save and the command-line tool both go
// through here, so they write the same bytes.

#include "imaging.h"
#include "pixelimage.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace Imaging {

// Decodes source (the compressed bytes the document was opened from; format a hint such
// as "png", may be empty) at full size and carries the edits into it (fullsizeedits.h),
// synthesising the changed areas again at full size. progress and processors as for the
// engine. Without an image, with the error and its reason, when the source cannot be
// decoded at full size.
Decoded fullSizeResult(const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current,
                       const std::function<void(double)>& progress = {}, int processors = 0);

// Reduces a mask of width x height bytes to toWidth x toHeight by area averaging: each
// result byte is the mean of the bytes its footprint covers, partly covered bytes
// counting in proportion, rounded to nearest.
std::vector<uint8_t> reduceMask(std::span<const uint8_t> mask, int64_t width, int64_t height,
                                int64_t toWidth, int64_t toHeight);

} // namespace Imaging
