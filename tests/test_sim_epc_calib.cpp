// The EPC calibration mount on the simulator's calibration file: both
// frequency blocks mount with the values the simulator put in, and a
// simulated frame of a flat wall decoded through the mounted per-pixel
// calibration lands on the wall, closer than the global (simple) path.
//
// The simulator's reference images are what its sensor model measures on a
// flat target square to the optical axis at box_len_cm + k * step_um, so the
// per-pixel path maps a pixel's phase to the distance of that plane (depth
// along the axis); the simple path gives the radial phase distance minus one
// global offset. Each is compared with its own ground truth.
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

// Decoded distances (sensor row order) against a truth (image order).
err_stats compare(const std::vector<uint16_t> &dist, const std::vector<double> &truth) {
    std::vector<uint16_t> img(N);
    calc_dcs_sort(img.data(), dist.data(), W, H);
    err_stats s;
    for (int p = 0; p < N; ++p) {
        if (truth[p] <= 0 || img[p] == EPC_DIST_NO_SAMPLE) continue;
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

// Mean over the image of 1 / cos of the ray angle (how much longer the ray
// to a plane is than the plane's depth) and of the fixed pattern.
void lens_means(const calib_opts &o, const sensor_cfg &c, double *inv_cos, double *fpn) {
    scene sc;
    scene_builtin("wall", &sc);
    camera cam(sc, c, o.ln);
    double a = 0, b = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            vec3 dir;
            lens_pixel_ray(o.ln, x, y, &dir);
            a += 1.0 / dir.z;
            b += cam.fpn_mm()[static_cast<size_t>(y) * W + x];
        }
    *inv_cos = a / N;
    *fpn = b / N;
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
        // The average phase step between references is the reference step
        // stretched by the mean 1 / cos of the rays; the wiggling bends each
        // pixel's line by a few per cent at most.
        sensor_cfg cf = cfg_;
        cf.mod_freq = freq;
        double inv_cos = 0, fpn = 0;
        lens_means(opts_, cf, &inv_cos, &fpn);
        EXPECT_NEAR(c.calib_cdll_step_um, opts_.step_um * inv_cos, opts_.step_um * inv_cos * 0.03) << freq;
        // The first reference distance minus the mean phase distance of the
        // first image: its ray length, the sensor's 2000 mm zero offset, the
        // drift at the calibration temperatures and the fixed pattern, give or
        // take the 12 mm wiggle amplitude.
        const double drift = 13.78 * opts_.temp_cb / 10.0 + 1.183 * opts_.temp_ib / 10.0;
        EXPECT_NEAR(c.calib_simple_offset_mm, 295.0 - (295.0 * inv_cos + 2000 + drift + fpn), 15) << freq;
        EXPECT_LT(c.calib_phase_min, c.calib_phase_max);
        EXPECT_TRUE(epc_calc_calib_loaded(d.drv()));
    }
    EXPECT_TRUE(log.contains("scale 30000 -> 32768"));
    EXPECT_FALSE(log.contains("pixels are NG"));
}

double spread(const err_stats &e) { return std::sqrt(std::max(0.0, e.rms * e.rms - e.bias * e.bias)); }

// Flat walls inside the calibrated span (295 ... 2045 mm), seen with the
// sensor's fixed pattern, wiggling and a warm-up temperature 14 degrees
// below the calibration's.
//
// The per-pixel path interpolates each pixel's phase between its two
// neighbouring references and scales the image index by the mounted step,
// which is the average phase step of the block: every pixel of a wall at
// depth z reads box_len + (z - box_len) * step / reference step, the same
// for all pixels. With the reference step in its place the path gives the
// wall's depth.
TEST_F(SimCalibMount, CalibratedDistanceOnWalls) {
    SimDriver d;
    ASSERT_EQ(d.mount(0), 1);
    ASSERT_EQ(d.edrv().mod_freq, 12000000u);
    const uint32_t step_um = d.calc().config.calib_cdll_step_um;
    sensor_cfg fc = cfg_;
    fc.mod_freq = d.edrv().mod_freq;

    for (double z : {700.0, 1000.0, 1500.0}) {
        scene sc;
        sc.prims.push_back(make_quad({0, 0, z}, {10000, 0, 0}, {0, 10000, 0}, 0.8));
        camera cam(sc, fc, opts_.ln);
        frame fr;
        cam.render(200, &fr);
        ASSERT_EQ(fr.width, W);
        ASSERT_EQ(fr.height, H);
        d.edrv().temp_cb = fr.temp_cb;
        d.edrv().temp_ib = fr.temp_ib;

        const double mounted_mm = 295.0 + (z - 295.0) * step_um / opts_.step_um;
        std::vector<double> radial(N), depth(N, z), mounted(N, mounted_mm);
        for (int p = 0; p < N; ++p) radial[p] = fr.truth_mm[p];

        std::vector<uint16_t> drnu(N), confid(N), simple(N), gray(N), none(N), drnu_ref(N);
        d.calc().config.calib_cdll_step_um = step_um;
        ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), drnu.data(), confid.data(), fr.raw.data(), W, H, 4));
        ASSERT_TRUE(calc_dist_calib_simple(d.drv(), simple.data(), gray.data(), fr.raw.data(), W, H, 4));
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), none.data(), gray.data(), fr.raw.data(), W, H, 4, 1000, -2000));
        d.calc().config.calib_cdll_step_um = static_cast<uint32_t>(opts_.step_um);
        ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), drnu_ref.data(), confid.data(), fr.raw.data(), W, H, 4));
        d.calc().config.calib_cdll_step_um = step_um;

        const err_stats e_drnu = compare(drnu, mounted);
        const err_stats e_drnu_depth = compare(drnu, depth);
        const err_stats e_drnu_radial = compare(drnu, radial);
        const err_stats e_ref = compare(drnu_ref, depth);
        const err_stats e_simple = compare(simple, radial);
        const err_stats e_none = compare(none, radial);
        std::printf("wall at %.0f mm, 12 MHz, frame temperatures %d/%d (calibrated at %d/%d), step %u um:\n", z,
                    fr.temp_cb, fr.temp_ib, opts_.temp_cb, opts_.temp_ib, step_um);
        print("per-pixel vs its model value", e_drnu);
        print("per-pixel vs wall depth", e_drnu_depth);
        print("per-pixel vs radial truth", e_drnu_radial);
        print("per-pixel, reference step, vs depth", e_ref);
        print("simple (mounted offset) vs radial", e_simple);
        print("uncalibrated (-2000 mm) vs radial", e_none);
        std::printf("  spread (sd) per-pixel %.2f mm, simple %.2f mm\n", spread(e_drnu), spread(e_simple));

        ASSERT_EQ(e_drnu.n, N) << z;  // every pixel sees the wall and decodes
        // Fixed pattern, ray length and drift go. What stays: the wiggle is
        // a function of the drifted phase distance, so the temperature
        // correction, which moves the phase back by the drift, compares the
        // frame's wiggle with the references' wiggle 2 * A * |sin(pi h D /
        // range)| apart (D the drift between the temperatures); plus whole
        // millimetres truncated (1 mm) and the interpolation of the wiggle
        // between references 250 mm apart (under 0.6 mm).
        const double drift_gap = (cfg_.drift_cb_mm * (opts_.temp_cb - fr.temp_cb) +
                                  cfg_.drift_ib_mm * (opts_.temp_ib - fr.temp_ib)) / 10.0;
        const double bound = 2 * cfg_.wiggle_mm *
                                 std::fabs(std::sin(M_PI * cfg_.wiggle_harmonic * drift_gap / cam.range())) +
                             1.6;
        EXPECT_LT(std::fabs(e_drnu.bias), bound) << z;
        EXPECT_LT(e_drnu.rms, bound) << z;
        EXPECT_LT(std::fabs(e_ref.bias), bound) << z;
        EXPECT_LT(e_ref.rms, bound) << z;
        // The simple path keeps each pixel's fixed pattern and wiggle.
        EXPECT_LT(spread(e_drnu), spread(e_simple)) << z;
        EXPECT_LT(e_drnu.rms, e_simple.rms) << z;
    }
}

}  // namespace
