#pragma once

// What the structure checks of formatcheck.cpp share: a reader of the device that tracks
// what is left of it, byte-order helpers, and the checks kept in files of their own.

#include <QIODevice>
#include <QString>

namespace Imaging::FormatCheck {

// Reads from a random-access device, tracking what is left of it.
class Reader {
public:
    explicit Reader(QIODevice& device) : device_(device) {}

    qint64 left() const { return device_.size() - device_.pos(); }

    bool read(void* into, qint64 n) { return device_.read(static_cast<char*>(into), n) == n; }

    bool skip(qint64 n) { return n >= 0 && n <= left() && device_.skip(n) == n; }

    int byte() {
        unsigned char b;
        return read(&b, 1) ? b : -1;
    }

private:
    QIODevice& device_;
};

inline quint32 be32(const unsigned char* p) {
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}
inline quint32 le32(const unsigned char* p) {
    return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
}
inline quint32 le24(const unsigned char* p) {
    return quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
}
inline quint16 le16(const unsigned char* p) { return quint16(p[1] << 8 | p[0]); }

inline const QString kCorrupt = QStringLiteral("corrupt or incomplete data");
// Pictures claiming more pixels than this are left to the size checks that follow.
inline constexpr qint64 kMaxCheckedPixels = qint64(1) << 32;

// Every chunk up to IEND is complete and its checksum right, and so on (pngcheck.cpp);
// empty when the file is sound.
QString pngProblem(Reader& in);

} // namespace Imaging::FormatCheck
