// How long the GUI thread's event loop stands still while the model opens large photos
// and saves a document: a 1 ms timer runs throughout, and the longest gap between its
// ticks is the longest time the window could not have repainted or reacted.
//
//   bench_stall [--full-size-only FILE]
//
// Prints, for each operation, its wall time and the event loop's longest stall. With
// --full-size-only it opens FILE, erases a small disc and saves it at full size, for
// measuring that save's peak memory under /usr/bin/time -v.
#include "imaging.h"
#include "mirelomodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {

// A photo-like picture: smooth gradients with fine texture, so codecs work as on photos.
PixelImage picture(int w, int h) {
    std::vector<uint8_t> bytes(size_t(w) * h * 4);
    uint32_t noise = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            noise = noise * 1664525u + 1013904223u;
            uint8_t* p = &bytes[(size_t(y) * w + x) * 4];
            p[0] = uint8_t(x * 255 / w + (noise >> 29));
            p[1] = uint8_t(y * 255 / h + (noise >> 30));
            p[2] = uint8_t(((x / 40 + y / 40) & 1) * 60 + 90 + (noise >> 28));
            p[3] = 255;
        }
    return PixelImage(w, h, std::move(bytes));
}

struct Stall {
    qint64 wallMs = 0;
    qint64 longestMs = 0;
};

// Runs start(), then the event loop until the model is idle again.
template <typename F> Stall measure(MireloModel& m, F start) {
    QElapsedTimer wall, gap;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, gap.restart()); });
    QEventLoop loop;
    QObject::connect(&m, &MireloModel::isBusyChanged, &loop, [&] {
        if (!m.isBusy())
            loop.quit();
    });
    tick.start(1);
    wall.start();
    gap.start();
    start();
    longest = std::max(longest, gap.restart()); // the call itself
    if (m.isBusy())
        loop.exec();
    longest = std::max(longest, gap.elapsed());
    return {wall.elapsed(), longest};
}

void report(const char* what, const Stall& s) {
    std::printf("%-34s %8lld ms %12lld ms\n", what, s.wallMs, s.longestMs);
}

int fullSizeOnly(const QString& file) {
    MireloModel m;
    QTemporaryDir dir;
    m.chooseSavePath = [&](const QString&, Imaging::FileType) { return dir.filePath("full.png"); };
    measure(m, [&] { m.load(QUrl::fromLocalFile(file)); });
    if (!m.hasImage() || !m.beginStroke())
        return 1;
    m.mask()->stamp(QPointF(m.current()->width() / 2.0, m.current()->height() / 2.0), 60, 0.35);
    m.endStroke();
    measure(m, [&] { m.erase(); });
    const Stall s = measure(m, [&] { m.savePNGFullSize(); });
    report("full-size save", s);
    return m.message() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == "--full-size-only")
        return fullSizeOnly(args[2]);

    QTemporaryDir dir;
    const QString png = dir.filePath("12000x8000.png");
    const QString jpeg = dir.filePath("9000x6000.jpg");
    if (Imaging::savePng(picture(12000, 8000), png) != Imaging::SaveError::None)
        return 1;
    {
        const PixelImage p = picture(9000, 6000);
        QImageWriter writer(jpeg, "jpeg");
        writer.setQuality(90);
        if (!writer.write(Imaging::makeQImage(p)))
            return 1;
    }

    std::printf("%d cores; longest stall of the GUI thread's event loop\n",
                QThread::idealThreadCount());
    std::printf("%-34s %11s %15s\n", "operation", "wall", "longest stall");
    MireloModel m;
    m.chooseSavePath = [&](const QString&, Imaging::FileType) { return dir.filePath("saved.png"); };
    report("open 12000 x 8000 PNG", measure(m, [&] { m.load(QUrl::fromLocalFile(png)); }));
    if (!m.hasImage() || m.message())
        std::printf("  (failed: %s)\n", qPrintable(m.message().value_or("")));
    report("open 9000 x 6000 JPEG", measure(m, [&] { m.load(QUrl::fromLocalFile(jpeg)); }));
    if (m.message())
        std::printf("  (failed: %s)\n", qPrintable(m.message().value_or("")));
    report("save 3072 x 2048 PNG", measure(m, [&] { m.savePNG(); }));

    report("save 9000 x 6000 at full size", measure(m, [&] { m.savePNGFullSize(); }));
    if (m.message())
        std::printf("  (failed: %s)\n", qPrintable(m.message().value_or("")));
    return 0;
}
