// The erase engine on a small picture and mask (up to 64 x 64) made from the input:
// pixels the mask leaves unpainted keep their colour, and a second run with the same
// inputs gives the same bytes.
#include "fuzzsupport.h"
#include "inpainter.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    const int64_t w = 1 + data[0] % 64;
    const int64_t h = 1 + data[1] % 64;
    const auto method = data[2] & 1 ? Inpainter::Method::Texture : Inpainter::Method::Standard;
    const int processors = 1 + (data[2] >> 1) % 2;
    // The mask: runs of paint and no paint whose lengths and strengths come from the
    // input, so holes are blobs rather than noise. The picture: a smooth pattern seeded
    // by the input, with the input's bytes on top where there are enough.
    std::vector<uint8_t> mask(size_t(w * h), 0);
    size_t at = 3;
    for (size_t i = 0; i < mask.size() && at + 1 < size; at += 2) {
        const size_t run = 1 + data[at] % 48;
        const uint8_t value = data[at + 1] & 1 ? uint8_t(data[at + 1] | 1) : 0;
        for (size_t k = 0; k < run && i < mask.size(); ++k)
            mask[i++] = value;
    }
    std::vector<uint8_t> pixels(size_t(w * h * 4));
    for (size_t i = 0; i < pixels.size(); ++i) {
        const size_t p = i / 4;
        pixels[i] =
            uint8_t(i % 4 == 3 ? 255 : (p % size_t(w)) * 3 + (p / size_t(w)) * 5 + i % 4 * 40);
        if (at < size)
            pixels[i] = uint8_t(pixels[i] ^ data[at++]);
    }
    const PixelImage picture(w, h, pixels);
    const PixelImage first = Inpainter::run(picture, mask, {}, processors, method);
    const PixelImage second = Inpainter::run(picture, mask, {}, processors, method);
    if (first.width() != w || first.height() != h)
        Fuzz::broken("the result has the picture's size");
    if (!(first == second))
        Fuzz::broken("two runs give the same bytes");
    const auto out = first.bytes();
    for (size_t p = 0; p < mask.size(); ++p)
        if (mask[p] == 0)
            for (size_t c = 0; c < 3; ++c)
                if (out[p * 4 + c] != pixels[p * 4 + c])
                    Fuzz::broken("unpainted pixels keep their colour");
    return 0;
}
