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
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace Imaging {

// Decodes source (the compressed bytes the document was opened from; format a hint such
// as "png", may be empty) at full size and carries the edits into it (fullsizeedits.h),
// synthesising the changed areas again at full size, with the pixels they changed in
// `changed` (when given): a byte for each pixel, 1 where the edits were blended in.
// progress and processors as for the engine. Without an image, with the error and its
// reason, when the source cannot be decoded at full size.
Decoded fullSizeResult(const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current,
                       const std::function<void(double)>& progress = {}, int processors = 0,
                       std::vector<uint8_t>* changed = nullptr);

// Writes the full-size result (fullSizeResult()) at the path as a file of the type,
// replacing a file there atomically as savePng() and saveJpeg() do. As a JPEG, a photo that
// was a JPEG keeps its file: the blocks no edit touched are copied as they were and only
// the touched ones are compressed again (jpegencoder.h: EditedJpeg); any other photo, and
// a JPEG whose blocks cannot be kept, is compressed whole by encodeJpeg(). When the source
// cannot be decoded at full size the save fails with WriteFailed and the decoder's reason.
// The application and the command-line tool both save through here.
SaveError saveFullSize(FileType type, const QByteArray& source, const QByteArray& format,
                       const PixelImage& original, const PixelImage& current, const QString& path,
                       const std::function<void(double)>& progress = {}, int processors = 0,
                       QString* reason = nullptr);

// Reduces a mask of width x height bytes to toWidth x toHeight by area averaging: each
// result byte is the mean of the bytes its footprint covers, partly covered bytes
// counting in proportion, rounded to nearest.
std::vector<uint8_t> reduceMask(std::span<const uint8_t> mask, int64_t width, int64_t height,
                                int64_t toWidth, int64_t toHeight);

} // namespace Imaging
