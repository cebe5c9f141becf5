// Simulated raw frames decoded with the driver's formulas: with every error
// off they give back the true distance; with one error on, the decoded error
// follows that error's model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "math/vx_math_lut.h"
#include "sim_decode.h"
#include "sim_sensor.h"

using namespace kavro_sim;

namespace {

constexpr int W = 320, H = 240, N = W * H;

// What the decoder's own arithmetic allows with exact samples: the table
// arctangent is off by up to 1.8 phase units (0.7 mm at 12 MHz), and the
// distance is truncated to whole mm, which loses 0 ... 1 mm (0.5 on average).
constexpr double k_trunc_bias_mm = -0.5;
constexpr double k_arith_mm = 1.2;

// Worst case of rounding every sample to an integer: the phase vector moves by
// at most 0.707 DN per unit of amplitude (four samples: error up to 1.41
// against length 2a; two samples: 0.707 against a).
double quant_bound_mm(double a, uint32_t range)
{
    double s = a > 0.7072 ? 0.7072 / a : 1.0;
    return std::asin(s) * range / (2 * M_PI);
}

scene builtin(const char* name)
{
    scene sc;
    EXPECT_TRUE(scene_builtin(name, &sc)) << name;
    return sc;
}

struct decoded {
    std::vector<uint16_t> dist, gray;
};

decoded decode(const frame& f, bool use_temps = true)
{
    sim_decode::params p;
    if (use_temps) {
        p.temp_cb = f.temp_cb;
        p.temp_ib = f.temp_ib;
    }
    decoded d;
    sim_decode::decode(f.raw, f.width, f.height, f.format == 4 ? 1 : 4, p, &d.dist, &d.gray);
    return d;
}

bool decodable(uint16_t d) { return d != 65500; }

// Per-pixel check that decoded - truth - expected(p) stays inside the
// arithmetic and quantisation bound; returns the mean residual and the
// largest |residual + 0.5| left after the pixel's rounding bound.
// The mean is weighted by 1 / bound^2, so that faint pixels, whose rounding
// error is large and phase-dependent, do not drown the strong ones.
struct residual_stats {
    int checked = 0, outside = 0;
    double mean = 0, worst_mm = 0;
};

residual_stats check_residual(const camera& cam, const frame& f, const decoded& d,
                              const std::function<double(int)>& expected)
{
    residual_stats st;
    double wsum = 0;
    for (int p = 0; p < N; ++p) {
        if (f.truth_mm[p] <= 0 || !decodable(d.dist[p]))
            continue;
        double r = d.dist[p] - f.truth_mm[p] - expected(p);
        // Wrap into (-range/2, range/2]: the decoder folds distances into one range.
        if (r > cam.range() / 2.0)
            r -= cam.range();
        if (r < -(cam.range() / 2.0))
            r += cam.range();
        double lim = k_arith_mm + quant_bound_mm(cam.amplitude(p), cam.range());
        st.checked++;
        double wgt = 1.0 / (lim * lim);
        st.mean += wgt * r;
        wsum += wgt;
        st.worst_mm = std::max(st.worst_mm, std::fabs(r - k_trunc_bias_mm) - (lim - k_arith_mm));
        if (std::fabs(r - k_trunc_bias_mm) > lim)
            st.outside++;
    }
    if (wsum > 0)
        st.mean /= wsum;
    return st;
}

}  // namespace

// The test decoder's arithmetic is the library's: same arctangent table, and
// the integer arctangent's documented values.
TEST(SimRoundTrip, TestDecoderMatchesLibraryArithmetic)
{
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i)
        ASSERT_EQ(sim_decode::atan_lut_entry(i), g_atan2_LUT[i]) << i;
    EXPECT_EQ(sim_decode::atan2_i32(1, 1), 20480);
    EXPECT_EQ(sim_decode::atan2_i32(1, -1), 28672);
    EXPECT_EQ(sim_decode::atan2_i32(-1, -1), 4096);
    EXPECT_EQ(sim_decode::atan2_i32(0, -5), 0);
    EXPECT_EQ(sim_decode::atan2_i32(0, 0), 16384);
    EXPECT_EQ(sim_decode::range_mm(12000000), 12491u);
}

// Every built-in scene, ideal sensor, four-sample frames: the decoded
// distance is the true distance on every decodable pixel, to within the
// decoder's arithmetic and 12-bit sample rounding. Stairs checks the row
// order (every band of rows has its own depth), room and edges the lens.
TEST(SimRoundTrip, IdealSensorDecodesToTruth)
{
    for (const char* name : {"wall", "room", "stairs", "edges"}) {
        SCOPED_TRACE(name);
        camera cam(builtin(name), sensor_cfg{});
        frame f;
        cam.render(0, &f);
        ASSERT_EQ(f.raw.size(), (size_t)N * 4);
        // Without the warm-up the sensor reports the ambient temperature,
        // whose drift the decoder's compensation takes out.
        EXPECT_EQ(f.temp_cb, 250);
        EXPECT_EQ(f.temp_ib, 250);
        decoded d = decode(f);
        residual_stats st = check_residual(cam, f, d, [](int) { return 0.0; });
        EXPECT_GT(st.checked, N * 9 / 10);
        EXPECT_EQ(st.outside, 0);
        EXPECT_NEAR(st.mean, k_trunc_bias_mm, 0.3);
        std::printf("[ figures ] %-6s ideal: %d px, mean error %+.3f mm, worst |err+0.5| beyond rounding %.2f mm\n",
                    name, st.checked, st.mean, st.worst_mm);
    }
}

// Where the signal is strong, sample rounding no longer matters and the
// error is the decoder's arithmetic alone.
TEST(SimRoundTrip, StrongSignalWithinDecoderArithmetic)
{
    sensor_cfg cfg;
    cfg.intg_us = 2000;  // wall centre near 1900 DN
    camera cam(builtin("wall"), cfg);
    frame f;
    cam.render(0, &f);
    decoded d = decode(f);
    int strong = 0;
    double lo = 1e9, hi = -1e9;
    for (int p = 0; p < N; ++p) {
        if (cam.amplitude(p) < 1500 || !decodable(d.dist[p]))
            continue;
        strong++;
        double e = d.dist[p] - f.truth_mm[p];
        lo = std::min(lo, e);
        hi = std::max(hi, e);
    }
    ASSERT_GT(strong, 1000);
    EXPECT_GE(lo, -2.0);
    EXPECT_LE(hi, 1.0);
    std::printf("[ figures ] wall a>=1500 (%d px): error %.2f ... %.2f mm\n", strong, lo, hi);
}

// Format 4 holds one sample per pixel; the decoder pairs each pixel with the
// one two sensor rows further, i.e. the next image row. On a wall the result
// is the truth within the rounding bound plus the depth step between rows.
TEST(SimRoundTrip, Format4RowPairsDecodeToTruth)
{
    sensor_cfg cfg;
    cfg.format = 4;
    camera cam(builtin("wall"), cfg);
    frame f;
    cam.render(0, &f);
    ASSERT_EQ(f.dcs_cnt, 1);
    ASSERT_EQ(f.raw.size(), (size_t)N);
    decoded d = decode(f);
    int checked = 0, outside = 0;
    for (int y = 1; y < H - 1; ++y) {
        for (int x = 0; x < W; ++x) {
            int p = y * W + x;
            if (!decodable(d.dist[p]))
                continue;
            double step = std::max(std::fabs(f.truth_mm[p] - f.truth_mm[p - W]),
                                   std::fabs(f.truth_mm[p] - f.truth_mm[p + W]));
            double a = std::min({cam.amplitude(p), cam.amplitude(p - W), cam.amplitude(p + W)});
            // The two samples of a pair come from pixels of different
            // amplitude a1, a2: atan2(a2 sin phi, a1 cos phi) is off by up to
            // |a2 / a1 - 1| / 2 radians, depending on the phase.
            double ratio = std::max(std::fabs(cam.amplitude(p - W) / cam.amplitude(p) - 1.0),
                                    std::fabs(cam.amplitude(p + W) / cam.amplitude(p) - 1.0));
            double mismatch = 0.5 * ratio * cam.range() / (2 * M_PI);
            double lim = k_arith_mm + 0.5 + quant_bound_mm(a, cam.range()) + step + mismatch;
            checked++;
            if (std::fabs(d.dist[p] - f.truth_mm[p] - k_trunc_bias_mm) > lim)
                outside++;
        }
    }
    EXPECT_GT(checked, N * 9 / 10);
    EXPECT_EQ(outside, 0);
}

// One deterministic error at a time: the decoded error is that error's model.
TEST(SimErrors, DeterministicErrorsFollowTheirModel)
{
    struct error_case {
        const char* name;
        std::function<void(sensor_cfg&)> set;
        std::function<double(const camera&, int)> expected;
    };
    const error_case cases[] = {
        {"fpn", [](sensor_cfg& c) { c.err.fpn = true; },
         [](const camera& cam, int p) { return (double)cam.fpn_mm()[p]; }},
        {"wiggle", [](sensor_cfg& c) { c.err.wiggle = true; },
         [](const camera& cam, int p) {
             return cam.wiggle_mm(cam.truth_mm()[p] + cam.cfg().zero_offset_mm);
         }},
        {"fpn+wiggle",
         [](sensor_cfg& c) {
             c.err.fpn = true;
             c.err.wiggle = true;
         },
         [](const camera& cam, int p) {
             double d = cam.truth_mm()[p] + cam.cfg().zero_offset_mm + cam.fpn_mm()[p];
             return cam.fpn_mm()[p] + cam.wiggle_mm(d);
         }},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_cfg cfg;
        cfg.seed = 7;
        c.set(cfg);
        camera cam(builtin("stairs"), cfg);
        frame f;
        cam.render(0, &f);
        decoded d = decode(f);
        residual_stats st = check_residual(cam, f, d, [&](int p) { return c.expected(cam, p); });
        EXPECT_GT(st.checked, N * 9 / 10);
        EXPECT_EQ(st.outside, 0);
        // The error really is there: the raw error is far from zero somewhere.
        double peak = 0;
        for (int p = 0; p < N; ++p)
            peak = std::max(peak, std::fabs(c.expected(cam, p)));
        EXPECT_GT(peak, 8.0);
        std::printf("[ figures ] %-10s model peak %.1f mm, residual mean %+.3f mm, worst beyond rounding %.2f mm\n",
                    c.name, peak, st.mean, st.worst_mm);
    }
}

// The fixed pattern has the configured smooth size and random spread.
TEST(SimErrors, FixedPatternStatistics)
{
    sensor_cfg cfg;
    cfg.err.fpn = true;
    cfg.fpn_smooth_mm = 0;
    cfg.fpn_random_mm = 4;
    camera cam(builtin("wall"), cfg);
    double s = 0, s2 = 0;
    for (float v : cam.fpn_mm()) {
        s += v;
        s2 += (double)v * v;
    }
    double mean = s / N, sd = std::sqrt(s2 / N - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.1);
    EXPECT_NEAR(sd, 4.0, 0.1);
    // Same seed, same sensor; another seed, another sensor.
    camera again(builtin("wall"), cfg);
    EXPECT_EQ(again.fpn_mm(), cam.fpn_mm());
    cfg.seed = 2;
    camera other(builtin("wall"), cfg);
    EXPECT_NE(other.fpn_mm(), cam.fpn_mm());
}

// Temperature drift: the raw phase moves by 13.78 mm per degC of the sensor
// and 1.183 mm per degC of the IB temperature; the reported temperatures let
// the decoder take it out again.
TEST(SimErrors, TemperatureDriftAndCompensation)
{
    sensor_cfg cfg;
    cfg.err.drift = true;
    cfg.warmup_tau_s = 60;
    camera cam(builtin("wall"), cfg);

    // Warm-up: rising from ambient towards ambient + rise, inside the range
    // the driver accepts as plausible (IB within 60 degC of the sensor).
    int16_t cb0, ib0, cb1, ib1, cb_end, ib_end;
    cam.temperatures(0, &cb0, &ib0);
    cam.temperatures(30 * 60, &cb1, &ib1);
    cam.temperatures(30 * 3600, &cb_end, &ib_end);
    EXPECT_EQ(cb0, 250);
    EXPECT_EQ(ib0, 250);
    EXPECT_GT(cb1, cb0 + 100);
    EXPECT_LT(cb1, cb_end);
    EXPECT_EQ(cb_end, 450);
    EXPECT_EQ(ib_end, 370);
    for (uint32_t i = 0; i < 30 * 600; i += 300) {
        int16_t cb, ib, cbn, ibn;
        cam.temperatures(i, &cb, &ib);
        cam.temperatures(i + 300, &cbn, &ibn);
        EXPECT_GE(cbn, cb);
        EXPECT_GE(ibn, ib);
        EXPECT_LE(std::abs(cb - ib), 600);
    }

    frame cold, warm;
    cam.render(0, &cold);
    cam.render(30 * 60, &warm);
    ASSERT_NE(cold.temp_cb, warm.temp_cb);
    for (const frame* f : {&cold, &warm}) {
        // Without the correction the error is the drift of the reported temperatures.
        decoded raw = decode(*f, false);
        const double drift = 13.78 * f->temp_cb / 10.0 + 1.183 * f->temp_ib / 10.0;
        residual_stats st = check_residual(cam, *f, raw, [&](int) { return drift; });
        EXPECT_EQ(st.outside, 0);
        EXPECT_NEAR(st.mean, k_trunc_bias_mm, 0.3);
        // With it, the truth again (the decoder rounds its correction to 1 mm).
        decoded comp = decode(*f, true);
        residual_stats sc = check_residual(cam, *f, comp, [](int) { return 0.0; });
        EXPECT_NEAR(sc.mean, k_trunc_bias_mm, 0.8);
        std::printf("[ figures ] drift at cb %.1f ib %.1f degC: model %.2f mm, uncorrected mean %.2f mm, "
                    "corrected mean %+.2f mm\n",
                    f->temp_cb / 10.0, f->temp_ib / 10.0, drift, drift + st.mean - k_trunc_bias_mm, sc.mean);
    }
    // Between the two frames the uncorrected distance moves by the drift of
    // the temperature change.
    decoded a = decode(cold, false), b = decode(warm, false);
    double diff = 0;
    int cnt = 0;
    for (int p = 0; p < N; ++p) {
        if (decodable(a.dist[p]) && decodable(b.dist[p])) {
            diff += (double)b.dist[p] - a.dist[p];
            cnt++;
        }
    }
    double want = 13.78 * (warm.temp_cb - cold.temp_cb) / 10.0 + 1.183 * (warm.temp_ib - cold.temp_ib) / 10.0;
    EXPECT_NEAR(diff / cnt, want, 0.3);
    std::printf("[ figures ] warm-up %.1f -> %.1f degC: uncorrected distance moved %.2f mm, model %.2f mm\n",
                cold.temp_cb / 10.0, warm.temp_cb / 10.0, diff / cnt, want);

    // A sensor that drifts more than the nominal coefficient leaves the
    // difference after correction.
    cfg.drift_cb_mm = 15.0;
    camera hot(builtin("wall"), cfg);
    frame fh;
    hot.render(30 * 3600, &fh);
    residual_stats sh = check_residual(hot, fh, decode(fh, true), [](int) { return 0.0; });
    EXPECT_NEAR(sh.mean - k_trunc_bias_mm, (15.0 - 13.78) * fh.temp_cb / 10.0, 0.8);
}

// Noise: per-pixel standard deviation over frames against the model, in
// bands of amplitude (noise grows as amplitude falls) and with ambient light.
TEST(SimErrors, NoiseMatchesModel)
{
    struct noise_case {
        const char* name;
        bool ambient;
        int format;
    };
    const noise_case cases[] = {{"shot", false, 2}, {"shot+ambient", true, 2}, {"shot fmt4", false, 4}};
    for (const noise_case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_cfg cfg;
        cfg.err.noise = true;
        cfg.err.ambient = c.ambient;
        cfg.ambient_dn = 1500;
        cfg.format = c.format;
        camera cam(builtin("wall"), cfg);
        const int frames = 48;
        std::vector<double> s(N, 0), s2(N, 0);
        std::vector<int> cnt(N, 0);
        frame f;
        for (int i = 0; i < frames; ++i) {
            cam.render((uint32_t)i, &f);
            decoded d = decode(f);
            for (int p = 0; p < N; ++p) {
                if (!decodable(d.dist[p]))
                    continue;
                s[p] += d.dist[p];
                s2[p] += (double)d.dist[p] * d.dist[p];
                cnt[p]++;
            }
        }
        // Bands of predicted sigma; in each, the mean measured variance
        // against the mean predicted one (1 mm truncation adds 1/12 mm^2).
        const double edges[] = {0.0, 4.0, 8.0, 16.0, 64.0};
        for (int b = 0; b < 4; ++b) {
            double meas = 0, pred = 0;
            int px = 0;
            for (int y = 4; y < H - 4; ++y) {
                for (int x = 4; x < W - 4; ++x) {
                    int p = y * W + x;
                    if (cnt[p] != frames)
                        continue;
                    // Format 4 pairs each pixel with the next row away from
                    // the middle; the weaker of the two sets the noise.
                    double a = cam.amplitude(p);
                    if (c.format == 4)
                        a = std::min(a, (double)cam.amplitude(y < H / 2 ? p - W : p + W));
                    double sp = cam.dist_sigma_mm(a, cam.ambient(p));
                    if (sp < edges[b] || sp >= edges[b + 1])
                        continue;
                    double m = s[p] / frames;
                    meas += (s2[p] - frames * m * m) / (frames - 1);
                    pred += sp * sp + 1.0 / 12;
                    px++;
                }
            }
            if (px < 500)
                continue;
            double ratio = std::sqrt(meas / pred);
            EXPECT_NEAR(ratio, 1.0, 0.1) << "sigma band " << edges[b] << ".." << edges[b + 1];
            std::printf("[ figures ] %-12s sigma %4.0f..%-4.0f mm: %6d px, measured/model std %.3f\n",
                        c.name, edges[b], edges[b + 1], px, ratio);
        }
    }
}

// Amplitude (the decoder's gray value) against the physical model: distance
// squared, reflectivity, incidence and integration time, on one quad seen
// straight on at the principal point.
TEST(SimSignal, AmplitudeFollowsPhysics)
{
    struct amp_case {
        const char* name;
        double dist_mm, refl, tilt_deg, intg_us, want_ratio;
    };
    const amp_case cases[] = {
        {"reference", 1000, 0.8, 0, 1000, 1.0},     {"twice as far", 2000, 0.8, 0, 1000, 0.25},
        {"half reflectivity", 1000, 0.4, 0, 1000, 0.5}, {"60 deg incidence", 1000, 0.8, 60, 1000, 0.5},
        {"half integration", 1000, 0.8, 0, 500, 0.5},    {"1.5x integration", 1000, 0.8, 0, 1500, 1.5},
    };
    lens ln = lens_default();
    const int cx = (int)std::lround(ln.cx), cy = (int)std::lround(ln.cy);
    double ref = 0;
    for (const amp_case& c : cases) {
        SCOPED_TRACE(c.name);
        double t = c.tilt_deg * M_PI / 180;
        scene sc;
        sc.prims.push_back(make_quad({0, 0, c.dist_mm}, {5000 * std::cos(t), 0, 5000 * std::sin(t)},
                                     {0, 5000, 0}, c.refl));
        sensor_cfg cfg;
        cfg.intg_us = c.intg_us;
        camera cam(sc, cfg);
        frame f;
        cam.render(0, &f);
        decoded d = decode(f);
        const int p = cy * W + cx;
        double g = 0;  // mean gray of a 3x3 patch
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                g += d.gray[p + dy * W + dx] / 9.0;
        if (ref == 0)
            ref = g;
        EXPECT_NEAR(g / ref, c.want_ratio, 0.02 * c.want_ratio + 0.01);
        EXPECT_NEAR(g, cam.amplitude(p), 0.02 * cam.amplitude(p) + 1);
    }
}

// Saturation and empty samples decode as invalid (65500), as on the camera.
TEST(SimSignal, SaturatedAndEmptyPixelsAreInvalid)
{
    // Too close: the signal swing exceeds the 12-bit range, samples clip.
    scene near;
    near.prims.push_back(make_quad({0, 0, 250}, {5000, 0, 0}, {0, 5000, 0}, 0.9));
    camera c1(near, sensor_cfg{});
    frame f;
    c1.render(0, &f);
    decoded d = decode(f);
    lens ln = lens_default();
    int centre = (int)std::lround(ln.cy) * W + (int)std::lround(ln.cx);
    EXPECT_EQ(d.dist[centre], 65500);
    EXPECT_EQ(d.gray[centre], 0);

    // Strong ambient light fills the well: every sample of the pixel is 4095.
    sensor_cfg cfg;
    cfg.err.ambient = cfg.err.saturation = true;
    cfg.ambient_dn = 8000;
    camera c2(builtin("wall"), cfg);
    c2.render(0, &f);
    int sat = 0;
    for (int p = 0; p < N; ++p)
        sat += f.raw[p] == 4095 && f.raw[N + p] == 4095 && f.raw[2 * N + p] == 4095 && f.raw[3 * N + p] == 4095;
    EXPECT_GT(sat, N / 4);
    d = decode(f);
    EXPECT_EQ(d.dist[centre], 65500);
    // Without the saturation model the same light only adds noise-free offset.
    cfg.err.saturation = false;
    camera c3(builtin("wall"), cfg);
    c3.render(0, &f);
    EXPECT_NE(decode(f).dist[centre], 65500);

    // Dead pixels: all samples 0, about the configured share of the sensor.
    sensor_cfg dc;
    dc.err.empty = true;
    dc.dead_fraction = 0.01;
    camera c4(builtin("wall"), dc);
    c4.render(0, &f);
    d = decode(f);
    int dead = 0, invalid = 0;
    for (int p = 0; p < N; ++p) {
        dead += c4.dead(p);
        invalid += d.dist[p] == 65500;
    }
    EXPECT_NEAR(dead, N * 0.01, N * 0.002);
    EXPECT_EQ(invalid, dead);
}

// Mixed pixels: with several rays per pixel, pixels on a depth edge decode to
// a distance between the two surfaces (flying pixels); without, none do.
TEST(SimErrors, MixedPixelsOnDepthEdges)
{
    for (bool mixed : {false, true}) {
        SCOPED_TRACE(mixed ? "mixed" : "single ray");
        sensor_cfg cfg;
        cfg.err.mixed = mixed;
        camera cam(builtin("edges"), cfg);
        frame f;
        cam.render(0, &f);
        decoded d = decode(f);
        int flying = 0, between = 0;
        for (int y = 1; y < H - 1; ++y) {
            for (int x = 1; x < W - 1; ++x) {
                int p = y * W + x;
                if (!decodable(d.dist[p]) || cam.amplitude(p) < 30)
                    continue;
                // Beyond what sample rounding explains at this amplitude.
                double e = d.dist[p] - f.truth_mm[p];
                if (std::fabs(e) < 20 + quant_bound_mm(cam.amplitude(p), cam.range()))
                    continue;
                flying++;
                float lo = 1e9f, hi = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        lo = std::min(lo, f.truth_mm[p + dy * W + dx]);
                        hi = std::max(hi, f.truth_mm[p + dy * W + dx]);
                    }
                between += d.dist[p] >= lo - 20 && d.dist[p] <= hi + 20;
            }
        }
        if (mixed) {
            EXPECT_GT(flying, 200);
            EXPECT_GT(between, flying * 95 / 100);
            std::printf("[ figures ] edges: %d flying pixels, %d between their neighbours\n", flying, between);
        } else {
            EXPECT_EQ(flying, 0);
        }
    }
}

// A second camera adds an error that changes from frame to frame.
TEST(SimErrors, InterferenceVariesPerFrame)
{
    for (bool on : {false, true}) {
        SCOPED_TRACE(on ? "interference" : "alone");
        sensor_cfg cfg;
        cfg.err.interference = on;
        camera cam(builtin("wall"), cfg);
        std::vector<double> means;
        frame f;
        for (uint32_t i = 0; i < 8; ++i) {
            cam.render(i, &f);
            residual_stats st = check_residual(cam, f, decode(f), [](int) { return 0.0; });
            means.push_back(st.mean);
        }
        auto mm = std::minmax_element(means.begin(), means.end());
        if (on)
            EXPECT_GT(*mm.second - *mm.first, 10.0);
        else
            EXPECT_LT(*mm.second - *mm.first, 0.01);
    }
}

// Same seed and index, same frame; the noise differs between frames and seeds.
TEST(SimSignal, FramesAreReproducible)
{
    sensor_errors all;
    ASSERT_TRUE(sensor_errors_parse("all", &all));
    sensor_cfg cfg;
    cfg.err = all;
    camera a(builtin("room"), cfg), b(builtin("room"), cfg);
    frame fa, fb, fc;
    a.render(5, &fa);
    b.render(5, &fb);
    a.render(6, &fc);
    EXPECT_EQ(fa.raw, fb.raw);
    EXPECT_NE(fa.raw, fc.raw);
    EXPECT_EQ(fa.truth_mm, fc.truth_mm);
    cfg.seed = 99;
    camera c(builtin("room"), cfg);
    c.render(5, &fc);
    EXPECT_NE(fa.raw, fc.raw);
}

TEST(SimSignal, ErrorListParsing)
{
    struct parse_case {
        const char* text;
        bool ok, fpn, drift, interference;
    };
    const parse_case cases[] = {
        {"none", true, false, false, false},
        {"all", true, true, true, true},
        {"all,-drift,-interference", true, true, false, false},
        {"fpn,drift", true, true, true, false},
        {"fpn,bogus", false, false, false, false},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.text);
        sensor_errors e;
        e.wiggle = true;  // untouched on failure, reset on success
        EXPECT_EQ(sensor_errors_parse(c.text, &e), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(e.wiggle);
            continue;
        }
        EXPECT_EQ(e.fpn, c.fpn);
        EXPECT_EQ(e.drift, c.drift);
        EXPECT_EQ(e.interference, c.interference);
    }
}
