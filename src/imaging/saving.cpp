// Writing files: whole or not at all, with the reason a write failed.
#include "imaging.h"

#include "jpegencoder.h"
#include "pngencoder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Imaging {

namespace {

const QString kNoMemory = QStringLiteral("not enough memory");

// QFileDevice does not always notice a failing final flush, so flush and check here.
bool writeAll(const FileWriter& write, QFileDevice& file) {
    return write(file) && file.flush() && file.error() == QFileDevice::NoError;
}

// Why a file operation failed, in a few plain words, from the errno it left; empty when it
// left none.
QString fileFailure(int error) {
    switch (error) {
    case 0:
        return {};
    case ENOSPC:
        return QStringLiteral("no space left on the device");
    case EDQUOT:
        return QStringLiteral("the disk quota is used up");
    case EFBIG:
        return QStringLiteral("the file is too large");
    case EROFS:
        return QStringLiteral("the disk is read-only");
    case ENOMEM:
        return kNoMemory;
    case ENOENT:
        return QStringLiteral("no such folder");
    case ENOTDIR:
        return QStringLiteral("not a folder");
    case EISDIR:
        return QStringLiteral("it is a folder");
    case ENAMETOOLONG:
        return QStringLiteral("file name too long");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    default: {
        QString text = qt_error_string(error);
        if (!text.isEmpty())
            text[0] = text[0].toLower();
        return text;
    }
    }
}

} // namespace

SaveError savePng(const QImage& image, const QString& path, QString* reason) {
    const QImage rgbx = image.format() == QImage::Format_RGBX8888
                            ? image
                            : image.convertToFormat(QImage::Format_RGBX8888);
    if (rgbx.isNull()) {
        if (reason)
            *reason = kNoMemory;
        return SaveError::WriteFailed;
    }
    return savePng(RgbxRows{rgbx.constBits(), rgbx.width(), rgbx.height(), rgbx.bytesPerLine()},
                   path, reason);
}

SaveError savePng(const PixelImage& image, const QString& path, QString* reason) {
    return savePng(RgbxRows{image.bytes().data(), image.width(), image.height(), image.width() * 4},
                   path, reason);
}

SaveError savePng(const RgbxRows& image, const QString& path, QString* reason) {
    return saveFile(
        path, SaveError::CannotCreate, [&](QIODevice& device) { return encodePng(image, device); },
        reason);
}

SaveError saveJpeg(const PixelImage& image, const QString& path, QString* reason) {
    return saveFile(
        path, SaveError::CannotCreateJpeg,
        [&](QIODevice& device) {
            return encodeJpeg(
                {image.bytes().data(), image.width(), image.height(), image.width() * 4}, device);
        },
        reason);
}

bool isJpegName(const QString& path) {
    return path.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive) ||
           path.endsWith(QLatin1String(".jpeg"), Qt::CaseInsensitive);
}

bool isJpegFormat(const QByteArray& format) {
    return format == "jpeg" || format == "jpg" || format == "jfif";
}

SaveError saveFile(const QString& path, SaveError cannotCreate, const FileWriter& write,
                   QString* reason) {
    // Read errno straight after the call that failed: cleaning up may change it.
    const auto failed = [reason](SaveError error, const QString& why = {}) {
        const QString text = why.isEmpty() ? fileFailure(errno) : why;
        if (reason)
            *reason = text;
        return error;
    };
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        // A device or pipe: write into it. Replacing it by a renamed temporary file would
        // swap the device node for a regular file.
        QFile file(path);
        errno = 0;
        if (!file.open(QIODevice::WriteOnly))
            return failed(cannotCreate);
        errno = 0;
        return writeAll(write, file) ? SaveError::None : failed(SaveError::WriteFailed);
    }
    // The picture is written to a new file beside the target and renamed over it only when
    // complete. Where no file can be made beside the target (a folder we may not write,
    // though the file in it we may), the save fails and the old file stays as it was:
    // writing into the old file directly would leave it cut short if the write failed.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly)) {
        if (errno != EACCES && errno != EPERM)
            return failed(cannotCreate);
        return failed(cannotCreate, info.exists() && !info.isWritable()
                                        ? QStringLiteral("the file is not writable")
                                        : QStringLiteral("the folder is not writable"));
    }
    errno = 0;
    if (!writeAll(write, file)) {
        const SaveError error = failed(SaveError::WriteFailed);
        file.cancelWriting(); // keep whatever was at the path before
        file.commit();
        return error;
    }
    errno = 0;
    return file.commit() ? SaveError::None : failed(SaveError::WriteFailed);
}

} // namespace Imaging
