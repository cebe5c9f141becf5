// Gaussian filters on depth frames: the recursive Gaussian (float and 16-bit)
// against OpenCV's GaussianBlur with the kernel it picks for the sigma, and
// the 3x3 binomial against OpenCV's 3x3 Gaussian, all with replicated
// borders. OpenCV runs with its default thread pool (float also on one
// thread); ours on one thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "depth_scene.h"
#include "vx_gausfilter.h"

namespace {

const bool g_ftz = (bench_flush_denormals(), true);

struct Frame {
    Frame(int w_, int h_) : w(w_), h(h_), u16(bench_depth_scene(w_, h_)), out16(u16.size()) {
        cv::Mat(h, w, CV_16U, u16.data()).convertTo(f32, CV_32F);
        out32 = cv::Mat(h, w, CV_32F);
    }
    int w, h;
    std::vector<uint16_t> u16, out16;
    cv::Mat f32, out32;
};

void iir_f32(benchmark::State &state, float sigma) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        vx_gauss2d_iir_f32(f.out32.ptr<float>(), f.f32.ptr<float>(), f.w, f.h, sigma);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

void iir_u16(benchmark::State &state, float sigma) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        vx_gauss2d_iir_u16(f.out16.data(), f.u16.data(), f.w, f.h, sigma);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

void cv_f32(benchmark::State &state, float sigma, int threads) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const int old_threads = cv::getNumThreads();
    if (threads > 0) cv::setNumThreads(threads);
    for (auto _ : state) {
        cv::GaussianBlur(f.f32, f.out32, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        benchmark::ClobberMemory();
    }
    cv::setNumThreads(old_threads);
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

void cv_u16(benchmark::State &state, float sigma) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    cv::Mat src(f.h, f.w, CV_16U, f.u16.data()), dst(f.h, f.w, CV_16U, f.out16.data());
    for (auto _ : state) {
        cv::GaussianBlur(src, dst, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

void k3_kavro(benchmark::State &state) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        vx_gauss2d_u16_k3(f.out16.data(), f.u16.data(), f.w, f.h);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

void k3_opencv(benchmark::State &state) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    cv::Mat src(f.h, f.w, CV_16U, f.u16.data()), dst(f.h, f.w, CV_16U, f.out16.data());
    for (auto _ : state) {
        cv::GaussianBlur(src, dst, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.w * f.h);
}

#define SIZES ->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMicrosecond)

BENCHMARK_CAPTURE(iir_f32, s1, 1.0f)->Name("gauss_iir_f32_s1:kavro") SIZES;
BENCHMARK_CAPTURE(cv_f32, s1, 1.0f, 0)->Name("gauss_iir_f32_s1:opencv") SIZES;
BENCHMARK_CAPTURE(cv_f32, s1_1t, 1.0f, 1)->Name("gauss_iir_f32_s1:opencv_1thread") SIZES;
BENCHMARK_CAPTURE(iir_f32, s3, 3.0f)->Name("gauss_iir_f32_s3:kavro") SIZES;
BENCHMARK_CAPTURE(cv_f32, s3, 3.0f, 0)->Name("gauss_iir_f32_s3:opencv") SIZES;
BENCHMARK_CAPTURE(cv_f32, s3_1t, 3.0f, 1)->Name("gauss_iir_f32_s3:opencv_1thread") SIZES;
BENCHMARK_CAPTURE(iir_f32, s10, 10.0f)->Name("gauss_iir_f32_s10:kavro") SIZES;
BENCHMARK_CAPTURE(cv_f32, s10, 10.0f, 0)->Name("gauss_iir_f32_s10:opencv") SIZES;
BENCHMARK_CAPTURE(cv_f32, s10_1t, 10.0f, 1)->Name("gauss_iir_f32_s10:opencv_1thread") SIZES;
BENCHMARK_CAPTURE(iir_u16, s1, 1.0f)->Name("gauss_iir_u16_s1:kavro") SIZES;
BENCHMARK_CAPTURE(cv_u16, s1, 1.0f)->Name("gauss_iir_u16_s1:opencv") SIZES;
BENCHMARK_CAPTURE(iir_u16, s3, 3.0f)->Name("gauss_iir_u16_s3:kavro") SIZES;
BENCHMARK_CAPTURE(cv_u16, s3, 3.0f)->Name("gauss_iir_u16_s3:opencv") SIZES;
BENCHMARK_CAPTURE(iir_u16, s10, 10.0f)->Name("gauss_iir_u16_s10:kavro") SIZES;
BENCHMARK_CAPTURE(cv_u16, s10, 10.0f)->Name("gauss_iir_u16_s10:opencv") SIZES;
BENCHMARK(k3_kavro)->Name("gauss_u16_k3:kavro") SIZES;
BENCHMARK(k3_opencv)->Name("gauss_u16_k3:opencv") SIZES;

}  // namespace
