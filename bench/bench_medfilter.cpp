// Fixed median filters against cv::medianBlur (CV_16U) on depth-like
// images: a smooth scene in millimetres (a tilted floor and two boxes) with
// noise and a sprinkle of invalid (zero) pixels, generated from a fixed seed.
//
// "median3"/"median5" use the path the library picks on this CPU;
// "median3_sse"/"median5_sse" force the baseline SSE path.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "imgproc/vx_medfilter_internal.h"
#include "vx_medfilter.h"

namespace {

std::vector<uint16_t> depth_scene(int w, int h) {
    std::mt19937 rng(20261210);
    std::normal_distribution<float> noise(0.0f, 6.0f);
    std::uniform_int_distribution<int> invalid(0, 99);
    std::vector<uint16_t> img(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float u = static_cast<float>(x) / static_cast<float>(w);
            const float v = static_cast<float>(y) / static_cast<float>(h);
            float d = 3200.0f - 1400.0f * v + 150.0f * u;  // floor and back wall
            if (u > 0.2f && u < 0.45f && v > 0.3f && v < 0.8f) d = 1500.0f + 80.0f * u;
            if (u > 0.6f && u < 0.85f && v > 0.5f && v < 0.9f) d = 1100.0f - 60.0f * v;
            d += noise(rng) * (d / 1000.0f);
            img[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
                invalid(rng) < 3 ? uint16_t{0} : static_cast<uint16_t>(d);
        }
    }
    return img;
}

void run_kavro(benchmark::State &state, int k, bool force_sse) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const std::vector<uint16_t> src = depth_scene(w, h);
    std::vector<uint16_t> dst(src.size());
    for (auto _ : state) {
        if (force_sse)
            (k == 3 ? _median2d_u16_k3_isa : _median2d_u16_k5_isa)(dst.data(), src.data(), w, h, VX_MED_ISA_SSE);
        else
            (k == 3 ? vx_median2d_u16_k3 : vx_median2d_u16_k5)(dst.data(), src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * w * h);
}

void run_opencv(benchmark::State &state, int k) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    std::vector<uint16_t> src = depth_scene(w, h);
    cv::Mat in(h, w, CV_16U, src.data());
    cv::Mat out(h, w, CV_16U);
    for (auto _ : state) {
        cv::medianBlur(in, out, k);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * w * h);
}

void sizes(benchmark::internal::Benchmark *b) { b->Args({320, 240})->Args({640, 480}); }

}  // namespace

BENCHMARK_CAPTURE(run_kavro, k3, 3, false)->Name("median3:kavro")->Apply(sizes);
BENCHMARK_CAPTURE(run_opencv, k3, 3)->Name("median3:opencv")->Apply(sizes);
BENCHMARK_CAPTURE(run_kavro, k5, 5, false)->Name("median5:kavro")->Apply(sizes);
BENCHMARK_CAPTURE(run_opencv, k5, 5)->Name("median5:opencv")->Apply(sizes);
BENCHMARK_CAPTURE(run_kavro, k3sse, 3, true)->Name("median3_sse:kavro")->Apply(sizes);
BENCHMARK_CAPTURE(run_opencv, k3ref, 3)->Name("median3_sse:opencv")->Apply(sizes);
BENCHMARK_CAPTURE(run_kavro, k5sse, 5, true)->Name("median5_sse:kavro")->Apply(sizes);
BENCHMARK_CAPTURE(run_opencv, k5ref, 5)->Name("median5_sse:opencv")->Apply(sizes);
