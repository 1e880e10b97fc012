#pragma once

// The edited picture at the photo's original size.
//
// A document is a copy of the photo scaled down to at most kMaxSide; a full-size result
// decodes the same source again without the cap and carries the edits over: every pixel
// whose neighbourhood no erase changed keeps its full-size value exactly, and where the
// working picture changed, the working result enlarged bilinearly is blended in with the
// changed area's footprint enlarged the same way, so the seam is as soft as at the
// working size. The application's full-size save and the command-line tool both go
// through here, so they write the same bytes.

#include "imaging.h"
#include "pixelimage.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Imaging {

// Carries the difference between original and current (both of the working size) into
// full, the same picture at its original size, in place. changed (when given) receives a
// byte for each pixel of full, row by row: 1 where the edits were blended in, 0 where the
// pixel was left exactly as it was.
void enlargeEdits(PixelImage& full, const PixelImage& original, const PixelImage& current,
                  std::vector<uint8_t>* changed = nullptr);

// Decodes source (the compressed bytes the document was opened from; format a hint such
// as "png", may be empty) at full size and enlarges the edits into it, with the pixels they
// changed in `changed` as enlargeEdits() gives them. Without an image, with the error and
// its reason, when the source cannot be decoded at full size.
Decoded fullSizeResult(const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current,
                       std::vector<uint8_t>* changed = nullptr);

// Writes the full-size result at the path as a JPEG, replacing a file there atomically as
// saveJpeg() does. A photo that was a JPEG keeps its file: the blocks no edit touched are
// copied as they were and only the touched ones are compressed again (jpegencoder.h:
// EditedJpeg). Any other photo, and a JPEG whose blocks cannot be kept, is compressed
// whole by encodeJpeg(). When the source cannot be decoded at full size the save fails
// with WriteFailed and the decoder's reason.
SaveError saveFullSizeJpeg(const QByteArray& source, const QByteArray& format,
                           const PixelImage& original, const PixelImage& current,
                           const QString& path, QString* reason = nullptr);

// Reduces a mask of width x height bytes to toWidth x toHeight by area averaging: each
// result byte is the mean of the bytes its footprint covers, partly covered bytes
// counting in proportion, rounded to nearest.
std::vector<uint8_t> reduceMask(std::span<const uint8_t> mask, int64_t width, int64_t height,
                                int64_t toWidth, int64_t toHeight);

} // namespace Imaging
