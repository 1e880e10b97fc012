#include "scaledimagecache.h"

#include <QImage>

const QPixmap& ScaledImageCache::pixmap(const QImage& image, QSize pixelSize, qreal dpr) {
    if (pixmap_.isNull() || image.cacheKey() != key_ || pixelSize != size_ || dpr != dpr_) {
        // QImage::scaled averages areas when it reduces, where a smooth drawImage would
        // sample bilinearly and alias below half size.
        pixmap_ = QPixmap::fromImage(
            image.scaled(pixelSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        pixmap_.setDevicePixelRatio(dpr);
        key_ = image.cacheKey();
        size_ = pixelSize;
        dpr_ = dpr;
    }
    return pixmap_;
}
