#include "imaging.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "../pngchunks.h"

#include <zlib.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

class ImagingFiles : public testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QByteArray write(const QImage& image, const QString& name, const char* format,
                     QImageIOHandler::Transformations t = QImageIOHandler::TransformationNone) {
        QImageWriter writer(path(name), format);
        writer.setTransformation(t);
        EXPECT_TRUE(writer.write(image)) << qPrintable(writer.errorString());
        QFile f(path(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
};

// A landscape picture whose left half is red and right half blue.
QImage halves(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::blue);
    QPainter(&img).fillRect(0, 0, w / 2, h, Qt::red);
    return img;
}

const uint8_t* pixel(const PixelImage& p, int64_t x, int64_t y) {
    return p.bytes().data() + (y * p.width() + x) * 4;
}

TEST_F(ImagingFiles, OrientationTagIsApplied) {
    // Stored landscape 60 x 40, tagged "rotate 90 clockwise": the document is 40 x 60 with
    // red on top.
    write(halves(60, 40), "tagged.jpg", "jpeg", QImageIOHandler::TransformationRotate90);
    const auto d = Imaging::decodeFile(path("tagged.jpg"));
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 40);
    EXPECT_EQ(d.image->height(), 60);
    EXPECT_GT(pixel(*d.image, 20, 5)[0], 200);
    EXPECT_GT(pixel(*d.image, 20, 55)[2], 200);
}

TEST_F(ImagingFiles, TransparencyIsCompositedOverWhite) {
    QImage img(10, 10, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    img.setPixelColor(1, 1, QColor(255, 0, 0, 128));
    write(img, "alpha.png", "png");
    const auto d = Imaging::decodeFile(path("alpha.png"));
    ASSERT_TRUE(d.image);
    for (int64_t i = 0; i < 100; ++i)
        EXPECT_EQ(d.image->bytes()[i * 4 + 3], 255);
    const uint8_t* white = pixel(*d.image, 5, 5);
    EXPECT_EQ((std::array{white[0], white[1], white[2]}), (std::array<uint8_t, 3>{255, 255, 255}));
    const uint8_t* pink = pixel(*d.image, 1, 1);
    EXPECT_EQ(pink[0], 255);
    EXPECT_NEAR(pink[1], 127, 1);
    EXPECT_NEAR(pink[2], 127, 1);
}

TEST_F(ImagingFiles, LargePicturesAreScaledToTheCap) {
    QImage big = halves(6000, 4000);
    write(big, "big.jpg", "jpeg");
    auto d = Imaging::decodeFile(path("big.jpg"));
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 3072);
    EXPECT_EQ(d.image->height(), 2048);
    // Without a cap the same file decodes at its stored size.
    d = Imaging::decodeFile(path("big.jpg"), 0);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 6000);
    EXPECT_EQ(d.image->height(), 4000);

    // TIFF is decoded at full size before scaling: this needs the raised allocation limit.
    write(halves(4000, 6100), "tall.tif", "tiff");
    d = Imaging::decodeFile(path("tall.tif"));
    ASSERT_TRUE(d.image) << int(d.error);
    EXPECT_EQ(d.image->width(), 2014); // 4000 x 3072 / 6100, rounded
    EXPECT_EQ(d.image->height(), 3072);

    write(halves(800, 600), "small.png", "png");
    d = Imaging::decodeFile(path("small.png"));
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 800);
    EXPECT_EQ(d.image->height(), 600);
}

TEST_F(ImagingFiles, AtTheCapNothingIsScaled) {
    write(halves(3072, 3072), "cap.png", "png");
    const auto d = Imaging::decodeFile(path("cap.png"));
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 3072);
    EXPECT_EQ(pixel(*d.image, 1535, 100)[0], 255);
    EXPECT_EQ(pixel(*d.image, 1536, 100)[2], 255);
}

TEST_F(ImagingFiles, UnreadableInputsGiveTheirMessages) {
    QFile f(path("notes.txt"));
    f.open(QIODevice::WriteOnly);
    f.write("this is not an image\n");
    f.close();
    QFile(path("empty.png")).open(QIODevice::WriteOnly);

    EXPECT_EQ(Imaging::decodeFile(path("notes.txt")).error, Imaging::LoadError::NotAnImageFile);
    EXPECT_EQ(Imaging::decodeFile(path("empty.png")).error, Imaging::LoadError::NotAnImageFile);
    EXPECT_EQ(Imaging::decodeFile(path("missing.png")).error, Imaging::LoadError::NotAnImageFile);
    EXPECT_EQ(Imaging::decodeData("garbage bytes").error, Imaging::LoadError::NotImageData);
    EXPECT_EQ(Imaging::decodeData({}).error, Imaging::LoadError::NotImageData);
    EXPECT_EQ(Imaging::message(Imaging::LoadError::NotAnImageFile),
              "Couldn't read that file as an image.");
    EXPECT_EQ(Imaging::message(Imaging::LoadError::NotImageData), "Couldn't read that image.");
    EXPECT_EQ(Imaging::message(Imaging::LoadError::DecodeFailed), "Couldn't decode that image.");
}

TEST_F(ImagingFiles, TruncatedFilesFailToDecode) {
    QImage noisy(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x)
            noisy.setPixel(x, y, qRgb((x * 7) & 255, (y * 13) & 255, (x * y) & 255));
    for (const char* format : {"jpeg", "png"}) {
        const QByteArray whole = write(noisy, QString("whole.") + format, format);
        ASSERT_TRUE(Imaging::decodeData(whole).image) << format;
        const QByteArray cut = whole.left(whole.size() * 2 / 3);
        EXPECT_EQ(Imaging::decodeData(cut).error, Imaging::LoadError::DecodeFailed) << format;
        QFile f(path(QString("cut.") + format));
        f.open(QIODevice::WriteOnly);
        f.write(cut);
        f.close();
        EXPECT_EQ(Imaging::decodeFile(f.fileName()).error, Imaging::LoadError::DecodeFailed);
    }
}

// A tiny PNG that claims to be width x height pixels: a decompression bomb.
QByteArray bombPng(uint32_t width, uint32_t height) {
    QByteArray png = PngChunks::kSignature + PngChunks::header(width, height, 2);
    QByteArray zeros(1 << 20, '\0');
    QByteArray packed(compressBound(uLong(zeros.size())), '\0');
    uLongf n = uLongf(packed.size());
    compress2(reinterpret_cast<Bytef*>(packed.data()), &n,
              reinterpret_cast<const Bytef*>(zeros.constData()), uLong(zeros.size()), 9);
    png += PngChunks::chunk("IDAT", packed.left(qsizetype(n)));
    png += PngChunks::chunk("IEND", {});
    return png;
}

TEST(ImagingBombs, HugeClaimedSizesFailCleanly) {
    const auto d = Imaging::decodeData(bombPng(100000, 100000));
    EXPECT_FALSE(d.image);
    EXPECT_EQ(d.error, Imaging::LoadError::DecodeFailed);
}

TEST(ImagingConversion, RoundTripKeepsBytesAndForcesTheFourthByte) {
    std::vector<uint8_t> bytes(5 * 3 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 37);
    const PixelImage p(5, 3, bytes);
    const QImage q = Imaging::makeQImage(p);
    ASSERT_FALSE(q.isNull());
    EXPECT_EQ(q.format(), QImage::Format_RGBX8888);
    EXPECT_EQ(q.colorSpace(), Imaging::sRGB());
    const auto back = Imaging::fromQImage(q);
    ASSERT_TRUE(back);
    for (size_t i = 0; i < bytes.size(); ++i)
        EXPECT_EQ(back->bytes()[i], i % 4 == 3 ? 255 : bytes[i]) << i;
}

TEST(ImagingConversion, HalfTransparentRedOverWhite) {
    QImage img(2, 2, QImage::Format_ARGB32);
    img.fill(QColor(255, 0, 0, 128));
    const auto p = Imaging::fromQImage(img);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->bytes()[0], 255);
    EXPECT_NEAR(p->bytes()[1], 127, 1);
    EXPECT_EQ(p->bytes()[3], 255);
}

// The R, G, B bytes an external program reads from a PNG file, or empty when it cannot.
QByteArray externalRgb(const QStringList& command) {
    QProcess p;
    p.start(command.first(), command.mid(1));
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return p.readAllStandardOutput();
}

TEST_F(ImagingFiles, SavedPngIsEightBitRgbThatEveryReaderReadsAlike) {
    // A tiny picture, and noise large enough to need several IDAT chunks.
    for (const auto& [w, h] : {std::pair{7, 4}, std::pair{1, 1}, std::pair{1201, 803}}) {
        std::vector<uint8_t> bytes(size_t(w) * h * 4);
        uint32_t state = 12345;
        for (uint8_t& b : bytes)
            b = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
        const PixelImage p(w, h, bytes);
        const QString file = path(QStringLiteral("out%1.png").arg(w));
        ASSERT_EQ(Imaging::savePng(p, file), Imaging::SaveError::None);
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray whole = f.readAll();
        // The same rows deflated as a stream, band by band, as very large pictures are.
        QByteArray banded;
        QBuffer buffer(&banded);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(Imaging::encodePng({p.bytes().data(), w, h, int64_t(w) * 4}, buffer, 0));
        const QString bandedFile = path(QStringLiteral("banded%1.png").arg(w));
        QFile b(bandedFile);
        ASSERT_TRUE(b.open(QIODevice::WriteOnly) && b.write(banded) == banded.size());
        b.close();
        for (const auto& [png, file] : {std::pair{whole, file}, std::pair{banded, bandedFile}}) {
            EXPECT_EQ(png.mid(12, 4), "IHDR");
            EXPECT_EQ(png[24], 8) << "bit depth";
            EXPECT_EQ(png[25], 2) << "colour type RGB";

            QByteArray rgb;
            for (size_t i = 0; i < bytes.size(); ++i)
                if (i % 4 != 3)
                    rgb += char(bytes[i]);
            const auto back = Imaging::decodeData(png);
            ASSERT_TRUE(back.image);
            for (size_t i = 0; i < bytes.size(); ++i)
                ASSERT_EQ(back.image->bytes()[i], i % 4 == 3 ? 255 : bytes[i]) << i;
            EXPECT_EQ(
                externalRgb({"/usr/bin/python3", "-c",
                             "import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                             "assert im.mode == 'RGB'; sys.stdout.buffer.write(im.tobytes())",
                             file}),
                rgb)
                << "Python's reader, " << w << " x " << h;
            EXPECT_EQ(externalRgb({"convert", file, "-depth", "8", "rgb:-"}), rgb)
                << "ImageMagick's reader, " << w << " x " << h;
        }
    }
}

TEST_F(ImagingFiles, FailedSavesSayWhy) {
    const QImage img = Imaging::makeQImage(PixelImage(300, 300));
    EXPECT_EQ(Imaging::savePng(img, path("no/such/folder/x.png")),
              Imaging::SaveError::CannotCreate);
    EXPECT_EQ(Imaging::savePng(img, "/dev/full"), Imaging::SaveError::WriteFailed);
    EXPECT_FALSE(QFileInfo("/dev/full").isFile()) << "the device must stay a device";
    EXPECT_EQ(Imaging::message(Imaging::SaveError::CannotCreate), "Couldn't create the PNG file.");
    EXPECT_EQ(Imaging::message(Imaging::SaveError::WriteFailed), "Saving failed.");
}

TEST_F(ImagingFiles, SaveInAReadOnlyFolderLeavesTheOldFileAlone) {
    // The folder may not be written, the file in it may: no temporary file can be made.
    const QByteArray old = write(halves(50, 50), "photo.png", "png");
    QFile::setPermissions(path("photo.png"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadOther | QFileDevice::WriteOther);
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QImage picture = Imaging::makeQImage(PixelImage(20, 10));
    Imaging::SaveError error;
    if (geteuid() != 0) {
        error = Imaging::savePng(picture, path("photo.png"));
    } else {
        // Permissions do not bind root: save as nobody, in a child.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            _exit(int(Imaging::savePng(picture, path("photo.png"))));
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 100);
        error = Imaging::SaveError(WEXITSTATUS(status));
    }
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(error, Imaging::SaveError::CannotCreate);
    QFile f(path("photo.png"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), old);
}

TEST_F(ImagingFiles, SavingOverAFileReplacesItWhole) {
    write(halves(50, 50), "photo.png", "png");
    ASSERT_EQ(Imaging::savePng(Imaging::makeQImage(PixelImage(20, 10)), path("photo.png")),
              Imaging::SaveError::None);
    const auto d = Imaging::decodeFile(path("photo.png"));
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width(), 20);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "no temporary file left";
}

} // namespace
