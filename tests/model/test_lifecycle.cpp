// Quitting while a job runs: the process ends cleanly, a save that has begun completes its
// file, and a job that fails for want of memory leaves the document as it was.
#include "../testsupport.h"
#include "largepages.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

using namespace testsupport;

// Run in a child process by the tests below (see main.cpp): starts a job, then leaves, so
// that the model and then the application are destroyed while the job runs, as when the
// window is closed.
int quitDuringJob(const QString& job, const QString& photo, const QString& out) {
    MireloModel m;
    m.chooseSavePath = [out](const QString&, Imaging::FileType) { return out; };
    if (job == "load") {
        m.load(QUrl::fromLocalFile(photo));
        return 0;
    }
    loadNow(m, QUrl::fromLocalFile(photo));
    if (!m.hasImage())
        return 3;
    if (job == "erase") {
        stroke(m, {300, 200}, 150);
        m.erase();
    } else if (job == "save") {
        m.savePNG();
    }
    return m.isBusy() ? 0 : 4; // the job must still be running as the model goes
}

namespace {

int runChild(const QString& job, const QString& photo, const QString& out) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--quit-during", job, photo, out});
    if (!child.waitForFinished(120000))
        return -1;
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -2;
}

} // namespace

TEST(Lifecycle, QuittingDuringALoadAnEraseOrASaveEndsCleanly) {
    QTemporaryDir dir;
    const QString photo = dir.filePath("photo.jpg");
    ASSERT_TRUE(gradient(4000, 3000).save(photo, "jpg"));
    const QString out = dir.filePath("out.png");
    EXPECT_EQ(runChild("load", photo, out), 0);
    EXPECT_EQ(runChild("erase", photo, out), 0);
    EXPECT_FALSE(QFile::exists(out));

    // The save finishes before the process ends: the file holds the whole picture.
    EXPECT_EQ(runChild("save", photo, out), 0);
    const Imaging::Decoded saved = Imaging::decodeFile(out);
    const Imaging::Decoded opened = Imaging::decodeFile(photo);
    ASSERT_TRUE(saved.image && opened.image);
    EXPECT_EQ(*saved.image, *opened.image);
}

TEST(Lifecycle, AnEraseWithoutMemoryFailsAndKeepsTheDocument) {
    MireloModel m;
    loadGradient(m, 200, 150);
    stroke(m, {60, 60}, 30);
    m.undo();
    stroke(m, {100, 80}, 30);
    const PixelImage before = *m.current();
    const MaskTiles painted = m.mask()->tiles();
    const size_t undoDepth = m.history().undoStack().size();

    LargePages::simulateExhaustion(true);
    m.erase();
    waitUntilIdle(m);
    LargePages::simulateExhaustion(false);

    EXPECT_EQ(m.message(), QString("Erasing failed. (not enough memory)"));
    EXPECT_EQ(*m.current(), before);
    EXPECT_EQ(m.mask()->tiles(), painted);
    EXPECT_EQ(m.history().undoStack().size(), undoDepth);
    EXPECT_FALSE(m.edited());
    // The paint is still there, so the erase can be tried again.
    m.erase();
    waitUntilIdle(m);
    EXPECT_TRUE(m.edited());
    EXPECT_EQ(m.message(), std::nullopt);
}
