#include "benchimages.h"

#include "imaging.h"

#include <QFile>
#include <QImage>

#include <algorithm>
#include <cmath>

namespace BenchImages {

const char* name(Case c) {
    switch (c) {
    case Case::ThinStroke:
        return "thin_stroke_8x1500";
    case Case::FeatheredDisc:
        return "feathered_disc_300";
    case Case::Blob:
        return "blob_700x500";
    }
    return "";
}

QString sourcePhotoPath() {
    const QString path = "/usr/share/doc/opencv-doc/examples/data/building.jpg";
    return QFile::exists(path) ? path : QString();
}

PixelImage photo() {
    QImage source;
    if (const QString path = sourcePhotoPath(); !path.isEmpty())
        source.load(path);
    if (source.isNull()) {
        source = QImage(512, 512, QImage::Format_RGB32);
        for (int y = 0; y < 512; ++y)
            for (int x = 0; x < 512; ++x)
                source.setPixel(x, y,
                                qRgb(int(128 + 100 * std::sin(x * 0.11) * std::cos(y * 0.07)),
                                     (x * y / 64) & 255,
                                     int(128 + 120 * std::sin((x + y) * 0.05))));
    }
    const QImage big =
        source.scaled(int(kWidth), int(kHeight), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return *Imaging::fromQImage(big);
}

namespace {

// Raises the mask to a brush-like coverage: full inside `inner`, smooth-step to 0 at `outer`.
void soften(std::vector<uint8_t>& m, int64_t x, int64_t y, double d, double inner, double outer) {
    double a = 255.0;
    if (d >= outer)
        return;
    if (d > inner) {
        const double t = (d - inner) / (outer - inner);
        a = (1.0 - t * t * (3.0 - 2.0 * t)) * 255.0;
    }
    uint8_t& v = m[y * kWidth + x];
    v = std::max(v, uint8_t(a));
}

} // namespace

std::vector<uint8_t> mask(Case c) {
    std::vector<uint8_t> m(size_t(kWidth * kHeight), 0);
    switch (c) {
    case Case::ThinStroke: {
        // A diagonal stroke of a brush 8 pixels across, from (700, 600) to (1900, 1500).
        const double x0 = 700, y0 = 600, dx = 1200, dy = 900, len = 1500;
        for (int64_t y = 590; y < 1510; ++y)
            for (int64_t x = 690; x < 1910; ++x) {
                const double t =
                    std::clamp(((x + 0.5 - x0) * dx + (y + 0.5 - y0) * dy) / (len * len), 0.0, 1.0);
                const double d = std::hypot(x + 0.5 - (x0 + t * dx), y + 0.5 - (y0 + t * dy));
                soften(m, x, y, d, 2.6, 4.0);
            }
        break;
    }
    case Case::FeatheredDisc:
        for (int64_t y = 850; y < 1150; ++y)
            for (int64_t x = 1350; x < 1650; ++x)
                soften(m, x, y, std::hypot(x + 0.5 - 1500, y + 0.5 - 1000), 97.5, 150.0);
        break;
    case Case::Blob:
        // An ellipse 700 x 500 with a wavy outline, as a hand-painted object mask.
        for (int64_t y = 850; y < 1350; ++y)
            for (int64_t x = 1250; x < 1950; ++x) {
                const double u = (x + 0.5 - 1600) / 350.0, v = (y + 0.5 - 1100) / 250.0;
                const double angle = std::atan2(v, u);
                const double r = std::hypot(u, v) * (1.0 + 0.06 * std::sin(5 * angle));
                soften(m, x, y, r * 240.0, 215.0, 226.0);
            }
        break;
    }
    return m;
}

} // namespace BenchImages
