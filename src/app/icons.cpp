#include "icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QStyle>

#include <array>
#include <cmath>
#include <optional>

namespace Icons {
namespace {

constexpr int kSize = 32;

// A square pixmap with antialiased drawing in the given colour, 2-pixel pen.
template <typename Draw> QPixmap drawn(int size, const QColor& colour, Draw draw) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / double(kSize), size / double(kSize));
    QPen pen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    draw(p, colour);
    return pm;
}

void glass(QPainter& p) {
    p.drawEllipse(QPointF(13, 13), 8, 8);
    p.drawLine(QPointF(19, 19), QPointF(27, 27));
}

void star(QPainter& p, QPointF c, double r, const QColor& colour) {
    QPainterPath path;
    for (int k = 0; k < 8; ++k) {
        const double a = k * M_PI / 4.0;
        const double d = k % 2 ? r * 0.35 : r;
        const QPointF q(c.x() + d * std::sin(a), c.y() - d * std::cos(a));
        k ? path.lineTo(q) : path.moveTo(q);
    }
    path.closeSubpath();
    p.fillPath(path, colour);
}

QPixmap painted(Name name, const QColor& c) {
    switch (name) {
    case Name::Compare:
        return drawn(kSize, c, [](QPainter& p, const QColor&) {
            p.drawRoundedRect(QRectF(5, 7, 22, 18), 3, 3);
            p.drawLine(QPointF(16, 4), QPointF(16, 28));
        });
    case Name::ZoomOut:
        return drawn(kSize, c, [](QPainter& p, const QColor&) {
            glass(p);
            p.drawLine(QPointF(9, 13), QPointF(17, 13));
        });
    case Name::ZoomIn:
        return drawn(kSize, c, [](QPainter& p, const QColor&) {
            glass(p);
            p.drawLine(QPointF(9, 13), QPointF(17, 13));
            p.drawLine(QPointF(13, 9), QPointF(13, 17));
        });
    case Name::Fit:
        return drawn(kSize, c, [](QPainter& p, const QColor&) {
            glass(p);
            p.drawLine(QPointF(10, 10), QPointF(16, 16));
            p.drawLine(QPointF(10, 10), QPointF(10, 13.5));
            p.drawLine(QPointF(10, 10), QPointF(13.5, 10));
            p.drawLine(QPointF(16, 16), QPointF(16, 12.5));
            p.drawLine(QPointF(16, 16), QPointF(12.5, 16));
        });
    case Name::Copy:
        return drawn(kSize, c, [](QPainter& p, const QColor&) {
            p.drawRoundedRect(QRectF(7, 6, 18, 22), 2, 2);
            p.drawRect(QRectF(12, 3.5, 8, 5));
            p.drawLine(QPointF(11, 15), QPointF(21, 15));
            p.drawLine(QPointF(11, 20), QPointF(21, 20));
        });
    case Name::Brush:
        return drawn(kSize, c, [](QPainter& p, const QColor& colour) {
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawEllipse(QPointF(16, 16), 11, 11);
        });
    default: // the wand
        return wand(kSize, c);
    }
}

} // namespace

QPixmap wand(int size, const QColor& colour) {
    return drawn(size, colour, [](QPainter& p, const QColor& c) {
        QPen stick = p.pen();
        stick.setWidthF(3.0);
        p.setPen(stick);
        p.drawLine(QPointF(5, 27), QPointF(19, 13));
        star(p, QPointF(23, 9), 7, c);
        star(p, QPointF(11, 7), 3.5, c);
        star(p, QPointF(26, 22), 3, c);
    });
}

QIcon icon(Name name, const QStyle* style) {
    // Theme names tried in order; then a standard style icon where one fits, else a picture
    // drawn here.
    struct Source {
        std::array<const char*, 2> theme; // unused entries are null
        std::optional<QStyle::StandardPixmap> standard;
    };
    auto source = [](Name n) -> Source {
        switch (n) {
        case Name::Open:
            return {{"document-open"}, QStyle::SP_DialogOpenButton};
        case Name::Undo:
            return {{"edit-undo"}, QStyle::SP_ArrowBack};
        case Name::Redo:
            return {{"edit-redo"}, QStyle::SP_ArrowForward};
        case Name::Save:
            return {{"document-save"}, QStyle::SP_DialogSaveButton};
        case Name::Clear:
            return {{"edit-clear"}, QStyle::SP_LineEditClearButton};
        case Name::Compare:
            return {{"view-split-left-right", "object-flip-horizontal"}, std::nullopt};
        case Name::ZoomOut:
            return {{"zoom-out"}, std::nullopt};
        case Name::ZoomIn:
            return {{"zoom-in"}, std::nullopt};
        case Name::Fit:
            return {{"zoom-fit-best"}, std::nullopt};
        case Name::Copy:
            return {{"edit-copy"}, std::nullopt};
        case Name::Erase:
            return {{"tools-wizard", "starred"}, std::nullopt};
        case Name::Brush:
            break;
        }
        return {{}, std::nullopt};
    };
    const QPalette palette = style ? style->standardPalette() : QPalette();
    if (name == Name::Brush) // always the small disc in the secondary colour
        return QIcon(painted(name, palette.color(QPalette::PlaceholderText)));
    const Source from = source(name);
    for (const char* n : from.theme)
        if (n && QIcon::hasThemeIcon(n))
            return QIcon::fromTheme(n);
    if (from.standard && style)
        return style->standardIcon(*from.standard);
    return QIcon(painted(name, palette.color(QPalette::WindowText)));
}

} // namespace Icons
