#pragma once

#include "dropshadow.h"
#include "maskoverlay.h"
#include "scaledimagecache.h"
#include "scaledoverlay.h"

#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <optional>

class MireloModel;
class QPainter;

// Where the picture sits in the canvas: its rectangle in view coordinates and the number
// of view points per image pixel.
struct ImageGeometry {
    QRectF rect;
    double scale = 1.0;
};

// The interactive view of the document: the picture fitted, zoomed and panned over a soft
// shadow, the mask overlay, a ring showing the brush under the pointer, and in compare mode
// the picture as loaded beside the current one, divided by a draggable split.
//
// Input: a left-button press and drag paints one stroke (one undo step), or with Space or
// Alt held pans, or in compare mode moves the split. A drag with another button and the
// scroll wheel pan (Shift-scroll sideways); Ctrl-scroll and pinching zoom around the
// pointer; "[" and "]" step the brush size. However it is panned, at least 64 points of the
// picture stay in view.
//
// The view holds no document state: it draws the model on every pass and writes the model's
// view fields (zoom, pan, compareSplit) and brush size. What depends only on the picture,
// zoom and view size is cached, and events repaint only the area they change.
class CanvasView : public QWidget {
    Q_OBJECT

public:
    // Follows the model's signals; the model must outlive the view.
    explicit CanvasView(MireloModel& model, QWidget* parent = nullptr);

    // Absent while the model has no image.
    std::optional<ImageGeometry> imageGeometry() const;
    // Multiplies the zoom by factor (kept within the model's limits) so that the image
    // pixel under the view point around stays where it is.
    void zoom(qreal factor, QPointF around);
    // Shows one image pixel per view point, keeping the pixel at the view's centre in place.
    void zoomToActualSize();

signals:
    // The picture's scale in the view changed: a zoom, a new picture or a new view size.
    void scaleChanged();

public slots:
    // Any published change of the model: redraw everything and pick the cursor again.
    void modelChanged();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // The fit factor for the current view size and image, before the zoom.
    double fitScale() const;
    // The model's zoom or pan changed: keep the picture in view.
    void viewChanged();
    // The model replaced its picture or mask: draw it all again.
    void pictureChanged();
    // Limits the pan so that some of the picture always stays in view.
    void keepPictureInView();
    void updateCursor();
    // Emits scaleChanged() when the scale differs from the one last announced.
    void announceScale();
    // While Space is held or the picture is dragged around, the pointer is a hand.
    bool ringHidden() const { return panning_ || spaceHeld_; }

    void drawImage(QPainter& p, const QImage& image, ScaledImageCache& cache,
                   const ImageGeometry& g);
    void drawOverlay(QPainter& p, const ImageGeometry& g);
    void drawRing(QPainter& p, const ImageGeometry& g) const;
    void drawCompare(QPainter& p, const ImageGeometry& g, const QRectF& bounds);
    void label(QPainter& p, const QString& text, QPointF at, bool left) const;
    // Device pixel size of the picture drawn at scale g.scale.
    QSize displaySize(const ImageGeometry& g) const;

    // The area the brush ring covers now; empty while it is hidden.
    QRectF visibleRingBounds() const;
    // Repaints where the ring was (before), what an event changed and where the ring is now.
    void repaintAround(const QRectF& before, const QRectF& changed = {});

    void setSplit(QPointF p);
    // Stamps the brush along a segment in image coordinates; returns the view area changed.
    QRectF paintSegment(QPointF from, QPointF to, const ImageGeometry& g);
    void smartZoom(QPointF around);

    MireloModel& model_;

    std::optional<QPointF> mousePoint_;
    std::optional<QPointF> lastImagePoint_;
    bool painting_ = false;
    bool panning_ = false;
    // Space is down: a left-button drag pans.
    bool spaceHeld_ = false;
    std::optional<double> announcedScale_;
    // Last position of a drag with a button other than the left one.
    std::optional<QPointF> otherDragPoint_;

    DropShadow shadow_;
    ScaledImageCache currentCache_;
    ScaledImageCache originalCache_;
    MaskOverlay tint_;
    ScaledOverlay reducedTint_;
};
