#include "filenames.h"

#include <QRandomGenerator>

#include <QStringDecoder>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileNames {
namespace {

constexpr char16_t kEscape = 0xDC00;

// An escaped byte: a lone low surrogate in the escape range (the second half of a
// surrogate pair can fall in that range too).
bool isEscape(const QString& s, qsizetype i) {
    const char16_t c = s[i].unicode();
    return c >= kEscape + 0x80 && c <= kEscape + 0xFF && (i == 0 || !s[i - 1].isHighSurrogate());
}

bool hasEscapes(const QString& s) {
    for (qsizetype i = 0; i < s.size(); ++i)
        if (isEscape(s, i))
            return true;
    return false;
}

// The folder part of a path ("." for a bare name) and the name in it.
std::pair<QByteArray, QByteArray> split(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return {".", path};
    return {slash == 0 ? QByteArray("/") : path.left(slash), path.mid(slash + 1)};
}

QString procPath(int fd) { return QStringLiteral("/proc/self/fd/%1").arg(fd); }

} // namespace

QString fromArgument(const QByteArray& bytes) {
    // Stateless: an incomplete sequence at the end is an error, not held for more input.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    text.clear();
    for (const char c : bytes)
        text += uchar(c) < 0x80 ? QChar(c) : QChar(char16_t(kEscape + uchar(c)));
    return text;
}

QByteArray bytesOf(const QString& argument) {
    if (!hasEscapes(argument))
        return argument.toUtf8();
    QByteArray bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= argument.size(); ++i) {
        if (i < argument.size() && !isEscape(argument, i))
            continue;
        bytes += argument.mid(from, i - from).toUtf8();
        if (i < argument.size())
            bytes += char(argument[i].unicode() - kEscape);
        from = i + 1;
    }
    return bytes;
}

Readable::Readable(const QString& argument) : path_(argument) {
    if (!hasEscapes(argument))
        return;
    fd_ = ::open(bytesOf(argument).constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0)
        path_ = procPath(fd_);
}

Readable::~Readable() {
    if (fd_ >= 0)
        ::close(fd_);
}

QString outputProblem(const QString& argument) {
    const QByteArray path = bytesOf(argument);
    struct stat st;
    if (::stat(path.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return QStringLiteral("it is a folder");
        if (!S_ISREG(st.st_mode))
            return {}; // a device or pipe is written in place
    }
    const auto [folder, name] = split(path);
    if (name.isEmpty())
        return QStringLiteral("no file name");
    // The file is written under a temporary name seven bytes longer, then renamed.
    if (name.size() + 7 > NAME_MAX)
        return QStringLiteral("file name too long");
    if (::stat(folder.constData(), &st) != 0)
        return QStringLiteral("no such folder");
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("not a folder");
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the folder is not writable");
    return {};
}

Imaging::SaveError save(const QString& argument, Imaging::SaveError cannotCreate,
                        const Saver& save) {
    if (!hasEscapes(argument))
        return save(argument);

    // Write under a UTF-8 name in the same folder, then rename by bytes: both steps
    // replace atomically, so the old file is never left half written.
    const auto [folder, name] = split(bytesOf(argument));
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return cannotCreate;
    struct stat st;
    Imaging::SaveError result;
    if (::fstatat(dir, name.constData(), &st, 0) == 0 && !S_ISREG(st.st_mode)) {
        const int device = ::openat(dir, name.constData(), O_WRONLY | O_CLOEXEC);
        result = device < 0 ? cannotCreate : save(procPath(device));
        if (device >= 0)
            ::close(device);
    } else {
        const QByteArray temporary =
            QStringLiteral(".mirelo-erase-%1-%2.tmp")
                .arg(::getpid())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                .toUtf8();
        result = save(procPath(dir) + '/' + QString::fromUtf8(temporary));
        if (result == Imaging::SaveError::None &&
            ::renameat(dir, temporary.constData(), dir, name.constData()) != 0) {
            ::unlinkat(dir, temporary.constData(), 0);
            result = Imaging::SaveError::WriteFailed;
        }
    }
    ::close(dir);
    return result;
}

} // namespace FileNames
