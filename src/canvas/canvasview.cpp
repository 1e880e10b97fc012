#include "canvasview.h"

#include "maskstore.h"
#include "mirelomodel.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// Fitting: at zoom 1 the picture leaves at least 20 points free on each side of its
// limiting dimension, and never shrinks below a hundredth however small the view.
constexpr double fitMargin = 40.0;
constexpr double minFitScale = 0.01;
// Painting.
constexpr double minBrushRadius = 0.5;  // image pixels
constexpr double stampSpacing = 0.2;    // of the radius
constexpr double minStampSpacing = 1.0; // image pixels
// Panning: a wheel notch (120 units of angle) scrolls the desktop's number of lines.
constexpr double wheelLine = 20.0; // view points
constexpr double wheelNotch = 120.0;
// However far the picture is panned, this much of it stays in view (or all of it when it
// is smaller).
constexpr double minVisible = 64.0; // view points
// Zooming.
constexpr double scrollZoomRate = 0.01; // zoom factor e^(rate x scroll delta in points)
constexpr double smartZoomFactor = 2.5;
constexpr double smartZoomThreshold = 1.01;
// Brush size keys.
constexpr double brushStep = 0.85;
constexpr double minBrushSize = 2.0;
constexpr double maxBrushSize = 400.0;

// Slack around repainted areas, in view points: antialiased edges reach one pixel beyond
// a shape, and a reduced overlay pixel can straddle the edge of the stamps it shows.
constexpr double repaintSlack = 2.0;

} // namespace

CanvasView::CanvasView(MireloModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    // The right button drags the picture around, so it must not open a menu.
    setContextMenuPolicy(Qt::PreventContextMenu);
    // Every pass fills the whole view itself.
    setAttribute(Qt::WA_OpaquePaintEvent);

    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &CanvasView::modelChanged);
    connect(&model_, &MireloModel::viewChanged, this, &CanvasView::viewChanged);
    connect(&model_, &MireloModel::compareSplitChanged, this, qOverload<>(&CanvasView::update));
    connect(&model_, &MireloModel::pictureChanged, this, &CanvasView::pictureChanged);
    updateCursor();
}

// Geometry

double CanvasView::fitScale() const {
    const double iw = static_cast<double>(model_.current()->width());
    const double ih = static_cast<double>(model_.current()->height());
    return std::max(std::min((width() - fitMargin) / iw, (height() - fitMargin) / ih), minFitScale);
}

std::optional<ImageGeometry> CanvasView::imageGeometry() const {
    if (!model_.current())
        return std::nullopt;
    const double scale = model_.zoom() * fitScale();
    const double dw = static_cast<double>(model_.current()->width()) * scale;
    const double dh = static_cast<double>(model_.current()->height()) * scale;
    const QPointF centre = QRectF(rect()).center() + model_.pan();
    return ImageGeometry{QRectF(centre.x() - dw * 0.5, centre.y() - dh * 0.5, dw, dh), scale};
}

QSize CanvasView::displaySize(const ImageGeometry& g) const {
    const qreal dpr = devicePixelRatioF();
    return {std::max(1, static_cast<int>(std::lround(g.rect.width() * dpr))),
            std::max(1, static_cast<int>(std::lround(g.rect.height() * dpr)))};
}

// Model notifications

void CanvasView::modelChanged() {
    update();
    updateCursor();
    announceScale();
}

void CanvasView::viewChanged() {
    // A view that was never laid out has no size to keep the picture in.
    if (isVisible())
        keepPictureInView();
    update();
    announceScale();
}

void CanvasView::pictureChanged() {
    viewChanged();
    modelChanged();
}

void CanvasView::keepPictureInView() {
    if (!model_.current())
        return;
    const double scale = model_.zoom() * fitScale();
    const auto limit = [](double pan, double view, double shown) {
        const double keep = std::min({minVisible, shown, view});
        // The picture's edge may come to `keep` points from the view's opposite edge.
        const double reach = (view + shown) * 0.5 - keep;
        return std::clamp(pan, -reach, reach);
    };
    const QPointF pan = model_.pan();
    const QPointF kept(
        limit(pan.x(), width(), static_cast<double>(model_.current()->width()) * scale),
        limit(pan.y(), height(), static_cast<double>(model_.current()->height()) * scale));
    // Only a real change is published: the view follows the model's view signal here.
    if (kept.x() != pan.x() || kept.y() != pan.y())
        model_.setView(model_.zoom(), kept);
}

void CanvasView::resizeEvent(QResizeEvent*) {
    keepPictureInView();
    announceScale();
}

void CanvasView::updateCursor() {
    if (!model_.hasImage())
        unsetCursor();
    else if (panning_)
        setCursor(Qt::ClosedHandCursor);
    else if (spaceHeld_)
        setCursor(Qt::OpenHandCursor);
    else
        setCursor(model_.compare() ? Qt::SizeHorCursor : Qt::CrossCursor);
}

void CanvasView::announceScale() {
    const std::optional<ImageGeometry> g = imageGeometry();
    const std::optional<double> scale = g ? std::optional(g->scale) : std::nullopt;
    if (scale == announcedScale_)
        return;
    announcedScale_ = scale;
    emit scaleChanged();
}

// Repainting

QRectF CanvasView::visibleRingBounds() const {
    if (!mousePoint_ || ringHidden() || model_.compare() || !model_.current())
        return {};
    const std::optional<ImageGeometry> g = imageGeometry();
    // The outer ring's line reaches 1.5 points beyond the radius.
    const double reach = g->scale * model_.brushSize() * 0.5 + 1.5 + repaintSlack;
    return {mousePoint_->x() - reach, mousePoint_->y() - reach, 2 * reach, 2 * reach};
}

void CanvasView::repaintAround(const QRectF& before, const QRectF& changed) {
    // One rectangle per event: a single clip rectangle keeps the raster engine on its fast
    // paths, where a region of several would not.
    const QRectF area = before | changed | visibleRingBounds();
    if (!area.isEmpty())
        update(area.toAlignedRect());
}

// Input

void CanvasView::setSplit(QPointF p) {
    const std::optional<ImageGeometry> g = imageGeometry();
    if (!g)
        return;
    const double t = (p.x() - g->rect.left()) / g->rect.width();
    model_.setCompareSplit(std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0));
    update();
}

QRectF CanvasView::paintSegment(QPointF a, QPointF b, const ImageGeometry& g) {
    MaskStore& mask = *model_.mask();
    // Read per segment, so that a change during a drag applies from the next one.
    const double radius = std::max(model_.brushSize() * 0.5, minBrushRadius);
    const double feather = model_.feather();
    const double step = std::max(radius * stampSpacing, minStampSpacing);
    const QPointF d = b - a;
    const double length = std::hypot(d.x(), d.y());
    if (!std::isfinite(length))
        return {};
    // Both ends are stamped, and stamps are never more than `step` apart.
    const int64_t n = std::max<int64_t>(static_cast<int64_t>(std::ceil(length / step)), 1);
    QRect touched;
    for (int64_t i = 0; i <= n; ++i)
        touched |=
            mask.stamp(a + d * static_cast<double>(i) / static_cast<double>(n), radius, feather);
    if (touched.isEmpty())
        return {};
    return QRectF(g.rect.left() + touched.left() * g.scale, g.rect.top() + touched.top() * g.scale,
                  touched.width() * g.scale, touched.height() * g.scale)
        .adjusted(-repaintSlack, -repaintSlack, repaintSlack, repaintSlack);
}

void CanvasView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        // Other buttons drag the picture around; the press only anchors the drag.
        otherDragPoint_ = event->position();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const QRectF before = visibleRingBounds();
    const QPointF p = event->position();
    mousePoint_ = p;
    if (spaceHeld_ || (event->modifiers() & Qt::AltModifier)) {
        panning_ = true;
        updateCursor();
    } else if (model_.compare()) {
        setSplit(p);
    } else if (const std::optional<ImageGeometry> g = imageGeometry();
               g && model_.beginStroke() && model_.mask()) {
        const QPointF ip((p.x() - g->rect.left()) / g->scale, (p.y() - g->rect.top()) / g->scale);
        painting_ = true;
        lastImagePoint_ = ip;
        repaintAround(before, paintSegment(ip, ip, *g));
        return;
    }
    repaintAround(before);
}

void CanvasView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF p = event->position();
    if (!(event->buttons() & Qt::LeftButton)) {
        if (event->buttons() != Qt::NoButton) {
            // A drag with another button pans; the ring goes along with the pointer.
            const QRectF before = visibleRingBounds();
            mousePoint_ = p;
            if (otherDragPoint_) {
                model_.setView(model_.zoom(), model_.pan() + (p - *otherDragPoint_));
                keepPictureInView();
                update();
            } else {
                repaintAround(before);
            }
            otherDragPoint_ = p;
            return;
        }
        // Hovering: the ring follows the pointer, in the active window only.
        if (!isActiveWindow())
            return;
        const QRectF before = visibleRingBounds();
        mousePoint_ = p;
        repaintAround(before);
        return;
    }

    const QRectF before = visibleRingBounds();
    const std::optional<QPointF> previous = mousePoint_;
    mousePoint_ = p;
    if (panning_) {
        if (previous)
            model_.setView(model_.zoom(), model_.pan() + (p - *previous));
        keepPictureInView();
        update();
        return;
    }
    if (model_.compare()) {
        setSplit(p);
        return;
    }
    QRectF changed;
    if (painting_ && !model_.strokeOpen()) {
        // A command from the keyboard (undo, clear, erase, a paste...) changed the document
        // and closed the stroke: the drag paints no more, so that it neither goes on into a
        // replaced mask outside any undo step nor changes the mask under an erase.
        painting_ = false;
        lastImagePoint_.reset();
    }
    const std::optional<ImageGeometry> g = imageGeometry();
    if (painting_ && g && lastImagePoint_ && model_.mask()) {
        const QPointF ip((p.x() - g->rect.left()) / g->scale, (p.y() - g->rect.top()) / g->scale);
        changed = paintSegment(*lastImagePoint_, ip, *g);
        lastImagePoint_ = ip;
    }
    repaintAround(before, changed);
}

void CanvasView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        if (!(event->buttons() & ~Qt::MouseButtons(Qt::LeftButton)))
            otherDragPoint_.reset();
        return;
    }
    const QRectF before = visibleRingBounds();
    if (painting_)
        model_.endStroke();
    painting_ = false;
    panning_ = false;
    lastImagePoint_.reset();
    updateCursor();
    repaintAround(before);
}

void CanvasView::leaveEvent(QEvent*) {
    const QRectF before = visibleRingBounds();
    mousePoint_.reset();
    repaintAround(before);
}

void CanvasView::wheelEvent(QWheelEvent* event) {
    // A touchpad's pixel deltas move the picture with the fingers. X11 reports made-up
    // pixel deltas, so there the wheel's angle serves.
    const bool pixels =
        !event->pixelDelta().isNull() && QGuiApplication::platformName() != QLatin1String("xcb");
    if (event->modifiers() & Qt::ControlModifier) {
        // Zooming counts a notch as 15 points.
        const QPointF delta =
            pixels ? QPointF(event->pixelDelta()) : QPointF(event->angleDelta()) / 8.0;
        zoom(std::exp(scrollZoomRate * delta.y()), event->position());
    } else {
        QPointF delta = pixels ? QPointF(event->pixelDelta())
                               : QPointF(event->angleDelta()) / wheelNotch *
                                     QApplication::wheelScrollLines() * wheelLine;
        // Shift turns a plain wheel sideways.
        if ((event->modifiers() & Qt::ShiftModifier) && delta.x() == 0)
            delta = QPointF(delta.y(), 0);
        model_.setView(model_.zoom(), model_.pan() + delta);
        keepPictureInView();
        update();
    }
    event->accept();
}

bool CanvasView::event(QEvent* event) {
    if (event->type() == QEvent::NativeGesture) {
        const auto* gesture = static_cast<QNativeGestureEvent*>(event);
        switch (gesture->gestureType()) {
        case Qt::ZoomNativeGesture:
            zoom(1.0 + gesture->value(), gesture->position());
            return true;
        case Qt::SmartZoomNativeGesture:
            smartZoom(gesture->position());
            return true;
        case Qt::BeginNativeGesture:
        case Qt::EndNativeGesture:
            return true;
        default:
            break;
        }
    }
    return QWidget::event(event);
}

void CanvasView::smartZoom(QPointF around) {
    if (model_.zoom() > smartZoomThreshold)
        model_.zoomToFit();
    else
        zoom(smartZoomFactor, around);
}

void CanvasView::zoom(qreal factor, QPointF around) {
    const std::optional<ImageGeometry> g = imageGeometry();
    if (!g)
        return;
    const double zoomed = model_.zoom() * factor;
    if (std::isnan(zoomed))
        return;
    const double kept = std::clamp(zoomed, MireloModel::minZoom, MireloModel::maxZoom);
    // Keep the image point under `around` where it is; at a limit this leaves the picture
    // in place.
    const double ix = (around.x() - g->rect.left()) / g->scale;
    const double iy = (around.y() - g->rect.top()) / g->scale;
    const double scale = kept * fitScale();
    const QPointF centre = QRectF(rect()).center();
    model_.setView(
        kept, QPointF(around.x() - centre.x() -
                          (ix - static_cast<double>(model_.current()->width()) * 0.5) * scale,
                      around.y() - centre.y() -
                          (iy - static_cast<double>(model_.current()->height()) * 0.5) * scale));
    keepPictureInView();
    update();
    announceScale();
}

void CanvasView::zoomToActualSize() {
    if (const std::optional<ImageGeometry> g = imageGeometry())
        zoom(1.0 / g->scale, QRectF(rect()).center());
}

void CanvasView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        // Taken here, so that no button acts on it; a held key repeats.
        if (!event->isAutoRepeat() && !spaceHeld_) {
            const QRectF before = visibleRingBounds();
            spaceHeld_ = true;
            updateCursor();
            repaintAround(before);
        }
    } else if (event->key() == Qt::Key_BracketLeft) {
        model_.setBrushSize(std::max(model_.brushSize() * brushStep, minBrushSize));
    } else if (event->key() == Qt::Key_BracketRight) {
        model_.setBrushSize(std::min(model_.brushSize() / brushStep, maxBrushSize));
    } else {
        QWidget::keyPressEvent(event);
    }
}

void CanvasView::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Space) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    // A drag begun with Space goes on panning until the button is released.
    if (!event->isAutoRepeat() && spaceHeld_) {
        spaceHeld_ = false;
        updateCursor();
        repaintAround({});
    }
}

void CanvasView::focusOutEvent(QFocusEvent* event) {
    // The release of a Space held while the focus leaves goes elsewhere.
    if (spaceHeld_) {
        spaceHeld_ = false;
        updateCursor();
        repaintAround({});
    }
    QWidget::focusOutEvent(event);
}
