// Erase engine on a 3072 x 2048 photo: three holes, 1 and 2 threads; with OpenCV
// present, its Telea inpainting (radius 3) on the same image and holes in the same run.
//
// The engine asks for huge pages for its large buffers; OpenCV does not. Where page
// faults are costly (some virtual machines take about 11 us for each 4 KiB page), Telea
// then spends most of its time faulting in fresh memory, depending on what the process
// freed before. For a like-for-like comparison give every allocation huge pages:
//   GLIBC_TUNABLES=glibc.malloc.hugetlb=1 bench_inpaint
#include "benchimages.h"
#include "imaging.h"
#include "inpainter.h"
#include "simd.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#ifdef MIRELO_WITH_OPENCV
#include <opencv2/photo.hpp>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

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
    const auto method = Inpainter::Method(state.range(2));
    const auto& m = cachedMask(c);
    for (auto _ : state) {
        // A shared copy, as the application hands the engine: the result is a fresh image.
        PixelImage out = Inpainter::run(photo(), m, {}, threads, method);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(std::string(BenchImages::name(c)) + ", " + std::to_string(threads) + " thread" +
                   (threads > 1 ? "s" : "") +
                   (method == Inpainter::Method::Texture ? ", texture fill" : ""));
}

// Both fills with the baseline patch-distance kernels and with the AVX2 ones, on one
// thread; the results are the same bits. Run with --benchmark_enable_random_interleaving
// and repetitions for a paired comparison.
void BM_EraseKernel(benchmark::State& state) {
    const auto c = Case(state.range(0));
    const bool wide = state.range(1) != 0;
    if (Simd::useWideKernels(wide) != wide) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    const auto method = Inpainter::Method(state.range(2));
    const auto& m = cachedMask(c);
    for (auto _ : state) {
        PixelImage out = Inpainter::run(photo(), m, {}, 1, method);
        benchmark::DoNotOptimize(out);
    }
    Simd::useWideKernels(true);
    state.SetLabel(std::string(BenchImages::name(c)) +
                   (method == Inpainter::Method::Texture ? ", texture fill" : "") +
                   (wide ? ", AVX2 kernels" : ", baseline kernels"));
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
            b->Args({c, threads, int(Inpainter::Method::Standard)});
    // The texture fill differs only on thick holes.
    for (int c = 1; c < 3; ++c)
        for (int threads : {1, 2})
            b->Args({c, threads, int(Inpainter::Method::Texture)});
}

} // namespace

BENCHMARK(BM_Erase)->Apply(cases)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EraseKernel)
    ->ArgsProduct({{1, 2},
                   {0, 1},
                   {int(Inpainter::Method::Standard), int(Inpainter::Method::Texture)}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
#ifdef MIRELO_WITH_OPENCV
BENCHMARK(BM_OpenCvTelea)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
#endif

// Arithmetic with no memory traffic and no synchronisation: twice on one thread, then
// once on each of two. Its speed-up is the most any work can gain from the second
// processor on this machine at the moment (a virtual machine's processors are shared, and
// a single busy core may run at a higher clock than two).
double arithmeticSpeedUp() {
    auto work = [] {
        double a = 1.0, b = 1e-9;
        for (int i = 0; i < 30'000'000; ++i) {
            a = a * 1.0000001 + b;
            b = b * 0.9999999 + 1e-12;
        }
        benchmark::DoNotOptimize(a + b);
    };
    const auto t0 = std::chrono::steady_clock::now();
    work();
    work();
    const auto t1 = std::chrono::steady_clock::now();
    {
        std::jthread other(work);
        work();
    }
    const auto t2 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count() /
           std::chrono::duration<double>(t2 - t1).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// With --pairs=N: times each case and fill at 1 and then 2 threads, N times in a row, and prints
// the median of the per-pair ratios. Both runs of a pair see the machine in the same state,
// so the ratio is steadier than a ratio of separately measured medians on a noisy host.
// The same is done for pure arithmetic before and after, as the machine's own ceiling.
int runPairs(int pairs) {
    std::printf("%u cores; medians of %d back-to-back pairs\n", std::thread::hardware_concurrency(),
                pairs);
    auto ceiling = [pairs] {
        std::vector<double> r;
        for (int k = 0; k < pairs; ++k)
            r.push_back(arithmeticSpeedUp());
        std::printf("%-20s %48s speed-up %.2fx\n", "arithmetic only", "", median(r));
    };
    ceiling();
    for (int c = 0; c < 6; ++c) {
        const auto& m = cachedMask(Case(c % 3));
        const auto method = c < 3 ? Inpainter::Method::Standard : Inpainter::Method::Texture;
        std::vector<double> one, two, ratio;
        for (int k = 0; k < pairs; ++k) {
            double ms[2];
            for (int threads : {1, 2}) {
                const auto t0 = std::chrono::steady_clock::now();
                PixelImage out = Inpainter::run(photo(), m, {}, threads, method);
                benchmark::DoNotOptimize(out);
                ms[threads - 1] =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
            }
            one.push_back(ms[0]);
            two.push_back(ms[1]);
            ratio.push_back(ms[0] / ms[1]);
            if (std::getenv("MIRELO_PAIRS_VERBOSE"))
                std::printf("  %.1f %.1f\n", ms[0], ms[1]);
        }
        std::printf("%-20s %-8s 1 thread %7.1f ms   2 threads %7.1f ms   speed-up %.2fx\n",
                    BenchImages::name(Case(c % 3)), c < 3 ? "standard" : "texture", median(one),
                    median(two), median(ratio));
    }
    ceiling();
    return 0;
}

// With --fills=N: times the standard and then the texture fill on each thick hole with
// 2 threads, N times in a row, and prints the medians and the median per-pair ratio.
int runFills(int pairs) {
    std::printf("%u cores; 2 threads; medians of %d back-to-back pairs\n",
                std::thread::hardware_concurrency(), pairs);
    for (int c = 1; c < 3; ++c) {
        const auto& m = cachedMask(Case(c));
        std::vector<double> standard, texture, ratio;
        for (int k = 0; k < pairs; ++k) {
            double ms[2];
            for (int f = 0; f < 2; ++f) {
                const auto t0 = std::chrono::steady_clock::now();
                PixelImage out = Inpainter::run(photo(), m, {}, 2, Inpainter::Method(f));
                benchmark::DoNotOptimize(out);
                ms[f] =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
            }
            standard.push_back(ms[0]);
            texture.push_back(ms[1]);
            ratio.push_back(ms[1] / ms[0]);
        }
        std::printf("%-20s standard %7.1f ms   texture %7.1f ms   texture / standard %.2fx\n",
                    BenchImages::name(Case(c)), median(standard), median(texture), median(ratio));
    }
    return 0;
}

#ifdef MIRELO_WITH_OPENCV
// With --telea=N: times the standard fill with 2 threads and then OpenCV Telea on each hole,
// N times in a row, and prints the medians and the median per-pair ratio, which a host whose
// speed drifts from minute to minute leaves steadier than separate runs do.
int runTelea(int pairs) {
    std::printf("%u cores; standard fill with 2 threads against Telea r=3 on 1; medians of %d "
                "back-to-back pairs\n",
                std::thread::hardware_concurrency(), pairs);
    const PixelImage& p = photo();
    cv::Mat rgba(int(p.height()), int(p.width()), CV_8UC4, const_cast<uint8_t*>(p.bytes().data()));
    cv::Mat rgb;
    cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
    cv::setNumThreads(1);
    for (int c = 0; c < 3; ++c) {
        const auto& mask = cachedMask(Case(c));
        cv::Mat m(int(p.height()), int(p.width()), CV_8UC1, const_cast<uint8_t*>(mask.data()));
        std::vector<double> standard, telea, ratio;
        for (int k = 0; k < pairs; ++k) {
            auto t0 = std::chrono::steady_clock::now();
            PixelImage out = Inpainter::run(p, mask, {}, 2, Inpainter::Method::Standard);
            benchmark::DoNotOptimize(out);
            auto t1 = std::chrono::steady_clock::now();
            cv::Mat filled;
            cv::inpaint(rgb, m, filled, 3.0, cv::INPAINT_TELEA);
            benchmark::DoNotOptimize(filled.data);
            auto t2 = std::chrono::steady_clock::now();
            standard.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            telea.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
            ratio.push_back(standard.back() / telea.back());
        }
        std::printf("%-20s standard %7.1f ms   Telea %7.1f ms   standard / Telea %.2fx\n",
                    BenchImages::name(Case(c)), median(standard), median(telea), median(ratio));
    }
    return 0;
}
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--pairs=", 8) == 0)
            return runPairs(std::max(1, std::atoi(argv[i] + 8)));
        else if (std::strncmp(argv[i], "--fills=", 8) == 0)
            return runFills(std::max(1, std::atoi(argv[i] + 8)));
#ifdef MIRELO_WITH_OPENCV
        else if (std::strncmp(argv[i], "--telea=", 8) == 0)
            return runTelea(std::max(1, std::atoi(argv[i] + 8)));
#endif
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
