// Erase engine on a 3072 x 2048 photo: three holes, 1 and 2 threads; with OpenCV
// present, its Telea inpainting (radius 3) on the same image and holes in the same run.
#include "benchimages.h"
#include "imaging.h"
#include "inpainter.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#ifdef MIRELO_WITH_OPENCV
#include <opencv2/photo.hpp>
#endif

#include <map>

namespace {

using BenchImages::Case;

const PixelImage& photo() {
    static const PixelImage p = BenchImages::photo();
    return p;
}

const std::vector<uint8_t>& cachedMask(Case c) {
    static std::map<Case, std::vector<uint8_t>> masks;
    auto it = masks.find(c);
    if (it == masks.end())
        it = masks.emplace(c, BenchImages::mask(c)).first;
    return it->second;
}

void BM_Erase(benchmark::State& state) {
    const auto c = Case(state.range(0));
    const int threads = int(state.range(1));
    const auto& m = cachedMask(c);
    for (auto _ : state) {
        // A shared copy, as the application hands the engine: the result is a fresh image.
        PixelImage out = Inpainter::run(photo(), m, {}, threads);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(std::string(BenchImages::name(c)) + ", " + std::to_string(threads) + " thread" +
                   (threads > 1 ? "s" : ""));
}

#ifdef MIRELO_WITH_OPENCV
void BM_OpenCvTelea(benchmark::State& state) {
    const auto c = Case(state.range(0));
    const PixelImage& p = photo();
    cv::Mat rgba(int(p.height()), int(p.width()), CV_8UC4, const_cast<uint8_t*>(p.bytes().data()));
    cv::Mat rgb;
    cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
    cv::Mat m(int(p.height()), int(p.width()), CV_8UC1, const_cast<uint8_t*>(cachedMask(c).data()));
    cv::setNumThreads(1);
    for (auto _ : state) {
        cv::Mat out;
        cv::inpaint(rgb, m, out, 3.0, cv::INPAINT_TELEA);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetLabel(std::string(BenchImages::name(c)) + ", OpenCV Telea r=3");
}
#endif

void cases(benchmark::internal::Benchmark* b) {
    for (int c = 0; c < 3; ++c)
        for (int threads : {1, 2})
            b->Args({c, threads});
}

} // namespace

BENCHMARK(BM_Erase)->Apply(cases)->Unit(benchmark::kMillisecond)->MinTime(2.0);
#ifdef MIRELO_WITH_OPENCV
BENCHMARK(BM_OpenCvTelea)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    benchmark::Initialize(&argc, argv);
    if (BenchImages::sourcePhotoPath().isEmpty())
        std::fprintf(stderr, "opencv-doc is not installed: using a synthetic texture\n");
    benchmark::AddCustomContext("photo", BenchImages::sourcePhotoPath().isEmpty()
                                             ? "synthetic texture"
                                             : BenchImages::sourcePhotoPath().toStdString());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
