#include "jpegdecoder.h"

#include "jpegerrors.h"

#include <QColorSpace>
#include <QIODevice>
#include <QImageIOHandler>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <jerror.h>

namespace Imaging::Jpeg {
namespace {

// A progressive file with thousands of tiny scans makes the decoder pass over the whole
// coefficient buffer once per scan: a few kilobytes of input for minutes of work.
constexpr int kMaxScans = 1000;
// A few bytes of padding before the end-of-image marker are a known quirk of some
// cameras and encoders; the picture itself is complete when the decoder meets them.
constexpr int kTolerablePaddingBytes = 16;

// libjpeg reports damaged data as warnings and carries on, filling what it could not
// decode with grey. Here a warning about the data ends the decode.
void onMessage(j_common_ptr info, int level) {
    if (level >= 0)
        return; // trace output
    auto* err = static_cast<ErrorManager*>(info->err);
    switch (err->msg_code) {
    case JWRN_ADOBE_XFORM: // an unknown colour transform code: the data decode as usual
    case JWRN_JFIF_MAJOR:  // a newer JFIF revision number
        return;
    case JWRN_EXTRANEOUS_DATA:
        if (err->finishing && err->msg_parm.i[1] == JPEG_EOI &&
            err->msg_parm.i[0] <= kTolerablePaddingBytes)
            return;
        break;
    default:
        break;
    }
    failNow(info);
}

void silence(j_common_ptr) {}

} // namespace

ErrorManager::ErrorManager() : jpeg_error_mgr{} {
    jpeg_std_error(this);
    error_exit = failNow;
    emit_message = onMessage;
    output_message = silence;
}

[[noreturn]] void failNow(j_common_ptr info) {
    std::longjmp(static_cast<ErrorManager*>(info->err)->jump, 1);
}

// Also called while a multi-scan file is read into its coefficient buffer, the long part
// of decoding one.
void limitScans(j_common_ptr info) {
    if (AbandonWhen::now() ||
        (info->is_decompressor &&
         reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans))
        failNow(info);
}

void readMarkersWith(j_decompress_ptr info, jpeg_marker_parser_method read) {
    jpeg_set_marker_processor(info, JPEG_COM, read);
    for (int n = 1; n < 16; ++n)
        if (n != 14)
            jpeg_set_marker_processor(info, JPEG_APP0 + n, read);
}

long long coefficientBytes(const jpeg_decompress_struct& info) {
    long long bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        const long long across =
            (static_cast<long long>(comp.width_in_blocks) + comp.h_samp_factor - 1) /
            comp.h_samp_factor * comp.h_samp_factor;
        const long long down =
            (static_cast<long long>(comp.height_in_blocks) + comp.v_samp_factor - 1) /
            comp.v_samp_factor * comp.v_samp_factor;
        bytes += across * down * DCTSIZE2 * static_cast<long long>(sizeof(JCOEF));
    }
    return bytes;
}

int nextByte(j_decompress_ptr info) {
    jpeg_source_mgr* src = info->src;
    if (src->bytes_in_buffer == 0)
        src->fill_input_buffer(info); // at the end of the data, warns and so fails
    --src->bytes_in_buffer;
    return *src->next_input_byte++;
}

namespace {

constexpr size_t kBufferSize = 64 * 1024;

struct Source : jpeg_source_mgr {
    Source() : jpeg_source_mgr{} {}
    QIODevice* device = nullptr;
    std::array<JOCTET, kBufferSize> buffer{};
};

void initSource(j_decompress_ptr) {}

boolean fillBuffer(j_decompress_ptr info) {
    auto* src = static_cast<Source*>(info->src);
    const qint64 n =
        src->device->read(reinterpret_cast<char*>(src->buffer.data()), qint64(src->buffer.size()));
    if (n <= 0)
        WARNMS(info, JWRN_JPEG_EOF); // a file that ends before its end-of-image marker
    src->next_input_byte = src->buffer.data();
    src->bytes_in_buffer = size_t(n);
    return TRUE;
}

void skipData(j_decompress_ptr info, long count) {
    auto* src = static_cast<Source*>(info->src);
    if (count <= 0)
        return;
    if (size_t(count) <= src->bytes_in_buffer) {
        src->next_input_byte += count;
        src->bytes_in_buffer -= size_t(count);
        return;
    }
    const qint64 beyond = qint64(count) - qint64(src->bytes_in_buffer);
    src->bytes_in_buffer = 0;
    if (src->device->skip(beyond) != beyond)
        WARNMS(info, JWRN_JPEG_EOF);
}

void termSource(j_decompress_ptr) {}

// Markers beyond the picture's own (comments, application data) are read here, not by the
// library, which keeps a saved marker by walking the list of those before it: a file of a
// few hundred kilobytes could hold a hundred thousand of them and cost minutes. No camera
// writes more than a few dozen.
constexpr int kMaxMarkers = 10000;
// The Exif and colour profile bytes kept; no camera writes a thousandth of this.
constexpr qsizetype kMaxMetadataBytes = qsizetype(16) << 20;

struct Metadata {
    QByteArray exif;
    QByteArray icc;
    int markers = 0;
    bool tooMany = false;
};

boolean readMarker(j_decompress_ptr info) {
    auto* metadata = static_cast<Metadata*>(info->client_data);
    const int marker = info->unread_marker;
    if (++metadata->markers > kMaxMarkers) {
        metadata->tooMany = true;
        failNow(reinterpret_cast<j_common_ptr>(info));
    }
    int length = nextByte(info) << 8;
    length += nextByte(info);
    length -= 2;
    if (length <= 0)
        return TRUE;
    QByteArray* keep = nullptr;
    if (marker == JPEG_APP0 + 1)
        keep = &metadata->exif;
    else if (marker == JPEG_APP0 + 2)
        keep = &metadata->icc;
    if (!keep || keep->size() + length > kMaxMetadataBytes) {
        info->src->skip_input_data(info, length);
        return TRUE;
    }
    const qsizetype start = keep->size();
    keep->resize(start + length);
    for (int i = 0; i < length; ++i)
        (*keep)[start + i] = char(nextByte(info));
    // An ICC profile comes in numbered pieces, each behind a 14-byte tag: keep only the
    // profile's own bytes, and no piece that is not a profile's.
    if (marker == JPEG_APP0 + 2) {
        const bool profile =
            length > 128 + 4 + 14 && std::memcmp(keep->constData() + start, "ICC_PROFILE", 12) == 0;
        keep->remove(start, profile ? 14 : length);
    }
    return TRUE;
}

// Everything the decode touches between setjmp and a possible longjmp lives here, so no
// C++ object with a destructor is skipped by the jump.
struct Decoder {
    jpeg_decompress_struct info{};
    ErrorManager err;
    jpeg_progress_mgr progress{};
    Source source;
    QImage image;
    std::vector<JSAMPLE> row; // one CMYK row
    bool cmyk = false;
    Metadata metadata;

    Decoder() {
        info.err = &err;
        progress.progress_monitor = limitScans;
    }
    ~Decoder() { jpeg_destroy_decompress(&info); }
};

bool readHeader(Decoder& d) {
    if (setjmp(d.err.jump))
        return false;
    jpeg_create_decompress(&d.info);
    d.info.src = &d.source;
    d.info.progress = &d.progress;
    d.info.client_data = &d.metadata;
    // The library reads JFIF and Adobe markers itself, in constant time each.
    readMarkersWith(&d.info, readMarker);
    return jpeg_read_header(&d.info, TRUE) == JPEG_HEADER_OK;
}

bool startDecompress(Decoder& d) {
    if (setjmp(d.err.jump))
        return false;
    jpeg_start_decompress(&d.info);
    return true;
}

bool readRows(Decoder& d) {
    if (setjmp(d.err.jump))
        return false;
    const JDIMENSION width = d.info.output_width;
    while (d.info.output_scanline < d.info.output_height) {
        if (d.info.output_scanline % 64 == 0 && AbandonWhen::now())
            return false;
        uchar* line = d.image.scanLine(int(d.info.output_scanline));
        JSAMPROW target = d.cmyk ? d.row.data() : line;
        if (jpeg_read_scanlines(&d.info, &target, 1) != 1)
            return false;
        if (d.cmyk) {
            // Adobe's inverted CMYK, as the files that carry it are written.
            auto* out = reinterpret_cast<QRgb*>(line);
            const JSAMPLE* in = d.row.data();
            for (JDIMENSION x = 0; x < width; ++x, in += 4) {
                const int k = in[3];
                out[x] = qRgb(k * in[0] / 255, k * in[1] / 255, k * in[2] / 255);
            }
        }
    }
    d.err.finishing = true;
    jpeg_finish_decompress(&d.info);
    return true;
}

} // namespace

int exifOrientation(const QByteArray& exif) {
    struct Cursor {
        const QByteArray& data;
        qsizetype pos = 0;
        bool bigEndian = false;
        bool ok = true;
        quint32 read(int bytes) {
            if (!ok || pos + bytes > data.size()) {
                ok = false;
                return 0;
            }
            quint32 v = 0;
            for (int i = 0; i < bytes; ++i) {
                const quint32 b = uchar(data[pos + i]);
                v |= bigEndian ? b << (8 * (bytes - 1 - i)) : b << (8 * i);
            }
            pos += bytes;
            return v;
        }
    } c{exif};

    constexpr qsizetype kHeader = 6;
    if (exif.size() < kHeader || std::memcmp(exif.constData(), "Exif\0\0", 6) != 0)
        return -1;
    c.pos = kHeader;
    const quint32 order = c.read(2);
    if (order == 0x4D4D)
        c.bigEndian = true;
    else if (order != 0x4949)
        return -1;
    if (c.read(2) != 0x2A)
        return -1;
    quint32 offset = c.read(4);
    for (int ifd = 0; ifd < 10; ++ifd) {
        if (qint64(offset) - (c.pos - kHeader) < 0 || qint64(offset) + kHeader >= exif.size())
            return -1;
        c.pos = qsizetype(offset) + kHeader;
        for (quint32 n = c.read(2); n > 0 && c.ok; --n) {
            const quint32 tag = c.read(2);
            const quint32 type = c.read(2);
            const quint32 count = c.read(4);
            const quint32 value = c.read(2);
            c.read(2);
            if (tag == 0x0112) {
                if (count != 1 || type != 3 || value < 1 || value > 8)
                    return -1;
                return int(value);
            }
        }
        offset = c.read(4);
        if (!c.ok)
            return -1;
        if (offset == 0)
            return 0;
    }
    return -1;
}

QImageIOHandler::Transformations transformationOf(int orientation) {
    using T = QImageIOHandler;
    switch (orientation) {
    case 2:
        return T::TransformationMirror;
    case 3:
        return T::TransformationRotate180;
    case 4:
        return T::TransformationFlip;
    case 5:
        return T::TransformationFlipAndRotate90;
    case 6:
        return T::TransformationRotate90;
    case 7:
        return T::TransformationMirrorAndRotate90;
    case 8:
        return T::TransformationRotate270;
    default:
        return T::TransformationNone;
    }
}

Read read(QIODevice& device, int maxSide, qint64 memoryBudget, QSize expected) {
    auto d = std::make_unique<Decoder>();
    d->source.device = &device;
    d->source.init_source = initSource;
    d->source.fill_input_buffer = fillBuffer;
    d->source.skip_input_data = skipData;
    d->source.resync_to_restart = jpeg_resync_to_restart;
    d->source.term_source = termSource;
    if (!readHeader(*d)) {
        if (d->metadata.tooMany)
            return {{}, LoadError::DecodeFailed, QStringLiteral("too many markers")};
        return {{}, LoadError::NotAnImageFile, {}};
    }
    jpeg_decompress_struct& info = d->info;
    info.mem->max_memory_to_use = long(std::min<qint64>(memoryBudget, LONG_MAX));
    const QByteArray exif = d->metadata.exif;
    const QByteArray icc = d->metadata.icc;

    const QSize stored(int(info.image_width), int(info.image_height));
    const QImageIOHandler::Transformations transformation =
        exif.isEmpty() ? QImageIOHandler::TransformationNone
                       : transformationOf(exifOrientation(exif));
    const QSize announced =
        transformation & QImageIOHandler::TransformationRotate90 ? stored.transposed() : stored;
    if (expected.isValid() && announced != expected)
        return {{}, LoadError::DecodeFailed, {}, announced};
    if (const QString refusal = sizeRefusal(stored); !refusal.isEmpty())
        return {{}, LoadError::DecodeFailed, refusal, announced};

    // A progressive (or otherwise multi-scan) file is decoded through a buffer that holds
    // every DCT coefficient of the image: 128 bytes per 8 x 8 block of every component.
    const qint64 coefficients = jpeg_has_multiple_scans(&info) ? coefficientBytes(info) : 0;

    const QSize scaled = cappedSize(stored, maxSide);
    if (scaled != stored) {
        // libjpeg scales by n/8 while decoding; the rest is done by smooth scaling.
        const double f = std::min(double(stored.width()) / scaled.width(),
                                  double(stored.height()) / scaled.height());
        info.scale_num = std::clamp(int(std::ceil(8 / f)), 1, 8);
        info.scale_denom = 8;
    }
    jpeg_calc_output_dimensions(&info);
    const QSize decoded(int(info.output_width), int(info.output_height));

    QImage::Format format;
    switch (info.out_color_space) {
    case JCS_GRAYSCALE:
        format = QImage::Format_Grayscale8;
        break;
    case JCS_RGB:
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        info.out_color_space = JCS_EXT_BGRX; // QImage::Format_RGB32's byte order
#else
        info.out_color_space = JCS_EXT_XRGB;
#endif
        format = QImage::Format_RGB32;
        break;
    case JCS_CMYK:
        format = QImage::Format_RGB32;
        d->cmyk = true;
        break;
    default:
        return {{}, LoadError::DecodeFailed, {}};
    }
    const qint64 pixelBytes =
        qint64(decoded.width()) * decoded.height() * (format == QImage::Format_Grayscale8 ? 1 : 4);
    if (coefficients + pixelBytes + decodedBytes(decoded, scaled) > memoryBudget)
        return {{}, LoadError::DecodeFailed, budgetReason(memoryBudget), announced};

    const QString noMemory = QStringLiteral("not enough memory");
    d->image = QImage(decoded, format);
    if (d->image.isNull())
        return {{}, LoadError::DecodeFailed, noMemory, announced};
    if (d->cmyk)
        d->row.resize(size_t(decoded.width()) * 4);

    if (!startDecompress(*d) || !readRows(*d))
        return {{},
                LoadError::DecodeFailed,
                d->metadata.tooMany ? QStringLiteral("too many markers")
                : d->err.msg_code == JERR_OUT_OF_MEMORY
                    ? noMemory
                    : QStringLiteral("corrupt or incomplete data"),
                announced};

    QImage image = std::move(d->image);
    d.reset();
    if (decoded != scaled)
        image = image.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (!icc.isEmpty())
        image.setColorSpace(QColorSpace::fromIccProfile(icc));
    image = upright(std::move(image), transformation);
    if (image.isNull())
        return {{}, LoadError::DecodeFailed, noMemory, announced};
    return {std::move(image), LoadError::None, {}, announced};
}

} // namespace Imaging::Jpeg
