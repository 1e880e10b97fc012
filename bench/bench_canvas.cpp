// Paint passes of the canvas: a 1200 x 800 view showing a 3072 x 2048 photo with a painted
// mask and the brush ring, in the middle of a stroke. At zoom 1 the photo is shown at a
// scale of about 0.37, where the view draws its reduced copies; at zoom 4 it is enlarged
// and drawn straight from the full-size pictures.
//
// FullPass:    the whole view repainted mid-stroke, as after a pan (caches valid).
// StrokeStep:  one drag event of the stroke (its stamps) and the repaint it causes.
// PointerMove: one pointer move without a button (the ring follows) and its repaint.
// ZoomStep:    one Ctrl-scroll notch and the repaint, which rescales the cached copies.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "benchimages.h"
#include "canvasview.h"
#include "imaging.h"
#include "mirelomodel.h"

#include <QApplication>
#include <QBuffer>
#include <QImageWriter>
#include <QMouseEvent>
#include <QWheelEvent>

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

constexpr int kViewWidth = 1200;
constexpr int kViewHeight = 800;

QByteArray photoPng() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setCompression(1);
    writer.write(Imaging::makeQImage(BenchImages::photo()));
    return bytes;
}

void send(CanvasView& view, QEvent::Type type, QPointF p, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, p, view.mapToGlobal(p), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &e);
}

// A point on a wandering path across the middle of the view.
QPointF pathPoint(int64_t i) {
    const double t = static_cast<double>(i % 400) * 0.05;
    return {600 + 350 * std::sin(t * 0.7), 400 + 220 * std::sin(t * 1.3)};
}

// The document, the view and a stroke in progress: a few hundred stamps painted, the left
// button still held and the pointer over the picture.
class Scene {
public:
    Scene() {
        view_.resize(kViewWidth, kViewHeight);
        model_.load(photoPng());
        view_.show();
        view_.activateWindow();
        while (!view_.isActiveWindow())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    ~Scene() { send(view_, QEvent::MouseButtonRelease, pathPoint(step_), Qt::NoButton); }

    void beginStroke(double zoom) {
        send(view_, QEvent::MouseButtonRelease, pathPoint(step_), Qt::NoButton);
        model_.setView(zoom, QPointF());
        emit model_.pictureChanged();
        send(view_, QEvent::MouseButtonPress, pathPoint(step_), Qt::LeftButton);
        for (int i = 0; i < 200; ++i)
            dragStep();
        settle();
    }
    void dragStep() { send(view_, QEvent::MouseMove, pathPoint(++step_), Qt::LeftButton); }
    // Delivers the pending repaints.
    static void settle() { QApplication::processEvents(); }
    CanvasView& view() { return view_; }

private:
    MireloModel model_;
    CanvasView view_{model_};
    int64_t step_ = 0;
};

// Made in main(), within the application's lifetime.
Scene* theScene = nullptr;
Scene& scene() { return *theScene; }

void BM_FullPass(benchmark::State& state) {
    Scene& s = scene();
    s.beginStroke(static_cast<double>(state.range(0)));
    for (auto _ : state)
        s.view().repaint();
}

void BM_StrokeStep(benchmark::State& state) {
    Scene& s = scene();
    s.beginStroke(static_cast<double>(state.range(0)));
    for (auto _ : state) {
        s.dragStep();
        Scene::settle();
    }
}

void BM_PointerMove(benchmark::State& state) {
    Scene& s = scene();
    s.beginStroke(static_cast<double>(state.range(0)));
    // Hovering after the stroke: the painted mask stays, the button is up.
    send(s.view(), QEvent::MouseButtonRelease, pathPoint(0), Qt::NoButton);
    Scene::settle();
    int64_t i = 0;
    for (auto _ : state) {
        send(s.view(), QEvent::MouseMove, pathPoint(++i), Qt::NoButton);
        Scene::settle();
    }
}

void BM_ZoomStep(benchmark::State& state) {
    Scene& s = scene();
    s.beginStroke(static_cast<double>(state.range(0)));
    int64_t i = 0;
    for (auto _ : state) {
        // In and out by one notch in turn, so the scale stays where the range says.
        const QPointF p = pathPoint(0);
        QWheelEvent e(p, s.view().mapToGlobal(p), QPoint(), QPoint(0, ++i % 2 ? 120 : -120),
                      Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&s.view(), &e);
        Scene::settle();
    }
}

void configure(benchmark::internal::Benchmark* b) {
    b->ArgName("zoom")->Arg(1)->Arg(4);
    b->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
}

} // namespace

BENCHMARK(BM_FullPass)->Apply(configure);
BENCHMARK(BM_StrokeStep)->Apply(configure);
BENCHMARK(BM_PointerMove)->Apply(configure);
BENCHMARK(BM_ZoomStep)->Apply(configure);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Imaging::configureImageReader();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        Scene s;
        theScene = &s;
        benchmark::RunSpecifiedBenchmarks();
        theScene = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
