#include "jpegencoder.h"

#include "imaging.h"
#include "jpegdecoder.h"
#include "jpegerrors.h"
#include "jpegmarkers.h"

#include <QBuffer>
#include <QColorSpace>
#include <QIODevice>
#include <QImage>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include <jerror.h>

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

// Everything a compression touches between setjmp and a possible longjmp lives in one of
// these structs, so no object with a destructor is skipped by the jump.
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

using Jpeg::iccProfile;
using Jpeg::isExif;
using Jpeg::isPictureIndex;
using Jpeg::keepMarker;
using Jpeg::kMaxMarkers;
using Jpeg::Marker;
using Jpeg::Markers;
using Jpeg::unlinkThumbnail;

// Where a pixel of the picture as stored lands once it is turned upright, and back: as
// upright() turns it, mirrored and flipped first, then turned a quarter clockwise.
struct Orientation {
    int64_t width = 0; // stored
    int64_t height = 0;
    bool mirror = false;
    bool flip = false;
    bool turn = false;

    std::pair<int64_t, int64_t> upright(int64_t x, int64_t y) const {
        if (mirror)
            x = width - 1 - x;
        if (flip)
            y = height - 1 - y;
        return turn ? std::pair{height - 1 - y, x} : std::pair{x, y};
    }
    std::pair<int64_t, int64_t> stored(int64_t x, int64_t y) const {
        if (turn)
            std::tie(x, y) = std::pair{y, height - 1 - x};
        if (mirror)
            x = width - 1 - x;
        if (flip)
            y = height - 1 - y;
        return {x, y};
    }
    int64_t uprightWidth() const { return turn ? height : width; }
    int64_t uprightHeight() const { return turn ? width : height; }
};

QString failure(const Jpeg::ErrorManager& err, const Markers& markers) {
    if (markers.tooMany)
        return QStringLiteral("too many markers");
    if (markers.noMemory || err.msg_code == JERR_OUT_OF_MEMORY)
        return QStringLiteral("not enough memory");
    return QStringLiteral("corrupt or incomplete data");
}

} // namespace

bool encodeJpeg(const RgbxRows& rows, QIODevice& device) {
    if (rows.width <= 0 || rows.height <= 0 || rows.width > kMaxJpegSide ||
        rows.height > kMaxJpegSide)
        return false;
    const auto encoder = std::make_unique<Encoder>();
    return compress(*encoder, device, rows);
}

struct EditedJpeg::State {
    jpeg_decompress_struct photo{};
    Jpeg::ErrorManager err;
    jpeg_progress_mgr progress{};
    Markers markers;
    jvirt_barray_ptr* blocks = nullptr;
    // The MCU's size in pixels, and how many there are across and down.
    int unitWidth = 0;
    int unitHeight = 0;
    int64_t across = 0;
    int64_t down = 0;

    State() {
        photo.err = &err;
        photo.client_data = &markers;
        progress.progress_monitor = Jpeg::limitScans;
        markers.list.reserve(kMaxMarkers);
    }
    ~State() { jpeg_destroy_decompress(&photo); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

namespace {

using State = EditedJpeg::State;

bool readHeader(State& s, const QByteArray& photo) {
    if (setjmp(s.err.jump))
        return false;
    jpeg_create_decompress(&s.photo);
    s.photo.progress = &s.progress;
    jpeg_mem_src(&s.photo, reinterpret_cast<const unsigned char*>(photo.constData()),
                 static_cast<unsigned long>(photo.size()));
    Jpeg::readMarkersWith(&s.photo, keepMarker);
    return jpeg_read_header(&s.photo, TRUE) == JPEG_HEADER_OK;
}

bool readBlocks(State& s) {
    if (setjmp(s.err.jump))
        return false;
    // The whole file is read, up to its end-of-image marker: a few bytes of padding before
    // it are let pass, as the decoder lets them.
    s.err.finishing = true;
    s.blocks = jpeg_read_coefficients(&s.photo);
    return s.blocks != nullptr;
}

// One band of MCU rows compressed again on its own, then read back as coefficients. Its
// top left corner is an MCU's, so its blocks are those of the photo's MCUs it covers.
struct Band {
    Compressor out;
    jpeg_decompress_struct in{};
    Jpeg::ErrorManager inErr;
    QByteArray bytes;
    QBuffer buffer{&bytes};
    QImage pixels;
    jvirt_barray_ptr* blocks = nullptr;
    Band() { in.err = &inErr; }
    ~Band() { jpeg_destroy_decompress(&in); }
    Band(const Band&) = delete;
    Band& operator=(const Band&) = delete;
};

bool compressBand(State& s, Band& b) {
    if (setjmp(b.out.err.jump))
        return false;
    b.out.create(b.buffer);
    jpeg_compress_struct& out = b.out.info;
    // The photo's quantisation tables, sampling factors and colour space.
    jpeg_copy_critical_parameters(&s.photo, &out);
    out.image_width = JDIMENSION(b.pixels.width());
    out.image_height = JDIMENSION(b.pixels.height());
    out.in_color_space = JCS_EXT_RGBX;
    out.input_components = 4;
    out.dct_method = JDCT_ISLOW;
    out.write_JFIF_header = FALSE;
    jpeg_start_compress(&out, TRUE);
    while (out.next_scanline < out.image_height) {
        JSAMPROW row = b.pixels.scanLine(int(out.next_scanline));
        jpeg_write_scanlines(&out, &row, 1);
    }
    jpeg_finish_compress(&out);
    return true;
}

bool readBand(Band& b) {
    if (setjmp(b.inErr.jump))
        return false;
    jpeg_create_decompress(&b.in);
    jpeg_mem_src(&b.in, reinterpret_cast<const unsigned char*>(b.bytes.constData()),
                 static_cast<unsigned long>(b.bytes.size()));
    jpeg_read_header(&b.in, TRUE);
    b.blocks = jpeg_read_coefficients(&b.in);
    return b.blocks != nullptr && b.in.num_components == b.out.info.num_components;
}

// Puts the band's blocks of every touched MCU in MCU rows [row0, row1] and columns
// [col0, col1] into the photo's.
bool copyBlocks(State& s, Band& b, const std::vector<uint8_t>& touched, int64_t row0, int64_t row1,
                int64_t col0, int64_t col1) {
    if (setjmp(s.err.jump))
        return false;
    if (setjmp(b.inErr.jump))
        return false;
    for (int64_t my = row0; my <= row1; ++my) {
        for (int c = 0; c < s.photo.num_components; ++c) {
            const jpeg_component_info& comp = s.photo.comp_info[c];
            const int h = comp.h_samp_factor;
            const int v = comp.v_samp_factor;
            const JBLOCKARRAY to = s.photo.mem->access_virt_barray(
                reinterpret_cast<j_common_ptr>(&s.photo), s.blocks[c], JDIMENSION(my * v),
                JDIMENSION(v), TRUE);
            const JBLOCKARRAY from =
                b.in.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&b.in), b.blocks[c],
                                             JDIMENSION((my - row0) * v), JDIMENSION(v), FALSE);
            for (int64_t mx = col0; mx <= col1; ++mx) {
                if (!touched[size_t(my * s.across + mx)])
                    continue;
                for (int j = 0; j < v; ++j)
                    std::memcpy(to[j] + mx * h, from[j] + (mx - col0) * h, sizeof(JBLOCK) * h);
            }
        }
    }
    return true;
}

// Fills the band's pixels, rows [y0, y1) and columns [x0, x1) of the picture as stored,
// from the upright picture, in the photo's own colour space.
bool fillBand(Band& b, const PixelImage& picture, const Orientation& o, const QColorSpace& space,
              int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    b.pixels = QImage(int(x1 - x0), int(y1 - y0), QImage::Format_RGBX8888);
    if (b.pixels.isNull())
        return false;
    const uint8_t* in = picture.bytes().data();
    const int64_t w = picture.width();
    for (int64_t y = y0; y < y1; ++y) {
        uint8_t* out = b.pixels.scanLine(int(y - y0));
        for (int64_t x = x0; x < x1; ++x, out += 4) {
            const auto [ux, uy] = o.upright(x, y);
            std::memcpy(out, in + (uy * w + ux) * 4, 4);
        }
    }
    if (space.isValid()) {
        b.pixels.setColorSpace(sRGB());
        b.pixels.convertToColorSpace(space);
        if (b.pixels.format() != QImage::Format_RGBX8888)
            b.pixels = b.pixels.convertToFormat(QImage::Format_RGBX8888);
    }
    return !b.pixels.isNull();
}

} // namespace

EditedJpeg::EditedJpeg(std::unique_ptr<State> state) : state_(std::move(state)) {}
EditedJpeg::~EditedJpeg() = default;

std::unique_ptr<EditedJpeg> EditedJpeg::make(const QByteArray& photo, const PixelImage& picture,
                                             std::span<const uint8_t> changed, QString* reason) {
    const auto fail = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return nullptr;
    };
    auto s = std::make_unique<State>();
    if (!readHeader(*s, photo))
        return fail(failure(s->err, s->markers));
    jpeg_decompress_struct& info = s->photo;
    const bool grey = info.jpeg_color_space == JCS_GRAYSCALE && info.num_components == 1;
    const bool colour = (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB) &&
                        info.num_components == 3;
    if (!grey && !colour)
        return fail(QStringLiteral("colours stored other than as grey, YCbCr or RGB"));

    // The Exif and colour profile the decoder read: the picture was turned and converted
    // as they say, and is turned and converted back here.
    QByteArray exif;
    for (const Marker& m : s->markers.list)
        if (m.code == JPEG_APP0 + 1)
            exif += m.bytes;
    const QImageIOHandler::Transformations t =
        exif.isEmpty() ? QImageIOHandler::TransformationNone
                       : Jpeg::transformationOf(Jpeg::exifOrientation(exif));
    const Orientation o{info.image_width, info.image_height,
                        bool(t & QImageIOHandler::TransformationMirror),
                        bool(t & QImageIOHandler::TransformationFlip),
                        bool(t & QImageIOHandler::TransformationRotate90)};
    if (picture.width() != o.uprightWidth() || picture.height() != o.uprightHeight() ||
        changed.size() != size_t(picture.width() * picture.height()))
        return fail(QStringLiteral("the picture is not the photo's size"));
    const QColorSpace profile = QColorSpace::fromIccProfile(iccProfile(s->markers.list));
    const QColorSpace space = convertsToSRGB(profile) ? profile : QColorSpace();

    // The coefficients of every block are held.
    if (Jpeg::coefficientBytes(info) > kDecodeBudget)
        return fail(budgetReason(kDecodeBudget));
    info.mem->max_memory_to_use = long(std::min<qint64>(kDecodeBudget, LONG_MAX));
    if (!readBlocks(*s))
        return fail(failure(s->err, s->markers));
    // Blocks are compressed again with the photo's own quantisation tables, which divide
    // the coefficients: a table holding a zero, which only a damaged file has, cannot be.
    // A component that no scan coded has no table of its own, and its frame's table number
    // was never checked: it may name no table at all.
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        const int number = comp.quant_tbl_no;
        JQUANT_TBL* const named =
            number >= 0 && number < NUM_QUANT_TBLS ? info.quant_tbl_ptrs[number] : nullptr;
        for (const JQUANT_TBL* table : {comp.quant_table, named})
            if (!table ||
                std::ranges::find(table->quantval, UINT16(0)) != std::end(table->quantval))
                return fail(QStringLiteral("corrupt or incomplete data"));
    }

    // The MCUs holding a changed pixel.
    s->unitWidth = info.max_h_samp_factor * DCTSIZE;
    s->unitHeight = info.max_v_samp_factor * DCTSIZE;
    s->across = (o.width + s->unitWidth - 1) / s->unitWidth;
    s->down = (o.height + s->unitHeight - 1) / s->unitHeight;
    std::vector<uint8_t> touched(size_t(s->across * s->down), 0);
    const int64_t w = picture.width();
    for (int64_t y = 0; y < picture.height(); ++y) {
        const uint8_t* row = changed.data() + y * w;
        for (int64_t x = 0; x < w; ++x) {
            if (!row[x])
                continue;
            const auto [sx, sy] = o.stored(x, y);
            touched[size_t(sy / s->unitHeight * s->across + sx / s->unitWidth)] = 1;
        }
    }

    // Compressed again in bands of MCU rows, each as narrow as its touched MCUs allow: the
    // memory taken stays small whatever the picture's size.
    constexpr int64_t kBandRows = 32;
    for (int64_t top = 0; top < s->down; top += kBandRows) {
        int64_t row0 = -1, row1 = -1, col0 = s->across, col1 = -1;
        for (int64_t my = top; my < std::min(top + kBandRows, s->down); ++my)
            for (int64_t mx = 0; mx < s->across; ++mx)
                if (touched[size_t(my * s->across + mx)]) {
                    row0 = row0 < 0 ? my : row0;
                    row1 = my;
                    col0 = std::min(col0, mx);
                    col1 = std::max(col1, mx);
                }
        if (row0 < 0)
            continue;
        auto band = std::make_unique<Band>();
        band->buffer.open(QIODevice::WriteOnly);
        if (!fillBand(*band, picture, o, space, col0 * s->unitWidth, row0 * s->unitHeight,
                      std::min((col1 + 1) * s->unitWidth, o.width),
                      std::min((row1 + 1) * s->unitHeight, o.height)))
            return fail(QStringLiteral("not enough memory"));
        if (!compressBand(*s, *band))
            return fail(failure(band->out.err, s->markers));
        band->pixels = {};
        if (!readBand(*band))
            return fail(failure(band->inErr, s->markers));
        if (!copyBlocks(*s, *band, touched, row0, row1, col0, col1))
            return fail(failure(s->err, s->markers));
    }

    for (Marker& m : s->markers.list)
        if (isExif(m))
            unlinkThumbnail(m.bytes);
    return std::unique_ptr<EditedJpeg>(new EditedJpeg(std::move(s)));
}

namespace {

bool writeBlocks(State& s, Compressor& c, QIODevice& device) {
    if (setjmp(c.err.jump))
        return false;
    if (setjmp(s.err.jump)) // reading the photo's blocks
        return false;
    c.create(device);
    jpeg_compress_struct& out = c.info;
    jpeg_copy_critical_parameters(&s.photo, &out);
    out.write_JFIF_header = s.photo.saw_JFIF_marker;
    out.optimize_coding = TRUE;
    if (s.photo.progressive_mode)
        jpeg_simple_progression(&out);
    jpeg_write_coefficients(&out, s.blocks);
    for (const Marker& m : s.markers.list)
        if (!isPictureIndex(m))
            jpeg_write_marker(&out, m.code, reinterpret_cast<const JOCTET*>(m.bytes.constData()),
                              unsigned(m.bytes.size()));
    jpeg_finish_compress(&out);
    return true;
}

} // namespace

bool EditedJpeg::write(QIODevice& device) {
    const auto compressor = std::make_unique<Compressor>();
    return writeBlocks(*state_, *compressor, device);
}

} // namespace Imaging
