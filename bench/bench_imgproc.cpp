// Applying the lens undistortion map to depth and float images, against
// cv::remap with INTER_NEAREST (same output: the index map is turned into
// integer remap coordinates, holes point outside and get the border value)
// and against a plain index gather loop whose holes point at one extra source
// pixel holding the hole value (the least work a table lookup can do).
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "vx_imgproc.h"

namespace {

// The camera's lens for 320 x 240; focal lengths and principal point scale
// with the image.
vx_len_param_t lens_for(int w, int h) {
    const double s = w / 320.0;
    return {157.262 * s, 122.083 * s, 210.783 * s, 204.817 * s,
            {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, w, h};
}

// A depth scene in millimetres: a slanted back wall, a box in front of it,
// a floor, sensor noise and a sprinkle of invalid (0) pixels.
std::vector<uint16_t> depth_scene(int w, int h) {
    std::mt19937 rng(1234);
    std::normal_distribution<double> noise(0.0, 6.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double d = 2400.0 + 600.0 * x / w;                             // wall
            if (y > h * 3 / 4) d = std::min(d, 900.0 + 3000.0 * (h - y) / h);  // floor
            if (x > w / 3 && x < w / 2 && y > h / 3 && y < h * 2 / 3) d = 1200.0;  // box
            d += noise(rng);
            img[static_cast<size_t>(y) * w + x] = unit(rng) < 0.02 ? 0 : static_cast<uint16_t>(d);
        }
    }
    return img;
}

struct fixture {
    int w, h, n;
    vx_len_calib_t calib{};
    std::vector<uint16_t> src16, dst16;
    std::vector<float> src32, dst32;

    fixture(int width, int height) : w(width), h(height), n(width * height) {
        const vx_len_param_t p = lens_for(w, h);
        if (vx_calib_len_init_map(&calib, &p) != n) abort();
        src16 = depth_scene(w, h);
        dst16.assign(n, 0);
        src32.resize(n);
        for (int i = 0; i < n; ++i) src32[i] = src16[i] * 0.001f;
        dst32.assign(n, 0.0f);
    }
    ~fixture() { vx_calib_len_uninit_map(&calib); }
};

void run_kavro_u16(benchmark::State &state) {
    fixture f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        vx_calib_len_undistort_u16(&f.calib, f.dst16.data(), f.n, f.src16.data(), f.w, f.h, 0);
        benchmark::DoNotOptimize(f.dst16.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.n);
}

void run_kavro_f32(benchmark::State &state) {
    fixture f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        vx_calib_len_undistort_f32(&f.calib, f.dst32.data(), f.n, f.src32.data(), f.w, f.h, 0.0f);
        benchmark::DoNotOptimize(f.dst32.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.n);
}

// Integer remap coordinates equivalent to the index map; holes at (-1, -1).
cv::Mat remap_coords(const fixture &f) {
    cv::Mat xy(f.h, f.w, CV_16SC2);
    for (int i = 0; i < f.n; ++i) {
        const uint32_t m = f.calib.mapi[i];
        cv::Vec2s &p = xy.at<cv::Vec2s>(i / f.w, i % f.w);
        p = m == VX_LEN_MAP_NO_SOURCE ? cv::Vec2s(-1, -1)
                                      : cv::Vec2s(static_cast<short>(m % f.w), static_cast<short>(m / f.w));
    }
    return xy;
}

template <typename T, int CvType>
void run_opencv(benchmark::State &state) {
    fixture f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const cv::Mat xy = remap_coords(f);
    T *src_data = nullptr;
    if constexpr (sizeof(T) == 2) src_data = f.src16.data(); else src_data = f.src32.data();
    T *dst_data = nullptr;
    if constexpr (sizeof(T) == 2) dst_data = f.dst16.data(); else dst_data = f.dst32.data();
    const cv::Mat src(f.h, f.w, CvType, src_data);
    cv::Mat dst(f.h, f.w, CvType, dst_data);

    // Same output as ours, or the comparison means nothing.
    cv::remap(src, dst, xy, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
    std::vector<T> ours(f.n);
    if constexpr (sizeof(T) == 2)
        vx_calib_len_undistort_u16(&f.calib, ours.data(), f.n, f.src16.data(), f.w, f.h, 0);
    else
        vx_calib_len_undistort_f32(&f.calib, ours.data(), f.n, f.src32.data(), f.w, f.h, 0.0f);
    if (!std::equal(ours.begin(), ours.end(), dst_data)) {
        state.SkipWithError("cv::remap output differs from the undistortion");
        return;
    }

    for (auto _ : state) {
        cv::remap(src, dst, xy, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.n);
}

// Plain gather: holes index one extra source pixel that holds the hole value.
template <typename T>
void run_loop(benchmark::State &state) {
    fixture f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<uint32_t> idx(f.calib.mapi, f.calib.mapi + f.n);
    for (uint32_t &m : idx)
        if (m == VX_LEN_MAP_NO_SOURCE) m = static_cast<uint32_t>(f.n);
    std::vector<T> src(f.n + 1), dst(f.n);
    for (int i = 0; i < f.n; ++i) src[i] = static_cast<T>(f.src16[i]);
    src[f.n] = T{};
    for (auto _ : state) {
        const uint32_t *ip = idx.data();
        const T *sp = src.data();
        T *dp = dst.data();
        for (int i = 0; i < f.n; ++i) dp[i] = sp[ip[i]];
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * f.n);
}

void sizes(benchmark::internal::Benchmark *b) { b->Args({320, 240})->Args({640, 480}); }

BENCHMARK(run_kavro_u16)->Name("undistort_u16:kavro")->Apply(sizes);
BENCHMARK(run_opencv<uint16_t, CV_16UC1>)->Name("undistort_u16:opencv")->Apply(sizes);
BENCHMARK(run_loop<uint16_t>)->Name("undistort_u16:loop")->Apply(sizes);
BENCHMARK(run_kavro_f32)->Name("undistort_f32:kavro")->Apply(sizes);
BENCHMARK(run_opencv<float, CV_32FC1>)->Name("undistort_f32:opencv")->Apply(sizes);
BENCHMARK(run_loop<float>)->Name("undistort_f32:loop")->Apply(sizes);

}  // namespace
