// Synthetic depth frames for the filter benchmarks: what a time-of-flight
// camera sees in a room (a floor receding to a wall, a box and a cylinder in
// front, millimetre noise growing with distance, invalid pixels as 0 along
// object edges and in a dark patch).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

inline std::vector<uint16_t> bench_depth_scene(int w, int h, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> u01(0.0f, 1.0f);
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float fx = static_cast<float>(x) / static_cast<float>(w);
            const float fy = static_cast<float>(y) / static_cast<float>(h);
            float d = fy > 0.55f ? 1200.0f + 2300.0f * (1.0f - fy) / 0.45f : 3500.0f;  // floor, wall
            bool edge = false;
            if (fx > 0.15f && fx < 0.4f && fy > 0.35f && fy < 0.8f) {  // box
                d = 1500.0f + 200.0f * fx;
                edge = fx < 0.16f || fx > 0.39f || fy < 0.36f;
            }
            const float cx = (fx - 0.7f) * static_cast<float>(w) / static_cast<float>(h);
            if (std::fabs(cx) < 0.08f && fy > 0.2f && fy < 0.9f) {  // cylinder
                d = 2000.0f - 600.0f * std::sqrt(0.0064f - cx * cx);
                edge = std::fabs(cx) > 0.075f;
            }
            d += unit(rng) * (2.0f + d * 0.004f);
            if ((edge && u01(rng) < 0.5f) || (fx > 0.85f && fy < 0.15f) || u01(rng) < 0.005f) d = 0.0f;
            img[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(std::max(0.0f, d));
        }
    return img;
}

// Flush denormals to zero and treat denormal inputs as zero in this thread
// and in every thread it starts afterwards (OpenCV's pool included): the
// float bilateral filter of OpenCV slows down about tenfold on the denormal
// weights of far-apart values otherwise.
inline void bench_flush_denormals() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_ldmxcsr(__builtin_ia32_stmxcsr() | 0x8040);
#endif
}
