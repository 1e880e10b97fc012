#pragma once

#include <QImage>
#include <QRectF>

#include <array>

class QPainter;

// The soft shadow under the picture: black at an opacity of 0.35 blurred with a blur radius
// of 12 (a Gaussian of standard deviation 6). QPainter has no shadow of its own, so the
// shadow of a rectangle is assembled from tiles computed once: four corners and four edge
// profiles stretched along the sides. A pass costs eight small blits whatever the size.
class DropShadow {
public:
    DropShadow();

    // Draws the shadow that a filled rectangle rect would cast, outside and inside it;
    // the caller covers the inside.
    void paint(QPainter& p, const QRectF& rect) const;

private:
    // Reach of the shadow on each side of an edge, in pixels: three standard deviations.
    static constexpr int reach = 18;

    // Top-left, top-right, bottom-left, bottom-right; each 2 x reach square, centred on
    // its corner.
    std::array<QImage, 4> corners_;
    // Profiles across the left, right, top and bottom edges, centred on the edge.
    std::array<QImage, 4> edges_;
};
