#include "fullsize.h"
#include "imaging.h"
#include "jpegencoder.h"

#include <QBuffer>
#include <QColorSpace>
#include <QTemporaryDir>

#include "../imagebytes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <jpeglib.h>

namespace {

// A JPEG's Exif, colour profile, sampling factors and every block's coefficients (64 a
// block, row by row, per component), as libjpeg reads them.
struct Blocks {
    QByteArray exif, icc;
    std::vector<std::vector<JCOEF>> coefficients;
    std::vector<std::pair<int, int>> sampling;
    std::vector<int> across;
};

Blocks readBlocks(const QByteArray& jpeg) {
    Blocks b;
    jpeg_decompress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const uchar*>(jpeg.constData()), jpeg.size());
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    for (auto* m = info.marker_list; m; m = m->next) {
        const QByteArray data(reinterpret_cast<const char*>(m->data), m->data_length);
        if (m->marker == JPEG_APP0 + 1)
            b.exif += data;
        else // after "ICC_PROFILE\0", the piece's number and the count
            b.icc += data.mid(14);
    }
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        b.sampling.emplace_back(comp.h_samp_factor, comp.v_samp_factor);
        b.across.push_back(int(comp.width_in_blocks));
        auto& out = b.coefficients.emplace_back();
        for (JDIMENSION y = 0; y < comp.height_in_blocks; ++y) {
            JCOEF* row = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                      arrays[c], y, 1, FALSE)[0][0];
            out.insert(out.end(), row, row + DCTSIZE2 * comp.width_in_blocks);
        }
    }
    jpeg_destroy_decompress(&info);
    return b;
}

// A camera's file: 4:2:0, sides no multiple of the 16-pixel MCU, a colour profile other than
// sRGB, and an Exif block with orientation 6 (turned a quarter clockwise) and a thumbnail.
QByteArray cameraJpeg() {
    QImage image(203, 157, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(64 + x / 2, 64 + y / 2, 64 + (x ^ y) % 8 * 16));
    image.setColorSpace(QColorSpace::DisplayP3);
    const QByteArray thumbnail = ImageBytes::encode(image.scaled(20, 16), "jpeg");
    // IFD0 (at 8): the orientation, then IFD1 (at 26): the thumbnail's offset (56) and size.
    QByteArray exif = ImageBytes::raw("Exif\0\0MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01"
                                      "\0\x06\0\0\0\0\0\x1A\0\x02\x02\x01\0\x04\0\0\0\x01\0\0\0"
                                      "\x38\x02\x02\0\x04\0\0\0\x01");
    ImageBytes::be32(exif, uint32_t(thumbnail.size()));
    exif += QByteArray(4, 0) + thumbnail;
    QByteArray segment = ImageBytes::raw("\xFF\xE1");
    ImageBytes::be16(segment, int(exif.size()) + 2);
    const QByteArray jpeg = ImageBytes::encode(image, "jpeg");
    return jpeg.left(2) + segment + exif + jpeg.mid(2);
}

std::span<const uint8_t> rgb(const PixelImage& p, int x, int y) {
    return p.bytes().subspan((y * p.width() + x) * 4, 3);
}

// The sum of the red, green and blue differences over the top left w x h pixels.
int difference(const PixelImage& a, const PixelImage& b, int w, int h) {
    int sum = 0;
    for (int i = 0; i < w * h * 3; ++i)
        sum += std::abs(rgb(a, i / 3 % w, i / 3 / w)[i % 3] - rgb(b, i / 3 % w, i / 3 / w)[i % 3]);
    return sum;
}

TEST(JpegWriter, KeepsEveryBlockTheEditLeftAndThePhotosMarkers) {
    const QByteArray photo = cameraJpeg();
    const PixelImage decoded = *Imaging::decodeData(photo, 0).image;
    ASSERT_EQ(decoded.width(), 157); // upright
    // An erase paints upright x 40..59, y 100..119 green (stored x 100..119, y 97..116: the
    // MCUs of stored 96..127 both ways); x, y 0..15 are marked but left as they were (stored
    // x 0..15, y 141..156: the partial MCUs at the bottom left).
    PixelImage picture = decoded;
    std::vector<uint8_t> changed(157 * 203, 0);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 60; ++x) {
            const bool erased = x >= 40 && y >= 100;
            changed[y * 157 + x] = erased || (x < 16 && y < 16);
            if (erased)
                std::copy_n("\0\xFF\0", 3, picture.mutableBytes().data() + (y * 157 + x) * 4);
        }
    QString reason;
    const auto edited = Imaging::EditedJpeg::make(photo, picture, changed, &reason);
    ASSERT_TRUE(edited) << qPrintable(reason);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(edited->write(buffer));

    const Blocks before = readBlocks(photo), after = readBlocks(out);
    EXPECT_EQ(after.sampling, (std::vector<std::pair<int, int>>{{2, 2}, {1, 1}, {1, 1}}));
    int differing = 0;
    for (size_t c = 0; c < 3; ++c)
        for (size_t i = 0; i < before.coefficients[c].size(); i += DCTSIZE2) {
            const int n = int(i / DCTSIZE2), h = before.sampling[c].first;
            const int mx = n % before.across[c] / h, my = n / before.across[c] / h;
            if (std::equal(&before.coefficients[c][i], &before.coefficients[c][i + DCTSIZE2],
                           &after.coefficients[c][i]))
                continue;
            ++differing;
            EXPECT_TRUE((mx >= 6 && mx < 8 && my >= 6 && my < 8) || (mx == 0 && my >= 8))
                << c << ": " << mx << ", " << my;
        }
    EXPECT_GT(differing, 0);

    // Pixels farther than one from the compressed MCUs (upright x 28..61, y 95..128 and
    // x 0..29, y 0..16) decode exactly as the photo's.
    const PixelImage result = *Imaging::decodeData(out, 0).image;
    ASSERT_EQ(result.width(), 157);
    int unequal = 0;
    for (int y = 0; y < 203; ++y)
        for (int x = 0; x < 157; ++x)
            unequal += (x < 28 || x >= 62 || y < 95 || y >= 129) && (x >= 30 || y >= 17) &&
                       !std::ranges::equal(rgb(result, x, y), rgb(decoded, x, y));
    EXPECT_EQ(unequal, 0);
    EXPECT_LT(rgb(result, 50, 110)[0], 40);
    EXPECT_GT(rgb(result, 50, 110)[1], 215);
    // The unchanged corner is compressed again in the photo's colours, not in sRGB's.
    EXPECT_LT(difference(result, decoded, 16, 16), 16 * 16 * 3 * 6);

    // The Exif is the photo's but for the link to the thumbnail (the last 4 bytes of IFD0).
    EXPECT_EQ(after.exif, QByteArray(before.exif).replace(6 + 22, 4, QByteArray(4, 0)));
    EXPECT_TRUE(after.icc == before.icc && !after.icc.isEmpty());
    EXPECT_LE(out.size(), photo.size() * 105 / 100);
}

TEST(JpegWriter, OtherPhotosAreCompressedWholeAsBaselineSRGB) {
    QImage image(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x)
            image.setPixel(x, y, qRgb(x * 2, y * 3, 128));
    const QByteArray png = ImageBytes::encode(image, "png");
    const PixelImage original = *Imaging::decodeData(png).image;
    PixelImage current = original;
    std::fill_n(current.mutableBytes().data(), 96 * 4 * 8, uint8_t(20)); // 8 dark rows
    QTemporaryDir dir;
    ASSERT_EQ(Imaging::saveFullSize(Imaging::FileType::Jpeg, png, "png", original, current,
                                    dir.filePath("out.jpg")),
              Imaging::SaveError::None);
    const QByteArray bytes = Imaging::readFileBytes(dir.filePath("out.jpg")).bytes;
    EXPECT_TRUE(bytes.contains(QByteArray("\xFF\xC0", 2))) << "baseline";
    const Blocks blocks = readBlocks(bytes);
    EXPECT_EQ(blocks.sampling[0], std::pair(2, 2));
    EXPECT_EQ(QColorSpace::fromIccProfile(blocks.icc), Imaging::sRGB());
    EXPECT_LT(difference(*Imaging::decodeData(bytes).image, current, 96, 64), 96 * 64 * 3 * 2);
}

TEST(JpegWriter, DamagedPhotoOrFullDiskFailsWithAReason) {
    const QByteArray photo = cameraJpeg(), cut = photo.left(photo.size() - 600);
    const PixelImage picture = *Imaging::decodeData(photo, 0).image;
    const std::vector<uint8_t> changed(157 * 203, 1);
    QString reason;
    EXPECT_FALSE(Imaging::EditedJpeg::make(cut, picture, changed, &reason));
    EXPECT_EQ(reason, "corrupt or incomplete data");
    EXPECT_FALSE(Imaging::EditedJpeg::make(photo, PixelImage(157, 200), changed)); // not its size
    // A full disk ends in the one-line failure with its reason.
    EXPECT_EQ(Imaging::saveJpeg(picture, "/dev/full", &reason), Imaging::SaveError::WriteFailed);
    EXPECT_EQ(reason, "no space left on the device");
}

} // namespace
