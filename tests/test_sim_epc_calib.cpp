// The EPC calibration mount on the simulator's calibration file: both
// frequency blocks mount with the values the simulator put in, and a
// simulated frame of a flat wall decoded through the mounted per-pixel
// calibration lands on the wall, closer than the global (simple) path.
//
// The simulator's reference images are a delay-line sweep: every pixel sees
// a target at the same radial distance box_len_cm, shifted by k * step_um
// per image, with its own offset, fixed pattern, wiggling and drift. Both
// the per-pixel path and the simple path therefore give the radial
// distance, and both are compared with the radial ground truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/epc/epc_calc.h"
#include "driver/epc/epc_calib.h"
#include "driver/epc/kavro_driver_epc.h"
#include "log_file_capture.h"
#include "param_file_builder.h"
#include "sim_calib.h"
#include "sim_lens.h"
#include "sim_sensor.h"

using namespace kavro_sim;

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr const char *kFile = "sim_calib_mount.bin";

// The EPC driver fields the mount and the distance paths read, as the
// driver sets them for a frequency.
class SimDriver {
public:
    SimDriver() {
        pthread_mutex_init(&edrv_.drnu_mutex, nullptr);
        edrv_.param_valid = true;
        std::snprintf(edrv_.pname, sizeof edrv_.pname, "%s", kFile);
        drv_.priv_data = &edrv_;
        edrv_.calib_tcoef_cb_mm = 13.78f;
        edrv_.calib_tcoef_ib_mm = 1.183f;
        EXPECT_TRUE(epc_calc_init(&drv_));
    }
    ~SimDriver() {
        epc_calc_uninit(&drv_);
        pthread_mutex_destroy(&edrv_.drnu_mutex);
    }
    SimDriver(const SimDriver &) = delete;
    SimDriver &operator=(const SimDriver &) = delete;

    kavro_drv_t *drv() { return &drv_; }
    epc_drv_t &edrv() { return edrv_; }
    epc_calc_t &calc() { return *static_cast<epc_calc_t *>(edrv_.priv_data); }
    int mount(uint32_t freq) {
        pthread_mutex_lock(&edrv_.drnu_mutex);
        epc_calc_unmount_clib(&drv_);
        edrv_.mod_freq = freq;
        const int r = epc_calc_mount_calib(&drv_);
        pthread_mutex_unlock(&edrv_.drnu_mutex);
        // What the driver derives from the frequency and the sensor's
        // temperature coefficients (mm per degree, and in phase units).
        edrv_.dist_max_mm = range_mm(edrv_.mod_freq);
        edrv_.calib_tcoef_cb_mm = 13.78f;
        edrv_.calib_tcoef_ib_mm = 1.183f;
        edrv_.tcoef_cb_phase = 13.78f * 32768 / static_cast<float>(edrv_.dist_max_mm);
        edrv_.tcoef_ib_phase = 1.183f * 32768 / static_cast<float>(edrv_.dist_max_mm);
        return r;
    }

private:
    epc_drv_t edrv_{};
    kavro_drv_t drv_{};
};

struct err_stats {
    int n = 0;
    double bias = 0, mean_abs = 0, rms = 0;
};

// Decoded distances (sensor row order) against a truth (image order), over
// the pixels whose true distance lies in the calibrated working range
// 0.5 ... 4 m (the references cover 295 ... 4420 mm).
err_stats compare(const std::vector<uint16_t> &dist, const std::vector<double> &truth) {
    std::vector<uint16_t> img(N);
    calc_dcs_sort(img.data(), dist.data(), W, H);
    err_stats s;
    for (int p = 0; p < N; ++p) {
        if (truth[p] < 500 || truth[p] > 4000 || img[p] == EPC_DIST_NO_SAMPLE) continue;
        const double e = img[p] - truth[p];
        ++s.n;
        s.bias += e;
        s.mean_abs += std::fabs(e);
        s.rms += e * e;
    }
    if (s.n) {
        s.bias /= s.n;
        s.mean_abs /= s.n;
        s.rms = std::sqrt(s.rms / s.n);
    }
    return s;
}

void print(const char *what, const err_stats &s) {
    std::printf("  %-34s pixels %5d  bias %8.2f mm  mean |err| %7.2f mm  rms %7.2f mm\n", what, s.n, s.bias,
                s.mean_abs, s.rms);
}

class SimCalibMount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sensor_errors_parse("fpn,wiggle,drift", &cfg_.err));
        std::string err;
        std::vector<uint8_t> file;
        ASSERT_TRUE(calib_param_file(cfg_, opts_, &file, &err)) << err;
        ASSERT_TRUE(kavro_test::write_param_file(kFile, file));
        // The container is sound: the calibration routine opens it first.
        kavro_param_handle_t h;
        ASSERT_TRUE(kavro_param_open_file(&h, kFile));
        kavro_param_close(&h);
    }
    void TearDown() override { std::remove(kFile); }

    sensor_cfg cfg_;
    calib_opts opts_;  // 12 and 15 MHz, 8 references from 295 mm, 250 mm apart, 30000 per period
};

// Mean of the sensor model's fixed pattern over the image.
double fpn_mean(const sensor_cfg &c) {
    scene sc;
    scene_builtin("wall", &sc);
    camera cam(sc, c);
    double b = 0;
    for (float v : cam.fpn_mm()) b += v;
    return b / N;
}

TEST_F(SimCalibMount, BothBlocksMountWithTheSimulatorsValues) {
    LogFileCapture log("sim_mount");
    for (uint32_t freq : opts_.mod_freqs) {
        SimDriver d;
        ASSERT_EQ(d.mount(freq), 1) << freq;
        const _epc_calc_config_t &c = d.calc().config;
        EXPECT_EQ(uint32_t{d.calc().drnu.hdr.mod_freq}, freq);
        EXPECT_EQ(c.num_calib_dist, opts_.num_dist);
        EXPECT_EQ(c.calib_temp_cb, opts_.temp_cb);
        EXPECT_EQ(c.calib_temp_ib, opts_.temp_ib);
        EXPECT_EQ(d.edrv().calib_wall_len_mm, 295u);
        // Every pixel's phase step is the delay line's step: the average
        // step of the fit is the reference step, give or take the wiggling,
        // which tilts each pixel's line by a few tenths of a per cent.
        EXPECT_NEAR(c.calib_cdll_step_um, opts_.step_um, opts_.step_um * 0.005) << freq;
        // The first reference distance minus the mean phase distance of the
        // first image: the sensor's 2000 mm zero offset, the drift at the
        // calibration temperatures and the fixed pattern, give or take the
        // 12 mm wiggle amplitude.
        sensor_cfg cf = cfg_;
        cf.mod_freq = freq;
        const double drift = 13.78 * opts_.temp_cb / 10.0 + 1.183 * opts_.temp_ib / 10.0;
        EXPECT_NEAR(c.calib_simple_offset_mm, -(2000 + drift + fpn_mean(cf)), 15) << freq;
        EXPECT_LT(c.calib_phase_min, c.calib_phase_max);
        EXPECT_TRUE(epc_calc_calib_loaded(d.drv()));
    }
    EXPECT_TRUE(log.contains("scale 30000 -> 32768"));
    EXPECT_FALSE(log.contains("pixels are NG"));
}

double spread(const err_stats &e) { return std::sqrt(std::max(0.0, e.rms * e.rms - e.bias * e.bias)); }

// Flat walls inside the calibrated span (295 ... 4420 mm), seen with the
// sensor's fixed pattern, wiggling and a warm-up temperature about 14
// degrees below the calibration's. The per-pixel path takes the drift since
// calibration off the phase and interpolates it between the pixel's two
// neighbouring references: it removes the fixed pattern and the wiggle,
// which the simple path keeps, and gives the radial distance like the
// simple path.
TEST_F(SimCalibMount, CalibratedDistanceOnWalls) {
    SimDriver d;
    ASSERT_EQ(d.mount(0), 1);
    ASSERT_EQ(d.edrv().mod_freq, 12000000u);
    sensor_cfg fc = cfg_;
    fc.mod_freq = d.edrv().mod_freq;
    // The longest integration: rounding the samples to whole numbers moves
    // the phase by up to 1405 / a mm for amplitude a, a few millimetres at
    // 3.5 m with this; no pixel of these walls saturates yet (the per-pixel
    // path makes no saturation test).
    fc.intg_us = 4000;

    for (double z : {1500.0, 2500.0, 3500.0}) {
        scene sc;
        sc.prims.push_back(make_quad({0, 0, z}, {10000, 0, 0}, {0, 10000, 0}, 0.8));
        camera cam(sc, fc, opts_.ln);
        frame fr;
        cam.render(200, &fr);
        ASSERT_EQ(fr.width, W);
        ASSERT_EQ(fr.height, H);
        d.edrv().temp_cb = fr.temp_cb;
        d.edrv().temp_ib = fr.temp_ib;
        std::vector<double> radial(N);
        for (int p = 0; p < N; ++p) radial[p] = fr.truth_mm[p];

        std::vector<uint16_t> drnu(N), confid(N), simple(N), gray(N), none(N);
        ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), drnu.data(), confid.data(), fr.raw.data(), W, H, 4));
        ASSERT_TRUE(calc_dist_calib_simple(d.drv(), simple.data(), gray.data(), fr.raw.data(), W, H, 4));
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), none.data(), gray.data(), fr.raw.data(), W, H, 4, 1000, -2000));

        const err_stats e_drnu = compare(drnu, radial);
        const err_stats e_simple = compare(simple, radial);
        const err_stats e_none = compare(none, radial);
        std::printf("wall at %.0f mm, 12 MHz, frame temperatures %d/%d (calibrated at %d/%d), step %u um:\n", z,
                    fr.temp_cb, fr.temp_ib, opts_.temp_cb, opts_.temp_ib, d.calc().config.calib_cdll_step_um);
        print("per-pixel vs radial truth", e_drnu);
        print("simple (mounted offset) vs radial", e_simple);
        print("uncalibrated (-2000 mm) vs radial", e_none);
        std::printf("  spread (sd) per-pixel %.2f mm, simple %.2f mm\n", spread(e_drnu), spread(e_simple));

        // Every pixel in the working range sees the wall and decodes.
        int in_range = 0;
        for (double t : radial) in_range += t >= 500 && t <= 4000;
        ASSERT_GT(in_range, N / 3) << z;
        ASSERT_EQ(e_drnu.n, in_range) << z;
        // Fixed pattern, wiggling and drift go. What stays: whole
        // millimetres truncated (0.5 mm on average), the interpolation of the
        // wiggle between references 375 mm apart (under 0.9 mm), the tilt of
        // the mounted step by the wiggle (under 0.05 %, 2 mm at the far end)
        // and, pixel by pixel, the rounding of the samples (up to 1405 / a
        // mm for amplitude a, a few hundred in the far corners).
        EXPECT_LT(std::fabs(e_drnu.bias), 2.0) << z;
        EXPECT_LT(e_drnu.rms, 4.0) << z;
        // The simple path keeps each pixel's fixed pattern and wiggle.
        EXPECT_LT(spread(e_drnu), spread(e_simple)) << z;
        EXPECT_LT(e_drnu.rms, e_simple.rms) << z;
    }
}

// ---- the mount on the simulator's files -----------------------------------------

// Writes the simulator's calibration file for a sensor and options in place
// of the fixture's.
void write_sim_file(const sensor_cfg &c, const calib_opts &o) {
    std::string err;
    std::vector<uint8_t> file;
    ASSERT_TRUE(calib_param_file(c, o, &file, &err)) << err;
    ASSERT_TRUE(kavro_test::write_param_file(kFile, file));
}

std::vector<uint16_t> mounted_image(SimDriver &d, int k) {
    const uint16_t *p = d.calc().drnu.payload[k].data;
    return std::vector<uint16_t>(p, p + N);
}

// The same sensor calibrated with phases stored at 30000, 20000 and 32768
// per period: after the mount every image is at 32768 per period, so all
// three agree within the rounding of the stored phases (2 units), and only
// the rescaled ones say so.
TEST_F(SimCalibMount, PhasesRescaledToFullPeriod) {
    std::vector<std::vector<uint16_t>> first, last;
    for (uint32_t scale : {32768u, 30000u, 20000u}) {
        LogFileCapture log("sim_rescale");
        calib_opts o = opts_;
        o.atan_scale = scale;
        write_sim_file(cfg_, o);
        SimDriver d;
        ASSERT_EQ(d.mount(12000000), 1) << scale;
        EXPECT_EQ(log.contains("[epc_calc_mount_calib] scale " + std::to_string(scale) + " -> 32768"), scale != 32768)
            << scale;
        first.push_back(mounted_image(d, 0));
        last.push_back(mounted_image(d, o.num_dist - 1));
    }
    for (size_t v = 1; v < first.size(); ++v) {
        int worst = 0;
        for (int p = 0; p < N; ++p) {
            worst = std::max(worst, std::abs(first[v][p] - first[0][p]));
            worst = std::max(worst, std::abs(last[v][p] - last[0][p]));
        }
        EXPECT_LE(worst, 2) << "file " << v;
    }
}

// A version-149 file holds each two-row block one sample early; the mount
// moves it back. Its images then equal those of the version-150 file of the
// same sensor, except the first sample of each block, which keeps the
// sample after it.
TEST_F(SimCalibMount, Version149FileRepairedToVersion150) {
    std::vector<std::vector<uint16_t>> imgs[2];
    const uint8_t vers[2] = {150, 149};
    for (int v = 0; v < 2; ++v) {
        LogFileCapture log("sim_fix149");
        calib_opts o = opts_;
        o.ver = vers[v];
        write_sim_file(cfg_, o);
        SimDriver d;
        ASSERT_EQ(d.mount(12000000), 1);
        EXPECT_EQ(log.contains("[epc_calc_mount_calib] Fix 1 pix calib issue of ref images: ver=149"), v == 1);
        for (int k = 0; k < o.num_dist; ++k) imgs[v].push_back(mounted_image(d, k));
    }
    for (int k = 0; k < opts_.num_dist; ++k) {
        int wrong = 0;
        for (int i = 0; i < N; ++i) {
            const bool block_start = i % (2 * W) == 0;
            wrong += imgs[1][k][i] != imgs[0][k][block_start ? i + 1 : i];
        }
        EXPECT_EQ(wrong, 0) << "image " << k;
    }
}

// Dead pixels read the same phase at every reference distance: their fit
// has no slope, so they are NG and take the average fit of the others; a
// sensor whose every pixel is dead has no usable block at all.
TEST_F(SimCalibMount, DeadPixelsAreNgAndAllDeadIsRejected) {
    struct Case {
        const char *name;
        double dead_fraction;
    };
    for (const Case &c : {Case{"some dead", 0.001}, Case{"all dead", 1.0}}) {
        SCOPED_TRACE(c.name);
        LogFileCapture log("sim_ng");
        sensor_cfg sc = cfg_;
        sc.err.empty = true;
        sc.dead_fraction = c.dead_fraction;
        write_sim_file(sc, opts_);
        scene wall;
        scene_builtin("wall", &wall);
        const camera cam(wall, sc, opts_.ln);
        int dead = 0;
        for (int p = 0; p < N; ++p) dead += cam.dead(p);
        ASSERT_GT(dead, 0);

        SimDriver d;
        if (dead == N) {
            EXPECT_EQ(d.mount(12000000), -1);
            EXPECT_TRUE(log.contains("[epc_calc_mount_calib] All pixel calib data is wrong!"));
            EXPECT_EQ(d.calc().drnu.payload, nullptr);
            EXPECT_EQ(d.calc().config.calib_simple_scale_um, 1000);
            EXPECT_EQ(d.calc().config.calib_simple_offset_mm, -2000);
            EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
            continue;
        }
        ASSERT_EQ(d.mount(12000000), 1);
        EXPECT_TRUE(log.contains("[epc_calc_mount_calib] Calib data of " + std::to_string(dead) + " (" +
                                 std::to_string(dead * 100 / N) + " %) pixels are NG"));
        // The averages come from the good pixels alone: the step is the
        // sweep's, not pulled towards the dead pixels' 0.
        EXPECT_NEAR(d.calc().config.calib_cdll_step_um, opts_.step_um, opts_.step_um * 0.005);
    }
}

// Blocks stored 15 MHz first, then 12 MHz: no frequency takes the first
// block and makes its frequency the driver's; each frequency finds its own
// block (its mean phases are those of its range); a frequency without a
// block mounts nothing.
TEST_F(SimCalibMount, BlockOfTheFrequency) {
    calib_opts o = opts_;
    o.mod_freqs = {15000000, 12000000};
    write_sim_file(cfg_, o);
    struct Case {
        uint32_t ask, got;
    };
    for (const Case &c : {Case{0, 15000000}, Case{12000000, 12000000}, Case{15000000, 15000000}, Case{20000000, 0}}) {
        SCOPED_TRACE(c.ask);
        SimDriver d;
        if (c.got == 0) {
            EXPECT_EQ(d.mount(c.ask), -1);
            EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
            continue;
        }
        ASSERT_EQ(d.mount(c.ask), 1);
        EXPECT_EQ(d.edrv().mod_freq, c.got);
        EXPECT_EQ(uint32_t{d.calc().drnu.hdr.mod_freq}, c.got);
        // Mean phase of the first image: the first reference distance, the
        // zero offset, the drift at the calibration temperatures and the
        // fixed pattern, in this frequency's range, give or take the wiggle.
        sensor_cfg cf = cfg_;
        cf.mod_freq = c.got;
        const double range = range_mm(c.got);
        const double drift = 13.78 * o.temp_cb / 10.0 + 1.183 * o.temp_ib / 10.0;
        const double want = (295.0 + 2000 + drift + fpn_mean(cf)) / range * 32768;
        EXPECT_NEAR(d.calc().config.calib_phase_min, want, 13.0 / range * 32768);
    }
}

// A frequency change unmounts and mounts the block of the new frequency,
// with the range and the wall distance in phase units of that frequency; a
// frequency without a block leaves the driver uncalibrated; coming back
// mounts the first block again from the file, to the same values.
TEST_F(SimCalibMount, FrequencyChangeRemounts) {
    SimDriver d;
    ASSERT_EQ(d.mount(0), 1);
    epc_event_freq_change(d.drv(), 12000000, 0);
    const _epc_calc_config_t &c = d.calc().config;
    const uint16_t min12 = c.calib_phase_min, max12 = c.calib_phase_max;
    const uint32_t step12 = c.calib_cdll_step_um;
    const int32_t offset12 = c.calib_simple_offset_mm;
    const int32_t wall12 = d.edrv().calib_wall_len_phase;

    SimDriver fresh15;
    ASSERT_EQ(fresh15.mount(15000000), 1);

    epc_event_freq_change(d.drv(), 15000000, 0);
    ASSERT_TRUE(epc_calc_calib_loaded(d.drv()));
    EXPECT_EQ(uint32_t{d.calc().drnu.hdr.mod_freq}, 15000000u);
    EXPECT_EQ(d.edrv().dist_max_mm, range_mm(15000000));
    EXPECT_EQ(d.calc().config.calib_phase_min, fresh15.calc().config.calib_phase_min);
    EXPECT_EQ(d.calc().config.calib_phase_max, fresh15.calc().config.calib_phase_max);
    EXPECT_EQ(d.calc().config.calib_cdll_step_um, fresh15.calc().config.calib_cdll_step_um);
    EXPECT_EQ(d.edrv().calib_wall_len_phase, static_cast<int32_t>(295u * 32768u / range_mm(15000000)));

    epc_event_freq_change(d.drv(), 20000000, 0);
    EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
    EXPECT_EQ(d.calc().drnu.payload, nullptr);
    EXPECT_EQ(d.calc().config.calib_simple_offset_mm, -2000);

    epc_event_freq_change(d.drv(), 12000000, 0);
    ASSERT_TRUE(epc_calc_calib_loaded(d.drv()));
    EXPECT_EQ(c.calib_phase_min, min12);
    EXPECT_EQ(c.calib_phase_max, max12);
    EXPECT_EQ(c.calib_cdll_step_um, step12);
    EXPECT_EQ(c.calib_simple_offset_mm, offset12);
    EXPECT_EQ(d.edrv().calib_wall_len_phase, wall12);
}

}  // namespace
