// Damaged and hostile files: each is refused with the decode message, cheaply, or decodes
// to the same bytes every time. The files are made here.
#include "imaging.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "../pngchunks.h"

namespace {

void be16(QByteArray& b, int v) {
    b.append(char(v >> 8));
    b.append(char(v));
}
using PngChunks::be32;
void le16(QByteArray& b, int v) {
    b.append(char(v));
    b.append(char(v >> 8));
}
void le32(QByteArray& b, quint32 v) {
    for (int s = 0; s < 32; s += 8)
        b.append(char(v >> s));
}

QByteArray encode(const QImage& image, const char* format, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image));
    return bytes;
}

QImage noise(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb((x * 5 + y) & 255, (y * 3) & 255, random.bounded(64)));
    return image;
}

void expectRefused(const QByteArray& bytes, const char* what) {
    const Imaging::Decoded d = Imaging::decodeData(bytes);
    EXPECT_FALSE(d.image) << what;
    EXPECT_EQ(d.error, Imaging::LoadError::DecodeFailed) << what;
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

TEST(HostileJpeg, ProgressiveCoefficientBombIsRefusedFromItsHeader) {
    // 32768 x 32768, four components, progressive: decoding it would need an 8 GB
    // coefficient buffer before the first pixel comes out.
    const QByteArray bomb = jpegHeader(0xC2, 32768, 32768, 4, QByteArray(8, 0));
    ASSERT_LT(bomb.size(), 200);
    const Imaging::Decoded d = Imaging::decodeData(bomb);
    EXPECT_EQ(d.error, Imaging::LoadError::DecodeFailed);
    EXPECT_EQ(d.reason, Imaging::budgetReason(Imaging::kDecodeBudget));
}

TEST(HostileJpeg, CorruptOrMissingEntropyDataIsRefused) {
    const QByteArray whole = encode(noise(300, 200), "jpeg");
    ASSERT_TRUE(Imaging::decodeData(whole).image);
    const QByteArray eoi("\xFF\xD9", 2);
    expectRefused(whole.left(whole.size() / 2) + eoi, "first half, then an end marker");
    expectRefused(jpegHeader(0xC0, 32000, 32000, 3, {}), "a huge header and an end marker");
    QByteArray scrambled = whole;
    const qsizetype scan = whole.indexOf("\xFF\xDA") + 20;
    for (qsizetype i = scan; i < whole.size() - 2; i += 97)
        if (uchar(scrambled[i]) != 0xFF && uchar(scrambled[i - 1]) != 0xFF)
            scrambled[i] = char(scrambled[i] ^ 0x5A);
    expectRefused(scrambled, "scrambled entropy-coded data");
}

// Inserts an Exif block whose orientation tag is `orientation` after the start marker.
QByteArray withOrientation(const QByteArray& jpeg, int orientation) {
    QByteArray tiff("MM\x00\x2A", 4);
    be32(tiff, 8);
    be16(tiff, 1);
    be16(tiff, 0x0112);
    be16(tiff, 3);
    be32(tiff, 1);
    be16(tiff, orientation);
    be16(tiff, 0);
    be32(tiff, 0);
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray app1("\xFF\xE1", 2);
    be16(app1, int(body.size()) + 2);
    return jpeg.left(2) + app1 + body + jpeg.mid(2);
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
        {"turned by its tag", withOrientation(encode(photo, "jpeg"), 6), 700},
        {"mirrored by its tag", withOrientation(encode(photo, "jpeg"), 2), Imaging::kMaxSide},
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

TEST(HostilePng, ChunkClaimingTwoGigabytesAndBadChecksumsAreRefused) {
    const QByteArray good = encode(noise(64, 48), "png");
    ASSERT_TRUE(Imaging::decodeData(good).image);
    const qsizetype afterHeader = 8 + 25;

    QByteArray claim;
    be32(claim, 0x7FFF0000u);
    claim += "tEXt";
    claim += QByteArray(300000, 'A');
    expectRefused(good.left(afterHeader) + claim + good.mid(afterHeader), "a 2 GB text chunk");

    QByteArray damaged = good;
    damaged[afterHeader + 20] = char(damaged[afterHeader + 20] ^ 1);
    expectRefused(damaged, "pixel data failing its checksum");

    QByteArray note = PngChunks::chunk("tEXt", "Comment\0hello");
    note[note.size() - 1] = char(note[note.size() - 1] ^ 1);
    expectRefused(good.left(afterHeader) + note + good.mid(afterHeader),
                  "a text chunk failing its checksum");
}

// A GIF of w x h pixels of palette entries below 128, its LZW data written with 8-bit
// codes and a clear code before the table would need wider ones.
QByteArray gif(int w, int h) {
    QByteArray out("GIF89a", 6);
    le16(out, w);
    le16(out, h);
    out += QByteArray("\xF6\x00\x00", 3); // global table of 128 entries
    for (int i = 0; i < 128; ++i) {
        out.append(char(i * 2));
        out.append(char(255 - i));
        out.append(char(i));
    }
    out += QByteArray("\x2C\x00\x00\x00\x00", 5);
    le16(out, w);
    le16(out, h);
    out += QByteArray("\x00\x07", 2);
    QByteArray codes;
    auto put = [&codes](int c) { codes.append(char(c)); };
    put(128);
    for (int i = 0, sinceClear = 0; i < w * h; ++i, ++sinceClear) {
        if (sinceClear == 120) {
            put(128);
            sinceClear = 0;
        }
        put((i * 7 + i / w) & 127);
    }
    put(129);
    for (qsizetype i = 0; i < codes.size(); i += 255) {
        const QByteArray block = codes.mid(i, 255);
        out.append(char(block.size()));
        out += block;
    }
    return out + QByteArray("\x00\x3B", 2);
}

TEST(HostileFiles, TruncatedBmpAndGifAreRefused) {
    const QImage picture = noise(8, 8);
    const QByteArray bmp = encode(picture, "bmp");
    ASSERT_TRUE(Imaging::decodeData(bmp).image);
    // Headers, palette if any, and one row of the eight.
    expectRefused(bmp.left(bmp.size() - 7 * 8 * 3), "a BMP cut after its first row");

    const QByteArray whole = gif(64, 48);
    ASSERT_TRUE(Imaging::decodeData(whole).image);
    expectRefused(whole.left(whole.size() / 2), "a GIF cut in half");
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
    const int offset = 14 + 40 + int(palette.size());
    QByteArray bmp("BM", 2);
    le32(bmp, quint32(offset + runs.size()));
    le32(bmp, 0);
    le32(bmp, quint32(offset));
    for (quint32 v : {40u, 8u, 8u})
        le32(bmp, v);
    le16(bmp, 1);
    le16(bmp, 8);
    for (quint32 v : {1u, quint32(runs.size()), 2835u, 2835u, 2u, 2u})
        le32(bmp, v);
    bmp += palette + runs;

    const Imaging::Decoded d = Imaging::decodeData(bmp);
    ASSERT_TRUE(d.image);
    for (int64_t y = 0; y < 8; ++y) {
        for (int64_t x = 0; x < 8; ++x) {
            const uint8_t* p = d.image->bytes().data() + (y * 8 + x) * 4;
            const std::array<uint8_t, 3> expected =
                x < 2 ? std::array<uint8_t, 3>{255, 255, 255} : std::array<uint8_t, 3>{16, 32, 48};
            EXPECT_EQ((std::array{p[0], p[1], p[2]}), expected) << x << "," << y;
        }
    }
}

TEST(HostileFiles, OnlyAFileNamedWbmpIsTakenForOne) {
    // Type 0, no extension headers, 8 x 8, then exactly eight bytes of pixels: any bytes
    // of this shape pass for a WBMP, which has no signature.
    const QByteArray wbmp = QByteArray("\x00\x00\x08\x08", 4) + QByteArray(8, '\x55');
    QTemporaryDir dir;
    auto decodeAs = [&](const QString& name) {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(wbmp);
        f.close();
        return Imaging::decodeFile(f.fileName());
    };
    EXPECT_TRUE(decodeAs("icon.wbmp").image);
    EXPECT_EQ(decodeAs("photo.jpg").error, Imaging::LoadError::NotAnImageFile);
    EXPECT_FALSE(Imaging::decodeData(wbmp).image);
}

} // namespace

void expectRefusedBecause(const QByteArray& bytes, const QString& reason) {
    const Imaging::Decoded d = Imaging::decodeData(bytes);
    EXPECT_FALSE(d.image) << qPrintable(reason);
    EXPECT_EQ(d.reason, reason);
}

// Metadata is read before the picture: thousands of markers or chunks are fine, a flood is
// refused without reading it all, and no single chunk of it may take a gigabyte.
TEST(HostileMetadata, FloodsAndHugeChunksAreRefused) {
    const QByteArray jpeg = encode(noise(64, 48), "jpg");
    QByteArray comments;
    for (int i = 0; i < 200000; ++i)
        comments += QByteArray("\xFF\xFE\x00\x03x", 5);
    expectRefusedBecause(jpeg.left(2) + comments + jpeg.mid(2), "too many markers");
    EXPECT_TRUE(Imaging::decodeData(jpeg.left(2) + comments.left(5 * 3000) + jpeg.mid(2)).image);

    const QByteArray png = encode(noise(64, 48), "png");
    const qsizetype afterHeader = 8 + 25;
    const QByteArray text = PngChunks::chunk("tEXt", QByteArray("Comment\0x", 9));
    QByteArray texts;
    for (int i = 0; i < 12000; ++i)
        texts += text;
    expectRefusedBecause(png.left(afterHeader) + texts + png.mid(afterHeader), "too many chunks");
    EXPECT_TRUE(Imaging::decodeData(png.left(afterHeader) + texts.left(text.size() * 3000) +
                                    png.mid(afterHeader))
                    .image);
    const QByteArray exif = PngChunks::chunk("eXIf", QByteArray(9 << 20, 'M'));
    expectRefusedBecause(png.left(afterHeader) + exif + png.mid(afterHeader),
                         "metadata larger than 8 MB");
}

// 16-bit and floating-point pictures are converted whole before they are scaled down: the
// budget counts that copy, so a small file cannot take gigabytes, while photos of such
// depths that fit still open.
TEST(HostileBudget, DeepPicturesAreWeighedWithTheirScalingCopy) {
    expectRefusedBecause(PngChunks::undecodable(12200, 12200, 0, 16),
                         Imaging::budgetReason(Imaging::kDecodeBudget));
    expectRefusedBecause(PngChunks::undecodable(8600, 8600, 6, 16),
                         Imaging::budgetReason(Imaging::kDecodeBudget));
    const QSize photo(6000, 4000);
    const QSize scaled = Imaging::cappedSize(photo, Imaging::kMaxSide);
    EXPECT_LE(Imaging::readerPeakBytes("png", QImage::Format_RGBA64, photo, scaled) +
                  Imaging::decodedBytes(photo, scaled),
              Imaging::kDecodeBudget);
}

// An animated WebP is composed on a canvas its reader clears only when the file announces
// transparency; on an opaque canvas, a first frame smaller than it would leave heap
// memory in the picture.
TEST(HostileWebp, AnOpaqueAnimationMustCoverItsCanvas) {
    const QByteArray smallFrame = QByteArray::fromHex(
        "524946465000000057454250565038580a00000002000000070000070000414e494d06000000ffffffff00"
        "00414e4d4624000000000000000000000000000000640000005650384c0c0000002f000000002863b58adc"
        "ff00");
    expectRefusedBecause(smallFrame, "a first frame smaller than the picture");
    const QByteArray wholeFrame = QByteArray::fromHex(
        "524946465000000057454250565038580a00000002000000070000070000414e494d06000000ffffffff00"
        "00414e4d4624000000000000000000070000070000640000005650384c0c0000002f07c001002863b58adc"
        "ff00");
    const Imaging::Decoded d = Imaging::decodeData(wholeFrame);
    ASSERT_TRUE(d.image);
    const auto bytes = d.image->bytes();
    for (size_t i = 0; i < bytes.size(); i += 4)
        ASSERT_EQ(std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + 3),
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3));
}

// Readers that would show wrong pixels and call the picture good: samples above a Netpbm
// maximum wrap around, short X pixmap rows are padded, palette indices beyond the palette
// take its first colour. Such files are refused; their valid forms decode.
TEST(HostileFiles, SamplesOutsideTheirRangeAreRefused) {
    expectRefusedBecause(QByteArray("P5 2 2 100\n") + QByteArray("\x10\x20\x30\xC8", 4),
                         "corrupt or incomplete data");
    EXPECT_TRUE(Imaging::decodeData("P2 2 2 100\n0 50\n99 100\n").image);

    QImage icon(6, 4, QImage::Format_RGB32);
    icon.fill(qRgb(10, 200, 30));
    const QByteArray xpm = encode(icon, "xpm");
    ASSERT_TRUE(Imaging::decodeData(xpm).image);
    const qsizetype lastRow = xpm.lastIndexOf("\"", xpm.lastIndexOf("\"") - 1);
    expectRefusedBecause(xpm.left(lastRow + 3) + xpm.mid(xpm.lastIndexOf("\"")),
                         "corrupt or incomplete data");

    QImage palette(7, 5, QImage::Format_Indexed8);
    palette.setColorTable({qRgb(0, 0, 0), qRgb(90, 0, 0), qRgb(0, 90, 0), qRgb(0, 0, 90)});
    palette.fill(2);
    ASSERT_TRUE(Imaging::decodeData(encode(palette, "png")).image);
    QByteArray rows;
    for (int y = 0; y < 5; ++y)
        rows += QByteArray(1, '\0') + QByteArray(7, char(y == 4 ? 200 : 1)); // filter 0
    QByteArray plte;
    for (QRgb c : palette.colorTable())
        plte.append(char(qRed(c))).append(char(qGreen(c))).append(char(qBlue(c)));
    expectRefusedBecause(
        PngChunks::kSignature + PngChunks::header(7, 5, 3) + PngChunks::chunk("PLTE", plte) +
            PngChunks::chunk("IDAT", qCompress(rows).mid(4)) + PngChunks::chunk("IEND", {}),
        "corrupt or incomplete data");
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

// A TGA has no end marker: a file cut short must not pass with its missing rows blank.
TEST(HostileFiles, TruncatedTgaIsRefused) {
    QByteArray tga(18, '\0');
    tga[2] = 2;                             // uncompressed true colour
    tga[12] = 8, tga[14] = 8, tga[16] = 24; // 8 x 8, 24 bits
    for (int i = 0; i < 8 * 8; ++i)
        tga += QByteArray("\x20\x80\xE0", 3);
    QTemporaryDir dir;
    auto decodeAs = [&](const QByteArray& bytes) {
        QFile f(dir.filePath("picture.tga"));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        f.close();
        return Imaging::decodeFile(f.fileName());
    };
    // The reader takes only files with the closing footer of its second version.
    const QByteArray footer = QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.\0", 18);
    ASSERT_TRUE(decodeAs(tga + footer).image);
    EXPECT_FALSE(decodeAs(tga.left(18 + 3 * 8 * 5) + footer).image);
    EXPECT_FALSE(decodeAs(tga.left(18 + 3 * 8 * 5)).image);
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
