#include "formatcheck.h"
#include "formatreader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

namespace Imaging::FormatCheck {
namespace {

// Follows the pixel data of a palette PNG, inflated and unfiltered a row at a time, and
// notes an index beyond the palette: the reader would show such a pixel in the palette's
// first colour, and call the picture good.
class PaletteIndices {
public:
    PaletteIndices(quint32 width, quint32 height, int depth, bool interlaced, int entries)
        : depth_(depth), entries_(entries) {
        static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                             {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        passes_ = interlaced ? 7 : 1;
        for (int p = 0; p < passes_; ++p) {
            const int* a = interlaced ? kAdam7[p] : nullptr;
            const qint64 x0 = a ? a[0] : 0, y0 = a ? a[1] : 0, dx = a ? a[2] : 1, dy = a ? a[3] : 1;
            passWidth_[p] = width > x0 ? quint32((qint64(width) - x0 + dx - 1) / dx) : 0;
            passHeight_[p] = height > y0 ? quint32((qint64(height) - y0 + dy - 1) / dy) : 0;
        }
        inflateInit(&zs_);
        startPass(0);
    }
    ~PaletteIndices() { inflateEnd(&zs_); }
    PaletteIndices(const PaletteIndices&) = delete;
    PaletteIndices& operator=(const PaletteIndices&) = delete;

    // Takes the next piece of the compressed data; false once a bad index was seen.
    bool feed(const unsigned char* data, qint64 size) {
        zs_.next_in = const_cast<Bytef*>(data);
        zs_.avail_in = uInt(size);
        std::array<unsigned char, 16 * 1024> out;
        while (ok_ && zs_.avail_in > 0 && pass_ < passes_) {
            zs_.next_out = out.data();
            zs_.avail_out = uInt(out.size());
            const int status = inflate(&zs_, Z_NO_FLUSH);
            for (const unsigned char* p = out.data(); p < zs_.next_out && pass_ < passes_; ++p)
                take(*p);
            if (status != Z_OK)
                break; // the end of the stream, or damage the reader reports itself
        }
        return ok_;
    }

private:
    void startPass(int p) {
        for (pass_ = p; pass_ < passes_ && (passWidth_[pass_] == 0 || passHeight_[pass_] == 0);)
            ++pass_;
        if (pass_ == passes_)
            return;
        rowBytes_ = (qint64(passWidth_[pass_]) * depth_ + 7) / 8;
        row_.assign(size_t(rowBytes_ + 1), 0);
        prev_.assign(size_t(rowBytes_), 0);
        filled_ = 0;
        rows_ = 0;
    }

    void take(unsigned char byte) {
        row_[size_t(filled_++)] = byte;
        if (filled_ < rowBytes_ + 1)
            return;
        unfilter();
        check();
        std::copy(row_.begin() + 1, row_.end(), prev_.begin());
        filled_ = 0;
        if (++rows_ == qint64(passHeight_[pass_]))
            startPass(pass_ + 1);
    }

    // Palette pictures have one byte or less a pixel: filters look one byte back.
    void unfilter() {
        unsigned char* x = row_.data() + 1;
        const unsigned char* b = prev_.data();
        for (qint64 i = 0; i < rowBytes_; ++i) {
            const int a = i > 0 ? x[i - 1] : 0, up = b[i], c = i > 0 ? b[i - 1] : 0;
            int add = 0;
            switch (row_[0]) {
            case 1:
                add = a;
                break;
            case 2:
                add = up;
                break;
            case 3:
                add = (a + up) / 2;
                break;
            case 4: {
                const int p = a + up - c, pa = std::abs(p - a), pb = std::abs(p - up),
                          pc = std::abs(p - c);
                add = pa <= pb && pa <= pc ? a : pb <= pc ? up : c;
                break;
            }
            default:
                break;
            }
            x[i] = static_cast<unsigned char>(x[i] + add);
        }
    }

    void check() {
        const unsigned char* x = row_.data() + 1;
        const int perByte = 8 / depth_, mask = (1 << depth_) - 1;
        for (quint32 i = 0; i < passWidth_[pass_]; ++i) {
            const int shift = 8 - depth_ * (int(i % perByte) + 1);
            if (((x[i / perByte] >> shift) & mask) >= entries_)
                ok_ = false;
        }
    }

    int depth_, entries_;
    int passes_ = 1, pass_ = 0;
    std::array<quint32, 7> passWidth_{}, passHeight_{};
    qint64 rowBytes_ = 0, filled_ = 0, rows_ = 0;
    std::vector<unsigned char> row_, prev_;
    z_stream zs_{};
    bool ok_ = true;
};

} // namespace

// Every chunk up to IEND is complete and its checksum right; IHDR comes first. Chunks
// besides the pixel data are few and small.
QString pngProblem(Reader& in) {
    unsigned char signature[8];
    if (!in.read(signature, 8) || std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8) != 0)
        return kCorrupt;
    std::array<unsigned char, 64 * 1024> buffer;
    int others = 0;
    quint32 width = 0, height = 0;
    int depth = 0, colourType = 0;
    bool interlaced = false;
    std::unique_ptr<PaletteIndices> palette;
    for (bool first = true;; first = false) {
        unsigned char head[8];
        if (!in.read(head, 8))
            return kCorrupt;
        const quint32 length = be32(head);
        const unsigned char* type = head + 4;
        if (length > 0x7FFFFFFFu || qint64(length) + 4 > in.left())
            return kCorrupt;
        if (first && (std::memcmp(type, "IHDR", 4) != 0 || length != 13))
            return kCorrupt;
        // Pixel data: IDAT, and fdAT for the frames of an animated PNG.
        if (std::memcmp(type, "IDAT", 4) != 0 && std::memcmp(type, "fdAT", 4) != 0) {
            if (++others > kMaxChunks)
                return QStringLiteral("too many chunks");
            if (length > kMaxMetadataBytes)
                return QStringLiteral("metadata larger than %1 MB").arg(kMaxMetadataBytes >> 20);
        }
        uLong crc = crc32(0, type, 4);
        const bool idat = std::memcmp(type, "IDAT", 4) == 0;
        for (qint64 rest = length; rest > 0;) {
            const qint64 n = std::min<qint64>(rest, qint64(buffer.size()));
            if (!in.read(buffer.data(), n))
                return kCorrupt;
            crc = crc32(crc, buffer.data(), uInt(n));
            if (first && rest == length) {
                width = be32(buffer.data());
                height = be32(buffer.data() + 4);
                depth = buffer[8];
                colourType = buffer[9];
                interlaced = buffer[12] == 1;
            }
            // A palette of fewer entries than its indices can name.
            if (std::memcmp(type, "PLTE", 4) == 0 && rest == length && colourType == 3 &&
                width <= (1u << 24) && qint64(width) * height <= kMaxCheckedPixels &&
                (depth == 1 || depth == 2 || depth == 4 || depth == 8) &&
                length / 3 < (1u << depth))
                palette = std::make_unique<PaletteIndices>(width, height, depth, interlaced,
                                                           int(length / 3));
            if (idat && palette && !palette->feed(buffer.data(), n))
                return kCorrupt;
            rest -= n;
        }
        unsigned char stored[4];
        if (!in.read(stored, 4) || be32(stored) != quint32(crc))
            return kCorrupt;
        if (std::memcmp(type, "IEND", 4) == 0)
            return {};
    }
}

} // namespace Imaging::FormatCheck
