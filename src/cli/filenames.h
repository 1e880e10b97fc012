#pragma once

// File names as a script gives them: bytes, not necessarily UTF-8. Qt keeps file names as
// text, so a name that is not UTF-8 would be rewritten (and another file written or read);
// these helpers carry such names through QString unchanged and reach the file by its
// bytes.

#include "imaging.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace FileNames {

// A command-line argument as text that keeps every byte: UTF-8 as its text; otherwise
// every byte from 0x80 up becomes U+DC00 + byte (a code point no UTF-8 text decodes to),
// so that bytesOf() gives the argument back exactly.
QString fromArgument(const QByteArray& bytes);
QByteArray bytesOf(const QString& argument);

// A name Qt can open the file by: the argument itself when its bytes are UTF-8, otherwise
// the /proc/self/fd entry of the file opened by its bytes (kept open while this lives).
class Readable {
public:
    explicit Readable(const QString& argument);
    ~Readable();
    Readable(const Readable&) = delete;
    Readable& operator=(const Readable&) = delete;
    const QString& path() const { return path_; }

private:
    int fd_ = -1;
    QString path_;
};

// Why a file cannot be written at the argument's path, checked before any work is done
// (the folder is missing, not a folder or not writable); empty when it can be tried.
QString outputProblem(const QString& argument);

// Writes a file at a path Qt can open: Imaging::savePng() or saveJpeg(), for one.
using Saver = std::function<Imaging::SaveError(const QString& path)>;

// Writes the file at the argument's path through `save`, replacing a file there atomically,
// whatever bytes the name holds. cannotCreate: the error when the folder cannot be opened.
Imaging::SaveError save(const QString& argument, Imaging::SaveError cannotCreate,
                        const Saver& save);

} // namespace FileNames
