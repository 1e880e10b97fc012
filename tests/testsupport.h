#pragma once

#include "imagebytes.h"
#include "imaging.h"
#include "mirelomodel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// Reaches the GUI-thread ends of the erase job, to deliver progress values in a chosen order,
// and shows a chosen picture as the edited one.
class MireloModelTestAccess {
public:
    static void eraseProgressed(MireloModel& m, double value) { m.eraseProgressed(value); }
    static void showAsCurrent(MireloModel& m, const QImage& image) { m.currentImage_ = image; }
    // Waits until every load and erase job has ended, and runs what they handed over.
    static void finishJobs(MireloModel& m) {
        m.jobPool_.waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
};

namespace testsupport {

// An opaque picture with a gradient, so that different pixels differ.
inline QImage gradient(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb((x * 7) % 256, (y * 5) % 256, (x + y) % 256));
    return image;
}

using ImageBytes::encode;

inline bool waitUntilIdle(MireloModel& m) {
    return QTest::qWaitFor([&] { return !m.isBusy(); }, 60000);
}

// Loads (decoding in the background) and waits until the result is installed.
template <typename Source> void loadNow(MireloModel& m, const Source& source) {
    m.load(source);
    waitUntilIdle(m);
}

// Saves (encoding in the background) and waits until the file is written.
inline void saveNow(MireloModel& m, bool fullSize = false) {
    fullSize ? m.savePNGFullSize() : m.savePNG();
    waitUntilIdle(m);
}

// A model holding a w x h gradient picture, erasing single-threaded for repeatable results.
inline void loadGradient(MireloModel& m, int w = 64, int h = 48) {
    m.processors = 1;
    loadNow(m, encode(gradient(w, h)));
}

// One brush stroke of a single stamp, as the canvas makes it.
inline bool stroke(MireloModel& m, QPointF at, double radius = 6.0) {
    if (!m.beginStroke())
        return false;
    m.mask()->stamp(at, radius, m.feather());
    m.endStroke();
    return true;
}

inline std::vector<uint8_t> bytesOf(const QImage& image) {
    const QImage rgbx = image.convertToFormat(QImage::Format_RGBX8888);
    std::vector<uint8_t> out;
    for (int y = 0; y < rgbx.height(); ++y)
        out.insert(out.end(), rgbx.constScanLine(y), rgbx.constScanLine(y) + rgbx.width() * 4);
    return out;
}

inline std::vector<uint8_t> bytesOf(const PixelImage& image) {
    return {image.bytes().begin(), image.bytes().end()};
}

// Counts the event loop's turns and its longest pause while it runs.
struct StallMeter {
    StallMeter() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            longest = std::max(longest, clock.restart());
            ++ticks;
        });
        clock.start();
        timer.start(5);
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 longest = 0;
    int ticks = 0;
};

// The names of the published values in the order their change signals fire.
class Recorder {
public:
    explicit Recorder(MireloModel& m) {
        const std::pair<const char*, void (MireloModel::*)()> all[] = {
            {"hasImage", &MireloModel::hasImageChanged},
            {"brushSize", &MireloModel::brushSizeChanged},
            {"feather", &MireloModel::featherChanged},
            {"isBusy", &MireloModel::isBusyChanged},
            {"progress", &MireloModel::progressChanged},
            {"canUndo", &MireloModel::canUndoChanged},
            {"canRedo", &MireloModel::canRedoChanged},
            {"compare", &MireloModel::compareChanged},
            {"maskHasPaint", &MireloModel::maskHasPaintChanged},
            {"edited", &MireloModel::editedChanged},
            {"passes", &MireloModel::passesChanged},
            {"message", &MireloModel::messageChanged},
        };
        for (const auto& [name, signal] : all) {
            const std::string n = name;
            QObject::connect(&m, signal, &context_, [this, n] { names.push_back(n); });
        }
    }
    std::vector<std::string> names;

private:
    QObject context_; // ends the connections with the recorder
};

} // namespace testsupport
