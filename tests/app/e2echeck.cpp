// Checks the end-to-end test's result: e2echeck ORIGINAL RESULT
// The result must have the original's size, unchanged pixels away from the painted
// object in the centre, and the black object in the centre gone.
#include "imaging.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const auto a = Imaging::decodeFile(QString::fromLocal8Bit(argv[1]));
    const auto b = Imaging::decodeFile(QString::fromLocal8Bit(argv[2]));
    if (!a.image || !b.image) {
        std::fprintf(stderr, "cannot read the images\n");
        return 1;
    }
    const int64_t w = a.image->width(), h = a.image->height();
    if (b.image->width() != w || b.image->height() != h) {
        std::fprintf(stderr, "size %lld x %lld, expected %lld x %lld\n",
                     (long long)b.image->width(), (long long)b.image->height(), (long long)w,
                     (long long)h);
        return 1;
    }
    int64_t changed = 0, outside = 0;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const uint8_t* p = a.image->bytes().data() + (y * w + x) * 4;
            const uint8_t* q = b.image->bytes().data() + (y * w + x) * 4;
            if (p[0] == q[0] && p[1] == q[1] && p[2] == q[2])
                continue;
            ++changed;
            // The stroke stays within the central third plus the brush radius.
            if (std::abs(x - w / 2) > w / 3 || std::abs(y - h / 2) > h / 3)
                ++outside;
        }
    const uint8_t* centre = b.image->bytes().data() + ((h / 2) * w + w / 2) * 4;
    std::printf("%lld pixels changed, %lld outside the stroke area, centre %d,%d,%d\n",
                (long long)changed, (long long)outside, centre[0], centre[1], centre[2]);
    const bool ok = changed > 500 && outside == 0 && centre[0] + centre[1] + centre[2] > 60;
    return ok ? 0 : 1;
}
