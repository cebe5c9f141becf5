// Calibration accuracy end to end, through the public interface only: a
// simulated camera that carries its calibration package (a delay-line sweep
// of DRNU references made by the same sensor model that renders the frames)
// is opened with kavro_dev_open, whose calibration routine downloads the
// package into the path prefix, opens the parameter file and mounts the
// block of the camera's frequency. Frames of the simulator's scenes, with
// the default error model (per-pixel offsets, wiggling, temperature drift,
// noise), are captured and decoded with the per-pixel calibration and with
// the simple path, and compared with the scene's true radial distances over
// the working range 0.5 ... 4 m.
//
// The calibration takes away the sensor's systematic errors, not its noise,
// which at 4 m is tens of millimetres per frame: the figures asserted are
// those of each pixel's mean over 128 frames at the longest integration
// time; the single-frame error is printed beside them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kavro.h"
#include "per_process_name.h"
#include "sim_calib.h"
#include "sim_firmware.h"
#include "sim_transport.h"

using kavro_sim::firmware;
using kavro_sim::firmware_cfg;
using kavro_test::sim_link;

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kFrameBytes = 8 * N;
constexpr int kFrames = 128;
constexpr uint16_t kIntgUs = 4000;
constexpr double kNearMm = 500, kFarMm = 4000;

// Calibration temperatures of the simulator's package (0.1 degC), and the
// ambient temperature that makes a warmed-up sensor report them: the sensor
// settles at ambient + 20 degC, the IB at ambient + 12 degC.
constexpr int16_t kCalibCb = 400, kCalibIb = 320;
constexpr double kAmbientAtCalib = 20;

std::string scratch_dir(const std::string &tag) {
    const std::string d = "ce2e_" + tag + "_" + std::to_string(::getpid());
    ::mkdir(d.c_str(), 0755);
    return d;
}

// Removes the folder with the files the download left in it.
void remove_dir(const std::string &d) {
    if (DIR *dir = ::opendir(d.c_str())) {
        while (dirent *e = ::readdir(dir)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") std::remove((d + "/" + n).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(d.c_str());
}

struct figures {
    double mae = 0, p95 = 0, bias = 0;  // of the per-pixel mean over the frames
    double mae1 = 0;                    // of single frames, noise included
    double invalid = 0;  // share of in-range surface pixels decoded as invalid, over all frames
    long n = 0;          // pixels valid in every frame
};

// A simulated camera of one scene at one ambient temperature, opened through
// the camera interface with the calibration of its package mounted.
class SimCamera {
public:
    SimCamera(const std::string &scene, double ambient_c, const std::string &dir) : cfg_(make_cfg(scene, ambient_c)) {
        fw_ = std::make_unique<firmware>(cfg_);
        kavro_sim::calib_opts o;
        o.temp_cb = kCalibCb;
        o.temp_ib = kCalibIb;
        std::vector<uint8_t> pkg;
        std::string err;
        EXPECT_TRUE(kavro_sim::calib_package_for(cfg_, o, false, &pkg, &err)) << err;
        fw_->set_calib_package(pkg);
        link_ = std::make_unique<sim_link>(*fw_);
        kavro_path_cfg((dir + "/").c_str());
        kavro_test::sim_bind_dev(&dev_, link_.get());
        open_ = kavro_dev_open(&dev_) == &dev_;
    }
    ~SimCamera() {
        if (open_) kavro_dev_close(&dev_);
    }
    SimCamera(const SimCamera &) = delete;
    SimCamera &operator=(const SimCamera &) = delete;

    bool open() const { return open_; }
    kavro_dev_t *dev() { return &dev_; }
    const std::vector<float> &truth_mm() { return fw_->sensor_camera().truth_mm(); }

    // Captures `n` frames.
    std::vector<std::vector<uint8_t>> capture(int n, std::vector<kavro_frame_info_t> *infos) {
        std::vector<std::vector<uint8_t>> out;
        EXPECT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 8 * kFrameBytes));
        EXPECT_TRUE(kavro_cap_start(&dev_));
        while (static_cast<int>(out.size()) < n) {
            std::vector<uint8_t> f(kFrameBytes);
            kavro_frame_t fr{};
            if (kavro_cap_get_frames(&dev_, 1, f.data(), kFrameBytes, &fr) != 1) break;
            infos->push_back(fr.frame_info);
            out.push_back(std::move(f));
        }
        kavro_cap_stop(&dev_);
        return out;
    }

private:
    static firmware_cfg make_cfg(const std::string &scene, double ambient_c) {
        firmware_cfg c;
        c.scene = scene;
        // Frames at the device's own rate, as a camera sends them: the
        // package download keeps up with the stream.
        c.virtual_time = false;
        EXPECT_TRUE(kavro_sim::sensor_errors_parse("fpn,wiggle,drift,noise", &c.sensor.err));
        // Warmed up: both temperatures at their settled values from the first
        // frame on.
        c.sensor.warmup_tau_s = 0;
        c.sensor.temp_ambient_c = ambient_c;
        return c;
    }

    firmware_cfg cfg_;
    std::unique_ptr<firmware> fw_;
    std::unique_ptr<sim_link> link_;
    kavro_dev_t dev_{};
    bool open_ = false;
};

// Accuracy of the decoded frames against the truth, over surface pixels
// whose true distance is in the working range. The calibration removes the
// sensor's systematic errors, not its noise: the main figures are those of
// each pixel's mean over the frames (pixels valid in every frame), with the
// single-frame error beside them.
figures measure(kavro_dev_t *dev, std::vector<std::vector<uint8_t>> &frames, std::vector<kavro_frame_info_t> &infos,
                const std::vector<float> &truth_mm) {
    std::vector<double> sum(N, 0.0);
    std::vector<int> valid(N, 0);
    double single = 0;
    long single_n = 0, surface = 0, invalid = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        std::vector<float> d(N);
        EXPECT_EQ(kavro_frame_get_distance(dev, d.data(), N, frames[k].data(), static_cast<int>(frames[k].size()),
                                           &infos[k]),
                  N);
        for (int i = 0; i < N; ++i) {
            if (truth_mm[i] < kNearMm || truth_mm[i] > kFarMm) continue;
            ++surface;
            if (!(d[i] > 0 && d[i] < 60)) {
                ++invalid;
                continue;
            }
            sum[i] += d[i] * 1000.0;
            ++valid[i];
            single += std::fabs(d[i] * 1000.0 - truth_mm[i]);
            ++single_n;
        }
    }
    figures f;
    if (surface) f.invalid = static_cast<double>(invalid) / static_cast<double>(surface);
    if (single_n) f.mae1 = single / static_cast<double>(single_n);
    std::vector<double> err;
    double bias = 0;
    for (int i = 0; i < N; ++i) {
        if (valid[i] != static_cast<int>(frames.size())) continue;
        const double e = sum[i] / valid[i] - truth_mm[i];
        bias += e;
        err.push_back(std::fabs(e));
    }
    f.n = static_cast<long>(err.size());
    if (err.empty()) return f;
    for (double e : err) f.mae += e;
    f.mae /= static_cast<double>(err.size());
    f.bias = bias / static_cast<double>(err.size());
    std::sort(err.begin(), err.end());
    f.p95 = err[err.size() * 95 / 100];
    return f;
}

int set_pixel_calib(kavro_dev_t *dev, bool on) {
    kavro_filter_args_u a{};
    return on ? kavro_filter_enable(dev, KAVRO_FILTER_ID_PIXEL_CALIB, &a, sizeof a)
              : kavro_filter_disable(dev, KAVRO_FILTER_ID_PIXEL_CALIB);
}

// The clean-up chain (median, bilateral, flying-pixel, hole filters) off:
// the figures are the calibration's own, not those of the smoothing, which
// blurs depth edges alike on both paths.
void chain_off(kavro_dev_t *dev) {
    kavro_filter_args_u a{};
    a.median_ksize = 0;
    EXPECT_EQ(kavro_filter_enable(dev, KAVRO_FILTER_ID_MEDIAN, &a, sizeof a), 1);
}

class EpcCalibE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_epc_calib_e2e", ".log");
        std::remove(log.c_str());
        kavro_init(log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_WARN, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() { kavro_uninit(); }
};

struct scene_figures {
    figures cal, simple;
};

// Frames of `scene` at an ambient temperature, decoded both ways; with
// `mod_freq` the camera is switched to that frequency after the open.
scene_figures run_scene(const std::string &scene, double ambient_c, uint32_t mod_freq = 0) {
    scene_figures out;
    const std::string dir = scratch_dir(scene + "_" + std::to_string(static_cast<int>(ambient_c)));
    {
        SimCamera cam(scene, ambient_c, dir);
        EXPECT_TRUE(cam.open());
        if (!cam.open()) return out;
        // The open mounted the camera's calibration and switched it on.
        EXPECT_EQ(set_pixel_calib(cam.dev(), true), 1) << scene;
        chain_off(cam.dev());
        kavro_param_item_t it[2] = {};
        it[0].param_id = PARAM_INTG_TIME;
        it[0].param_val_len = 2;
        it[0].param_val.intg.intg_us = kIntgUs;
        it[1].param_id = PARAM_FRAME_RATE;
        it[1].param_val_len = 4;
        it[1].param_val.frame_rate.fps = 60;
        EXPECT_TRUE(kavro_param_batch_set(cam.dev(), it, 2));
        if (mod_freq) {
            kavro_param_item_t f{};
            f.param_id = PARAM_MOD_FREQ;
            f.param_val_len = 4;
            f.param_val.mod_freq = mod_freq;
            EXPECT_TRUE(kavro_param_batch_set(cam.dev(), &f, 1));
            // The driver re-mounted the block of the new frequency.
            EXPECT_EQ(set_pixel_calib(cam.dev(), true), 1) << mod_freq;
        }
        std::vector<kavro_frame_info_t> infos;
        auto frames = cam.capture(kFrames, &infos);
        EXPECT_EQ(static_cast<int>(frames.size()), kFrames);
        if (frames.empty()) return out;
        out.cal = measure(cam.dev(), frames, infos, cam.truth_mm());
        EXPECT_EQ(set_pixel_calib(cam.dev(), false), 1);
        out.simple = measure(cam.dev(), frames, infos, cam.truth_mm());
    }
    remove_dir(dir);
    return out;
}

void print_row(const char *scene, const char *temp, const char *path, const figures &f) {
    std::printf("%-8s %-10s %-10s %8.2f %8.2f %8.2f %8.2f%% %8ld %10.2f\n", scene, temp, path, f.mae, f.p95, f.bias,
                100.0 * f.invalid, f.n, f.mae1);
}

// The criteria of the calibration: per scene, the calibrated mean absolute
// error is at most 5 mm and at most a third of the simple path's on the same
// frames; a 10 degC rise of both temperatures moves it by at most 2 mm.
TEST_F(EpcCalibE2E, AccuracyOnTheSimulatorsScenes) {
    std::printf("%-8s %-10s %-10s %8s %8s %8s %9s %8s %10s\n", "scene", "temp", "path", "MAE mm", "p95 mm",
                "bias mm", "invalid", "pixels", "1-frame MAE");
    for (const char *scene : {"wall", "room", "stairs", "edges"}) {
        SCOPED_TRACE(scene);
        const scene_figures base = run_scene(scene, kAmbientAtCalib);
        const scene_figures warm = run_scene(scene, kAmbientAtCalib + 10);
        print_row(scene, "calib", "per-pixel", base.cal);
        print_row(scene, "calib", "simple", base.simple);
        print_row(scene, "calib+10C", "per-pixel", warm.cal);
        print_row(scene, "calib+10C", "simple", warm.simple);
        ASSERT_GT(base.cal.n, N / 10);
        ASSERT_GT(warm.cal.n, N / 10);
        EXPECT_LE(base.cal.mae, 5.0);
        EXPECT_LE(3 * base.cal.mae, base.simple.mae);
        EXPECT_LE(warm.cal.mae, 5.0);
        EXPECT_LE(3 * warm.cal.mae, warm.simple.mae);
        EXPECT_LE(std::fabs(warm.cal.mae - base.cal.mae), 2.0);
    }
}

// A frequency change through the parameter interface re-mounts the block of
// the new frequency: the per-pixel errors of the camera's 15 MHz frames go
// as at 12 MHz. What stays is one bias for the whole block: the mount
// replaces the reference step by the average step of the pixels' line fits,
// and at 15 MHz the wiggling (period 2.5 m) tilts those fits over the
// sweep's 4.1 m by about 0.2 %, some millimetres at the stairs' distances.
TEST_F(EpcCalibE2E, FrequencyChangeRemountsTheBlock) {
    const scene_figures f = run_scene("stairs", kAmbientAtCalib, 15000000);
    print_row("stairs", "15 MHz", "per-pixel", f.cal);
    print_row("stairs", "15 MHz", "simple", f.simple);
    ASSERT_GT(f.cal.n, N / 10);
    EXPECT_LE(2 * f.cal.p95, f.simple.p95);
    EXPECT_LT(f.cal.mae, f.simple.mae);
    EXPECT_LE(std::fabs(f.cal.bias), 8.0);
}

}  // namespace
