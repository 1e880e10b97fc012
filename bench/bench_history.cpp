// Memory cost of the undo history: a 3072 x 3072 document, 25 brush strokes, one erase.
// Snapshots share their pixels with the document (copy on write) and their mask tile by
// tile, so the history should cost the tiles the strokes painted plus only the pictures
// that really differ, not 20 full copies. Also times the pause at the start of a stroke
// and an undo.

#include "imaging.h"
#include "mirelomodel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int kSide = 3072;
constexpr int kStrokes = 25;

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// VmRSS and VmHWM (peak resident set) of this process, in bytes.
std::pair<double, double> residentMemory() {
    QFile status(QStringLiteral("/proc/self/status"));
    double rss = 0, hwm = 0;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            const auto kib = [&](const char* key) {
                return line.mid(qsizetype(qstrlen(key))).trimmed().split(' ').value(0).toDouble() *
                       1024.0;
            };
            if (line.startsWith("VmRSS:"))
                rss = kib("VmRSS:");
            else if (line.startsWith("VmHWM:"))
                hwm = kib("VmHWM:");
        }
    }
    return {rss, hwm};
}

// Bytes held by distinct buffers of the history: every shared buffer counted once, and
// buffers shared with the document's current picture or mask not counted at all. Each
// snapshot's mask also costs its table of tile pointers.
struct HistoryCost {
    double images = 0, masks = 0;
    size_t distinctImages = 0, maskTiles = 0, entries = 0;
};

HistoryCost historyCost(const MireloModel& m) {
    HistoryCost cost;
    std::vector<const PixelImage*> images;
    std::set<const uint8_t*> tiles;
    if (m.mask()) {
        const MaskTiles& live = m.mask()->tiles();
        for (size_t i = 0; i < live.tileCount(); ++i)
            tiles.insert(live.tile(i));
    }
    const size_t liveTiles = tiles.size();
    for (const auto* stack : {&m.history().undoStack(), &m.history().redoStack()}) {
        for (const Snapshot& s : *stack) {
            ++cost.entries;
            bool seen = s.image.sharesBytesWith(*m.current()) ||
                        (m.original() && s.image.sharesBytesWith(*m.original()));
            for (const PixelImage* p : images)
                seen = seen || s.image.sharesBytesWith(*p);
            if (!seen) {
                images.push_back(&s.image);
                cost.images += double(s.image.bytes().size());
            }
            cost.masks += double(s.mask.tileCount() * sizeof(std::shared_ptr<void>));
            for (size_t i = 0; i < s.mask.tileCount(); ++i)
                tiles.insert(s.mask.tile(i));
        }
    }
    tiles.insert(nullptr); // unpainted tiles hold no buffer
    cost.maskTiles = tiles.size() - std::max<size_t>(liveTiles, 1);
    cost.masks += double(cost.maskTiles * MaskTiles::kTileBytes);
    cost.distinctImages = images.size();
    return cost;
}

void report(const char* stage, const MireloModel& m) {
    const auto [rss, hwm] = residentMemory();
    const HistoryCost c = historyCost(m);
    std::printf("%-16s RSS %7.1f MiB  peak %7.1f MiB  history: %2zu entries, masks %6.2f MiB "
                "(%4zu own tiles), %zu own pictures (%6.1f MiB)\n",
                stage, mib(rss), mib(hwm), c.entries, mib(c.masks), c.maskTiles, c.distinctImages,
                mib(c.images));
}

// An uncompressed 3072 x 3072 picture with some texture, so decoding is quick.
QByteArray makePicture() {
    QByteArray ppm = QByteArray("P6\n") + QByteArray::number(kSide) + ' ' +
                     QByteArray::number(kSide) + "\n255\n";
    const qsizetype header = ppm.size();
    ppm.resize(header + qsizetype(kSide) * kSide * 3);
    auto* p = reinterpret_cast<unsigned char*>(ppm.data() + header);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            *p++ = static_cast<unsigned char>((x * 3 + y) & 0xFF);
            *p++ = static_cast<unsigned char>(((x ^ y) >> 2) & 0xFF);
            *p++ = static_cast<unsigned char>((y * 5 - x) & 0xFF);
        }
    }
    return ppm;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();

    MireloModel m;
    report("start", m);
    m.load(makePicture());
    // The picture decodes in the background.
    while (m.isBusy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!m.hasImage()) {
        std::fprintf(stderr, "the picture did not load\n");
        return 1;
    }
    report("loaded", m);

    // Strokes of a 48-pixel brush, 200 pixels long, across a 400 x 400 area, each after a
    // short idle spell. The pause a user feels at the start of a stroke is the snapshot
    // taken by beginStroke() plus the first stamp, which copies what it raises.
    QElapsedTimer pause;
    double longestFirstStamp = 0;
    for (int i = 0; i < kStrokes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double y = 1400.0 + 16.0 * i;
        pause.start();
        m.beginStroke();
        m.mask()->stamp({1400.0 + 8.0 * (i % 5), y}, 24.0, 0.35);
        longestFirstStamp = std::max(longestFirstStamp, double(pause.nsecsElapsed()) / 1e6);
        for (double x = 1404.0; x <= 1600.0; x += 4.0)
            m.mask()->stamp({x + 8.0 * (i % 5), y}, 24.0, 0.35);
        if (i + 1 == 20)
            report("20 strokes", m);
    }
    report("25 strokes", m);
    std::printf("longest pause of a stroke's first stamp: %.3f ms\n", longestFirstStamp);

    // Undo of the last stroke rewrites the tiles it raised, and nothing else.
    const MaskTiles before = m.mask()->tiles();
    size_t raised = 0;
    for (size_t i = 0; i < before.tileCount(); ++i)
        raised += before.sharesTile(m.history().undoStack().back().mask, i) ? 0 : 1;
    pause.start();
    m.undo();
    const double undoMs = double(pause.nsecsElapsed()) / 1e6;
    size_t rewritten = 0;
    for (size_t i = 0; i < before.tileCount(); ++i)
        rewritten += before.sharesTile(m.mask()->tiles(), i) ? 0 : 1;
    std::printf("undo of one stroke: %.3f ms, %zu of %zu tiles rewritten; the stroke raised %zu\n",
                undoMs, rewritten, before.tileCount(), raised);
    m.redo();

    QElapsedTimer timer;
    timer.start();
    m.erase();
    while (m.isBusy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = double(timer.elapsed()) / 1000.0;
    report("erased", m);
    std::printf("erase took %.1f s; passes %lld\n", seconds, static_cast<long long>(m.passes()));

    m.undo();
    report("undo", m);
    return 0;
}
