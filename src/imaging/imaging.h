#pragma once

// Decoding, conversion and PNG and JPEG encoding between files, Qt images and PixelImage.
// Shared by the application and the command-line tool, so both see the same pixels.

#include "pixelimage.h"
#include "pngencoder.h"

#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QImageIOHandler>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QImageReader;

namespace Imaging {

// The longer side of a decoded document, in pixels; larger pictures are scaled down.
inline constexpr int kMaxSide = 3072;
// Images whose stored size exceeds this many pixels are refused before decoding: a
// compressed file of a few kilobytes can claim billions of pixels.
inline constexpr qint64 kMaxStoredPixels = qint64(1) << 30;
// The memory one decode may take, in bytes: the full-size picture of the formats that are
// decoded whole before scaling, a progressive JPEG's coefficient buffer, and the result.
// A file that would need more is refused from its header, before anything large is
// allocated, so no file can take the process near a gigabyte.
inline constexpr qint64 kDecodeBudget = qint64(704) << 20;
// QImageReader's allocation limit (MB): the same budget, as a second guard inside Qt's
// own readers.
inline constexpr int kAllocationLimitMB = int(kDecodeBudget >> 20);

enum class LoadError {
    None,
    NotAnImageFile, // "Couldn't read that file as an image."
    NotImageData,   // "Couldn't read that image."
    DecodeFailed,   // "Couldn't decode that image."
};

// The kinds of file a picture is saved as.
enum class FileType { Png, Jpeg };

enum class SaveError {
    None,
    CannotCreate,     // "Couldn't create the PNG file."
    WriteFailed,      // "Saving failed."
    CannotCreateJpeg, // "Couldn't create the JPEG file."
};

// The user-facing text of a failure; empty for None.
QString message(LoadError error);
QString message(SaveError error);
// A message with its reason after it in parentheses ("Saving failed. (no space left on
// the device)"); the message alone when there is no reason.
QString withReason(const QString& message, const QString& reason);
// An erase that could not run (out of memory); the document stays as it was before it.
inline const QString kEraseFailedMessage = QStringLiteral("Erasing failed.");

struct Decoded {
    std::optional<PixelImage> image;
    LoadError error = LoadError::None;
    // Why a file was refused, in a few words ("larger than 2^30 pixels"), where that is
    // known; the command-line tool prints it after the message.
    QString reason = {};
    // The compressed bytes the picture was decoded from, where they were read whole
    // (decodeFile(), decodeData()), its format ("png") and the upright size it is stored at.
    QByteArray source = {};
    QByteArray format = {};
    QSize full = {};
};

// Files larger than this are refused before they are read: no photo comes near it, and
// the bytes are kept in memory beside the decoded picture.
inline constexpr qint64 kMaxFileBytes = qint64(256) << 20;

struct FileBytes {
    QByteArray bytes;
    LoadError error = LoadError::None;
    QString reason = {};
};

// The whole file, read once from its start to its end: a pipe works, and a picture that
// is replaced while it is in use cannot mix two files. Fails with NotAnImageFile when the
// file cannot be opened, and with DecodeFailed when it holds more than kMaxFileBytes.
FileBytes readFileBytes(const QString& path);

// A reader of the picture on the device that canOpen() accepts, or none. suffix (a file
// name's suffix, may be empty) is tried first as the format, as a reader given a file name
// does; WBMP is accepted only where the suffix names it.
std::unique_ptr<QImageReader> openReader(QIODevice& device, const QByteArray& suffix);

// Decodes bytes read whole. suffix (a file name's suffix, may be empty) is the hint some
// formats need: WBMP, which has no signature, is only taken where the suffix names it.
// Bytes no reader accepts give `unreadable`.
Decoded decodeBytes(const QByteArray& bytes, const QByteArray& suffix, LoadError unreadable,
                    int maxSide = kMaxSide);

// While one lives on a thread, the decodes on that thread that can stop part-way (JPEG,
// between rows) check the flag and fail once it is set: a picture nobody will use is not
// decoded to its end.
class AbandonWhen {
public:
    explicit AbandonWhen(const std::atomic<bool>& flag);
    ~AbandonWhen();
    AbandonWhen(const AbandonWhen&) = delete;
    AbandonWhen& operator=(const AbandonWhen&) = delete;

    // True when this thread's decodes are to stop.
    static bool now();

private:
    const std::atomic<bool>* previous_;
};

// The one sRGB colour space every image of the program is tagged with.
const QColorSpace& sRGB();
// True when decoding converts a picture tagged with the space into sRGB: a valid space
// other than sRGB whose black, grey and white stay apart (a broken profile is ignored).
bool convertsToSRGB(const QColorSpace& space);

// Sets the reader allocation limit above; call once at start-up (before any decoding).
void configureImageReader();

// True when the reader can read its device as an image (the file exists, is readable
// and its header names a format Qt decodes). Call before decode().
bool canOpen(QImageReader& reader);

// Decodes the first image of a reader that canOpen() accepted: upright (orientation tag
// applied), the longer side scaled down to at most maxSide (0: no cap, the full stored
// size), composited over white into opaque R, G, B, 255 bytes in sRGB. Fails with
// NotAnImageFile when the size cannot be read, and DecodeFailed when the pixels cannot
// (corrupt or truncated data, a refused size).
Decoded decode(QImageReader& reader, int maxSide = kMaxSide);

// WBMP has no signature: a few bytes of the right length pass for one. Bytes are taken
// for a WBMP only where a name says so: a file suffix or a format given with the bytes
// that isWbmpName() accepts. readImage() refuses a WBMP file named otherwise and
// decodeData() refuses WBMP bytes.
bool isWbmpName(const QByteArray& suffixOrFormat);

// The size a picture of the stored size decodes to with its longer side capped at maxSide
// (0: no cap).
QSize cappedSize(QSize stored, int maxSide);

// The reason for refusing a picture of this stored size outright, empty when it may be
// decoded.
QString sizeRefusal(QSize stored);
// The reason given when decoding would need more than the budget.
QString budgetReason(qint64 budget);
// The memory a picture decoded at the decoded size needs besides itself for a result of
// the scaled size: the result and its conversion (bytes).
qint64 decodedBytes(QSize decoded, QSize scaled);

// The most memory Qt's reader of `format` takes to decode a picture of the stored size in
// pixelFormat and scale it to the scaled size: the decoded picture, the reader's own
// buffers, and the full-size converted copy that smooth scaling makes of most formats
// (16-bit and floating-point ones at 8 or 16 bytes a pixel).
qint64 readerPeakBytes(const QByteArray& format, QImage::Format pixelFormat, QSize stored,
                       QSize scaled);

struct Read {
    QImage image; // null on failure
    LoadError error = LoadError::None;
    QString reason = {};
    QSize announced = {}; // the upright size the header announces, once it has been read
};

// The checked read behind decode(): the first image of a reader that canOpen() accepted,
// upright, its longer side at most maxSide (0: no cap), in the reader's own pixel format
// and colour space. The file's structure is checked first (truncated data, chunk lengths
// beyond the end of the file, bad checksums) and every size it claims is weighed against
// kDecodeBudget, so a hostile file is refused cheaply; the picture is never built on
// memory a decoder might leave unwritten. When `expected` is valid, a file whose header
// announces another upright size fails (DecodeFailed, `announced` set) before any
// decoding.
Read readImage(QImageReader& reader, int maxSide = kMaxSide, QSize expected = {});

// The picture turned upright as an orientation tag asks: mirrored and flipped first, then
// turned a quarter clockwise. Pixels move whole; the colour space is kept.
QImage upright(QImage image, QImageIOHandler::Transformations transformation);

// Whole files and byte arrays: readFileBytes() and decodeBytes(). A file that cannot be
// opened gives NotAnImageFile, bytes that cannot give NotImageData.
Decoded decodeFile(const QString& path, int maxSide = kMaxSide);
Decoded decodeData(const QByteArray& bytes, int maxSide = kMaxSide);

// Draws a Qt image of any format over opaque white into a new PixelImage of the same
// pixel size, converting it to sRGB first. None when no drawing surface can be made.
std::optional<PixelImage> fromQImage(const QImage& image);

// A drawable copy of the pixels (Format_RGBX8888, tagged sRGB); null when it cannot be
// allocated. The fourth byte is ignored.
QImage makeQImage(const PixelImage& image);

// Writes the image as an 8-bit RGB PNG (pngencoder.h). A file at the path is replaced
// atomically, so a failed save never leaves a truncated file in place of the previous one;
// where the folder does not allow that, the save fails with CannotCreate and the file is
// untouched. On failure, reason (when given) says why in a few words where that is known
// ("no space left on the device", "no such folder").
SaveError savePng(const RgbxRows& image, const QString& path, QString* reason = nullptr);
SaveError savePng(const QImage& image, const QString& path, QString* reason = nullptr);
SaveError savePng(const PixelImage& image, const QString& path, QString* reason = nullptr);

// Writes the image as a JPEG (jpegencoder.h: encodeJpeg), as savePng() writes a PNG;
// CannotCreateJpeg where it gives CannotCreate.
SaveError saveJpeg(const PixelImage& image, const QString& path, QString* reason = nullptr);

// Puts the bytes of a file on the device; false when memory runs out or a write fails.
using FileWriter = std::function<bool(QIODevice& device)>;
// The saving behind savePng() and saveJpeg(): the file at the path is replaced atomically
// by what `write` puts on the device, or left untouched (cannotCreate when no file can be
// made beside it, WriteFailed when writing fails), with the reason as savePng() gives it.
SaveError saveFile(const QString& path, SaveError cannotCreate, const FileWriter& write,
                   QString* reason = nullptr);

// True for a file name ending in .jpg or .jpeg, in any case, and for a reader's format
// name of a JPEG ("jpeg", "jpg", "jfif").
bool isJpegName(const QString& path);
bool isJpegFormat(const QByteArray& format);

} // namespace Imaging
