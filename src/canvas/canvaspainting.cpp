// Drawing the canvas: the picture, the mask overlay, the brush ring and the compare split.
#include "canvasview.h"

#include "maskstore.h"
#include "mirelomodel.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

const QColor splitArrowColor(85, 85, 85);

QPen pen(const QColor& colour, double width) {
    // Flat caps and mitred joins: dashes end square on the ring, and the chevrons on the
    // split handle keep their points.
    QPen p(colour, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    p.setMiterLimit(10);
    return p;
}

// The device pixel nearest to p, so that cached pictures land on whole pixels and the
// overlay stays registered with the picture under it.
QPointF snapped(QPointF p, qreal dpr) {
    return {std::round(p.x() * dpr) / dpr, std::round(p.y() * dpr) / dpr};
}

} // namespace

// Drawing

void CanvasView::paintEvent(QPaintEvent*) {
    // The painter is clipped to the area that needs repainting; drawing outside it is free.
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Dark));
    const std::optional<ImageGeometry> g = imageGeometry();
    if (!g || model_.currentImage().isNull())
        return;

    // The picture's rectangle casts its shadow 2 points upward. The picture covers the
    // rectangle; the black under it shows only where a scaled edge falls between pixels.
    shadow_.paint(p, g->rect.translated(0, -2));
    p.fillRect(g->rect, Qt::black);

    if (model_.compare() && !model_.originalImage().isNull()) {
        drawCompare(p, *g, QRectF(rect()));
        return;
    }
    drawImage(p, model_.currentImage(), currentCache_, *g);
    drawOverlay(p, *g);
    drawRing(p, *g);
}

void CanvasView::drawImage(QPainter& p, const QImage& image, ScaledImageCache& cache,
                           const ImageGeometry& g) {
    if (g.scale < 1.0) {
        const qreal dpr = devicePixelRatioF();
        p.drawPixmap(snapped(g.rect.topLeft(), dpr), cache.pixmap(image, displaySize(g), dpr));
    } else {
        // Nearest pixel, so that enlarged pixels show as squares; only visible ones are read.
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(g.rect, image, QRectF(image.rect()));
    }
}

void CanvasView::drawOverlay(QPainter& p, const ImageGeometry& g) {
    const MaskStore* mask = model_.mask();
    if (!mask)
        return;
    // Stamps, undo and clearing change some tiles of the mask; a new mask changes them all.
    QRect changed;
    const QImage& source = tint_.update(*mask, &changed);
    reducedTint_.markDirty(changed);
    if (g.scale < 1.0) {
        // Kept current even while nothing is painted, so that the first stamp of a stroke
        // updates its own area instead of rebuilding the whole reduced copy.
        const qreal dpr = devicePixelRatioF();
        const QImage& reduced = reducedTint_.update(source, mask->bytes(), displaySize(g), dpr);
        if (mask->hasPaint())
            p.drawImage(snapped(g.rect.topLeft(), dpr), reduced);
    } else if (mask->hasPaint()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(g.rect, source, QRectF(source.rect()));
    }
}

void CanvasView::drawRing(QPainter& p, const ImageGeometry& g) const {
    if (!mousePoint_ || ringHidden())
        return;
    const QPointF m = *mousePoint_;
    const double r = g.scale * model_.brushSize() * 0.5;
    const double ri = r * (1.0 - model_.feather());
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(QColor::fromRgbF(0, 0, 0, 0.9), 3));
    p.drawEllipse(m, r, r);
    p.setPen(pen(QColor::fromRgbF(1, 1, 1, 0.9), 1.5));
    p.drawEllipse(m, r, r);
    // The inner ring marks where the soft edge begins, when it is wide enough to see.
    if (r - ri > 2.0) {
        QPen dashed = pen(QColor::fromRgbF(1, 1, 1, 0.6), 1);
        dashed.setDashPattern({3, 3}); // in pen widths, which are 1 here
        p.setPen(dashed);
        p.drawEllipse(m, ri, ri);
    }
    p.restore();
}

void CanvasView::drawCompare(QPainter& p, const ImageGeometry& g, const QRectF& bounds) {
    const QRectF& r = g.rect;
    const double splitX = r.left() + r.width() * model_.compareSplit();
    p.save();
    p.setClipRect(QRectF(r.left(), r.top(), splitX - r.left(), r.height()), Qt::IntersectClip);
    drawImage(p, model_.originalImage(), originalCache_, g);
    p.restore();
    p.save();
    p.setClipRect(QRectF(splitX, r.top(), r.right() - splitX, r.height()), Qt::IntersectClip);
    drawImage(p, model_.currentImage(), currentCache_, g);
    p.restore();

    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(pen(Qt::white, 2));
    p.drawLine(QPointF(splitX, r.top()), QPointF(splitX, r.bottom()));
    const double midY = r.center().y();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(splitX, midY), 14, 14);
    QPainterPath arrows;
    arrows.moveTo(splitX - 3, midY - 5);
    arrows.lineTo(splitX - 8, midY);
    arrows.lineTo(splitX - 3, midY + 5);
    arrows.moveTo(splitX + 3, midY - 5);
    arrows.lineTo(splitX + 8, midY);
    arrows.lineTo(splitX + 3, midY + 5);
    p.setPen(pen(splitArrowColor, 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arrows);

    // The tags follow the picture's top corners but stay inside the view.
    const double ty = std::max(r.top(), 0.0) + 10;
    label(p, QStringLiteral("Before"), QPointF(std::max(r.left(), bounds.left()) + 10, ty), true);
    label(p, QStringLiteral("After"), QPointF(std::min(r.right(), bounds.right()) - 10, ty), false);
    p.restore();
}

void CanvasView::label(QPainter& p, const QString& text, QPointF at, bool left) const {
    QFont f = font();
    f.setPixelSize(12);
    f.setWeight(QFont::DemiBold);
    const QFontMetricsF metrics(f);
    const double tw = metrics.horizontalAdvance(text);
    const double th = metrics.height();
    const QRectF box(left ? at.x() : at.x() - tw - 16, at.y(), tw + 16, th + 6);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgbF(0, 0, 0, 0.55));
    p.drawRoundedRect(box, 6, 6);
    p.setFont(f);
    p.setPen(Qt::white);
    // drawText at a point would place the baseline there, not the top.
    p.drawText(QRectF(box.left() + 8, box.top() + 3, tw, th), Qt::AlignLeft | Qt::AlignTop, text);
    p.restore();
}
