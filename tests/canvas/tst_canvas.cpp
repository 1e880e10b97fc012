#include "../testsupport.h"
#include "canvasview.h"
#include "imaging.h"
#include "maskoverlay.h"
#include "maskstore.h"
#include "mirelomodel.h"

#include <QApplication>
#include <QNativeGestureEvent>
#include <QScreen>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

const QColor green(40, 200, 40);
const QColor blue(30, 60, 220);
// Quadrants top-left, top-right, bottom-left, bottom-right: where each part lands.
const QColor quadrant[4] = {QColor(220, 40, 40), QColor(40, 40, 220), QColor(230, 210, 30),
                            QColor(40, 180, 60)};

QImage picture(int w, int h, const QColor& colour = QColor()) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y,
                           colour.isValid() ? colour.rgb()
                                            : quadrant[(y >= h / 2) * 2 + (x >= w / 2)].rgb());
    return image;
}

// A canvas with a picture. The default, 400 x 300 in a 440 x 340 view, is shown at scale 1
// with its top-left corner at (20, 20), so an image point is the view point minus 20.
struct Canvas {
    MireloModel model;
    CanvasView view{model};

    explicit Canvas(const QImage& image = picture(400, 300, green)) {
        view.resize(440, 340);
        model.load(testsupport::encode(image));
        QTRY_VERIFY(!model.isBusy());
    }
    // The ring follows the pointer in the active window only.
    void showActive() {
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
    }
    QPointF imagePointUnder(QPointF p) const {
        const ImageGeometry g = *view.imageGeometry();
        return (p - g.rect.topLeft()) / g.scale;
    }
    QColor pixel(int x, int y) { return view.grab().toImage().pixelColor(x, y); }
};

// The mask bytes of stamps from a to b in n steps, both ends included, on a 400 x 300 store.
MaskTiles stamped(QPointF a, QPointF b, int n, double radius = 24, double feather = 0.35) {
    MaskStore store(400, 300);
    for (int i = 0; i <= n; ++i)
        store.stamp(a + (b - a) * static_cast<double>(i) / static_cast<double>(n), radius, feather);
    return store.tiles();
}

void drag(QWidget& w, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton,
          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mousePress(&w, button, modifiers, from);
    QTest::mouseMove(&w, to);
    QTest::mouseRelease(&w, button, modifiers, to);
}

void hover(QWidget& w, QPointF p) {
    QMouseEvent e(QEvent::MouseMove, p, w.mapToGlobal(p), Qt::NoButton, Qt::NoButton,
                  Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void leave(QWidget& w) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(&w, &e);
}

void wheel(QWidget& w, QPointF p, QPoint angle, QPoint pixels = {},
           Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWheelEvent e(p, w.mapToGlobal(p), pixels, angle, Qt::NoButton, modifiers, Qt::NoScrollPhase,
                  false);
    QApplication::sendEvent(&w, &e);
}

void gesture(QWidget& w, Qt::NativeGestureType type, QPointF p, double value) {
    QNativeGestureEvent e(type, QPointingDevice::primaryPointingDevice(), 2, p, p, w.mapToGlobal(p),
                          value, QPointF());
    QApplication::sendEvent(&w, &e);
}

// Equal within the rounding of blending and scaling, unless a tolerance is given.
bool near(const QColor& a, const QColor& b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Under a tag: black at 0.55 opacity.
QColor tagged(const QColor& c) {
    return QColor(qRound(c.red() * 0.45), qRound(c.green() * 0.45), qRound(c.blue() * 0.45));
}

} // namespace

class TestCanvas : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { Imaging::configureImageReader(); }

    void geometryFitsThePictureWithAMargin() {
        MireloModel empty;
        CanvasView blank(empty);
        blank.resize(200, 100);
        QVERIFY(!blank.imageGeometry());
        QVERIFY(!blank.testAttribute(Qt::WA_SetCursor));
        QCOMPARE(blank.grab().toImage().pixelColor(100, 50).rgb(),
                 blank.palette().color(QPalette::Dark).rgb());

        Canvas c;
        QCOMPARE(c.view.imageGeometry()->rect, QRectF(20, 20, 400, 300));
        c.view.resize(30, 30); // narrower than the margin: the fit stops at 0.01
        QCOMPARE(c.view.imageGeometry()->scale, 0.01);
    }

    void strokesStampTheirWholePathAsOneUndoStep() {
        Canvas c;
        QTest::mouseClick(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(120, 150));
        QVERIFY(c.model.mask()->tiles() == stamped({100, 130}, {100, 130}, 1));
        QCOMPARE(c.model.history().undoStack().size(), size_t(1));

        c.model.undo();
        drag(c.view, {120, 150}, {220, 150});
        // 100 pixels at brush 48: spacing 4.8, so 21 steps and 22 stamps. The scalloped
        // edge of the stroke tells the stamp count apart.
        const MaskTiles expected = stamped({100, 130}, {200, 130}, 21);
        QVERIFY(c.model.mask()->tiles() == expected);
        QVERIFY(!(stamped({100, 130}, {200, 130}, 20) == expected));
        QVERIFY(!(stamped({100, 130}, {200, 130}, 22) == expected));
        QCOMPARE(c.model.history().undoStack().size(), size_t(1));
        QTest::mouseClick(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(300, 250));
        QCOMPARE(c.model.history().undoStack().size(), size_t(2));
    }

    // An erase started mid-stroke ends the stroke: the mask stays as the job took it, and no
    // stroke begins while the job runs.
    void nothingIsPaintedWhileBusy() {
        Canvas c;
        c.model.processors = 1;
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(120, 150));
        const MaskTiles before = c.model.mask()->tiles();
        c.model.erase();
        QTest::mouseMove(&c.view, QPoint(250, 150));
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(250, 150));
        drag(c.view, {120, 250}, {220, 250});
        QVERIFY(c.model.isBusy());
        QVERIFY(c.model.mask()->tiles() == before);
        QTRY_VERIFY_WITH_TIMEOUT(!c.model.isBusy(), 20000);
    }

    void commandsDuringADragEndTheStroke() {
        Canvas c;
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(120, 150));
        QTest::mouseMove(&c.view, QPoint(160, 150));
        c.model.undo(); // Ctrl+Z with the button still down
        QTest::mouseMove(&c.view, QPoint(260, 150));
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(260, 150));
        QVERIFY(!c.model.mask()->hasPaint());
        QVERIFY(!c.model.maskHasPaint());
        QVERIFY(c.model.history().undoStack().empty());
        QCOMPARE(c.model.history().redoStack().size(), size_t(1));
    }

    void compareDragMovesTheSplitWithinThePicture() {
        Canvas c;
        QCOMPARE(c.view.cursor().shape(), Qt::CrossCursor);
        c.model.setCompare(true);
        QCOMPARE(c.view.cursor().shape(), Qt::SizeHorCursor);
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(120, 150));
        QCOMPARE(c.model.compareSplit(), 0.25);
        QTest::mouseMove(&c.view, QPoint(320, 10));
        QCOMPARE(c.model.compareSplit(), 0.75);
        QTest::mouseMove(&c.view, QPoint(2, 150));
        QCOMPARE(c.model.compareSplit(), 0.0);
        QTest::mouseMove(&c.view, QPoint(439, 150));
        QCOMPARE(c.model.compareSplit(), 1.0);
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(439, 150));
        QVERIFY(!c.model.mask()->hasPaint()); // no paint while comparing
        QVERIFY(c.model.history().undoStack().empty());
    }

    void dragsAndTheWheelPan() {
        Canvas c;
        for (Qt::MouseButton button : {Qt::MiddleButton, Qt::RightButton})
            drag(c.view, {100, 100}, {130, 90}, button);
        QCOMPARE(c.model.pan(), QPointF(60, -20));
        QVERIFY(!c.model.mask()->hasPaint());
        QVERIFY(c.model.history().undoStack().empty());

        // A notch scrolls the desktop's lines of 20 points; Shift turns it sideways.
        const double notch = QApplication::wheelScrollLines() * 20.0;
        QVERIFY(notch > 15);
        wheel(c.view, {200, 200}, {0, 120});
        QCOMPARE(c.model.pan(), QPointF(60, -20 + notch));
        wheel(c.view, {200, 200}, {0, -120}, {}, Qt::ShiftModifier);
        QCOMPARE(c.model.pan(), QPointF(60 - notch, -20 + notch));
        wheel(c.view, {200, 200}, {0, 120}, {4, -6}); // a touchpad's pixels, 1:1
        QCOMPARE(c.model.pan(), QPointF(64 - notch, -26 + notch));
    }

    void spaceDragPansWithAHand() {
        Canvas c;
        c.showActive();
        hover(c.view, {100, 100});
        QTest::keyPress(&c.view, Qt::Key_Space);
        QCOMPARE(c.view.cursor().shape(), Qt::OpenHandCursor);
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QCOMPARE(c.view.cursor().shape(), Qt::ClosedHandCursor);
        QTest::mouseMove(&c.view, QPoint(137, 80));
        QTest::mouseMove(&c.view, QPoint(150, 91));
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(150, 91));
        QCOMPARE(c.model.pan(), QPointF(50, -9));
        QCOMPARE(c.view.cursor().shape(), Qt::OpenHandCursor);
        // The brush ring is hidden while Space is held.
        QVERIFY(near(c.pixel(150 + 24, 91), green));
        QTest::keyRelease(&c.view, Qt::Key_Space);
        QCOMPARE(c.view.cursor().shape(), Qt::CrossCursor);
        QVERIFY(!near(c.pixel(150 + 24, 91), green, 30));
        QVERIFY(!c.model.mask()->hasPaint());
        QVERIFY(c.model.history().undoStack().empty());
        // Without Space the same drag paints.
        drag(c.view, {100, 100}, {150, 91});
        QVERIFY(c.model.mask()->hasPaint());
        QCOMPARE(c.model.pan(), QPointF(50, -9));
    }

    void panKeepsSomeOfThePictureInView() {
        Canvas c; // 400 x 300 at scale 1 in 440 x 340
        for (int i = 0; i < 50; ++i)
            wheel(c.view, {200, 200}, {0, 120});
        QCOMPARE(c.view.imageGeometry()->rect.top(), 340.0 - 64);
        drag(c.view, {400, 100}, {-2000, 100}, Qt::MiddleButton);
        QCOMPARE(c.view.imageGeometry()->rect.right(), 64.0);
        // A picture smaller than that stays whole.
        for (int i = 0; i < 40; ++i)
            wheel(c.view, {200, 200}, {0, -120}, {}, Qt::ControlModifier);
        drag(c.view, {200, 100}, {900, 900}, Qt::LeftButton, Qt::AltModifier);
        QCOMPARE(c.view.imageGeometry()->rect.bottomRight(), QPointF(440, 340));
    }

    void zoomCommandsKeepTheViewCentre() {
        Canvas c(picture(1200, 900, green)); // fitted at scale 1/3
        wheel(c.view, {300, 100}, {0, 600}, {}, Qt::ControlModifier);
        const QPointF centre(220, 170);
        const QPointF under = c.imagePointUnder(centre);
        const auto kept = [&] { return QLineF(c.imagePointUnder(centre), under).length() < 1e-9; };
        c.model.zoomIn();
        c.model.zoomIn();
        QVERIFY(kept());
        c.model.zoomOut();
        QVERIFY(kept());
        c.view.zoomToActualSize();
        QCOMPARE(c.view.imageGeometry()->scale, 1.0);
        QVERIFY(kept());
    }

    void zoomKeepsThePixelUnderThePointer() {
        Canvas c;
        const QPointF p(300, 100);
        const QPointF under = c.imagePointUnder(p);
        const auto fixed = [&] { return QLineF(c.imagePointUnder(p), under).length() < 1e-9; };
        wheel(c.view, p, {0, 120}, {}, Qt::ControlModifier);
        QCOMPARE(c.model.zoom(), std::exp(0.15));
        QVERIFY(fixed());
        for (int i = 0; i < 40; ++i)
            wheel(c.view, p, {0, 120}, {}, Qt::ControlModifier);
        QCOMPARE(c.model.zoom(), 40.0);
        QVERIFY(fixed());
        for (int i = 0; i < 60; ++i)
            wheel(c.view, p, {0, -120}, {}, Qt::ControlModifier);
        QCOMPARE(c.model.zoom(), 0.1);
        QVERIFY(fixed());

        c.model.zoomToFit();
        gesture(c.view, Qt::ZoomNativeGesture, p, 0.5);
        QCOMPARE(c.model.zoom(), 1.5);
        QVERIFY(fixed());
        c.model.zoomToFit();
        gesture(c.view, Qt::SmartZoomNativeGesture, p, 1);
        QCOMPARE(c.model.zoom(), 2.5);
        QVERIFY(fixed());
        gesture(c.view, Qt::SmartZoomNativeGesture, p, 0);
        QCOMPARE(c.model.zoom(), 1.0);
        QCOMPARE(c.model.pan(), QPointF(0, 0));
    }

    void bracketKeysStepTheBrushWithinItsLimits() {
        Canvas c;
        QTest::keyClick(&c.view, Qt::Key_BracketLeft);
        QCOMPARE(c.model.brushSize(), 48 * 0.85);
        for (int i = 0; i < 40; ++i)
            QTest::keyClick(&c.view, Qt::Key_BracketLeft);
        QCOMPARE(c.model.brushSize(), 2.0);
        for (int i = 0; i < 60; ++i)
            QTest::keyClick(&c.view, Qt::Key_BracketRight);
        QCOMPARE(c.model.brushSize(), 400.0);
    }

    void picturesAreDrawnWhereTheGeometrySays_data() {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<QPointF>("pan");
        QTest::newRow("1:1") << 1.0 << QPointF();
        QTest::newRow("reduced") << 0.45 << QPointF(-30, 12);
        QTest::newRow("enlarged") << 1.2 << QPointF(25, -20);
    }
    void picturesAreDrawnWhereTheGeometrySays() {
        QFETCH(double, zoom);
        QFETCH(QPointF, pan);
        Canvas c(picture(400, 300));
        c.model.setView(zoom, pan);
        const QImage shot = c.view.grab().toImage();
        const ImageGeometry g = *c.view.imageGeometry();
        for (int q = 0; q < 4; ++q) {
            const QPoint centre =
                (g.rect.topLeft() + QPointF(q % 2 ? 300 : 100, q / 2 ? 225 : 75) * g.scale)
                    .toPoint();
            QVERIFY(near(shot.pixelColor(centre), quadrant[q]));
        }
        // 3 points beyond the left and the bottom edge, neutral grey background and shadow.
        const QPointF outside[2] = {{g.rect.left() - 3, g.rect.center().y()},
                                    {g.rect.center().x(), g.rect.bottom() + 3}};
        for (QPointF p : outside)
            QCOMPARE(shot.pixelColor(p.toPoint()).saturation(), 0);
    }

    void tintIsPremultipliedAndFollowsTheMask() {
        MaskStore mask(70, 1); // two tiles
        std::vector<uint8_t> bytes(70, 0);
        const uint8_t values[6] = {0, 1, 2, 64, 128, 255};
        std::copy(std::begin(values), std::end(values), bytes.begin());
        mask.set(MaskTiles(70, 1, bytes));
        MaskOverlay tint;
        QRect changed;
        const QImage& image = tint.update(mask, &changed);
        QCOMPARE(image.format(), QImage::Format_RGBA8888_Premultiplied);
        QCOMPARE(changed, QRect(0, 0, 70, 1));
        const uchar want[6][4] = {{0, 0, 0, 0},   {0, 0, 0, 0},     {1, 0, 0, 1},
                                  {38, 5, 9, 38}, {76, 11, 19, 76}, {153, 22, 38, 153}};
        QVERIFY(std::memcmp(image.constBits(), want, sizeof want) == 0);
        // Only the tile a stamp changed is tinted again.
        mask.stamp({68.0, 0.5}, 2.0, 0.0);
        tint.update(mask, &changed);
        QCOMPARE(changed, QRect(64, 0, 6, 1));
        QCOMPARE(image.pixelColor(68, 0).alpha(), 153);
    }

    void overlayTintsPaintedPixels_data() {
        QTest::addColumn<double>("zoom");
        QTest::newRow("1:1") << 1.0;
        QTest::newRow("reduced") << 0.37;
    }
    void overlayTintsPaintedPixels() {
        QFETCH(double, zoom);
        Canvas c;
        c.model.setView(zoom, c.model.pan());
        QTest::mouseClick(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(220, 170));
        leave(c.view);
        // The painted core: the overlay's (153, 22, 38) at opacity 0.6 over the picture.
        const QColor tinted(qRound(green.red() * 0.4) + 153, qRound(green.green() * 0.4) + 22,
                            qRound(green.blue() * 0.4) + 38);
        QVERIFY(near(c.pixel(220, 170), tinted));
        QVERIFY(near(c.pixel(220 + qRound(40 * zoom), 170), green));

        // A second stroke 100 pixels to the left, undone and redone.
        const QPoint second(220 - qRound(100 * zoom), 170);
        QTest::mouseClick(&c.view, Qt::LeftButton, Qt::NoModifier, second);
        leave(c.view);
        QVERIFY(near(c.pixel(second.x(), second.y()), tinted));
        c.model.undo();
        QVERIFY(near(c.pixel(second.x(), second.y()), green));
        QVERIFY(near(c.pixel(220, 170), tinted));
        c.model.redo();
        QVERIFY(near(c.pixel(second.x(), second.y()), tinted));
    }

    void compareShowsBothPicturesAroundTheSplit() {
        Canvas c;
        MireloModelTestAccess::showAsCurrent(c.model, picture(400, 300, blue));
        c.model.setCompare(true);
        c.model.setCompareSplit(0.25); // x = 120
        QImage shot = c.view.grab().toImage();
        QVERIFY(near(shot.pixelColor(110, 250), green));
        QVERIFY(near(shot.pixelColor(130, 250), blue));
        QVERIFY(near(shot.pixelColor(120, 250), Qt::white)); // the line
        QVERIFY(near(shot.pixelColor(120, 180), Qt::white)); // the handle
        // The tags sit 10 points inside the picture's top corners...
        QVERIFY(near(shot.pixelColor(34, 40), tagged(green)));
        QVERIFY(near(shot.pixelColor(405, 40), tagged(blue)));
        // ...or inside the view when the picture overflows it.
        c.model.setView(3, c.model.pan());
        c.model.setCompareSplit(0.5);
        shot = c.view.grab().toImage();
        QVERIFY(near(shot.pixelColor(14, 20), tagged(green)));
        QVERIFY(near(shot.pixelColor(425, 20), tagged(blue)));
    }

    void ringFollowsThePointerAndHides() {
        Canvas c;
        c.showActive();
        // At scale 1 the brush of 48 shows a ring of radius 24.
        hover(c.view, {220, 170});
        QVERIFY(!near(c.pixel(244, 170), green, 30));
        hover(c.view, {150, 100});
        QVERIFY(near(c.pixel(244, 170), green));
        QVERIFY(!near(c.pixel(174, 100), green, 30));
        leave(c.view);
        QVERIFY(near(c.pixel(174, 100), green));
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::AltModifier, QPoint(150, 100));
        QVERIFY(near(c.pixel(174, 100), green)); // hidden while panning
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::AltModifier, QPoint(150, 100));
        QVERIFY(!near(c.pixel(174, 100), green, 30));
        // A drag with the middle button moves picture and ring together.
        drag(c.view, {150, 100}, {250, 200}, Qt::MiddleButton);
        QVERIFY(!near(c.pixel(274, 200), green, 30));
    }

    // Events repaint only parts of the view; what the screen then shows must be what a full
    // redraw shows: no ring trails, no stamps left out, the reduced overlay kept in step.
    void partialRepaintsMatchAFullRedraw_data() {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1:1") << QSize(400, 300);
        QTest::newRow("reduced") << QSize(1000, 700);
    }
    void partialRepaintsMatchAFullRedraw() {
        QFETCH(QSize, size);
        Canvas c(picture(size.width(), size.height()));
        c.showActive();
        // Each event painted on its own, as when the user moves slowly.
        const auto onScreen = [&] {
            QCoreApplication::processEvents();
            return c.view.screen()
                ->grabWindow(c.view.winId())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        };
        const auto redrawn = [&] {
            return c.view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        onScreen();
        hover(c.view, {100, 100});
        onScreen();
        hover(c.view, {140, 120});
        QCOMPARE(onScreen(), redrawn());
        QTest::mousePress(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(140, 120));
        for (int i = 1; i <= 12; ++i) {
            QTest::mouseMove(&c.view, QPoint(140 + 17 * i, 120 + (i % 3) * 23));
            onScreen();
        }
        QTest::mouseMove(&c.view, QPoint(120, 290)); // a fast move
        onScreen();
        QTest::mouseRelease(&c.view, Qt::LeftButton, Qt::NoModifier, QPoint(120, 290));
        onScreen();
        hover(c.view, {300, 280});
        QCOMPARE(onScreen(), redrawn());
        leave(c.view);
        const QImage afterStrokes = onScreen();
        QCOMPARE(afterStrokes, redrawn());
        // And the same picture when the reduced overlay is built from scratch.
        emit c.model.pictureChanged();
        QCOMPARE(redrawn(), afterStrokes);
    }
};

QTEST_MAIN(TestCanvas)
#include "tst_canvas.moc"
