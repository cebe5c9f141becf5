// Recursive bilateral filter on depth frames against OpenCV's bilateral
// filter (float input, window diameter 5 and 9, range sigma matching ours).
// OpenCV runs once with its default thread pool and once on one thread;
// ours is single-threaded.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "depth_scene.h"
#include "vx_bilateralfilter.h"

namespace {

// Before any thread exists, so OpenCV's workers inherit the setting.
const bool g_ftz = (bench_flush_denormals(), true);

// The driver's parameters: spatial 0.02, range 0.1 of 0...4096 mm.
constexpr float kSigmaSpatial = 0.02f;
constexpr float kSigmaRange = 0.1f;
constexpr double kCvSigmaColor = 0.1 * 4096;

void BM_kavro(benchmark::State &state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    std::vector<uint16_t> src = bench_depth_scene(w, h), dst(src.size());
    vx_bpf2d_iir_t bpf;
    if (!vx_bpf2d_iir_init(&bpf, static_cast<uint32_t>(w), static_cast<uint32_t>(h), kSigmaSpatial, kSigmaRange,
                           0, 4096)) {
        state.SkipWithError("init failed");
        return;
    }
    for (auto _ : state) {
        vx_bpf2d_iir(&bpf, dst.data(), src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    vx_bpf2d_iir_uninit(&bpf);
    state.SetItemsProcessed(state.iterations() * w * h);
}

void run_opencv(benchmark::State &state, int d, int threads) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    std::vector<uint16_t> depth = bench_depth_scene(w, h);
    cv::Mat src16(h, w, CV_16U, depth.data()), src, dst;
    src16.convertTo(src, CV_32F);
    const int old_threads = cv::getNumThreads();
    if (threads > 0) cv::setNumThreads(threads);
    for (auto _ : state) {
        cv::bilateralFilter(src, dst, d, kCvSigmaColor, d / 2.0);
        benchmark::DoNotOptimize(dst.data);
    }
    cv::setNumThreads(old_threads);
    state.SetItemsProcessed(state.iterations() * w * h);
}

void BM_opencv_d5(benchmark::State &s) { run_opencv(s, 5, 0); }
void BM_opencv_d9(benchmark::State &s) { run_opencv(s, 9, 0); }
void BM_opencv1t_d5(benchmark::State &s) { run_opencv(s, 5, 1); }
void BM_opencv1t_d9(benchmark::State &s) { run_opencv(s, 9, 1); }

#define SIZES ->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMicrosecond)

BENCHMARK(BM_kavro)->Name("bilateral_d5:kavro") SIZES;
BENCHMARK(BM_opencv_d5)->Name("bilateral_d5:opencv") SIZES;
BENCHMARK(BM_opencv1t_d5)->Name("bilateral_d5:opencv_1thread") SIZES;
BENCHMARK(BM_kavro)->Name("bilateral_d9:kavro") SIZES;
BENCHMARK(BM_opencv_d9)->Name("bilateral_d9:opencv") SIZES;
BENCHMARK(BM_opencv1t_d9)->Name("bilateral_d9:opencv_1thread") SIZES;

}  // namespace
