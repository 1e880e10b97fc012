#include "../testsupport.h"

#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace testsupport;

namespace {

struct Export : ::testing::Test {
    Export() {
        loadGradient(m, 200, 150);
        m.chooseSavePath = [this](const QString&, Imaging::FileType) { return path; };
    }
    MireloModel m;
    QTemporaryDir dir;
    QString path;
};

TEST_F(Export, WritesTheCurrentPictureAsOpaquePng) {
    QImage alpha(8, 8, QImage::Format_ARGB32);
    alpha.fill(qRgba(0, 0, 0, 0));
    loadNow(m, encode(alpha));
    path = dir.filePath("Mirelo.png");
    saveNow(m);
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), "png");
    const QImage saved = reader.read();
    EXPECT_FALSE(saved.hasAlphaChannel());
    EXPECT_EQ(bytesOf(saved), bytesOf(*m.current()));
    EXPECT_FALSE(m.message());

    QImage copied;
    m.putOnClipboard = [&](const QImage& image) { copied = image; };
    m.copyToClipboard();
    EXPECT_EQ(bytesOf(copied), bytesOf(*m.current()));
}

TEST_F(Export, CancelledOrImpossibleSavesShowTheRightMessage) {
    m.setMessage(QString("Couldn't read that image."));
    saveNow(m); // cancelled: empty path
    EXPECT_EQ(m.message(), QString("Couldn't read that image."));

    path = dir.path();
    saveNow(m);
    EXPECT_EQ(m.message(), QString("Couldn't create the PNG file. (it is a folder)"));
    EXPECT_EQ(m.messageFile(), path);

    path = dir.filePath("ok.png");
    EXPECT_TRUE(m.savePNG() && m.waitForSaves()); // success ends the failure's text
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_FALSE(m.message());
    EXPECT_EQ(m.messageFile(), QString());
}

TEST_F(Export, UnsavedResultFollowsSavesAndCopies) {
    std::vector<bool> seen;
    QObject::connect(&m, &MireloModel::unsavedResultChanged,
                     [&] { seen.push_back(m.unsavedResult()); });
    m.putOnClipboard = [](const QImage&) {};
    EXPECT_FALSE(m.unsavedResult());
    stroke(m, {100, 75}, 10);
    EXPECT_FALSE(m.unsavedResult()); // paint alone is no result
    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    EXPECT_TRUE(m.unsavedResult());
    m.copyToClipboard();
    EXPECT_FALSE(m.unsavedResult());
    EXPECT_EQ(m.message(), MireloModel::copiedMessage);
    EXPECT_FALSE(m.messageIsFailure());
    m.undo(); // the picture as loaded
    m.redo(); // the copied one
    EXPECT_FALSE(m.unsavedResult());
    stroke(m, {20, 20}, 10);
    m.erase();
    ASSERT_TRUE(waitUntilIdle(m));
    EXPECT_TRUE(m.unsavedResult());
    EXPECT_FALSE(m.savePNG()); // cancelled
    EXPECT_TRUE(m.unsavedResult());
    path = dir.filePath("saved.png");
    EXPECT_TRUE(m.savePNG() && m.waitForSaves());
    EXPECT_FALSE(m.unsavedResult());
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));
}

TEST_F(Export, WriteFailureIsReportedAndKeepsTheOldFile) {
    path = dir.filePath("Mirelo.png");
    saveNow(m);
    const qint64 oldSize = QFileInfo(path).size();
    ASSERT_GT(oldSize, 64);

    // A file size limit makes every write past 64 bytes fail, as a full disk would.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &tight);
    saveNow(m); // a small file: it reaches the disk in one flush when closed
    const auto smallMessage = m.message();
    loadNow(m, encode(gradient(1500, 1000)));
    const QString bigPath = dir.filePath("big.png");
    path = bigPath;
    saveNow(m); // many writes while encoding
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(smallMessage, QString("Saving failed. (the file is too large)"));
    EXPECT_EQ(QFileInfo(dir.filePath("Mirelo.png")).size(), oldSize);
    EXPECT_EQ(m.message(), QString("Saving failed. (the file is too large)"));
    EXPECT_FALSE(QFileInfo::exists(bigPath));
}

TEST_F(Export, FullDeviceGivesSavingFailedAndStaysADevice) {
    // A private node of the /dev/full device, so that a faulty save cannot replace the
    // system's own.
    path = dir.filePath("full");
    if (::mknod(path.toLocal8Bit().constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot create device nodes here";
    saveNow(m);
    EXPECT_EQ(m.message(), QString("Saving failed. (no space left on the device)"));
    EXPECT_EQ(m.messageFile(), path);
    struct stat st {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the save replaced the device with a regular file";
}

} // namespace
