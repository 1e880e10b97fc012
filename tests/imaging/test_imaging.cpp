#include "imaging.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace {

class ImagingFiles : public testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QByteArray write(const QImage& image, const QString& name, const char* format) {
        QImageWriter writer(path(name), format);
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

// Pictures are scaled so that their longer side is at most the cap (none for 0); one at
// the cap, or smaller, keeps every pixel as it is.
TEST_F(ImagingFiles, LargePicturesAreScaledToTheCap) {
    const struct {
        int w, h;
        const char* format;
        int cap, decodedW, decodedH;
    } cases[] = {
        {6000, 4000, "jpeg", Imaging::kMaxSide, 3072, 2048},
        {6000, 4000, "jpeg", 0, 6000, 4000},
        // TIFF is decoded at full size before scaling: this needs the raised allocation limit.
        {4000, 6100, "tiff", Imaging::kMaxSide, 2014, 3072}, // 4000 x 3072 / 6100, rounded
        {3072, 3072, "png", Imaging::kMaxSide, 3072, 3072},
        {800, 600, "png", Imaging::kMaxSide, 800, 600},
    };
    for (const auto& c : cases) {
        const QString name = QStringLiteral("%1x%2.%3").arg(c.w).arg(c.h).arg(c.format);
        write(halves(c.w, c.h), name, c.format);
        const auto d = Imaging::decodeFile(path(name), c.cap);
        ASSERT_TRUE(d.image) << qPrintable(name);
        EXPECT_EQ(d.image->width(), c.decodedW) << qPrintable(name);
        EXPECT_EQ(d.image->height(), c.decodedH) << qPrintable(name);
        if (c.format == std::string("png")) {
            EXPECT_EQ(pixel(*d.image, c.w / 2 - 1, 100)[0], 255) << qPrintable(name);
            EXPECT_EQ(pixel(*d.image, c.w / 2, 100)[2], 255) << qPrintable(name);
        }
    }
}

// Files that are no picture, or missing, and failed saves are checked with their messages
// through mirelo-erase (tests/cli); an empty file, and bytes dropped or pasted, here.
TEST_F(ImagingFiles, UnreadableInputsGiveTheirMessages) {
    QFile(path("empty.png")).open(QIODevice::WriteOnly);
    EXPECT_EQ(Imaging::decodeFile(path("empty.png")).error, Imaging::LoadError::NotAnImageFile);
    EXPECT_EQ(Imaging::decodeData("garbage bytes").error, Imaging::LoadError::NotImageData);
    EXPECT_EQ(Imaging::decodeData({}).error, Imaging::LoadError::NotImageData);
    EXPECT_EQ(Imaging::message(Imaging::LoadError::NotImageData), "Couldn't read that image.");
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
        // The same rows deflated as a stream, band by band, as very large pictures are.
        QByteArray banded;
        QBuffer buffer(&banded);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(Imaging::encodePng({p.bytes().data(), w, h, int64_t(w) * 4}, buffer, 0));
        const QString bandedFile = path(QStringLiteral("banded%1.png").arg(w));
        QFile b(bandedFile);
        ASSERT_TRUE(b.open(QIODevice::WriteOnly) && b.write(banded) == banded.size());
        b.close();
        QByteArray rgb;
        for (size_t i = 0; i < bytes.size(); ++i)
            if (i % 4 != 3)
                rgb += char(bytes[i]);
        // Python's reader checks for 8-bit RGB; both readers must see the same bytes.
        for (const QString& saved : {file, bandedFile}) {
            EXPECT_EQ(
                externalRgb({"/usr/bin/python3", "-c",
                             "import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                             "assert im.mode == 'RGB'; sys.stdout.buffer.write(im.tobytes())",
                             saved}),
                rgb)
                << "Python's reader, " << w << " x " << h;
            EXPECT_EQ(externalRgb({"convert", saved, "-depth", "8", "rgb:-"}), rgb)
                << "ImageMagick's reader, " << w << " x " << h;
        }
    }
}

TEST_F(ImagingFiles, SaveInAReadOnlyFolderLeavesTheOldFileAlone) {
    // The folder may not be written, the file in it may: no temporary file can be made.
    const QByteArray old = write(halves(50, 50), "photo.png", "png");
    QFile::setPermissions(path("photo.png"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadOther | QFileDevice::WriteOther);
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    const PixelImage picture(20, 10);
    const std::pair<Imaging::SaveError, std::function<Imaging::SaveError()>> saves[] = {
        {Imaging::SaveError::CannotCreate,
         [&] { return Imaging::savePng(Imaging::makeQImage(picture), path("photo.png")); }},
        {Imaging::SaveError::CannotCreateJpeg,
         [&] { return Imaging::saveJpeg(picture, path("photo.png")); }}};
    for (const auto& [expected, save] : saves) {
        Imaging::SaveError error;
        if (geteuid() != 0) {
            error = save();
        } else {
            // Permissions do not bind root: save as nobody, in a child.
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                if (setgid(65534) != 0 || setuid(65534) != 0)
                    _exit(100);
                _exit(int(save()));
            }
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status));
            ASSERT_NE(WEXITSTATUS(status), 100);
            error = Imaging::SaveError(WEXITSTATUS(status));
        }
        EXPECT_EQ(error, expected);
    }
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
