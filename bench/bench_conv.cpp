// Pixel format conversions on one 320 x 240 frame: ours against OpenCV's
// Mat::convertTo with the same scale, and against memcpy of the same number
// of output bytes (the floor any conversion that writes them can reach).
//
// OpenCV rounds and saturates where we truncate and wrap, and has no
// unsigned 32-bit type (CV_32S stands in), so it is a speed reference only.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "vx_conv.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

// Source frames shared by all benchmarks: distances in millimetres and
// their float counterparts in a range that exercises the wrap.
struct Frames {
    cv::Mat u16 = cv::Mat(kH, kW, CV_16UC1);
    cv::Mat f32 = cv::Mat(kH, kW, CV_32FC1);
    Frames() {
        std::mt19937 rng(1);
        for (int i = 0; i < kW * kH; ++i) {
            u16.ptr<uint16_t>()[i] = static_cast<uint16_t>(rng() % 12000);
            f32.ptr<float>()[i] = static_cast<float>(rng() % 700000) / 10.0f;
        }
    }
};

const Frames &frames() {
    static const Frames f;
    return f;
}

template <typename Fn>
void run_loop(benchmark::State &state, size_t out_bytes, Fn fn) {
    for (auto _ : state) {
        fn();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out_bytes));
}

// Ours, OpenCV and memcpy for one conversion. src is the source frame,
// cv_type and cv_scale the OpenCV equivalent, ours the call on raw buffers.
template <typename D, typename Ours>
void bench_ours(benchmark::State &state, const cv::Mat &src, Ours ours) {
    const int n = static_cast<int>(state.range(0));
    std::vector<D> dst(static_cast<size_t>(n));
    run_loop(state, dst.size() * sizeof(D), [&] { ours(dst.data(), src.ptr(), n); });
}

void bench_opencv(benchmark::State &state, const cv::Mat &src, int cv_type, double cv_scale) {
    cv::Mat dst(src.rows, src.cols, cv_type);
    run_loop(state, dst.total() * dst.elemSize(), [&] { src.convertTo(dst, cv_type, cv_scale); });
}

void bench_memcpy(benchmark::State &state, size_t elem_size) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * elem_size;
    std::vector<uint8_t> src(bytes, 1), dst(bytes);
    run_loop(state, bytes, [&] { memcpy(dst.data(), src.data(), bytes); });
}

constexpr int kPixels = kW * kH;

// ---- u16 -> u8, keeping the high byte --------------------------------------
void conv_u16_u8_kavro(benchmark::State &s) {
    bench_ours<uint8_t>(s, frames().u16, [](uint8_t *d, const uint8_t *src, int n) {
        vx_conv_u16_u8(d, reinterpret_cast<const uint16_t *>(src), n, 8);
    });
}
void conv_u16_u8_opencv(benchmark::State &s) { bench_opencv(s, frames().u16, CV_8U, 1.0 / 256.0); }
void conv_u16_u8_memcpy(benchmark::State &s) { bench_memcpy(s, 1); }
BENCHMARK(conv_u16_u8_kavro)->Name("conv_u16_u8:kavro")->Arg(kPixels);
BENCHMARK(conv_u16_u8_opencv)->Name("conv_u16_u8:opencv")->Arg(kPixels);
BENCHMARK(conv_u16_u8_memcpy)->Name("conv_u16_u8:memcpy")->Arg(kPixels);

// ---- u16 -> f32, millimetres to metres --------------------------------------
void conv_u16_f32_kavro(benchmark::State &s) {
    bench_ours<float>(s, frames().u16, [](float *d, const uint8_t *src, int n) {
        vx_conv_u16_f32(d, reinterpret_cast<const uint16_t *>(src), n, 0.001f);
    });
}
void conv_u16_f32_opencv(benchmark::State &s) { bench_opencv(s, frames().u16, CV_32F, 0.001); }
void conv_u16_f32_memcpy(benchmark::State &s) { bench_memcpy(s, 4); }
BENCHMARK(conv_u16_f32_kavro)->Name("conv_u16_f32:kavro")->Arg(kPixels);
BENCHMARK(conv_u16_f32_opencv)->Name("conv_u16_f32:opencv")->Arg(kPixels);
BENCHMARK(conv_u16_f32_memcpy)->Name("conv_u16_f32:memcpy")->Arg(kPixels);

// ---- u16 -> u32 ---------------------------------------------------------------
void conv_u16_u32_kavro(benchmark::State &s) {
    bench_ours<uint32_t>(s, frames().u16, [](uint32_t *d, const uint8_t *src, int n) {
        vx_conv_u16_u32(d, reinterpret_cast<const uint16_t *>(src), n, 3);
    });
}
void conv_u16_u32_opencv(benchmark::State &s) { bench_opencv(s, frames().u16, CV_32S, 3.0); }
void conv_u16_u32_memcpy(benchmark::State &s) { bench_memcpy(s, 4); }
BENCHMARK(conv_u16_u32_kavro)->Name("conv_u16_u32:kavro")->Arg(kPixels);
BENCHMARK(conv_u16_u32_opencv)->Name("conv_u16_u32:opencv")->Arg(kPixels);
BENCHMARK(conv_u16_u32_memcpy)->Name("conv_u16_u32:memcpy")->Arg(kPixels);

// ---- f32 -> u8 ----------------------------------------------------------------
void conv_f32_u8_kavro(benchmark::State &s) {
    bench_ours<uint8_t>(s, frames().f32, [](uint8_t *d, const uint8_t *src, int n) {
        vx_conv_f32_u8(d, reinterpret_cast<const float *>(src), n, 0.25f);
    });
}
void conv_f32_u8_opencv(benchmark::State &s) { bench_opencv(s, frames().f32, CV_8U, 0.25); }
void conv_f32_u8_memcpy(benchmark::State &s) { bench_memcpy(s, 1); }
BENCHMARK(conv_f32_u8_kavro)->Name("conv_f32_u8:kavro")->Arg(kPixels);
BENCHMARK(conv_f32_u8_opencv)->Name("conv_f32_u8:opencv")->Arg(kPixels);
BENCHMARK(conv_f32_u8_memcpy)->Name("conv_f32_u8:memcpy")->Arg(kPixels);

// ---- f32 -> u16, the gaussian filter's way back --------------------------------
void conv_f32_u16_kavro(benchmark::State &s) {
    bench_ours<uint16_t>(s, frames().f32, [](uint16_t *d, const uint8_t *src, int n) {
        vx_conv_f32_u16(d, reinterpret_cast<const float *>(src), n, 1.0f);
    });
}
void conv_f32_u16_opencv(benchmark::State &s) { bench_opencv(s, frames().f32, CV_16U, 1.0); }
void conv_f32_u16_memcpy(benchmark::State &s) { bench_memcpy(s, 2); }
BENCHMARK(conv_f32_u16_kavro)->Name("conv_f32_u16:kavro")->Arg(kPixels);
BENCHMARK(conv_f32_u16_opencv)->Name("conv_f32_u16:opencv")->Arg(kPixels);
BENCHMARK(conv_f32_u16_memcpy)->Name("conv_f32_u16:memcpy")->Arg(kPixels);

// ---- f32 -> u32 -------------------------------------------------------------------
void conv_f32_u32_kavro(benchmark::State &s) {
    bench_ours<uint32_t>(s, frames().f32, [](uint32_t *d, const uint8_t *src, int n) {
        vx_conv_f32_u32(d, reinterpret_cast<const float *>(src), n, 1.0f);
    });
}
void conv_f32_u32_opencv(benchmark::State &s) { bench_opencv(s, frames().f32, CV_32S, 1.0); }
void conv_f32_u32_memcpy(benchmark::State &s) { bench_memcpy(s, 4); }
BENCHMARK(conv_f32_u32_kavro)->Name("conv_f32_u32:kavro")->Arg(kPixels);
BENCHMARK(conv_f32_u32_opencv)->Name("conv_f32_u32:opencv")->Arg(kPixels);
BENCHMARK(conv_f32_u32_memcpy)->Name("conv_f32_u32:memcpy")->Arg(kPixels);

}  // namespace
