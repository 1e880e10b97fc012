#pragma once

// The photo and masks the erase benchmarks run on. The photo is a real one shipped by
// Debian's opencv-doc package, scaled up to 3072 x 2048; without it a synthetic texture
// stands in (and the benchmark says so).

#include "pixelimage.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace BenchImages {

inline constexpr int64_t kWidth = 3072;
inline constexpr int64_t kHeight = 2048;

enum class Case {
    ThinStroke,    // an 8-pixel brush stroke 1500 pixels long
    FeatheredDisc, // a 300 x 300 disc with a soft edge
    Blob,          // a 700 x 500 irregular blob
};
const char* name(Case c);

// Path of the source photo, empty when it is not installed.
QString sourcePhotoPath();
PixelImage photo();
std::vector<uint8_t> mask(Case c);

} // namespace BenchImages
