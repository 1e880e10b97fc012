// Damaged and hostile files: each is refused with the decode message and its reason,
// cheaply, or decodes to the same bytes every time. The files are made here.
#include "imaging.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "../imagebytes.h"

namespace {

using ImageBytes::be16;
using ImageBytes::be32;
using ImageBytes::chunk;
using ImageBytes::encode;

void le16(QByteArray& b, int v) {
    b.append(char(v));
    b.append(char(v >> 8));
}
void le32(QByteArray& b, quint32 v) {
    for (int s = 0; s < 32; s += 8)
        b.append(char(v >> s));
}

QImage noise(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb((x * 5 + y) & 255, (y * 3) & 255, random.bounded(64)));
    return image;
}

// A JPEG header (one 8-bit quantisation table, one DC Huffman table) for a picture of the
// given size and component count, then a scan header and `data`.
QByteArray jpegHeader(int marker, int w, int h, int components, const QByteArray& data) {
    auto segment = [](QByteArray& out, int m, const QByteArray& body) {
        out.append(char(0xFF));
        out.append(char(m));
        be16(out, int(body.size()) + 2);
        out += body;
    };
    QByteArray out("\xFF\xD8", 2);
    segment(out, 0xDB, QByteArray(1, 0) + QByteArray(64, 1));
    QByteArray frame(1, 8);
    be16(frame, h);
    be16(frame, w);
    frame.append(char(components));
    for (int c = 0; c < components; ++c)
        frame.append(QByteArray::fromRawData("\x01\x11\x00\x02\x11\x00\x03\x11\x00\x04\x11\x00", 12)
                         .mid(c * 3, 3));
    segment(out, marker, frame);
    segment(out, 0xC4, QByteArray(1, 0) + QByteArray(1, 1) + QByteArray(15, 0) + QByteArray(1, 0));
    QByteArray scan(1, char(components));
    for (int c = 0; c < components; ++c)
        scan.append(QByteArray::fromRawData("\x01\x00\x02\x00\x03\x00\x04\x00", 8).mid(c * 2, 2));
    scan.append(QByteArray(3, 0)); // DC only
    segment(out, 0xDA, scan);
    return out + data + QByteArray("\xFF\xD9", 2);
}

TEST(HostileJpeg, ValidFilesGiveTheBytesOfQtsOwnReader) {
    const QImage photo = noise(1500, 900);
    QImage grey = photo.convertToFormat(QImage::Format_Grayscale8);
    const struct {
        const char* what;
        QByteArray bytes;
        int maxSide;
    } cases[] = {
        {"baseline", encode(photo, "jpeg"), Imaging::kMaxSide},
        {"progressive", encode(photo, "jpeg", true), Imaging::kMaxSide},
        {"grey", encode(grey, "jpeg"), Imaging::kMaxSide},
        {"scaled while decoding", encode(photo, "jpeg"), 700},
        {"turned by its tag", ImageBytes::withOrientation(encode(photo, "jpeg"), 6), 700},
        {"mirrored by its tag", ImageBytes::withOrientation(encode(photo, "jpeg"), 2),
         Imaging::kMaxSide},
    };
    for (const auto& c : cases) {
        QByteArray copy = c.bytes;
        QBuffer buffer(&copy);
        buffer.open(QIODevice::ReadOnly);
        QImageReader qt(&buffer, "jpeg");
        qt.setAutoTransform(true);
        const QSize scaled = Imaging::cappedSize(qt.size(), c.maxSide);
        if (scaled != qt.size())
            qt.setScaledSize(scaled);
        const QImage expected = qt.read();
        ASSERT_FALSE(expected.isNull()) << c.what;

        QBuffer again(&copy);
        again.open(QIODevice::ReadOnly);
        QImageReader reader(&again);
        ASSERT_TRUE(Imaging::canOpen(reader));
        const QImage ours = Imaging::readImage(reader, c.maxSide).image;
        EXPECT_EQ(ours, expected) << c.what;
    }
}

// Each damaged file next to its undamaged form, which decodes, so that the refusal is the
// damage's doing.
TEST(HostileFiles, DamagedFilesAreRefusedForTheirReason) {
    const QString corrupt = "corrupt or incomplete data";
    const QString budget = Imaging::budgetReason(Imaging::kDecodeBudget);
    const QByteArray jpeg = encode(noise(300, 200), "jpeg");
    const QByteArray png = encode(noise(64, 48), "png");
    const qsizetype afterHeader = 8 + 25;
    auto intoPng = [&](const QByteArray& chunks) {
        return png.left(afterHeader) + chunks + png.mid(afterHeader);
    };
    const QByteArray bmp = encode(noise(8, 8), "bmp");
    const QByteArray gif = ImageBytes::gif(64, 48);

    QByteArray claim; // a text chunk that says it holds 2 GB
    be32(claim, 0x7FFF0000u);
    claim += "tEXt" + QByteArray(300000, 'A');
    QByteArray damaged = png;
    damaged[afterHeader + 20] = char(damaged[afterHeader + 20] ^ 1);
    QByteArray note = chunk("tEXt", ImageBytes::raw("Comment\0hello"));
    note[note.size() - 1] = char(note[note.size() - 1] ^ 1);
    QByteArray scrambled = jpeg;
    for (qsizetype i = jpeg.indexOf("\xFF\xDA") + 20; i < jpeg.size() - 2; i += 97)
        if (uchar(scrambled[i]) != 0xFF && uchar(scrambled[i - 1]) != 0xFF)
            scrambled[i] = char(scrambled[i] ^ 0x5A);

    // Metadata is read before the picture: thousands of markers or chunks are fine, a
    // flood is refused without reading it all, and no single chunk may take a gigabyte.
    QByteArray comments;
    for (int i = 0; i < 200000; ++i)
        comments += QByteArray("\xFF\xFE\x00\x03x", 5);
    const QByteArray text = chunk("tEXt", ImageBytes::raw("Comment\0x"));
    QByteArray texts;
    for (int i = 0; i < 12000; ++i)
        texts += text;

    // Readers that would show wrong pixels and call the picture good: samples above a
    // Netpbm maximum wrap around, short X pixmap rows are padded, palette indices beyond
    // the palette take its first colour.
    QImage icon(6, 4, QImage::Format_RGB32);
    icon.fill(qRgb(10, 200, 30));
    const QByteArray xpm = encode(icon, "xpm");
    const qsizetype lastRow = xpm.lastIndexOf("\"", xpm.lastIndexOf("\"") - 1);
    QImage palette(7, 5, QImage::Format_Indexed8);
    palette.setColorTable({qRgb(0, 0, 0), qRgb(90, 0, 0), qRgb(0, 90, 0), qRgb(0, 0, 90)});
    palette.fill(2);
    QByteArray rows;
    for (int y = 0; y < 5; ++y)
        rows += QByteArray(1, '\0') + QByteArray(7, char(y == 4 ? 200 : 1)); // filter 0
    QByteArray plte;
    for (QRgb c : palette.colorTable())
        plte.append(char(qRed(c))).append(char(qGreen(c))).append(char(qBlue(c)));

    for (const QByteArray& good : {jpeg, png, bmp, gif, xpm, encode(palette, "png"),
                                   QByteArray("P2 2 2 100\n0 50\n99 100\n"),
                                   jpeg.left(2) + comments.left(5 * 3000) + jpeg.mid(2),
                                   intoPng(texts.left(text.size() * 3000))})
        ASSERT_TRUE(Imaging::decodeData(good).image) << good.left(8).toHex().constData();

    const struct {
        const char* what;
        QByteArray bytes;
        QString reason;
    } cases[] = {
        {"a JPEG cut short", jpeg.left(jpeg.size() * 2 / 3), corrupt},
        {"a JPEG's first half, then an end marker", jpeg.left(jpeg.size() / 2) + "\xFF\xD9",
         corrupt},
        {"scrambled entropy-coded data", scrambled, corrupt},
        {"a huge JPEG header and an end marker", jpegHeader(0xC0, 32000, 32000, 3, {}), corrupt},
        // Decoding it would need an 8 GB coefficient buffer before the first pixel.
        {"a progressive 32768 x 32768 JPEG of four components",
         jpegHeader(0xC2, 32768, 32768, 4, QByteArray(8, 0)), budget},
        {"a PNG cut short", png.left(png.size() * 2 / 3), corrupt},
        {"a PNG that claims 100000 x 100000 pixels", ImageBytes::undecodablePng(100000, 100000, 2),
         "larger than 2^30 pixels"},
        {"a 2 GB text chunk", intoPng(claim), corrupt},
        {"pixel data failing its checksum", damaged, corrupt},
        {"a text chunk failing its checksum", intoPng(note), corrupt},
        {"a BMP cut after its first row", bmp.left(bmp.size() - 7 * 8 * 3), corrupt},
        {"a GIF cut in half", gif.left(gif.size() / 2), corrupt},
        {"too many JPEG markers", jpeg.left(2) + comments + jpeg.mid(2), "too many markers"},
        {"too many PNG chunks", intoPng(texts), "too many chunks"},
        {"a 9 MB Exif chunk", intoPng(chunk("eXIf", QByteArray(9 << 20, 'M'))),
         "metadata larger than 8 MB"},
        // 16-bit pictures are converted whole before they are scaled down: the budget
        // counts that copy, so a small file cannot take gigabytes.
        {"a 16-bit grey PNG", ImageBytes::undecodablePng(12200, 12200, 0, 16), budget},
        {"a 16-bit RGBA PNG", ImageBytes::undecodablePng(8600, 8600, 6, 16), budget},
        {"a sample above the Netpbm maximum",
         QByteArray("P5 2 2 100\n") + QByteArray("\x10\x20\x30\xC8", 4), corrupt},
        {"a short X pixmap row", xpm.left(lastRow + 3) + xpm.mid(xpm.lastIndexOf("\"")), corrupt},
        {"a palette index beyond the palette",
         ImageBytes::pngStart(7, 5, 3) + chunk("PLTE", plte) +
             chunk("IDAT", qCompress(rows).mid(4)) + chunk("IEND", {}),
         corrupt},
        // An animated WebP is composed on a canvas its reader clears only when the file
        // announces transparency; on an opaque canvas, a first frame smaller than it would
        // leave heap memory in the picture.
        {"an opaque WebP animation whose first frame leaves a gap",
         ImageBytes::opaqueAnimatedWebp(false), "a first frame smaller than the picture"},
    };
    for (const auto& c : cases) {
        const Imaging::Decoded d = Imaging::decodeData(c.bytes);
        EXPECT_FALSE(d.image) << c.what;
        EXPECT_EQ(d.error, Imaging::LoadError::DecodeFailed) << c.what;
        EXPECT_EQ(d.reason, c.reason) << c.what;
    }
}

TEST(HostileFiles, RunLengthBmpLeavesSkippedPixelsAtPaletteEntryZero) {
    // 8 x 8, 8-bit run-length coded: every row is two pixels of entry 1, then end of line.
    QByteArray runs;
    for (int y = 0; y < 8; ++y)
        runs += QByteArray("\x02\x01\x00\x00", 4);
    runs += QByteArray("\x00\x01", 2);
    QByteArray palette;
    le32(palette, 0x00102030); // entry 0: red 0x10, green 0x20, blue 0x30
    le32(palette, 0x00FFFFFF);
    const quint32 offset = 14 + 40 + quint32(palette.size());
    QByteArray bmp("BM", 2); // file size, reserved, pixel offset; then the info header
    for (quint32 v : {offset + quint32(runs.size()), 0u, offset, 40u, 8u, 8u})
        le32(bmp, v);
    le16(bmp, 1);
    le16(bmp, 8);
    for (quint32 v : {1u, quint32(runs.size()), 2835u, 2835u, 2u, 2u})
        le32(bmp, v);
    bmp += palette + runs;

    const Imaging::Decoded d = Imaging::decodeData(bmp);
    ASSERT_TRUE(d.image);
    for (int64_t i = 0; i < 64; ++i) {
        const uint8_t* p = d.image->bytes().data() + i * 4;
        const std::array<uint8_t, 3> expected =
            i % 8 < 2 ? std::array<uint8_t, 3>{255, 255, 255} : std::array<uint8_t, 3>{16, 32, 48};
        EXPECT_EQ((std::array{p[0], p[1], p[2]}), expected) << "pixel " << i;
    }
}

// Photos of 16-bit depth that fit the budget, with their scaling copy, still open.
TEST(HostileFiles, DeepPhotosFitTheBudget) {
    const QSize photo(6000, 4000);
    const QSize scaled = Imaging::cappedSize(photo, Imaging::kMaxSide);
    EXPECT_LE(Imaging::readerPeakBytes("png", QImage::Format_RGBA64, photo, scaled) +
                  Imaging::decodedBytes(photo, scaled),
              Imaging::kDecodeBudget);
}

// An opaque WebP animation whose first frame covers the canvas decodes to that frame.
TEST(HostileFiles, AnOpaqueAnimationCoveringItsCanvasDecodes) {
    const Imaging::Decoded d = Imaging::decodeData(ImageBytes::opaqueAnimatedWebp(true));
    ASSERT_TRUE(d.image);
    const auto bytes = d.image->bytes();
    for (size_t i = 0; i < bytes.size(); i += 4)
        ASSERT_EQ(std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + 3),
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3));
}

// A profile whose curves map every grey to white (a gamma of zero or below) would turn
// the photo white; it is ignored, and the picture taken as untagged.
TEST(HostileFiles, ABrokenColourProfileIsIgnored) {
    QImage tagged = noise(40, 30);
    const auto untagged = Imaging::decodeData(encode(tagged, "png")).image;
    for (float gamma : {0.0f, -2.2f}) {
        tagged.setColorSpace(
            QColorSpace(QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::Gamma, gamma));
        const auto decoded = Imaging::decodeData(encode(tagged, "png")).image;
        ASSERT_TRUE(decoded && untagged);
        EXPECT_EQ(*decoded, *untagged) << gamma;
    }
}

// Decodes bytes saved under the given file name.
Imaging::Decoded decodeAs(const QString& name, const QByteArray& bytes) {
    QTemporaryDir dir;
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    f.close();
    return Imaging::decodeFile(f.fileName());
}

// Formats without a signature. Any bytes of a WBMP's shape (type 0, no extension headers,
// 8 x 8, then exactly eight bytes of pixels) pass for one, so only a file named so is
// taken for one. A TGA has no end marker: a file cut short must not pass with its missing
// rows blank.
TEST(HostileFiles, FormatsWithoutASignature) {
    const QByteArray wbmp = QByteArray("\x00\x00\x08\x08", 4) + QByteArray(8, '\x55');
    EXPECT_TRUE(decodeAs("icon.wbmp", wbmp).image);
    EXPECT_EQ(decodeAs("photo.jpg", wbmp).error, Imaging::LoadError::NotAnImageFile);
    EXPECT_FALSE(Imaging::decodeData(wbmp).image);

    QByteArray tga(18, '\0');
    tga[2] = 2;                             // uncompressed true colour
    tga[12] = 8, tga[14] = 8, tga[16] = 24; // 8 x 8, 24 bits
    for (int i = 0; i < 8 * 8; ++i)
        tga += QByteArray("\x20\x80\xE0", 3);
    // The reader takes only files with the closing footer of its second version.
    const QByteArray footer = QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.\0", 18);
    ASSERT_TRUE(decodeAs("picture.tga", tga + footer).image);
    EXPECT_FALSE(decodeAs("picture.tga", tga.left(18 + 3 * 8 * 5) + footer).image);
    EXPECT_FALSE(decodeAs("picture.tga", tga.left(18 + 3 * 8 * 5)).image);
}

// A decode nobody will use stops part-way, on the thread that was told to, for baseline
// and progressive files alike.
TEST(HostileJpeg, AnAbandonedDecodeStops) {
    for (bool progressive : {false, true}) {
        const QByteArray jpeg = encode(noise(640, 480), "jpg", progressive);
        const std::atomic<bool> stop{true};
        {
            const Imaging::AbandonWhen abandon(stop);
            EXPECT_FALSE(Imaging::decodeData(jpeg).image) << progressive;
        }
        EXPECT_TRUE(Imaging::decodeData(jpeg).image) << progressive;
    }
}

} // namespace
