#include "dropshadow.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr double opacity = 0.35;
constexpr double sigma = 6.0;

// The fraction of a blurred edge's darkness at distance t outside the edge (negative
// inside): the Gaussian's cumulative tail.
double falloff(double t) { return 0.5 * std::erfc(t / (sigma * std::sqrt(2.0))); }

QImage tile(int w, int h, auto alphaAt) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = qRgba(0, 0, 0, static_cast<int>(std::lround(255.0 * alphaAt(x, y))));
    }
    return image;
}

} // namespace

DropShadow::DropShadow() {
    constexpr int b = reach;
    // Distance outside an edge of the pixel at offset i of a tile that starts b pixels
    // before the edge (before) or b pixels inside it (after).
    const auto before = [](int i) { return b - i - 0.5; };
    const auto after = [](int i) { return i + 0.5 - b; };
    const auto corner = [&](auto tx, auto ty) {
        return tile(2 * b, 2 * b,
                    [&](int x, int y) { return opacity * falloff(tx(x)) * falloff(ty(y)); });
    };
    corners_ = {corner(before, before), corner(after, before), corner(before, after),
                corner(after, after)};
    edges_ = {tile(2 * b, 1, [&](int x, int) { return opacity * falloff(before(x)); }),
              tile(2 * b, 1, [&](int x, int) { return opacity * falloff(after(x)); }),
              tile(1, 2 * b, [&](int, int y) { return opacity * falloff(before(y)); }),
              tile(1, 2 * b, [&](int, int y) { return opacity * falloff(after(y)); })};
}

void DropShadow::paint(QPainter& p, const QRectF& rect) const {
    // Whole pixels keep the tiles seamless; the shadow is too soft for the rounding to show.
    const double left = std::round(rect.left());
    const double top = std::round(rect.top());
    const double right = std::round(rect.right());
    const double bottom = std::round(rect.bottom());
    const double b = reach;
    // On a rectangle smaller than two tiles the corners meet halfway and the edges vanish.
    const double hx = std::min(b, std::floor((right - left) / 2));
    const double hy = std::min(b, std::floor((bottom - top) / 2));
    const double midW = right - left - 2 * hx;
    const double midH = bottom - top - 2 * hy;

    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.drawImage(QRectF(left - b, top - b, b + hx, b + hy), corners_[0],
                QRectF(0, 0, b + hx, b + hy));
    p.drawImage(QRectF(right - hx, top - b, hx + b, b + hy), corners_[1],
                QRectF(b - hx, 0, hx + b, b + hy));
    p.drawImage(QRectF(left - b, bottom - hy, b + hx, hy + b), corners_[2],
                QRectF(0, b - hy, b + hx, hy + b));
    p.drawImage(QRectF(right - hx, bottom - hy, hx + b, hy + b), corners_[3],
                QRectF(b - hx, b - hy, hx + b, hy + b));
    if (midH > 0) {
        p.drawImage(QRectF(left - b, top + hy, 2 * b, midH), edges_[0]);
        p.drawImage(QRectF(right - b, top + hy, 2 * b, midH), edges_[1]);
    }
    if (midW > 0) {
        p.drawImage(QRectF(left + hx, top - b, midW, 2 * b), edges_[2]);
        p.drawImage(QRectF(left + hx, bottom - b, midW, 2 * b), edges_[3]);
    }
    p.restore();
}
