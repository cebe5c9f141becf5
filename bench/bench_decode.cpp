// The whole decode of one frame: a 320 x 240 four-DCS frame of the camera
// simulator's room scene (sensor errors on, as a real camera shows them)
// to a filtered and undistorted distance image in float metres, with the
// default switches plus lens undistortion.
//
// ":kavro" is the public call kavro_frame_get_distance on a frame captured
// from a replayed recording: phase and amplitude, rows into image order,
// minimum amplitude with hysteresis, median 3x3, recursive bilateral,
// flying-pixel and hole filters, range check, undistortion, millimetres to
// metres.
//
// ":opencv" composes the same work from OpenCV: the DCS pair differences in
// float (cv::subtract), phase and magnitude (cv::cartToPolar), the phase to
// millimetres (convertTo), the rows into image order (cv::remap with a
// nearest-neighbour row map), the minimum-amplitude mask, cv::medianBlur
// 3x3, cv::bilateralFilter with d 5, the flying-pixel test (cv::Sobel pair,
// squared gradient against the same threshold), the undistortion with the
// driver's lens values (cv::remap, nearest neighbour, with coordinate maps
// built once from the driver's correction map) and the conversion to
// metres. It has no hole filler and no amplitude hysteresis, so it does a
// little less than ours.
//
// OpenCV runs on one thread, as our decode does (cv::setNumThreads(1)), so
// the ratio compares the work and not the number of cores that happen to
// be free.
//
// Both run with denormals flushed (bench_flush_denormals): OpenCV's float
// bilateral filter slows down about tenfold on denormal weights otherwise.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "depth_scene.h"
#include "driver/epc/kavro_driver_epc.h"
#include "kavro.h"
#include "vx_imgproc.h"
#include "sim_record.h"
#include "sim_sensor.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t FRAME_BYTES = 8 * N;  // four DCS images of 16-bit samples

// The driver's defaults for the reference pipeline.
constexpr float MIN_AMP = 30.0f;           // minimum amplitude
constexpr float FLY_THRESHOLD = 90000.0f;  // flying pixels: gx^2 + gy^2 of the quartered Sobel > threshold / 16

// One raw frame of the room scene, captured through the camera interface
// from a replayed simulator recording, and the open replay device that
// decodes it. Built on first use, kept for the whole run.
struct Session {
    std::string rec;
    kavro_dev_t *dev = nullptr;
    std::vector<uint8_t> raw = std::vector<uint8_t>(FRAME_BYTES);
    kavro_frame_info_t info{};
    uint32_t range_mm = 0;
    std::string error;

    Session() {
        rec = "bench_decode_" + std::to_string(::getpid()) + ".raw";
        kavro_init(("bench_decode_" + std::to_string(::getpid()) + ".log").c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_WARN, LOG_LEVEL_NONE);
        kavro_sim::record_opts o;
        o.scene = "room";
        o.frames = 2;  // the replay may end the capture before the last frame is taken
        o.cfg.intg_us = 3000;
        kavro_sim::sensor_errors_parse("all,-drift,-interference", &o.cfg.err);
        o.out = rec;
        range_mm = kavro_sim::range_mm(o.cfg.mod_freq);
        if (!kavro_sim::record(o, &error)) return;
        dev = kavro_dev_open_replay(rec.c_str());
        if (!dev) {
            error = "cannot open the recording";
            return;
        }
        kavro_param_item_t fps{};
        fps.param_id = PARAM_FRAME_RATE;
        fps.param_val_len = 4;
        fps.param_val.frame_rate.fps = 50;
        kavro_frame_t fr{};
        if (!kavro_param_batch_set(dev, &fps, 1) || !kavro_cap_set_frame_buffer(dev, nullptr, 16 * 307200) ||
            !kavro_cap_start(dev) || kavro_cap_get_frames(dev, 1, raw.data(), FRAME_BYTES, &fr) != 1) {
            error = "cannot capture a frame of the recording";
        }
        kavro_filter_args_u none{};
        if (kavro_filter_enable(dev, KAVRO_FILTER_ID_LEN_CALIB, &none, sizeof none) != 1)
            error = "cannot switch undistortion on";
        kavro_cap_stop(dev);
        info = fr.frame_info;
        if (error.empty() && (info.width != W || info.height != H || info.frame_size != FRAME_BYTES))
            error = "the captured frame is not a 320 x 240 four-DCS frame";
    }
    ~Session() {
        if (dev) kavro_dev_close(dev);
        kavro_uninit();
        for (const char *ext : {"", ".dist", ".meta"}) std::remove((rec + ext).c_str());
    }
};

Session &session() {
    static Session s;
    return s;
}

void decode_kavro(benchmark::State &state) {
    bench_flush_denormals();
    Session &s = session();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    std::vector<float> dist(N);
    for (auto _ : state) {
        const int n = kavro_frame_get_distance(s.dev, dist.data(), N, s.raw.data(), FRAME_BYTES, &s.info);
        if (n != N) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(dist.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * N);
}

void decode_opencv(benchmark::State &state) {
    bench_flush_denormals();
    Session &s = session();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    cv::Mat dcs[4];
    for (int k = 0; k < 4; ++k) dcs[k] = cv::Mat(H, W, CV_16UC1, s.raw.data() + static_cast<size_t>(k) * N * 2);
    // Row map: image row y shows sensor row s with sensor_row_to_image(s) = y.
    cv::Mat map_x(H, W, CV_32FC1), map_y(H, W, CV_32FC1);
    for (int sr = 0; sr < H; ++sr) {
        const int y = kavro_sim::sensor_row_to_image(sr, H);
        for (int x = 0; x < W; ++x) {
            map_x.at<float>(y, x) = static_cast<float>(x);
            map_y.at<float>(y, x) = static_cast<float>(sr);
        }
    }
    // Phase atan2(DCS1 - DCS3, DCS0 - DCS2) in 0 ... 2 pi to millimetres,
    // less the 2000 mm zero offset of the uncalibrated path.
    // Undistortion maps: the pixel the driver's correction map shows at each
    // place (-1 where none, which remap fills with 0).
    vx_len_calib_t lens{};
    vx_calib_len_init_map(&lens, &g_epc_len_param);
    cv::Mat und_x(H, W, CV_32FC1), und_y(H, W, CV_32FC1);
    for (int i = 0; i < N; ++i) {
        const uint32_t m = lens.mapi[i];
        und_x.at<float>(i / W, i % W) = m == 0xFFFFFFFFu ? -1.0f : static_cast<float>(m % W);
        und_y.at<float>(i / W, i % W) = m == 0xFFFFFFFFu ? -1.0f : static_cast<float>(m / W);
    }
    vx_calib_len_uninit_map(&lens);
    const double mm_per_rad = s.range_mm / (2.0 * M_PI);
    const double offset_mm = -2000.0;
    cv::Mat x, y, mag, angle, mm, mm_img, amp_img, low, med, bil, gx, gy, g2, fly, und, out;
    const int old_threads = cv::getNumThreads();
    cv::setNumThreads(1);
    for (auto _ : state) {
        cv::subtract(dcs[0], dcs[2], x, cv::noArray(), CV_32F);
        cv::subtract(dcs[1], dcs[3], y, cv::noArray(), CV_32F);
        cv::cartToPolar(x, y, mag, angle);
        angle.convertTo(mm, CV_32F, mm_per_rad, offset_mm);
        cv::remap(mm, mm_img, map_x, map_y, cv::INTER_NEAREST);
        cv::remap(mag, amp_img, map_x, map_y, cv::INTER_NEAREST);
        // Amplitude a is half the magnitude of the pair differences.
        cv::compare(amp_img, 2.0f * MIN_AMP, low, cv::CMP_LT);
        mm_img.setTo(0.0f, low);
        cv::medianBlur(mm_img, med, 3);
        cv::bilateralFilter(med, bil, 5, 50.0, 2.0);
        cv::Sobel(bil, gx, CV_32F, 1, 0, 3, 0.25);
        cv::Sobel(bil, gy, CV_32F, 0, 1, 3, 0.25);
        cv::magnitude(gx, gy, g2);
        cv::compare(g2, std::sqrt(FLY_THRESHOLD / 16.0f), fly, cv::CMP_GT);
        bil.setTo(0.0f, fly);
        cv::remap(bil, und, und_x, und_y, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
        und.convertTo(out, CV_32F, 0.001);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    cv::setNumThreads(old_threads);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * N);
}

BENCHMARK(decode_kavro)->Name("decode:kavro/320x240_4dcs")->Unit(benchmark::kMicrosecond);
BENCHMARK(decode_opencv)->Name("decode:opencv/320x240_4dcs")->Unit(benchmark::kMicrosecond);

}  // namespace
