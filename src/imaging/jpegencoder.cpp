#include "jpegencoder.h"

#include "imaging.h"
#include "jpegerrors.h"

#include <QIODevice>

#include <array>
#include <memory>

namespace Imaging {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
// libjpeg's largest side.
constexpr int64_t kMaxJpegSide = JPEG_MAX_DIMENSION;

// Hands the compressed bytes to a device a buffer at a time; a failed write ends the
// compression.
struct Destination : jpeg_destination_mgr {
    Destination() : jpeg_destination_mgr{} {
        init_destination = start;
        empty_output_buffer = writeFull;
        term_destination = writeRest;
    }
    QIODevice* device = nullptr;
    std::array<JOCTET, kBufferSize> buffer{};

    static Destination* of(j_compress_ptr info) { return static_cast<Destination*>(info->dest); }
    static void start(j_compress_ptr info) {
        Destination* d = of(info);
        d->next_output_byte = d->buffer.data();
        d->free_in_buffer = d->buffer.size();
    }
    static void put(j_compress_ptr info, size_t bytes) {
        Destination* d = of(info);
        if (d->device->write(reinterpret_cast<const char*>(d->buffer.data()), qint64(bytes)) !=
            qint64(bytes))
            Jpeg::failNow(reinterpret_cast<j_common_ptr>(info));
    }
    static boolean writeFull(j_compress_ptr info) {
        put(info, of(info)->buffer.size()); // the whole buffer, whatever free_in_buffer says
        start(info);
        return TRUE;
    }
    static void writeRest(j_compress_ptr info) {
        put(info, of(info)->buffer.size() - of(info)->free_in_buffer);
    }
};

// Everything a compression touches between setjmp and a possible longjmp lives here, so no
// object with a destructor is skipped by the jump.
struct Compressor {
    jpeg_compress_struct info{};
    Jpeg::ErrorManager err;
    Destination destination;
    Compressor() { info.err = &err; }
    ~Compressor() { jpeg_destroy_compress(&info); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    void create(QIODevice& device) {
        jpeg_create_compress(&info);
        destination.device = &device;
        info.dest = &destination;
    }
};

struct Encoder : Compressor {
    QByteArray profile = sRGB().iccProfile();
};

bool compress(Encoder& e, QIODevice& device, const RgbxRows& rows) {
    if (setjmp(e.err.jump))
        return false;
    e.create(device);
    e.info.image_width = JDIMENSION(rows.width);
    e.info.image_height = JDIMENSION(rows.height);
    e.info.input_components = 4;
    e.info.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&e.info); // YCbCr with the chroma halved both ways
    jpeg_set_quality(&e.info, kJpegQuality, TRUE);
    e.info.optimize_coding = TRUE;
    e.info.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&e.info, TRUE);
    jpeg_write_icc_profile(&e.info, reinterpret_cast<const JOCTET*>(e.profile.constData()),
                           unsigned(e.profile.size()));
    while (e.info.next_scanline < e.info.image_height) {
        // libjpeg reads the rows it is handed and never writes them.
        JSAMPROW row =
            const_cast<JSAMPLE*>(rows.data + int64_t(e.info.next_scanline) * rows.stride);
        jpeg_write_scanlines(&e.info, &row, 1);
    }
    jpeg_finish_compress(&e.info);
    return true;
}

} // namespace

bool encodeJpeg(const RgbxRows& rows, QIODevice& device) {
    if (rows.width <= 0 || rows.height <= 0 || rows.width > kMaxJpegSide ||
        rows.height > kMaxJpegSide)
        return false;
    const auto encoder = std::make_unique<Encoder>();
    return compress(*encoder, device, rows);
}

} // namespace Imaging
