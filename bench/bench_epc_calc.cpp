// The distance step of the EPC decode alone: four DCS images of raw samples
// to unfiltered millimetres and amplitudes (calc_dist_calib_none), at
// 320 x 240 and 640 x 480.
//
// Reference ":opencv": the same step the usual OpenCV way, the two DCS
// differences in float (cv::subtract) and then magnitude and angle
// (cv::cartToPolar). It computes less (no saturation codes, no conversion of
// the angle to millimetres, float outputs) and is a speed reference only.
// ":sse4" and ":scalar" are our own loops with the instruction set forced,
// to show what the run-time choice gains. ":copy" is a plain loop that only
// reads the four images and writes two u16 images (the two differences),
// the memory traffic of the step with no arithmetic: the floor any
// implementation of it stands on.
//
// "epc_drnu_4dcs" is the calibrated path (calc_dist_calib_drnu_lut_4dcs) on
// a mounted block of 12 reference images 375 mm apart, with the same
// OpenCV reference as the distance step: it shows what the per-pixel
// interpolation adds.
//
// "epc_gray_4dcs" is the amplitude alone (calc_gray) beside OpenCV's
// subtract plus cv::magnitude, which splits the distance step's time into
// its amplitude and its phase parts.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "depth_scene.h"
#include "driver/epc/epc_calc.h"
#include "driver/epc/kavro_driver_epc.h"

namespace {

// Raw samples of the synthetic room at 12 MHz: per pixel the phase of its
// distance and an amplitude of 150 ... 1200 around mid-scale, invalid
// pixels saturated.
struct RawFrame {
    int w, h;
    std::vector<uint16_t> quads;  // DCS0 .. DCS3 back to back
    cv::Mat dcs[4];               // views of the four images
    RawFrame(int w_, int h_) : w(w_), h(h_), quads(static_cast<size_t>(4) * w_ * h_) {
        const std::vector<uint16_t> depth = bench_depth_scene(w, h);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> amp(150.0f, 1200.0f);
        const size_t n = depth.size();
        for (size_t i = 0; i < n; ++i) {
            if (depth[i] == 0) {
                for (int k = 0; k < 4; ++k) quads[k * n + i] = 4095;
                continue;
            }
            // phase = atan2(y, x) + pi with x = DCS2 - DCS0, y = DCS3 - DCS1.
            const double theta = depth[i] / 12491.0 * 2 * M_PI - M_PI;
            const double a = amp(rng);
            quads[0 * n + i] = static_cast<uint16_t>(std::lround(2048 - a * std::cos(theta)));
            quads[2 * n + i] = static_cast<uint16_t>(std::lround(2048 + a * std::cos(theta)));
            quads[1 * n + i] = static_cast<uint16_t>(std::lround(2048 - a * std::sin(theta)));
            quads[3 * n + i] = static_cast<uint16_t>(std::lround(2048 + a * std::sin(theta)));
        }
        for (int k = 0; k < 4; ++k) dcs[k] = cv::Mat(h, w, CV_16UC1, quads.data() + k * n);
    }
};

const RawFrame &frame(int w) {
    static const RawFrame small(320, 240), large(640, 480);
    return w == 320 ? small : large;
}

// A driver record at 12 MHz with the uncalibrated defaults.
struct BenchDriver {
    epc_drv_t edrv{};
    kavro_drv_t drv{};
    BenchDriver() {
        pthread_mutex_init(&edrv.drnu_mutex, nullptr);
        edrv.mod_freq = 12000000;
        edrv.dist_max_mm = static_cast<uint32_t>(EPC_LIGHT_HALF_MM_S / 12000000.0f);
        drv.priv_data = &edrv;
        epc_calc_init(&drv);
    }
    ~BenchDriver() {
        epc_calc_uninit(&drv);
        pthread_mutex_destroy(&edrv.drnu_mutex);
    }
};

// Mount a block of kRefs reference images on d: image k holds, at every
// pixel, the phase of 295 mm + k steps of 375 mm plus a pixel pattern of a
// few units, as a factory calibration would.
constexpr int kRefs = 12;
void mount_block(BenchDriver &d) {
    auto *calc = static_cast<epc_calc_t *>(d.edrv.priv_data);
    auto *p = static_cast<epc_drv_param_drnu_payload_t *>(std::calloc(kRefs, sizeof(epc_drv_param_drnu_payload_t)));
    const uint32_t step_um = 375000;
    const double per_mm = 32768.0 / d.edrv.dist_max_mm;
    for (int k = 0; k < kRefs; ++k) {
        p[k].ref_dist_um = static_cast<int32_t>(k * step_um);
        for (int i = 0; i < EPC_DRNU_PIX_CNT; ++i)
            p[k].data[i] = static_cast<uint16_t>(std::lround((295 + k * 375) * per_mm) + (i * 7919) % 9 - 4);
    }
    calc->drnu.payload.reset(p);
    calc->drnu.hdr = {};
    calc->drnu.hdr.mod_freq = d.edrv.mod_freq;
    calc->drnu.hdr.num_dist = kRefs;
    calc->config.num_calib_dist = kRefs;
    calc->config.calib_cdll_step_um = step_um;
    calc->config.calib_phase_min = p[0].data[0];
    calc->config.calib_phase_max = p[kRefs - 1].data[0];
    d.edrv.calib_wall_len_mm = 295;
    d.edrv.calib_wall_len_phase = static_cast<int32_t>((295u * 32768u) / d.edrv.dist_max_mm);
}

void run_drnu(benchmark::State &state, epc_calc_isa_e want) {
    const RawFrame &f = frame(320);
    if (_epc_calc_set_isa(want) != want) {
        state.SkipWithError("instruction set not supported by this CPU");
        _epc_calc_set_isa(_epc_calc_isa_best());
        return;
    }
    BenchDriver d;
    mount_block(d);
    const size_t n = static_cast<size_t>(f.w) * f.h;
    std::vector<uint16_t> dist(n), confid(n);
    for (auto _ : state) {
        calc_dist_calib_drnu_lut_4dcs(&d.drv, dist.data(), confid.data(), f.quads.data(), f.w, f.h);
        benchmark::ClobberMemory();
    }
    _epc_calc_set_isa(_epc_calc_isa_best());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void epc_drnu_kavro(benchmark::State &s) { run_drnu(s, _epc_calc_isa_best()); }
void epc_drnu_sse4(benchmark::State &s) { run_drnu(s, EPC_CALC_ISA_SSE4); }

void run_ours(benchmark::State &state, epc_calc_isa_e want) {
    const RawFrame &f = frame(static_cast<int>(state.range(0)));
    if (_epc_calc_set_isa(want) != want) {
        state.SkipWithError("instruction set not supported by this CPU");
        _epc_calc_set_isa(_epc_calc_isa_best());
        return;
    }
    BenchDriver d;
    const size_t n = static_cast<size_t>(f.w) * f.h;
    std::vector<uint16_t> dist(n), gray(n);
    for (auto _ : state) {
        calc_dist_calib_none(&d.drv, dist.data(), gray.data(), f.quads.data(), f.w, f.h, 4, 1000, -2000);
        benchmark::ClobberMemory();
    }
    _epc_calc_set_isa(_epc_calc_isa_best());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void epc_dist_kavro(benchmark::State &s) { run_ours(s, _epc_calc_isa_best()); }
void epc_dist_sse4(benchmark::State &s) { run_ours(s, EPC_CALC_ISA_SSE4); }
void epc_dist_scalar(benchmark::State &s) { run_ours(s, EPC_CALC_ISA_SCALAR); }

void epc_dist_opencv(benchmark::State &state) {
    const RawFrame &f = frame(static_cast<int>(state.range(0)));
    cv::Mat x, y, mag, angle;
    for (auto _ : state) {
        cv::subtract(f.dcs[2], f.dcs[0], x, cv::noArray(), CV_32F);
        cv::subtract(f.dcs[3], f.dcs[1], y, cv::noArray(), CV_32F);
        cv::cartToPolar(x, y, mag, angle);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * f.w * f.h);
}

void epc_dist_copy(benchmark::State &state) {
    const RawFrame &f = frame(static_cast<int>(state.range(0)));
    const size_t n = static_cast<size_t>(f.w) * f.h;
    std::vector<uint16_t> x(n), y(n);
    const uint16_t *q = f.quads.data();
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            x[i] = static_cast<uint16_t>(q[2 * n + i] - q[i]);
            y[i] = static_cast<uint16_t>(q[3 * n + i] - q[n + i]);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void epc_gray_kavro(benchmark::State &state) {
    const RawFrame &f = frame(static_cast<int>(state.range(0)));
    BenchDriver d;
    const size_t n = static_cast<size_t>(f.w) * f.h;
    std::vector<uint16_t> gray(n);
    for (auto _ : state) {
        calc_gray(&d.drv, gray.data(), f.quads.data(), f.w, f.h, 4);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void epc_gray_opencv(benchmark::State &state) {
    const RawFrame &f = frame(static_cast<int>(state.range(0)));
    cv::Mat x, y, mag;
    for (auto _ : state) {
        cv::subtract(f.dcs[2], f.dcs[0], x, cv::noArray(), CV_32F);
        cv::subtract(f.dcs[3], f.dcs[1], y, cv::noArray(), CV_32F);
        cv::magnitude(x, y, mag);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * f.w * f.h);
}

#define EPC_SIZES ->Args({320, 240})->Args({640, 480})
BENCHMARK(epc_dist_kavro)->Name("epc_dist_4dcs:kavro") EPC_SIZES;
BENCHMARK(epc_dist_opencv)->Name("epc_dist_4dcs:opencv") EPC_SIZES;
BENCHMARK(epc_dist_sse4)->Name("epc_dist_4dcs:sse4") EPC_SIZES;
BENCHMARK(epc_dist_scalar)->Name("epc_dist_4dcs:scalar") EPC_SIZES;
BENCHMARK(epc_dist_copy)->Name("epc_dist_4dcs:copy") EPC_SIZES;
BENCHMARK(epc_drnu_kavro)->Name("epc_drnu_4dcs:kavro")->Args({320, 240});
BENCHMARK(epc_drnu_sse4)->Name("epc_drnu_4dcs:sse4")->Args({320, 240});
BENCHMARK(epc_dist_opencv)->Name("epc_drnu_4dcs:opencv")->Args({320, 240});
BENCHMARK(epc_gray_kavro)->Name("epc_gray_4dcs:kavro") EPC_SIZES;
BENCHMARK(epc_gray_opencv)->Name("epc_gray_4dcs:opencv") EPC_SIZES;

}  // namespace
