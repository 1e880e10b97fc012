// Decoding bytes as the application decodes dropped or pasted data: detection, the
// structural checks, decoding, orientation, compositing over white. Every result is
// opaque, within the size cap, and the same on a second decode. In a build without
// AddressSanitizer the two decodes run with different heap fill bytes (glibc's
// M_PERTURB), so a byte a decoder left unwritten shows as a difference.
#include "fuzzsupport.h"
#include "imaging.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>

#include <malloc.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::startQt();
    Imaging::configureImageReader();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    mallopt(M_PERTURB, 0x55);
    const Imaging::Decoded first = Imaging::decodeData(bytes);
    mallopt(M_PERTURB, 0xAA);
    const Imaging::Decoded second = Imaging::decodeData(bytes);
    mallopt(M_PERTURB, 0);
    if (first.error != second.error || bool(first.image) != bool(second.image))
        Fuzz::broken("the same bytes decode the same way twice");
    if (!first.image)
        return 0;
    const PixelImage& image = *first.image;
    if (image.width() < 1 || image.height() < 1 ||
        std::max(image.width(), image.height()) > Imaging::kMaxSide)
        Fuzz::broken("a decoded picture is within the size cap");
    if (!(image == *second.image))
        Fuzz::broken("no unwritten byte reaches a picture");
    const auto pixels = image.bytes();
    for (size_t i = 3; i < pixels.size(); i += 4)
        if (pixels[i] != 255)
            Fuzz::broken("a decoded picture is opaque");
    return 0;
}
