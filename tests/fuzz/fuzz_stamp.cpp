// The mask store's brush stamp with any centre, radius and feather, NaN and infinities
// included: bytes only rise, and only inside the rectangle the stamp reports, which lies
// within the store.
#include "fuzzsupport.h"
#include "maskstore.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::startQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int64_t width = 1 + data[0] % 96;
    const int64_t height = 1 + data[1] % 96;
    data += 2;
    size -= 2;
    MaskStore store(width, height);
    std::vector<uint8_t> before(size_t(width * height), 0);
    while (size >= 3 * sizeof(double) + 1) {
        double v[3];
        std::memcpy(v, data, sizeof v);
        // One byte picks how wild the numbers are: raw bits, or scaled into the picture.
        if (data[sizeof v] & 1) {
            for (double& x : v)
                x = std::isfinite(x) ? std::fmod(x, 1000.0) : x;
        }
        data += sizeof v + 1;
        size -= sizeof v + 1;
        const QRect visited = store.stamp(QPointF(v[0], v[1]), v[2], v[2] * 0.01);
        if (!visited.isEmpty() && !QRect(0, 0, int(width), int(height)).contains(visited))
            Fuzz::broken("a stamp visits only pixels of the store");
        const uint8_t* after = store.bytes().data();
        for (int64_t y = 0; y < height; ++y) {
            for (int64_t x = 0; x < width; ++x) {
                const size_t i = size_t(y * width + x);
                if (after[i] < before[i])
                    Fuzz::broken("a stamp only raises bytes");
                if (after[i] != before[i] && !visited.contains(int(x), int(y)))
                    Fuzz::broken("a stamp changes only the rectangle it reports");
            }
        }
        std::memcpy(before.data(), after, before.size());
    }
    if (store.tiles().toBytes() != before)
        Fuzz::broken("the tiles hold the bytes the store shows");
    return 0;
}
