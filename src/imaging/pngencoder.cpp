#include "pngencoder.h"

#include <QIODevice>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace Imaging {
namespace {

// libdeflate's fastest level: on photographs its output is already smaller than zlib's
// level 6 with per-row filter choice.
constexpr int kDeflateLevel = 1;
// The compressed stream is stored in IDAT chunks of at most this size.
constexpr size_t kChunkBytes = size_t(1) << 20;

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

void putBigEndian(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool writeAll(QIODevice& device, const uint8_t* data, size_t size) {
    while (size > 0) {
        const qint64 n = device.write(reinterpret_cast<const char*>(data), qint64(size));
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool writeChunk(QIODevice& device, const char (&type)[5], const uint8_t* data, size_t size) {
    uint8_t head[8];
    putBigEndian(head, uint32_t(size));
    std::memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (size > 0) // libdeflate_crc32 answers its starting value for a null buffer
        crc = libdeflate_crc32(crc, data, size);
    uint8_t tail[4];
    putBigEndian(tail, crc);
    return writeAll(device, head, 8) && writeAll(device, data, size) && writeAll(device, tail, 4);
}

// Each row as a filter byte and the row's R, G, B bytes minus those of the row above
// (the picture's first row as it is: it has no row above; rows.data's first row is the
// picture's first when `first`).
void filterRows(const RgbxRows& rows, uint8_t* out, bool first = true) {
    const int64_t w = rows.width;
    for (int64_t y = 0; y < rows.height; ++y) {
        const uint8_t* cur = rows.data + y * rows.stride;
        uint8_t* o = out + y * (w * 3 + 1);
        if (y == 0 && first) {
            *o++ = 0; // None
            for (int64_t x = 0; x < w; ++x, o += 3, cur += 4) {
                o[0] = cur[0];
                o[1] = cur[1];
                o[2] = cur[2];
            }
            continue;
        }
        const uint8_t* up = cur - rows.stride;
        *o++ = 2; // Up
        for (int64_t x = 0; x < w; ++x, o += 3, cur += 4, up += 4) {
            o[0] = uint8_t(cur[0] - up[0]);
            o[1] = uint8_t(cur[1] - up[1]);
            o[2] = uint8_t(cur[2] - up[2]);
        }
    }
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

bool writeHeader(const RgbxRows& rows, QIODevice& device) {
    uint8_t header[13];
    putBigEndian(header, uint32_t(rows.width));
    putBigEndian(header + 4, uint32_t(rows.height));
    header[8] = 8;            // bits per sample
    header[9] = 2;            // colour type: RGB
    header[10] = 0;           // deflate
    header[11] = 0;           // adaptive filtering
    header[12] = 0;           // no interlacing
    const uint8_t intent = 0; // sRGB, perceptual rendering intent
    return writeAll(device, kSignature.data(), kSignature.size()) &&
           writeChunk(device, "IHDR", header, sizeof header) &&
           writeChunk(device, "sRGB", &intent, 1);
}

constexpr int64_t kBandRows = 64;

bool encodeInBands(const RgbxRows& rows, QIODevice& device) {
    const int64_t rowBytes = rows.width * 3 + 1;
    std::vector<uint8_t> band;
    std::vector<uint8_t> out;
    z_stream zs{};
    try {
        band.resize(size_t(rowBytes * kBandRows));
        out.resize(kChunkBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (deflateInit(&zs, kDeflateLevel) != Z_OK)
        return false;
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, deflateEnd);
    if (!writeHeader(rows, device))
        return false;
    auto drain = [&](int flush) {
        do {
            zs.next_out = out.data();
            zs.avail_out = uInt(out.size());
            const int status = deflate(&zs, flush);
            if (status == Z_STREAM_ERROR)
                return false;
            const size_t n = out.size() - zs.avail_out;
            if (n > 0 && !writeChunk(device, "IDAT", out.data(), n))
                return false;
        } while (zs.avail_out == 0);
        return true;
    };
    for (int64_t y = 0; y < rows.height; y += kBandRows) {
        const int64_t count = std::min(kBandRows, rows.height - y);
        RgbxRows part = rows;
        part.data = rows.data + y * rows.stride;
        part.height = count;
        filterRows(part, band.data(), y == 0);
        zs.next_in = band.data();
        zs.avail_in = uInt(rowBytes * count);
        if (!drain(Z_NO_FLUSH))
            return false;
    }
    if (!drain(Z_FINISH))
        return false;
    return writeChunk(device, "IEND", nullptr, 0);
}

} // namespace

bool encodePng(const RgbxRows& rows, QIODevice& device, int64_t wholeLimit) {
    if (!rows.data || rows.width <= 0 || rows.height <= 0 || rows.width > 0x7fffffff ||
        rows.height > 0x7fffffff)
        return false;
    const size_t rawSize = size_t(rows.width * 3 + 1) * size_t(rows.height);
    if (int64_t(rawSize) > wholeLimit)
        return encodeInBands(rows, device);

    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(kDeflateLevel));
    if (!compressor)
        return false;
    std::unique_ptr<uint8_t[]> raw;
    std::unique_ptr<uint8_t[]> packed;
    const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rawSize);
    try {
        // Left uninitialised: every byte is written before it is read, and pages of the
        // compression bound that the output never reaches are never touched.
        raw = std::make_unique_for_overwrite<uint8_t[]>(rawSize);
        packed = std::make_unique_for_overwrite<uint8_t[]>(bound);
    } catch (const std::bad_alloc&) {
        return false;
    }
    filterRows(rows, raw.get());
    const size_t packedSize =
        libdeflate_zlib_compress(compressor.get(), raw.get(), rawSize, packed.get(), bound);
    raw.reset();
    if (packedSize == 0)
        return false;

    if (!writeHeader(rows, device))
        return false;
    for (size_t at = 0; at < packedSize; at += kChunkBytes)
        if (!writeChunk(device, "IDAT", packed.get() + at, std::min(kChunkBytes, packedSize - at)))
            return false;
    return writeChunk(device, "IEND", nullptr, 0);
}

} // namespace Imaging
