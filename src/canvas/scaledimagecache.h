#pragma once

#include <QPixmap>
#include <QSize>

class QImage;

// A picture scaled down once to the size it is shown at, so that drawing it is a plain blit
// rather than a rescale of the full picture on every pass. It holds one picture (by its
// cacheKey) at one device pixel size and ratio; asking for anything else rebuilds it.
class ScaledImageCache {
public:
    // The picture smoothly scaled to pixelSize device pixels, tagged with dpr.
    const QPixmap& pixmap(const QImage& image, QSize pixelSize, qreal dpr);

private:
    qint64 key_ = 0;
    QSize size_;
    qreal dpr_ = 0;
    QPixmap pixmap_;
};
