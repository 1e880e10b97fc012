// Memory cost of the undo history: a 3072 x 3072 document, 25 brush strokes, one erase.
// Snapshots share their pixels with the document (copy on write), so the history should
// cost its mask bytes plus only the pictures that really differ, not 20 full copies.

#include "imaging.h"
#include "mirelomodel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
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
// buffers shared with the document's current picture or mask not counted at all.
struct HistoryCost {
    double images = 0, masks = 0;
    size_t distinctImages = 0, distinctMasks = 0, entries = 0;
};

HistoryCost historyCost(const MireloModel& m) {
    HistoryCost cost;
    std::vector<const PixelImage*> images;
    std::vector<const MaskBytes*> masks;
    for (const auto* stack : {&m.undoStack, &m.redoStack}) {
        for (const MireloModel::Snapshot& s : *stack) {
            ++cost.entries;
            bool seen = s.image.sharesBytesWith(*m.current) ||
                        (m.original && s.image.sharesBytesWith(*m.original));
            for (const PixelImage* p : images)
                seen = seen || s.image.sharesBytesWith(*p);
            if (!seen) {
                images.push_back(&s.image);
                cost.images += double(s.image.bytes().size());
            }
            seen = s.mask.sharesBytesWith(m.mask->gray());
            for (const MaskBytes* p : masks)
                seen = seen || s.mask.sharesBytesWith(*p);
            if (!seen) {
                masks.push_back(&s.mask);
                cost.masks += double(s.mask.size());
            }
        }
    }
    cost.distinctImages = images.size();
    cost.distinctMasks = masks.size();
    return cost;
}

void report(const char* stage, const MireloModel& m) {
    const auto [rss, hwm] = residentMemory();
    const HistoryCost c = historyCost(m);
    const double imageBytes = double(kSide) * kSide * 4;
    const double eager = double(c.entries) * (imageBytes + double(kSide) * kSide);
    std::printf("%-16s RSS %7.1f MiB  peak %7.1f MiB  history: %2zu entries, %2zu own masks "
                "(%6.1f MiB), %zu own pictures (%6.1f MiB); eager copies would be %6.1f MiB\n",
                stage, mib(rss), mib(hwm), c.entries, c.distinctMasks, mib(c.masks),
                c.distinctImages, mib(c.images), mib(eager));
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

    // Strokes of a 48-pixel brush, 200 pixels long, across a 400 x 400 area.
    for (int i = 0; i < kStrokes; ++i) {
        m.beginStroke();
        const double y = 1400.0 + 16.0 * i;
        for (double x = 1400.0; x <= 1600.0; x += 4.0)
            m.mask->stamp({x + 8.0 * (i % 5), y}, 24.0, 0.35);
    }
    report("25 strokes", m);

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
