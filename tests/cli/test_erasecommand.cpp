// Runs the real mirelo-erase executable and checks what a script would see: exit
// status, messages and the written file.
#include "erasecommand.h"
#include "imaging.h"
#include "inpainter.h"
#include "largepages.h"
#include "workergang.h"

#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include "../imagebytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include <sys/stat.h>

namespace {

struct Result {
    int status;
    QString out;
    QString err;
};

Result runTool(const QStringList& args) {
    QProcess p;
    p.start(MIRELO_ERASE_EXE, args);
    EXPECT_TRUE(p.waitForFinished(120000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

class EraseTool : public testing::Test {
protected:
    QTemporaryDir dir;
    QString photo, mask, output;

    void SetUp() override {
        photo = dir.filePath("photo.png");
        mask = dir.filePath("mask.png");
        output = dir.filePath("out.png");
        QImage img(240, 160, QImage::Format_RGB32);
        for (int y = 0; y < 160; ++y)
            for (int x = 0; x < 240; ++x)
                img.setPixel(x, y, qRgb((x * 3) & 255, (y * 5) & 255, ((x ^ y) * 2) & 255));
        QPainter(&img).fillRect(100, 60, 30, 30, Qt::black); // the object to remove
        ASSERT_TRUE(img.save(photo));
        writeMask(240, 160, mask);
    }
    QString save(const QString& name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        return f.fileName();
    }
    static void writeMask(int w, int h, const QString& path) {
        QImage m(w, h, QImage::Format_Grayscale8);
        m.fill(0);
        QPainter(&m).fillRect(96, 56, 38, 38, QColor(255, 255, 255));
        ASSERT_TRUE(m.save(path));
    }
};

TEST_F(EraseTool, ErasesAndWritesWhatTheEngineGives) {
    const auto input = Imaging::decodeFile(photo);
    std::vector<uint8_t> maskBytes(240 * 160, 0);
    for (int y = 56; y < 94; ++y)
        for (int x = 96; x < 134; ++x)
            maskBytes[y * 240 + x] = 255;
    // The standard fill by default; --fill chooses either.
    const std::pair<QStringList, Inpainter::Method> fills[] = {
        {{}, Inpainter::Method::Standard},
        {{"--fill", "texture"}, Inpainter::Method::Texture},
        {{"--fill=standard"}, Inpainter::Method::Standard}};
    for (const auto& [option, method] : fills) {
        const Result r =
            runTool(QStringList{photo, mask, "-o", output, "--threads", "2", "--quiet"} + option);
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);

        const auto written = Imaging::decodeFile(output);
        ASSERT_TRUE(written.image);
        const PixelImage expected = Inpainter::run(*input.image, maskBytes, {}, 2, method);
        EXPECT_EQ(*written.image, expected)
            << "the tool's result must be the engine's, byte for byte: "
            << qPrintable(option.join(' '));
        EXPECT_NE(*written.image, *input.image);
        // The black square is gone.
        const uint8_t* centre = written.image->bytes().data() + (75 * 240 + 115) * 4;
        EXPECT_GT(centre[0] + centre[1] + centre[2], 60);
    }
}

TEST_F(EraseTool, VerboseReportsTimes) {
    const Result r = runTool({photo, mask, "--output", output, "--verbose"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains("decode")) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains("erase"));
    EXPECT_TRUE(r.err.contains("encode"));
}

TEST_F(EraseTool, HelpAndUsageErrors) {
    Result r = runTool({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.startsWith("Usage: mirelo-erase"));
    for (const QStringList& bad : {QStringList{},
                                   {photo, mask},
                                   {photo, "-o", output},
                                   {photo, mask, "-o"},
                                   {photo, mask, "-o", output, "--threads", "0"},
                                   {photo, mask, "-o", output, "--fill", "smooth"},
                                   {photo, mask, "-o", output, "--bogus"}}) {
        r = runTool(bad);
        EXPECT_EQ(r.status, 2) << qPrintable(bad.join(' '));
        EXPECT_TRUE(r.err.startsWith("mirelo-erase: ")) << qPrintable(r.err);
        EXPECT_FALSE(QFile::exists(output));
    }
}

// Status 1 and one line saying what went wrong, and no file written.
TEST_F(EraseTool, FailuresSayWhatWentWrongInOneLine) {
    const QString junk = save("junk.png", "not a picture");
    const QString small = dir.filePath("small.png");
    writeMask(200, 160, small);
    QByteArray damaged = ImageBytes::fileBytes(photo);
    damaged[60] = char(damaged[60] ^ 1); // inside the pixel data: its checksum fails
    const QString broken = save("broken.png", damaged);
    const QString huge = save("huge.png", ImageBytes::undecodablePng(40000, 40000));
    // Its header says 200 x 160; were it decoded, it would fail to decode.
    const QString wrongMask = save("wrongmask.png", ImageBytes::undecodablePng(200, 160));

    struct Case {
        QStringList args;
        QString message;
    };
    const Case cases[] = {
        {{junk, mask, "-o", output}, "Couldn't read that file as an image."},
        {{dir.filePath("nothing.png"), mask, "-o", output}, "Couldn't read that file as an image."},
        {{photo, junk, "-o", output}, "Couldn't read the mask"},
        {{photo, small, "-o", output},
         "The mask is 200 x 160 pixels but the image decodes to 240 x 160 pixels."},
        {{photo, wrongMask, "-o", output},
         "The mask is 200 x 160 pixels but the image decodes to 240 x 160 pixels."},
        {{broken, mask, "-o", output}, "Couldn't decode that image. (corrupt or incomplete data)"},
        {{huge, mask, "-o", output}, "Couldn't decode that image. (larger than 2^30 pixels)"},
        {{photo, mask, "-o", dir.filePath("missing/out.png")},
         "Couldn't create the PNG file. (no such folder)"},
        {{photo, mask, "-o", dir.filePath("missing/out.jpg")},
         "Couldn't create the JPEG file. (no such folder)"},
        {{photo, mask, "-o", "/dev/full"}, "Saving failed. (no space left on the device)"},
        // Refused before the erase, not after it.
        {{photo, mask, "-o", dir.filePath(QString(300, 'a') + ".png")},
         "Couldn't create the PNG file. (file name too long)"},
    };
    for (const Case& c : cases) {
        const Result r = runTool(c.args);
        EXPECT_EQ(r.status, 1) << qPrintable(c.args.join(' '));
        EXPECT_TRUE(r.err.contains(c.message)) << qPrintable(r.err);
        EXPECT_EQ(r.err.count('\n'), 1) << qPrintable(r.err);
    }
    EXPECT_FALSE(QFile::exists(output));
    EXPECT_FALSE(QFileInfo("/dev/full").isFile()) << "the device must stay a device";
}

// The output's name chooses its format; a JPEG photo saved full size as JPEG gives the same
// bytes each time.
TEST_F(EraseTool, WritesJpegWhenTheOutputIsNamedSo) {
    const QString jpeg = dir.filePath("photo.jpg"), out = dir.filePath("out.JPG");
    ASSERT_TRUE(QImage(photo).save(jpeg, nullptr, 90));
    QByteArray first;
    for (int run = 0; run < 2; ++run) {
        const Result r = runTool({jpeg, mask, "-o", out, "--full-size", "--threads", "2"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_TRUE(ImageBytes::fileBytes(out).startsWith("\xFF\xD8")) << "a JPEG";
        first = run == 0 ? ImageBytes::fileBytes(out) : first;
    }
    EXPECT_EQ(ImageBytes::fileBytes(out), first);
    EXPECT_NE(Imaging::decodeFile(out).image, Imaging::decodeFile(jpeg).image);
    ASSERT_EQ(runTool({photo, mask, "-o", dir.filePath("small.jpeg")}).status, 0);
    EXPECT_TRUE(ImageBytes::fileBytes(dir.filePath("small.jpeg")).startsWith("\xFF\xD8"));
}

// The tool in this process, where the engine's seams can make thread starts and
// allocations fail as an exhausted system would.
TEST_F(EraseTool, ThreadAndMemoryFailuresEndInOneLine) {
    auto runHere = [](const QStringList& args) {
        FILE* err = std::tmpfile();
        const int status = EraseCommand::run(args, stdout, err, false);
        std::rewind(err);
        char text[512] = {};
        const size_t n = std::fread(text, 1, sizeof text - 1, err);
        std::fclose(err);
        return Result{status, {}, QString::fromUtf8(text, qsizetype(n))};
    };
    ASSERT_EQ(runTool({photo, mask, "-o", output, "--threads", "1"}).status, 0);
    const auto one = Imaging::decodeFile(output).image;
    limitThreadStarts(0);
    const Result fewer = runHere({photo, mask, "-o", output, "--threads", "8"});
    limitThreadStarts(-1);
    EXPECT_EQ(fewer.status, 0);
    EXPECT_EQ(fewer.err, QString());
    EXPECT_EQ(Imaging::decodeFile(output).image, one);

    QFile::remove(output);
    LargePages::simulateExhaustion(true);
    const Result r = runHere({photo, mask, "-o", output});
    LargePages::simulateExhaustion(false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, QString("mirelo-erase: %1: Erasing failed. (not enough memory)\n").arg(photo));
    EXPECT_FALSE(QFile::exists(output));
}

// A pipe can be read only once: the photo and the mask are each read from it once.
TEST_F(EraseTool, ReadsThePhotoFromAPipe) {
    const QString pipe = dir.filePath("photo-pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QByteArray bytes = ImageBytes::fileBytes(photo);
    std::thread writer([&] {
        QFile out(pipe);
        if (out.open(QIODevice::WriteOnly))
            out.write(bytes);
    });
    const Result r = runTool({pipe, mask, "-o", output});
    writer.join();
    EXPECT_EQ(r.status, 0) << qPrintable(r.err);
    EXPECT_TRUE(Imaging::decodeFile(output).image);
}

TEST_F(EraseTool, FileNamesThatAreNotUtf8AreKeptAsBytes) {
    // Input and output named with a byte that is not UTF-8, through a shell.
    ASSERT_TRUE(QFile::copy(photo, dir.filePath("in.png")));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start("/bin/sh", {"-c",
                        "in=$(printf 'in\\377.png'); out=$(printf 'out\\376.png'); "
                        "mv in.png \"$in\" && \"$0\" \"$in\" mask.png -o \"$out\" --quiet; "
                        "status=$?; ls; rm -f \"$in\" \"$out\"; exit $status",
                        MIRELO_ERASE_EXE});
    ASSERT_TRUE(p.waitForFinished(120000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    const QByteArrayList names = p.readAllStandardOutput().split('\n');
    EXPECT_TRUE(names.contains(QByteArray("out\xFE.png"))) << names.join(' ').constData();
}

} // namespace
