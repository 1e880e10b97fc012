// Detail of full-size results: real photos at their native resolution tiled (mirrored) into
// pictures of 7200 x 4800, an object pasted into each, erased at the working size
// (3072 x 2048) with either fill, and carried back to full size by enlargement and by
// synthesis at full size. Scored over the object's area at full size against the photo
// without the object:
// - texture ratio: mean Sobel gradient magnitude of the brightness over the area's core, in
//   the result over the same in the truth; 1 = as detailed as the truth, 0 = flat;
// - low-pass PSNR: both blurred by a Gaussian of sigma 2 pixels first.
//
// The photos are Debian's opencv-doc samples and the nature photos of mate-backgrounds.
// Usage: bench_fullsize [--sheet=out.png] [--threads=N]
// --sheet writes a contact sheet at 100 %: for each case and fill, a crop across the hole's
// edge of the truth, the enlargement and the synthesis side by side.

#include "fullsizeedits.h"
#include "inpainter.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    const char* file;
    cv::Rect region; // the textured part of the photo that is tiled
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"dune-grass", "/usr/share/backgrounds/mate/nature/Dune.jpg", {0, 600, 1680, 450}},
        {"meadow", "/usr/share/backgrounds/mate/nature/GreenMeadow.jpg", {0, 0, 1280, 1024}},
        {"wood", "/usr/share/backgrounds/mate/nature/Wood.jpg", {0, 1500, 1300, 420}},
        {"cobbles", "/usr/share/doc/opencv-doc/examples/data/leuvenA.jpg", {0, 420, 751, 143}},
        {"grass", "/usr/share/doc/opencv-doc/examples/data/messi5.jpg", {0, 250, 548, 92}},
    };
    return all;
}

constexpr int kFullW = 7200, kFullH = 4800, kWorkW = 3072, kWorkH = 2048;
constexpr int kRadius = 300; // the object's radius at full size

cv::Mat tiled(const cv::Mat& photo) {
    cv::Mat flips[4];
    flips[0] = photo;
    cv::flip(photo, flips[1], 1);
    cv::flip(photo, flips[2], 0);
    cv::flip(photo, flips[3], -1);
    cv::Mat big(kFullH, kFullW, photo.type());
    for (int y = 0; y < kFullH; y += photo.rows)
        for (int x = 0; x < kFullW; x += photo.cols) {
            const int i = (x / photo.cols) % 2 + 2 * ((y / photo.rows) % 2);
            const cv::Rect r(x, y, std::min(photo.cols, kFullW - x),
                             std::min(photo.rows, kFullH - y));
            flips[i](cv::Rect(0, 0, r.width, r.height)).copyTo(big(r));
        }
    return big;
}

PixelImage toPixels(const cv::Mat& bgr) {
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    return PixelImage(rgba.cols, rgba.rows, std::vector<uint8_t>(rgba.datastart, rgba.dataend));
}

cv::Mat fromPixels(const PixelImage& p) {
    cv::Mat rgba(int(p.height()), int(p.width()), CV_8UC4, const_cast<uint8_t*>(p.bytes().data()));
    cv::Mat bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

double meanGradient(const cv::Mat& bgr, const cv::Mat& core) {
    cv::Mat g, gx, gy, mag;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    g.convertTo(g, CV_32F);
    cv::Sobel(g, gx, CV_32F, 1, 0);
    cv::Sobel(g, gy, CV_32F, 0, 1);
    cv::magnitude(gx, gy, mag);
    return cv::mean(mag, core)[0];
}

double lowPassPsnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    cv::Mat ba, bb, d;
    cv::GaussianBlur(a, ba, cv::Size(0, 0), 2.0);
    cv::GaussianBlur(b, bb, cv::Size(0, 0), 2.0);
    cv::absdiff(ba, bb, d);
    d.convertTo(d, CV_64F);
    d = d.mul(d);
    const cv::Scalar s = cv::mean(d, mask);
    return 10.0 * std::log10(255.0 * 255.0 / std::max((s[0] + s[1] + s[2]) / 3.0, 1e-10));
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string sheet;
    int threads = 2;
    for (int i = 1; i < argc; ++i) {
        if (!std::strncmp(argv[i], "--sheet=", 8))
            sheet = argv[i] + 8;
        else if (!std::strncmp(argv[i], "--threads=", 10))
            threads = std::atoi(argv[i] + 10);
    }
    const cv::Point centre(kFullW / 2 + 37, kFullH / 2 - 23);
    cv::Mat hole = cv::Mat::zeros(kFullH, kFullW, CV_8U);
    cv::circle(hole, centre, kRadius, 255, cv::FILLED);
    cv::Mat core;
    cv::erode(hole, core, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    // The user paints a little beyond the object; the mask is given at the working size.
    cv::Mat painted = cv::Mat::zeros(kFullH, kFullW, CV_8U), workMask;
    cv::circle(painted, centre, kRadius + 12, 255, cv::FILLED);
    cv::resize(painted, workMask, cv::Size(kWorkW, kWorkH), 0, 0, cv::INTER_AREA);
    workMask = workMask > 0;
    const std::vector<uint8_t> mask(workMask.datastart, workMask.dataend);

    std::vector<cv::Mat> rows;
    std::printf("%-12s %-8s | %-22s | %-22s | %s\n", "case", "fill", "enlarged: texture  lp",
                "synthesised: texture lp", "ms (enlarge, synth)");
    double sums[2][4] = {};
    for (const Case& c : cases()) {
        const cv::Mat photo = cv::imread(c.file);
        if (photo.empty()) {
            std::printf("%-12s missing %s\n", c.name, c.file);
            continue;
        }
        const cv::Mat truth = tiled(photo(c.region));
        cv::Mat withObject = truth.clone();
        cv::circle(withObject, centre, kRadius, cv::Scalar(40, 40, 200), cv::FILLED);
        cv::Mat work;
        cv::resize(withObject, work, cv::Size(kWorkW, kWorkH), 0, 0, cv::INTER_AREA);
        const PixelImage original = toPixels(work);
        const PixelImage decoded = toPixels(withObject);
        for (const auto method : {Inpainter::Method::Standard, Inpainter::Method::Texture}) {
            const PixelImage current = Inpainter::run(original, mask, {}, threads, method);
            cv::Mat results[2];
            double ms[2];
            for (int f = 0; f < 2; ++f) {
                PixelImage full = decoded;
                const auto t0 = std::chrono::steady_clock::now();
                FullSizeEdits::carry(full, original, current,
                                     f ? FullSizeEdits::Fill::Synthesised
                                       : FullSizeEdits::Fill::Enlarged,
                                     {}, threads);
                ms[f] =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
                results[f] = fromPixels(full);
            }
            const double truthGrad = meanGradient(truth, core);
            double t[2], lp[2];
            for (int f = 0; f < 2; ++f) {
                t[f] = meanGradient(results[f], core) / truthGrad;
                lp[f] = lowPassPsnr(results[f], truth, hole);
            }
            const int m = method == Inpainter::Method::Texture;
            const double add[4] = {t[0], lp[0], t[1], lp[1]};
            for (int k = 0; k < 4; ++k)
                sums[m][k] += add[k];
            std::printf("%-12s %-8s | %8.3f %8.3f dB | %8.3f %8.3f dB  | %6.0f %6.0f\n", c.name,
                        m ? "texture" : "standard", t[0], lp[0], t[1], lp[1], ms[0], ms[1]);
            if (!sheet.empty()) {
                // 100 %: a square across the hole's left edge, the hole on its right half.
                const cv::Rect box(centre.x - kRadius - 128, centre.y - 128, 256, 256);
                cv::Mat row;
                cv::hconcat(std::vector<cv::Mat>{truth(box), results[0](box), results[1](box)},
                            row);
                rows.push_back(row);
            }
        }
    }
    const int n = int(cases().size());
    for (int m = 0; m < 2; ++m)
        std::printf("%-12s %-8s | %8.3f %8.3f dB | %8.3f %8.3f dB\n", "mean",
                    m ? "texture" : "standard", sums[m][0] / n, sums[m][1] / n, sums[m][2] / n,
                    sums[m][3] / n);
    if (!sheet.empty() && !rows.empty()) {
        cv::Mat all;
        cv::vconcat(rows, all);
        cv::imwrite(sheet, all);
    }
    return 0;
}
