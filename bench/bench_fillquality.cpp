// Fill quality on real photos: holes cut where the truth is known, filled by the standard
// fill, the texture fill and OpenCV's Telea inpainting side by side, and scored over the
// hole.
//
// Scores, each over the painted pixels:
// - PSNR of the colours;
// - SSIM of the brightness (Gaussian window, sigma 1.5), the map averaged over the hole;
// - texture ratio: mean Sobel gradient magnitude of the brightness over the hole's core
//   (the painted pixels at least 2 pixels inside it) in the result, divided by the same in
//   the truth; 1 = as detailed as the truth, 0 = flat;
// - low-pass PSNR: both pictures blurred by a Gaussian of sigma 2 pixels first, so that it
//   asks whether the right colours and shapes are in the right places, whatever the grain.
//
// Photos from four Debian packages: opencv-doc's samples (hand-placed holes, the photos the
// texture fill's settings were first chosen on), and the photos of mate-backgrounds (its
// nature folder), lomiri-wallpapers-16.04 and lomiri-wallpapers-20.04 (its two photographic
// ones), each scaled to at most 1600 pixels on its longer side, with holes placed by a fixed
// pseudo-random draw per photo: two thick discs, one at the picture's edge, and an object removed
// (a blob of another photo of the same package pasted in with a soft edge, then masked a little
// beyond its outline; the truth is the photo without it). Missing packages are skipped.
//
// The photos are split once into a tuning half and a reporting half: opencv-doc's all go to
// tuning, the others by a hash of their file name. Settings are chosen on the tuning half;
// the reporting half says how they do on photos nobody looked at while choosing. Thick and
// border holes are reported apart, with the texture fill's low-pass PSNR against the
// standard fill's (mean and worst case). A hole whose surroundings are plain (mean
// gradient of the ring around it below kPlainGradient) is also scored for agreement of
// the two fills (low-pass PSNR at sigma 4): below 26 dB the texture fill has put
// something there, such as a pasted object or an outline, that the plain ground lacks.
//
// --launch-pad runs a staged scene instead: a stroke down a launch tower beside a rocket, on
// an evening sky, at four distances from the rocket (see launchPad()). Its sky must stay sky.
//
// Usage:
//   bench_fillquality [--sheet=out.png] [--case=NAME,...] [--half=tuning|reporting]
//                     [--variants[=PART]] [--threads=N] [--launch-pad]
// --sheet writes a contact sheet (truth, mask, standard, texture, Telea, cropped to the
// hole) of every case run; --variants compares settings of the texture fill on the tuning
// half's thick, border and object holes instead (those whose name contains PART).
#include "inpainter.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string kDataDir = "/usr/share/doc/opencv-doc/examples/data/";

enum class Kind { Thick, Border, Thin, Object, Scene };
constexpr int kKinds = 5;
const char* kindName(Kind k) {
    const char* names[kKinds] = {"thick", "border", "thin", "object", "scene"};
    return names[int(k)];
}

struct Case {
    std::string name;
    std::string file; // the photo's path
    Kind kind;
    // A disc (x, y, radius), or for a thin stroke a line from (x, y) to (x2, y2) of width radius.
    int x, y, r;
    int x2 = 0, y2 = 0;
    bool reporting = false; // in the reporting half
    // An object: the photo it is cut from, and the seed of its shape and place there.
    std::string donor = {};
    uint64_t seed = 0;
};

std::vector<Case> placedCases() {
    std::vector<Case> all = {
        {"grass", "messi5.jpg", Kind::Thick, 100, 300, 26},
        {"crowd", "messi5.jpg", Kind::Thick, 470, 120, 40},
        {"brick", "leuvenA.jpg", Kind::Thick, 150, 255, 24},
        {"cobbles", "leuvenA.jpg", Kind::Thick, 300, 470, 40},
        {"sky-grey", "leuvenA.jpg", Kind::Thick, 330, 80, 40},
        {"facade-lines", "building.jpg", Kind::Thick, 600, 200, 40},
        {"tree", "building.jpg", Kind::Thick, 120, 430, 35},
        {"sky-blue", "building.jpg", Kind::Thick, 60, 250, 28},
        {"forest-aerial", "aero1.jpg", Kind::Thick, 530, 345, 30},
        {"fur", "baboon.jpg", Kind::Thick, 80, 330, 36},
        {"bokeh-leaves", "squirrel_cls.jpg", Kind::Thick, 80, 330, 40},
        {"bark", "squirrel_cls.jpg", Kind::Thick, 450, 250, 22},
        {"ornament", "home.jpg", Kind::Thick, 430, 330, 30},
        {"kerb", "leuvenA.jpg", Kind::Thick, 80, 470, 25},
        {"hedge-top", "building.jpg", Kind::Thick, 290, 497, 20},
        {"grass-edge", "messi5.jpg", Kind::Border, 160, 330, 30},
        {"pitch-line", "messi5.jpg", Kind::Border, 420, 333, 16},
        {"cobbles-edge", "leuvenA.jpg", Kind::Border, 450, 550, 45},
        {"lawn-edge", "building.jpg", Kind::Border, 300, 582, 30},
        {"sky-edge", "home.jpg", Kind::Border, 120, 12, 40},
        {"river-haze", "aero1.jpg", Kind::Border, 625, 120, 35},
        {"fur-edge", "baboon.jpg", Kind::Border, 10, 260, 45},
        {"grass-stroke", "messi5.jpg", Kind::Thin, 20, 290, 8, 230, 318},
        {"line-stroke", "messi5.jpg", Kind::Thin, 370, 300, 8, 440, 341},
        {"lawn-stroke", "building.jpg", Kind::Thin, 40, 565, 8, 420, 578},
        {"cobble-stroke", "leuvenA.jpg", Kind::Thin, 200, 450, 8, 520, 530},
        {"fur-stroke", "baboon.jpg", Kind::Thin, 20, 380, 8, 110, 200},
        {"leaf-stroke", "squirrel_cls.jpg", Kind::Thin, 20, 250, 8, 120, 420},
    };
    for (Case& c : all)
        c.file = kDataDir + c.file;
    return all;
}

constexpr int kMaxSide = 1600;

struct Source {
    const char* prefix; // of the cases' names
    const char* dir;
    std::vector<const char*> files;
};

const std::vector<Source>& sources() {
    static const std::vector<Source> all = {
        {"mate",
         "/usr/share/backgrounds/mate/nature/",
         {"Aqua.jpg", "Blinds.jpg", "Dune.jpg", "FreshFlower.jpg", "Garden.jpg", "GreenMeadow.jpg",
          "LadyBird.jpg", "RainDrops.jpg", "Storm.jpg", "TwoWings.jpg", "Wood.jpg",
          "YellowFlower.jpg"}},
        {"lomiri",
         "/usr/share/backgrounds/",
         {"Bridge_by_Sander_Klootwijk.jpg", "Dragonfly_by_Bolly.jpg", "Picture_0B_by_freespace.jpg",
          "Picture_1A_by_freespace.jpg", "Wine_by_Jakkub_Mede.jpg",
          "aitzgorri_by_Aitzol_Berasategi.jpg", "analogpattern_by_Peter_Nerlich.jpg",
          "free_by_Peter_Nerlich.jpg", "friends_by_Aitzol_Berasategi.jpg",
          "greentock_by_Peter_Nerlich.jpg", "life_by_Aitzol_Berasategi.jpg",
          "picosdeeuropa_by_Aitzol_Berasategi.jpg", "seeding_by_Clements_Engelhardt.jpg",
          "sunset_by_Aitzol_Berasategi.jpg", "umang_by_Abhishek_Mudgal.jpg"}},
        {"lomiri20",
         "/usr/share/backgrounds/",
         {"Infinite-Sea_by_Aury88.jpg", "Kleiber_by_Lukas_Baubkus.jpg"}},
    };
    return all;
}

uint64_t fnv1a(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

// The photo scaled to at most kMaxSide on its longer side, as a small working copy is.
cv::Mat readPhoto(const std::string& path) {
    cv::Mat photo = cv::imread(path);
    const int side = std::max(photo.cols, photo.rows);
    if (side > kMaxSide) {
        const double f = double(kMaxSide) / side;
        cv::resize(photo, photo, cv::Size(), f, f, cv::INTER_AREA);
    }
    return photo;
}

// Two thick discs and one at the edge for every photo present, drawn once from a generator
// seeded by the file name, so the holes cannot be moved to where a fill does well.
std::vector<Case> drawnCases(std::map<std::string, cv::Mat>& photos) {
    std::vector<Case> all;
    for (const Source& source : sources())
        for (const char* file : source.files) {
            const std::string path = std::string(source.dir) + file;
            const cv::Mat& photo = photos.emplace(path, readPhoto(path)).first->second;
            if (photo.empty())
                continue;
            uint64_t state = fnv1a(file);
            const bool reporting = (state >> 17) & 1;
            auto next = [&state](int lo, int hi) { // uniform in [lo, hi]
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                return lo + int((state >> 33) % uint64_t(hi - lo + 1));
            };
            std::string stem = file;
            stem = stem.substr(0, std::min(stem.find("_by_"), stem.find('.')));
            // The object case draws from a generator of its own, so the holes above stay
            // where they were before it was added.
            uint64_t objectState = fnv1a(std::string("object ") + file);
            auto nextObject = [&objectState](int lo, int hi) {
                objectState = objectState * 6364136223846793005ull + 1442695040888963407ull;
                return lo + int((objectState >> 33) % uint64_t(hi - lo + 1));
            };
            Case object;
            object.name = std::string(source.prefix) + "-" + stem + "-object";
            object.file = path;
            object.reporting = reporting;
            object.kind = Kind::Object;
            object.r = nextObject(20, 45);
            object.x = nextObject(object.r + 8, photo.cols - object.r - 9);
            object.y = nextObject(object.r + 8, photo.rows - object.r - 9);
            const int n = int(source.files.size());
            const int self = int(std::find(source.files.begin(), source.files.end(), file) -
                                 source.files.begin());
            object.donor =
                std::string(source.dir) + source.files[(self + nextObject(1, n - 1)) % n];
            object.seed = objectState;
            for (int k = 0; k < 3; ++k) {
                Case c;
                c.name = std::string(source.prefix) + "-" + stem + "-" + std::to_string(k);
                c.file = path;
                c.reporting = reporting;
                c.r = next(20, 45);
                if (k < 2) {
                    c.kind = Kind::Thick;
                    c.x = next(c.r + 8, photo.cols - c.r - 9);
                    c.y = next(c.r + 8, photo.rows - c.r - 9);
                } else {
                    // Centred half a radius inside one of the four edges.
                    c.kind = Kind::Border;
                    const int edge = next(0, 3);
                    c.x = next(c.r, photo.cols - c.r - 1);
                    c.y = next(c.r, photo.rows - c.r - 1);
                    if (edge == 0)
                        c.x = c.r / 2;
                    else if (edge == 1)
                        c.x = photo.cols - 1 - c.r / 2;
                    else if (edge == 2)
                        c.y = c.r / 2;
                    else
                        c.y = photo.rows - 1 - c.r / 2;
                }
                all.push_back(c);
            }
            all.push_back(object);
        }
    return all;
}

// An object removed as a user removes one: a blob of three overlapping ellipses, cut from the
// donor photo and pasted with a soft edge (Gaussian, sigma 2). The mask is the blob grown by
// 3 pixels, as a quick brush leaves it, so the faint outer part of the soft edge stays in
// the picture around the hole, as a halo or a shadow does. The truth is the photo without
// the object. Returns the pasted picture and sets mask.
cv::Mat pasteObject(const Case& c, const cv::Mat& photo, const cv::Mat& donor, cv::Mat& mask) {
    uint64_t state = c.seed;
    auto next = [&state](int lo, int hi) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return lo + int((state >> 33) % uint64_t(hi - lo + 1));
    };
    cv::Mat shape = cv::Mat::zeros(photo.size(), CV_8U);
    for (int k = 0; k < 3; ++k) {
        const cv::Point centre(c.x + next(-c.r / 2, c.r / 2), c.y + next(-c.r / 2, c.r / 2));
        const cv::Size axes(next(c.r / 4, c.r * 2 / 3), next(c.r / 5, c.r / 2));
        cv::ellipse(shape, centre, axes, next(0, 179), 0, 360, 255, cv::FILLED, cv::LINE_8);
    }
    cv::dilate(shape, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));
    cv::Mat alpha;
    shape.convertTo(alpha, CV_32F, 1.0 / 255);
    cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), 2.0);
    // The donor's pixels under the object: a window of the donor at a drawn place.
    const cv::Rect box = (cv::boundingRect(mask) + cv::Size(8, 8) - cv::Point(4, 4)) &
                         cv::Rect(0, 0, photo.cols, photo.rows);
    const cv::Point from(next(0, std::max(0, donor.cols - box.width)),
                         next(0, std::max(0, donor.rows - box.height)));
    cv::Mat pasted = photo.clone();
    for (int y = box.y; y < box.y + box.height; ++y)
        for (int x = box.x; x < box.x + box.width; ++x) {
            const float a = alpha.at<float>(y, x);
            const int dx = std::min(donor.cols - 1, from.x + x - box.x);
            const int dy = std::min(donor.rows - 1, from.y + y - box.y);
            const cv::Vec3b o = donor.at<cv::Vec3b>(dy, dx);
            cv::Vec3b& p = pasted.at<cv::Vec3b>(y, x);
            for (int ch = 0; ch < 3; ++ch)
                p[ch] = cv::saturate_cast<uchar>(p[ch] * (1 - a) + o[ch] * a);
        }
    return pasted;
}

struct Scores {
    double psnr = 0, ssim = 0, texture = 0, lowPass = 0, ms = 0;
};

cv::Mat brightness(const cv::Mat& bgr) {
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    g.convertTo(g, CV_32F);
    return g;
}

double psnrOver(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    cv::Mat d;
    cv::absdiff(a, b, d);
    d.convertTo(d, CV_64F);
    d = d.mul(d);
    const cv::Scalar s = cv::mean(d, mask);
    const double mse = (s[0] + s[1] + s[2]) / 3.0;
    return 10.0 * std::log10(255.0 * 255.0 / std::max(mse, 1e-10));
}

double ssimOver(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    const cv::Mat x = brightness(a), y = brightness(b);
    auto blur = [](const cv::Mat& m) {
        cv::Mat o;
        cv::GaussianBlur(m, o, cv::Size(11, 11), 1.5);
        return o;
    };
    const double c1 = 6.5025, c2 = 58.5225;
    const cv::Mat mx = blur(x), my = blur(y);
    const cv::Mat sxx = blur(x.mul(x)) - mx.mul(mx);
    const cv::Mat syy = blur(y.mul(y)) - my.mul(my);
    const cv::Mat sxy = blur(x.mul(y)) - mx.mul(my);
    cv::Mat num = (2 * mx.mul(my) + c1).mul(2 * sxy + c2);
    cv::Mat den = (mx.mul(mx) + my.mul(my) + c1).mul(sxx + syy + c2);
    cv::Mat map;
    cv::divide(num, den, map);
    return cv::mean(map, mask)[0];
}

double meanGradient(const cv::Mat& bgr, const cv::Mat& core) {
    const cv::Mat g = brightness(bgr);
    cv::Mat gx, gy, mag;
    cv::Sobel(g, gx, CV_32F, 1, 0);
    cv::Sobel(g, gy, CV_32F, 0, 1);
    cv::magnitude(gx, gy, mag);
    return cv::mean(mag, core)[0];
}

Scores score(const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask) {
    Scores s;
    s.psnr = psnrOver(result, truth, mask);
    s.ssim = ssimOver(result, truth, mask);
    cv::Mat core;
    cv::erode(mask, core, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    const double truthGrad = meanGradient(truth, core);
    s.texture = truthGrad > 0 ? meanGradient(result, core) / truthGrad : 0;
    cv::Mat ra, ta;
    cv::GaussianBlur(result, ra, cv::Size(0, 0), 2.0);
    cv::GaussianBlur(truth, ta, cv::Size(0, 0), 2.0);
    s.lowPass = psnrOver(ra, ta, mask);
    return s;
}

cv::Mat makeMask(const Case& c, cv::Size size) {
    cv::Mat m = cv::Mat::zeros(size, CV_8U);
    if (c.kind == Kind::Thin)
        cv::line(m, {c.x, c.y}, {c.x2, c.y2}, 255, c.r, cv::LINE_8);
    else
        cv::circle(m, {c.x, c.y}, c.r, 255, cv::FILLED, cv::LINE_8);
    return m;
}

PixelImage toPixels(const cv::Mat& bgr) {
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    std::vector<uint8_t> bytes(rgba.datastart, rgba.dataend);
    return PixelImage(rgba.cols, rgba.rows, std::move(bytes));
}

cv::Mat fromPixels(const PixelImage& p) {
    cv::Mat rgba(int(p.height()), int(p.width()), CV_8UC4, const_cast<uint8_t*>(p.bytes().data()));
    cv::Mat bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

using Filler = std::function<cv::Mat(const cv::Mat& image, const cv::Mat& mask)>;

Filler engine(Inpainter::Method method, int threads) {
    return [method, threads](const cv::Mat& image, const cv::Mat& mask) {
        std::vector<uint8_t> m(mask.datastart, mask.dataend);
        return fromPixels(Inpainter::run(toPixels(image), m, {}, threads, method));
    };
}

Filler texture(const TextureFill::Params& params, int threads) {
    return [params, threads](const cv::Mat& image, const cv::Mat& mask) {
        std::vector<uint8_t> m(mask.datastart, mask.dataend);
        return fromPixels(Inpainter::runTexture(toPixels(image), m, params, {}, threads));
    };
}

cv::Mat telea(const cv::Mat& image, const cv::Mat& mask) {
    cv::Mat out;
    cv::inpaint(image, mask, out, 3.0, cv::INPAINT_TELEA);
    return out;
}

struct Loaded {
    Case c;
    cv::Mat truth, mask, damaged;
    cv::Mat input; // the picture the user masks: the truth, or the truth with an object pasted
};

enum class Half { All, Tuning, Reporting };

std::vector<Loaded> load(const std::string& only, bool withThin, Half half) {
    std::map<std::string, cv::Mat> photos;
    std::vector<Case> all = placedCases();
    for (Case& c : drawnCases(photos))
        all.push_back(std::move(c));
    std::vector<Loaded> out;
    for (const Case& c : all) {
        if (!only.empty() && ("," + only + ",").find("," + c.name + ",") == std::string::npos)
            continue;
        if ((!withThin && c.kind == Kind::Thin) || (half == Half::Tuning && c.reporting) ||
            (half == Half::Reporting && !c.reporting))
            continue;
        auto it = photos.find(c.file);
        if (it == photos.end())
            it = photos.emplace(c.file, readPhoto(c.file)).first;
        if (it->second.empty()) {
            std::fprintf(stderr, "missing %s\n", c.file.c_str());
            continue;
        }
        Loaded l{c, it->second, {}, {}, it->second};
        if (c.kind == Kind::Object) {
            auto donor = photos.find(c.donor);
            if (donor == photos.end())
                donor = photos.emplace(c.donor, readPhoto(c.donor)).first;
            if (donor->second.empty())
                continue;
            l.input = pasteObject(c, l.truth, donor->second, l.mask);
        } else {
            l.mask = makeMask(c, l.truth.size());
        }
        l.damaged = l.input.clone();
        l.damaged.setTo(cv::Scalar(255, 0, 255), l.mask); // what the fill must not use
        out.push_back(l);
    }
    return out;
}

// A launch pad staged on the evening sky of a photo: a rocket with two boosters between two
// lattice towers, all standing on the hills, and a 40 px stroke down the left tower, which
// stands gap pixels from the left booster. The truth is the scene without that tower: sky.
// A distinctive object right beside a hole in plain ground is where a fill that copies
// patches pastes a piece of it into the sky.
const char* const kLaunchPadPhoto = "/usr/share/backgrounds/sunset_by_Aitzol_Berasategi.jpg";

Loaded launchPad(const cv::Mat& photo, int gap) {
    Loaded l;
    const int towerX = 340 - gap - 20; // the left booster's left side is at x = 340
    l.c = {"tower-" + std::to_string(gap) + "px", kLaunchPadPhoto, Kind::Scene, towerX, 350, 20};
    l.c.reporting = true;
    l.truth = photo.clone();
    cv::Mat& t = l.truth;
    // A cylinder lit from the right: brightness follows the cosine across its width.
    auto cylinder = [&t](int cx, int halfWidth, int top, int bottom, cv::Vec3d colour) {
        for (int y = top; y < bottom; ++y)
            for (int x = cx - halfWidth; x <= cx + halfWidth; ++x) {
                const double u = double(x - cx) / halfWidth; // -1 .. 1
                const double shade =
                    0.45 + 0.55 * std::sqrt(std::max(0.0, 1 - u * u)) * (0.75 + 0.25 * u);
                for (int ch = 0; ch < 3; ++ch)
                    t.at<cv::Vec3b>(y, x)[ch] = cv::saturate_cast<uchar>(colour[ch] * shade);
            }
    };
    auto cone = [&t](int cx, int halfWidth, int top, int bottom, cv::Scalar colour) {
        const std::vector<cv::Point> tip = {
            {cx, top}, {cx - halfWidth, bottom}, {cx + halfWidth, bottom}};
        cv::fillConvexPoly(t, tip, colour, cv::LINE_AA);
    };
    const cv::Vec3d white(235, 238, 240), grey(200, 200, 196);
    cylinder(400, 32, 200, 600, white);
    cone(400, 32, 130, 201, cv::Scalar(220, 222, 225));
    cv::rectangle(t, cv::Rect(368, 260, 65, 20), cv::Scalar(30, 30, 30), cv::FILLED);
    cv::rectangle(t, cv::Rect(368, 430, 65, 8), cv::Scalar(40, 90, 200), cv::FILLED);
    for (int side : {-1, 1}) {
        cylinder(400 + side * 46, 14, 380, 600, grey);
        cone(400 + side * 46, 14, 345, 381, cv::Scalar(60, 60, 60));
    }
    // A lattice tower: two rails, cross beams and diagonals in dark, rusty steel.
    auto tower = [](cv::Mat& m, int cx) {
        const cv::Scalar steel(40, 48, 62), rust(40, 70, 120);
        const int x0 = cx - 14, x1 = cx + 14, top = 100, bottom = 610;
        cv::rectangle(m, cv::Rect(x0, top, 4, bottom - top), steel, cv::FILLED);
        cv::rectangle(m, cv::Rect(x1 - 3, top, 4, bottom - top), steel, cv::FILLED);
        for (int y = top; y + 28 <= bottom; y += 28) {
            cv::line(m, {x0, y}, {x1, y}, steel, 3, cv::LINE_AA);
            cv::line(m, {x0, y}, {x1, y + 28}, rust, 2, cv::LINE_AA);
            cv::line(m, {x1, y}, {x0, y + 28}, rust, 2, cv::LINE_AA);
        }
    };
    tower(t, 504);
    l.input = t.clone();
    tower(l.input, towerX);
    l.mask = cv::Mat::zeros(t.size(), CV_8U);
    cv::line(l.mask, {towerX, 92}, {towerX, 612}, 255, 40, cv::LINE_8);
    l.damaged = l.input.clone();
    l.damaged.setTo(cv::Scalar(255, 0, 255), l.mask);
    return l;
}

Scores run(const Filler& fill, const Loaded& l, cv::Mat* result = nullptr) {
    const auto t0 = std::chrono::steady_clock::now();
    cv::Mat r = fill(l.damaged, l.mask);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    Scores s = score(r, l.truth, l.mask);
    s.ms = ms;
    if (result)
        *result = r;
    return s;
}

void add(Scores& sum, const Scores& s) {
    sum.psnr += s.psnr;
    sum.ssim += s.ssim;
    sum.texture += s.texture;
    sum.lowPass += s.lowPass;
    sum.ms += s.ms;
}

Scores mean(Scores s, int n) {
    if (n > 0) {
        s.psnr /= n;
        s.ssim /= n;
        s.texture /= n;
        s.lowPass /= n;
        s.ms /= n;
    }
    return s;
}

// Tile of the contact sheet: the hole's box with a margin, scaled to a fixed height.
cv::Mat tile(const cv::Mat& image, const cv::Rect& box, int height) {
    cv::Mat t;
    const double f = double(height) / box.height;
    cv::resize(image(box), t, cv::Size(int(box.width * f), height), 0, 0, cv::INTER_NEAREST);
    return t;
}

void writeSheet(const std::string& path, const std::vector<Loaded>& loaded,
                const std::vector<std::vector<cv::Mat>>& results) {
    const int height = 160, gap = 4, label = 22;
    const char* titles[] = {"truth", "mask", "standard", "texture", "Telea"};
    std::vector<cv::Mat> rows;
    for (size_t k = 0; k < loaded.size(); ++k) {
        const Loaded& l = loaded[k];
        cv::Rect box = cv::boundingRect(l.mask);
        const int margin = std::max(box.width, box.height) / 2;
        box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin,
                       box.height + 2 * margin) &
              cv::Rect(0, 0, l.truth.cols, l.truth.rows);
        cv::Mat shown = l.input.clone();
        shown.setTo(cv::Scalar(80, 80, 255), l.mask);
        cv::addWeighted(l.input, 0.5, shown, 0.5, 0, shown);
        std::vector<cv::Mat> tiles = {tile(l.truth, box, height), tile(shown, box, height)};
        for (const cv::Mat& r : results[k])
            tiles.push_back(tile(r, box, height));
        cv::Mat row(height + label, int(tiles.size()) * (tiles[0].cols + gap), CV_8UC3,
                    cv::Scalar(255, 255, 255));
        for (size_t j = 0; j < tiles.size(); ++j) {
            const int x = int(j) * (tiles[0].cols + gap);
            tiles[j].copyTo(row(cv::Rect(x, label, tiles[j].cols, height)));
            const std::string text = j == 0 ? l.c.name : titles[j];
            cv::putText(row, text, {x + 2, label - 6}, cv::FONT_HERSHEY_SIMPLEX, 0.5,
                        cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
        }
        rows.push_back(row);
    }
    int width = 0, total = 0;
    for (const cv::Mat& r : rows) {
        width = std::max(width, r.cols);
        total += r.rows + gap;
    }
    cv::Mat sheet(std::max(total, 1), std::max(width, 1), CV_8UC3, cv::Scalar(255, 255, 255));
    int y = 0;
    for (const cv::Mat& r : rows) {
        r.copyTo(sheet(cv::Rect(0, y, r.cols, r.rows)));
        y += r.rows + gap;
    }
    cv::imwrite(path, sheet);
    std::printf("contact sheet: %s\n", path.c_str());
}

// Mean gradient below which a hole's surroundings (the ring of half its radius around it)
// count as plain: sky, fog, a smooth wall.
constexpr double kPlainGradient = 12.0;

bool plainAround(const Loaded& l) {
    cv::Mat ring;
    const int grow = std::max(4, l.c.r / 2);
    cv::dilate(l.mask, ring,
               cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * grow + 1, 2 * grow + 1)));
    ring.setTo(0, l.mask);
    return meanGradient(l.truth, ring) < kPlainGradient;
}

// Low-pass PSNR (sigma 4) of one result against another over the hole.
double agreement(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    cv::Mat la, lb;
    cv::GaussianBlur(a, la, cv::Size(0, 0), 4.0);
    cv::GaussianBlur(b, lb, cv::Size(0, 0), 4.0);
    return psnrOver(la, lb, mask);
}

int compareMethods(const std::vector<Loaded>& loaded, int threads, const std::string& sheet) {
    const char* names[] = {"standard", "texture", "Telea"};
    const Filler fills[] = {engine(Inpainter::Method::Standard, threads),
                            engine(Inpainter::Method::Texture, threads), telea};
    std::printf("%-24s %-6s %-4s | %-23s | %-23s | %-23s | %6s %6s\n", "case", "kind", "half",
                "standard", "texture", "Telea", "dLowP", "plain");
    std::printf("%-24s %-6s %-4s |", "", "", "");
    for (int m = 0; m < 3; ++m)
        std::printf(" %5s %5s %5s %5s |", "PSNR", "SSIM", "tex", "lowP");
    std::printf("\n");
    // Per half (tuning, reporting) and kind.
    struct Group {
        Scores sums[3];
        int count = 0;
        double worst = 1e9; // the texture fill's low-pass PSNR less the standard fill's
        std::string worstName;
        int plain = 0, pasted = 0;
        double leastAgreement = 1e9;
    } groups[2][kKinds];
    std::vector<std::vector<cv::Mat>> results;
    for (const Loaded& l : loaded) {
        Group& g = groups[l.c.reporting][int(l.c.kind)];
        ++g.count;
        std::printf("%-24s %-6s %-4s |", l.c.name.c_str(), kindName(l.c.kind),
                    l.c.reporting ? "rep" : "tune");
        results.emplace_back(3);
        Scores s[3];
        for (int m = 0; m < 3; ++m) {
            s[m] = run(fills[m], l, &results.back()[m]);
            add(g.sums[m], s[m]);
            std::printf(" %5.2f %5.3f %5.2f %5.2f |", s[m].psnr, s[m].ssim, s[m].texture,
                        s[m].lowPass);
        }
        const double d = s[1].lowPass - s[0].lowPass;
        if (d < g.worst) {
            g.worst = d;
            g.worstName = l.c.name;
        }
        std::printf(" %6.2f", d);
        if (l.c.kind == Kind::Scene || (l.c.kind != Kind::Thin && plainAround(l))) {
            const double agree = agreement(results.back()[0], results.back()[1], l.mask);
            ++g.plain;
            g.pasted += agree < 26.0;
            g.leastAgreement = std::min(g.leastAgreement, agree);
            std::printf(" %6.2f", agree);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    const char* halves[] = {"tuning", "reporting"};
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < kKinds; ++k) {
            const Group& g = groups[h][k];
            if (!g.count)
                continue;
            if (Kind(k) == Kind::Scene)
                std::printf("\nstaged, %d holes:\n", g.count);
            else
                std::printf("\n%s half, %d %s holes:\n", halves[h], g.count, kindName(Kind(k)));
            for (int m = 0; m < 3; ++m) {
                const Scores s = mean(g.sums[m], g.count);
                std::printf("  %-9s PSNR %6.2f dB  SSIM %5.3f  texture ratio %5.2f  low-pass PSNR "
                            "%6.2f dB  %7.1f ms/hole\n",
                            names[m], s.psnr, s.ssim, s.texture, s.lowPass, s.ms);
            }
            std::printf("  texture - standard, low-pass PSNR: mean %+.2f dB, worst %+.2f dB (%s)\n",
                        (g.sums[1].lowPass - g.sums[0].lowPass) / g.count, g.worst,
                        g.worstName.c_str());
            if (g.plain)
                std::printf("  %s: %d holes, agreement of the fills (low-pass sigma 4) at least "
                            "%.2f dB, %d below 26 dB\n",
                            Kind(k) == Kind::Scene ? "sky beside the rocket" : "plain surroundings",
                            g.plain, g.leastAgreement, g.pasted);
        }
    if (!sheet.empty())
        writeSheet(sheet, loaded, results);
    return 0;
}

// Settings of the texture fill tried on the thick and border holes: each row is one point
// of the trade-off between keeping the grain (texture ratio) and keeping the shapes
// (low-pass PSNR), with the texture fill's low-pass PSNR against the standard fill's:
// mean, worst hole, and how many holes lose more than 2.5 dB.
int compareVariants(const std::vector<Loaded>& loaded, int threads, const std::string& only) {
    struct Variant {
        std::string name;
        TextureFill::Params params;
    };
    std::vector<Variant> variants;
    auto with = [](auto change) {
        TextureFill::Params p;
        change(p);
        return p;
    };
    auto blend = [&](float lo, float hi) {
        return with([lo, hi](auto& p) {
            p.plainBelow = lo;
            p.texturedAbove = hi;
        });
    };
    variants.push_back({"chosen (defaults)", {}});
    variants.push_back({"no blend", blend(0, 0)});
    for (auto [lo, hi] : {std::pair{2.0f, 12.0f},
                          {4.0f, 12.0f},
                          {4.0f, 16.0f},
                          {4.0f, 24.0f},
                          {6.0f, 12.0f},
                          {6.0f, 16.0f},
                          {8.0f, 24.0f},
                          {12.0f, 24.0f},
                          {16.0f, 48.0f}})
        variants.push_back(
            {"blend " + std::to_string(int(lo)) + "-" + std::to_string(int(hi)), blend(lo, hi)});
    for (auto [sigma, limit] : {std::pair{8.0f, 20.0f},
                                {8.0f, 5.0f},
                                {4.0f, 5.0f},
                                {4.0f, 12.0f},
                                {6.0f, 10.0f},
                                {3.0f, 10.0f}})
        variants.push_back(
            {"low-pass " + std::to_string(int(sigma)) + " limit " + std::to_string(int(limit)),
             with([sigma, limit](auto& p) {
                 p.lowPassSigma = sigma;
                 p.lowPassLimit = limit;
             })});
    for (auto [grain, sigma] : {std::pair{1.0f, 1.0f}, {1.0f, 1.5f}, {1.0f, 2.5f}, {0.5f, 1.5f}})
        variants.push_back({"plain grain " + std::to_string(grain).substr(0, 3) + " sigma " +
                                std::to_string(sigma).substr(0, 3),
                            with([grain, sigma](auto& p) {
                                p.plainGrain = grain;
                                p.plainGrainSigma = sigma;
                            })});
    // The blend's range against the low-pass limit, which trade the same two things.
    for (auto [lo, hi] : {std::pair{2.0f, 12.0f}, {4.0f, 16.0f}, {2.0f, 8.0f}})
        for (auto [sigma, limit] :
             {std::pair{8.0f, 20.0f}, {8.0f, 15.0f}, {6.0f, 15.0f}, {8.0f, 12.0f}})
            variants.push_back({"blend " + std::to_string(int(lo)) + "-" + std::to_string(int(hi)) +
                                    " low-pass " + std::to_string(int(sigma)) + "/" +
                                    std::to_string(int(limit)),
                                with([=](auto& p) {
                                    p.plainBelow = lo;
                                    p.texturedAbove = hi;
                                    p.lowPassSigma = sigma;
                                    p.lowPassLimit = limit;
                                })});
    variants.push_back({"no low-pass limit", with([](auto& p) { p.lowPassLimit = 0; })});
    variants.push_back({"full-size standard", with([](auto& p) {
                            p.standardSkippedLevels = 0;
                            p.standardFinishPasses = 0;
                        })});
    variants.push_back(
        {"quarter-size standard", with([](auto& p) { p.standardSkippedLevels = 2; })});
    for (int passes : {5, 3, 1})
        variants.push_back({"standard finish passes " + std::to_string(passes),
                            with([passes](auto& p) { p.standardFinishPasses = passes; })});
    for (float weight : {2.0f, 8.0f, 16.0f})
        variants.push_back({"feature weight " + std::to_string(int(weight)),
                            with([weight](auto& p) { p.featureWeight = weight; })});
    variants.push_back({"vote at the end", with([](auto& p) { p.bestPatchFinish = false; })});
    variants.push_back({"no shade correction", with([](auto& p) { p.shadeIterations = 0; })});
    variants.push_back({"percentile 0.5", with([](auto& p) { p.percentile = 0.5f; })});
    for (auto [finest, middle] : {std::pair{3, 4}, {2, 4}, {1, 3}, {1, 2}})
        variants.push_back(
            {"passes " + std::to_string(finest) + " finest " + std::to_string(middle) + " middle",
             with([=](auto& p) {
                 p.finestPasses = finest;
                 p.middlePasses = middle;
             })});
    for (int passes : {8, 12, 24})
        variants.push_back({"coarsest passes " + std::to_string(passes),
                            with([passes](auto& p) { p.coarsestPasses = passes; })});
    std::vector<double> standard;
    for (const Loaded& l : loaded)
        standard.push_back(run(engine(Inpainter::Method::Standard, threads), l).lowPass);
    std::printf("%-22s %7s %7s %7s %7s %8s | %7s %7s %5s\n", "variant", "tex", "lowP", "PSNR",
                "SSIM", "ms/hole", "dLowP", "worst", "<-2.5");
    auto row = [&](const std::string& name, const Filler& f) {
        Scores sum;
        double worst = 1e9;
        int losses = 0;
        for (size_t k = 0; k < loaded.size(); ++k) {
            const Scores s = run(f, loaded[k]);
            add(sum, s);
            worst = std::min(worst, s.lowPass - standard[k]);
            losses += s.lowPass - standard[k] < -2.5;
        }
        const Scores s = mean(sum, int(loaded.size()));
        double base = 0;
        for (double v : standard)
            base += v;
        std::printf("%-22s %7.3f %7.2f %7.2f %7.3f %8.1f | %+7.2f %+7.2f %5d\n", name.c_str(),
                    s.texture, s.lowPass, s.psnr, s.ssim, s.ms,
                    s.lowPass - base / double(standard.size()), worst, losses);
        std::fflush(stdout);
    };
    row("standard fill", engine(Inpainter::Method::Standard, threads));
    row("Telea", telea);
    for (const Variant& v : variants)
        if (v.name.find(only) != std::string::npos)
            row(v.name, texture(v.params, threads));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string sheet, only;
    bool variants = false;
    std::string variantFilter;
    Half half = Half::All;
    int threads = 2;
    bool launch = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sheet=", 8) == 0)
            sheet = argv[i] + 8;
        else if (std::strncmp(argv[i], "--case=", 7) == 0)
            only = argv[i] + 7;
        else if (std::strncmp(argv[i], "--threads=", 10) == 0)
            threads = std::atoi(argv[i] + 10);
        else if (std::strcmp(argv[i], "--variants") == 0)
            variants = true;
        else if (std::strncmp(argv[i], "--variants=", 11) == 0)
            variants = true, variantFilter = argv[i] + 11;
        else if (std::strcmp(argv[i], "--launch-pad") == 0)
            launch = true;
        else if (std::strcmp(argv[i], "--half=tuning") == 0)
            half = Half::Tuning;
        else if (std::strcmp(argv[i], "--half=reporting") == 0)
            half = Half::Reporting;
        else {
            std::fprintf(stderr,
                         "usage: %s [--sheet=out.png] [--case=NAME,...] [--half=tuning|reporting] "
                         "[--variants[=PART]] [--threads=N] [--launch-pad]\n",
                         argv[0]);
            return 2;
        }
    }
    cv::setNumThreads(1);
    if (launch) {
        const cv::Mat sky = readPhoto(kLaunchPadPhoto);
        if (sky.empty()) {
            std::fprintf(stderr, "missing %s\n", kLaunchPadPhoto);
            return 1;
        }
        std::vector<Loaded> scenes;
        for (int gap : {24, 14, 8, 4})
            scenes.push_back(launchPad(sky, gap));
        return compareMethods(scenes, threads, sheet);
    }
    // Settings are compared on the tuning half only.
    const std::vector<Loaded> loaded = load(only, !variants, variants ? Half::Tuning : half);
    if (loaded.empty()) {
        std::fprintf(stderr, "no photos found (install opencv-doc, mate-backgrounds)\n");
        return 1;
    }
    std::printf("%zu holes, %d threads\n", loaded.size(), threads);
    return variants ? compareVariants(loaded, threads, variantFilter)
                    : compareMethods(loaded, threads, sheet);
}
