// End to end through the public interface only: simulated recordings
// played by the replay transport, frames taken by the capture engine and
// decoded by the EPC driver into distances, gray images and point clouds.
// An ideal sensor must decode to the ground truth; the filter switches must
// show their effect; with the sensor's error model on, the accuracy of the
// uncalibrated path is measured and printed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kavro.h"
#include "per_process_name.h"
#include "sim_record.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kFrameBytes = 8 * N;
constexpr float kFiltered = 65.3f;  // the driver's 65300 and 65500 codes, in metres

std::vector<std::string> g_files;

// Records `frames` frames of `scene` with the error set `errors` and
// returns the path of the raw recording.
// One frame more than asked is recorded: the replay ends the capture at the
// end of the file, possibly before the last frame is taken.
std::string record(const std::string &scene, int frames, const char *errors, uint64_t seed = 1,
                   double intg_us = 1000, int format = 2) {
    kavro_sim::record_opts o;
    o.scene = scene;
    o.frames = frames + 1;
    o.cfg.seed = seed;
    o.cfg.intg_us = intg_us;
    o.cfg.format = format;
    EXPECT_TRUE(kavro_sim::sensor_errors_parse(errors, &o.cfg.err));
    o.out = "e2e_" + std::to_string(::getpid()) + "_" + scene + "_" + errors + "_f" + std::to_string(format) + ".raw";
    for (char &c : o.out)
        if (c == ',') c = '_';
    std::string err;
    EXPECT_TRUE(kavro_sim::record(o, &err)) << err;
    g_files.push_back(o.out);
    g_files.push_back(o.out + ".dist");
    g_files.push_back(o.out + ".meta");
    g_files.push_back(o.out + ".info");
    return o.out;
}

// The first truth frame of a recording, metres (0 where no surface).
std::vector<float> truth_of(const std::string &raw_path) {
    std::vector<float> t(N);
    const int fd = ::open((raw_path + ".dist").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    int w = 0, h = 0;
    EXPECT_EQ(kavro_frame_load_distance(fd, t.data(), N, &w, &h), N);
    ::close(fd);
    return t;
}

struct raw_frame {
    std::vector<uint8_t> data;
    kavro_frame_info_t info;
};

class EpcDecodeE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_epc_decode_e2e", ".log");
        std::remove(log.c_str());
        kavro_init(log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_WARN, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() {
        kavro_uninit();
        for (const auto &f : g_files) std::remove(f.c_str());
    }
    void TearDown() override {
        if (dev_) kavro_dev_close(dev_);
    }

    // Open the recording and capture up to `n` frames of it.
    std::vector<raw_frame> capture(const std::string &path, int n) {
        dev_ = kavro_dev_open_replay(path.c_str());
        EXPECT_NE(dev_, nullptr);
        std::vector<raw_frame> out;
        if (!dev_) return out;
        EXPECT_TRUE(kavro_cap_set_frame_buffer(dev_, nullptr, 16 * 307200));
        // Paced replay, so the capture is still running while frames are taken.
        kavro_param_item_t fps{};
        fps.param_id = PARAM_FRAME_RATE;
        fps.param_val_len = 4;
        fps.param_val.frame_rate.fps = 50;
        EXPECT_TRUE(kavro_param_batch_set(dev_, &fps, 1));
        EXPECT_TRUE(kavro_cap_start(dev_));
        while (static_cast<int>(out.size()) < n) {
            raw_frame f;
            f.data.resize(kFrameBytes);
            kavro_frame_t fr{};
            const int got = kavro_cap_get_frames(dev_, 1, f.data.data(), kFrameBytes, &fr);
            if (got != 1) break;
            f.info = fr.frame_info;
            out.push_back(std::move(f));
        }
        kavro_cap_stop(dev_);
        return out;
    }
    std::vector<float> distance(raw_frame &f) {
        std::vector<float> d(N);
        EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, f.data.data(), static_cast<int>(f.data.size()), &f.info),
                  N);
        return d;
    }
    std::vector<float> gray(raw_frame &f) {
        std::vector<float> g(N);
        EXPECT_EQ(kavro_frame_get_gray(dev_, g.data(), N, f.data.data(), static_cast<int>(f.data.size()), &f.info), N);
        return g;
    }
    int enable(kavro_filter_id_e id, kavro_filter_args_u a = {}) { return kavro_filter_enable(dev_, id, &a, sizeof a); }

    kavro_dev_t *dev_ = nullptr;
};

bool valid(float d) { return d > 0 && d < 60; }

// An ideal sensor: every valid pixel decodes to the truth within the
// decoder's own arithmetic: truncation to mm (-1 ... 0), the table
// arctangent (about 0.7 mm) and the rounding of the samples to integers,
// which moves the phase by at most sqrt(2) / (2a) radians for amplitude a,
// 1405 / a mm at 12 MHz. Where the signal is strong (a >= 1500) that leaves
// the 2 mm of the arithmetic alone. Stairs checks the row order (each band
// of rows has its own depth).
TEST_F(EpcDecodeE2E, IdealSensorDecodesToTheTruth) {
    for (const char *scene : {"wall", "stairs"}) {
        SCOPED_TRACE(scene);
        const std::string path = record(scene, 1, "none", 1, 2000);
        const auto truth = truth_of(path);
        auto frames = capture(path, 1);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].info.width, 320u);
        EXPECT_EQ(frames[0].info.frame_format, 2);
        ASSERT_EQ(enable(KAVRO_FILTER_ID_MEDIAN), 1);  // kernel size 0: chain off
        const auto d = distance(frames[0]);
        const auto g = gray(frames[0]);
        int checked = 0, surface = 0, strong = 0, outside = 0;
        double worst_strong = 0;
        for (int i = 0; i < N; ++i) {
            if (truth[i] <= 0) continue;
            ++surface;
            if (!valid(d[i])) continue;
            ++checked;
            const double err = std::fabs(d[i] - truth[i]) * 1000.0;
            if (err > 2.0 + 1405.0 / g[i]) ++outside;
            if (g[i] >= 1500) {
                ++strong;
                worst_strong = std::max(worst_strong, err);
            }
        }
        std::printf("%s: %d of %d pixels valid, %d strong, worst strong error %.2f mm\n", scene, checked, surface,
                    strong, worst_strong);
        EXPECT_EQ(outside, 0);
        EXPECT_LE(worst_strong, 2.0);
        EXPECT_GT(strong, 1000);
        EXPECT_GT(checked, surface / 2);
        kavro_dev_close(dev_);
        dev_ = nullptr;
    }
}

// The pixel at the principal point lies on the optical axis.
TEST_F(EpcDecodeE2E, PrincipalPointPixelIsOnTheAxis) {
    const std::string path = record("wall", 1, "none");
    auto frames = capture(path, 1);
    ASSERT_EQ(frames.size(), 1u);
    const auto d = distance(frames[0]);
    const int cx = 160, cy = 118;
    const float dc = d[cy * W + cx];
    ASSERT_TRUE(valid(dc));
    std::vector<float> one(N, 0.0f);
    one[cy * W + cx] = dc;
    const kavro_camera_para_t cam = {static_cast<float>(cx), static_cast<float>(cy), 210.783f, 204.817f, 1.0f};
    float pcl[6] = {};
    ASSERT_EQ(kavro_frame_get_pcl(dev_, pcl, 6, one.data(), N, W, H, &cam), 1);
    EXPECT_EQ(pcl[0], 0.0f);
    EXPECT_EQ(pcl[1], 0.0f);
    EXPECT_EQ(pcl[2], dc);
    float xyzd[8] = {};
    ASSERT_EQ(kavro_frame_get_pcl_xyzd(dev_, xyzd, 8, one.data(), N, W, H, false, &cam), 1);
    EXPECT_EQ(xyzd[3], dc);

    // With the driver's lens: left of the principal point X < 0, above it Y < 0.
    std::vector<float> pcl_all(3 * N);
    const int pts = kavro_frame_get_pcl(dev_, pcl_all.data(), 3 * N, d.data(), N, W, H, nullptr);
    ASSERT_GT(pts, N / 2);
    EXPECT_LT(pcl_all[0], 0.0f);
    EXPECT_LT(pcl_all[1], 0.0f);
}

// Least squares: the k coefficients c minimising sum (row . c - y)^2 over
// the rows, by the normal equations and Gaussian elimination.
std::vector<double> lsq(const std::vector<std::vector<double>> &rows, const std::vector<double> &y) {
    const size_t k = rows[0].size();
    std::vector<std::vector<double>> m(k, std::vector<double>(k + 1, 0.0));
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t i = 0; i < k; ++i) {
            for (size_t j = 0; j < k; ++j) m[i][j] += rows[r][i] * rows[r][j];
            m[i][k] += rows[r][i] * y[r];
        }
    for (size_t i = 0; i < k; ++i) {
        size_t piv = i;
        for (size_t r = i + 1; r < k; ++r)
            if (std::fabs(m[r][i]) > std::fabs(m[piv][i])) piv = r;
        std::swap(m[i], m[piv]);
        for (size_t r = 0; r < k; ++r) {
            if (r == i) continue;
            const double f = m[r][i] / m[i][i];
            for (size_t j = i; j <= k; ++j) m[r][j] -= f * m[i][j];
        }
    }
    std::vector<double> c(k);
    for (size_t i = 0; i < k; ++i) c[i] = m[i][k] / m[i][i];
    return c;
}

// Least-squares plane z = a x + b y + c through the points; RMS of the
// residuals in mm, and c.
double plane_rms_mm(const std::vector<float> &p, int pts, double *c_out) {
    std::vector<std::vector<double>> rows;
    std::vector<double> z;
    for (int i = 0; i < pts; ++i) {
        rows.push_back({p[3 * i], p[3 * i + 1], 1.0});
        z.push_back(p[3 * i + 2]);
    }
    const auto c = lsq(rows, z);
    double e2 = 0;
    for (int i = 0; i < pts; ++i) {
        const double e = z[i] - (c[0] * rows[i][0] + c[1] * rows[i][1] + c[2]);
        e2 += e * e;
    }
    *c_out = c[2];
    return std::sqrt(e2 / pts) * 1000.0;
}

// A pinhole view of a wall at depth Z has radial distances with
// r^2 = Z^2 (1 + ((x - cx) / fx)^2 + ((y - cy) / fy)^2): a quadratic in x
// and y without cross term. Fits it to the valid pixels of d; returns the
// RMS of r in mm and the pinhole values (cx, cy, fx, fy, Z).
double pinhole_fit(const std::vector<float> &d, double out[5]) {
    std::vector<std::vector<double>> rows;
    std::vector<double> r2;
    std::vector<int> idx;
    for (int i = 0; i < N; ++i) {
        if (!valid(d[i])) continue;
        const double x = i % W, y = i / W;
        rows.push_back({x * x, x, y * y, y, 1.0});
        r2.push_back(static_cast<double>(d[i]) * d[i]);
        idx.push_back(i);
    }
    const auto c = lsq(rows, r2);
    double e2 = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
        double f = 0;
        for (int j = 0; j < 5; ++j) f += c[j] * rows[k][j];
        const double e = std::sqrt(std::max(f, 0.0)) - d[idx[k]];
        e2 += e * e;
    }
    const double cx = -c[1] / (2 * c[0]), cy = -c[3] / (2 * c[2]);
    const double z2 = c[4] - c[0] * cx * cx - c[2] * cy * cy;
    const double z = std::sqrt(z2);
    out[0] = cx;
    out[1] = cy;
    out[2] = z / std::sqrt(c[0]);
    out[3] = z / std::sqrt(c[2]);
    out[4] = z;
    return std::sqrt(e2 / rows.size()) * 1000.0;
}

// A flat wall at 1 m: the raw image is bent by the lens; once undistorted
// it is a pinhole view of a plane at 1 m, and the point cloud made with
// that pinhole's values is a plane at 1 m. (The undistortion widens the
// view, so its pinhole is not the lens record's: the values come from the
// image.)
TEST_F(EpcDecodeE2E, WallIsAPlaneAfterUndistortion) {
    const std::string path = record("wall", 1, "none");
    auto frames = capture(path, 1);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(enable(KAVRO_FILTER_ID_MEDIAN), 1);
    double raw_fit[5], und_fit[5];
    const double bent = pinhole_fit(distance(frames[0]), raw_fit);

    ASSERT_EQ(enable(KAVRO_FILTER_ID_LEN_CALIB), 1);
    const auto und = distance(frames[0]);
    const double fit_rms = pinhole_fit(und, und_fit);
    EXPECT_LT(fit_rms, 5.0);
    EXPECT_NEAR(und_fit[4], 1.0, 0.005);
    EXPECT_GT(bent, 2 * fit_rms);

    const kavro_camera_para_t cam = {static_cast<float>(und_fit[0]), static_cast<float>(und_fit[1]),
                                     static_cast<float>(und_fit[2]), static_cast<float>(und_fit[3]), 1.0f};
    std::vector<float> pcl(3 * N);
    const int pts = kavro_frame_get_pcl(dev_, pcl.data(), 3 * N, und.data(), N, W, H, &cam);
    ASSERT_GT(pts, N / 2);
    double c = 0;
    const double rms = plane_rms_mm(pcl, pts, &c);
    std::printf("wall: pinhole fit RMS %.2f mm undistorted (f %.1f/%.1f, c %.1f/%.1f), %.2f mm raw; "
                "cloud plane RMS %.2f mm at %.4f m\n",
                fit_rms, und_fit[2], und_fit[3], und_fit[0], und_fit[1], bent, rms, c);
    EXPECT_LT(rms, 5.0);
    EXPECT_NEAR(c, 1.0, 0.005);

    // Without caller values the driver gives those of the undistorted image:
    // the same plane, and its principal point is the one the image shows.
    const int drv_pts = kavro_frame_get_pcl(dev_, pcl.data(), 3 * N, und.data(), N, W, H, nullptr);
    ASSERT_GT(drv_pts, N / 2);
    const double drv_rms = plane_rms_mm(pcl, drv_pts, &c);
    std::printf("wall: cloud with the driver's lens values: plane RMS %.2f mm at %.4f m\n", drv_rms, c);
    EXPECT_LT(drv_rms, 5.0);
    EXPECT_NEAR(c, 1.0, 0.005);
    // Points on either side of the principal point: X changes sign between
    // the columns around it, Y between the rows around it, and the pixel
    // nearest to it lies within half a pixel's width of the axis.
    std::vector<float> one(N, 0.0f);
    const int px = static_cast<int>(std::lround(und_fit[0])), py = static_cast<int>(std::lround(und_fit[1]));
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) one[(py + dy) * W + px + dx] = und[(py + dy) * W + px + dx];
    float p9[27];
    ASSERT_EQ(kavro_frame_get_pcl(dev_, p9, 27, one.data(), N, W, H, nullptr), 9);
    EXPECT_LT(p9[3 * 3 + 0], 0.0f);  // left of the centre pixel
    EXPECT_GT(p9[3 * 5 + 0], 0.0f);  // right of it
    EXPECT_LT(p9[3 * 1 + 1], 0.0f);  // above
    EXPECT_GT(p9[3 * 7 + 1], 0.0f);  // below
    EXPECT_LT(std::fabs(p9[3 * 4 + 0]), 1.0f * p9[3 * 4 + 2] / static_cast<float>(und_fit[2]));
    EXPECT_LT(std::fabs(p9[3 * 4 + 1]), 1.0f * p9[3 * 4 + 2] / static_cast<float>(und_fit[3]));
}

// A recording of one-image frames (row pairs of two phase samples) is
// replayed in that format and decodes; on a flat wall the pairing of rows
// two apart costs little.
TEST_F(EpcDecodeE2E, OneImageRecordingDecodes) {
    const std::string path = record("wall", 1, "none", 1, 2000, 4);
    const auto truth = truth_of(path);
    auto frames = capture(path, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.frame_format, 4);
    EXPECT_EQ(frames[0].info.frame_size, static_cast<uint32_t>(2 * N));
    ASSERT_EQ(enable(KAVRO_FILTER_ID_MEDIAN), 1);
    const auto d = distance(frames[0]);
    std::vector<double> err;
    for (int i = 0; i < N; ++i)
        if (truth[i] > 0 && valid(d[i])) err.push_back(std::fabs(d[i] - truth[i]) * 1000.0);
    ASSERT_GT(err.size(), static_cast<size_t>(N / 2));
    std::sort(err.begin(), err.end());
    std::printf("one-image wall: %zu valid, median error %.2f mm, p95 %.2f mm\n", err.size(), err[err.size() / 2],
                err[err.size() * 95 / 100]);
    EXPECT_LT(err[err.size() / 2], 10.0);
}

// Pixels the decoder rejects or finds saturated hold exactly the public
// codes in the float image, through the default filter chain (median,
// recursive bilateral, flying pixel, hole filling, range filter) with and
// without undistortion: a room with every sensor error, so that the
// amplitude filter and empty pixels leave rejected codes next to valid
// pixels; with a long integration time and the amplitude filter off (which
// would reject them too), whole saturated regions reach the chain.
TEST_F(EpcDecodeE2E, InvalidPixelsHoldExactlyTheCodes) {
    struct Case {
        const char *what;
        double intg_us;
        bool amp_filter;
    };
    const Case cases[] = {{"default switches", 3000, true}, {"saturating, amplitude filter off", 9000, false}};
    for (const Case &c : cases) {
        const std::string path = record("room", 2, "all,-drift,-interference", 3, c.intg_us);
        auto frames = capture(path, 2);
        ASSERT_EQ(frames.size(), 2u);
        if (!c.amp_filter) {
            ASSERT_EQ(kavro_filter_disable(dev_, KAVRO_FILTER_ID_AMP), 1);
        }
        for (bool undistort : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (undistort ? ", undistorted" : ", raw geometry"));
            if (undistort) {
                ASSERT_EQ(enable(KAVRO_FILTER_ID_LEN_CALIB), 1);
            }
            for (raw_frame &f : frames) {
                const auto d = distance(f);
                int rejected = 0, saturated = 0, valid_px = 0, other = 0;
                float first_other = 0;
                for (float v : d) {
                    if (v == KAVRO_DIST_REJECTED) {
                        ++rejected;
                    } else if (v == KAVRO_DIST_SATURATED) {
                        ++saturated;
                    } else if (valid(v)) {
                        ++valid_px;
                    } else if (other++ == 0) {
                        first_other = v;
                    }
                }
                std::printf("%s%s: %d valid, %d rejected, %d saturated, %d other\n", c.what,
                            undistort ? ", undistorted" : "", valid_px, rejected, saturated, other);
                EXPECT_EQ(other, 0) << "e.g. " << first_other;
                EXPECT_GT(rejected, 100);
                if (!c.amp_filter) {
                    EXPECT_GT(saturated, 100);
                }
                EXPECT_GT(valid_px, N / 2);
            }
        }
        kavro_dev_close(dev_);
        dev_ = nullptr;
    }
}

// Each filter switch, as the application sees it.
TEST_F(EpcDecodeE2E, FilterSwitchesShowTheirEffect) {
    const std::string path = record("room", 2, "noise", 1, 4000);
    auto frames = capture(path, 2);
    ASSERT_EQ(frames.size(), 2u);
    raw_frame &f = frames[0];
    const auto with_chain = distance(f);
    ASSERT_EQ(enable(KAVRO_FILTER_ID_MEDIAN), 1);
    const auto plain = distance(f);
    EXPECT_NE(with_chain, plain);

    // The chain smooths the noise: neighbours differ less.
    auto roughness = [](const std::vector<float> &d) {
        double s = 0;
        int n = 0;
        for (int i = 1; i < N; ++i)
            if (valid(d[i]) && valid(d[i - 1]) && std::fabs(d[i] - d[i - 1]) < 0.05) {
                s += std::fabs(d[i] - d[i - 1]);
                ++n;
            }
        return s / n;
    };
    EXPECT_LT(roughness(with_chain), roughness(plain));

    // User offset: every valid distance moves by 0.1 m.
    kavro_filter_args_u a{};
    a.offset_mm = 100;
    ASSERT_EQ(enable(KAVRO_FILTER_ID_OFFSET, a), 1);
    const auto shifted = distance(f);
    int moved = 0;
    for (int i = 0; i < N; ++i)
        if (valid(plain[i]) && valid(shifted[i]) && plain[i] < 12.0f) {
            EXPECT_NEAR(shifted[i] - plain[i], 0.1f, 1e-4f) << i;
            if (++moved > 2000) break;
        }
    EXPECT_GT(moved, 2000);
    ASSERT_EQ(kavro_filter_disable(dev_, KAVRO_FILTER_ID_OFFSET), 1);
    EXPECT_EQ(distance(f), plain);

    // Minimum amplitude with hysteresis 10: pixels darker than the new
    // minimum less 10 are removed, those at or above it kept; in between a
    // pixel keeps the verdict of the previous frame (minimum 30: kept).
    const auto g = gray(f);
    a = {};
    a.min_amp = 150;
    ASSERT_EQ(enable(KAVRO_FILTER_ID_AMP, a), 1);
    const auto gated = distance(f);
    int removed = 0, kept = 0, held = 0;
    for (int i = 0; i < N; ++i) {
        if (!valid(plain[i])) continue;
        if (g[i] + 10 < 150) {
            EXPECT_FLOAT_EQ(gated[i], kFiltered) << i;
            ++removed;
        } else if (g[i] < 150) {
            EXPECT_EQ(gated[i], plain[i]) << i;
            ++held;
        } else if (g[i] <= 2048 - 150) {
            EXPECT_EQ(gated[i], plain[i]) << i;
            ++kept;
        }
    }
    EXPECT_GT(removed, 100);
    EXPECT_GT(held, 10);
    EXPECT_GT(kept, 100);
    ASSERT_EQ(kavro_filter_disable(dev_, KAVRO_FILTER_ID_AMP), 1);
    a = {};
    a.min_amp = 30;  // back to the default
    ASSERT_EQ(enable(KAVRO_FILTER_ID_AMP, a), 1);

    // Lens switch: the widened view has pixels that show no raw pixel: rejected.
    ASSERT_EQ(enable(KAVRO_FILTER_ID_LEN_CALIB), 1);
    const auto und = distance(f);
    EXPECT_GT(std::count(und.begin(), und.end(), KAVRO_DIST_REJECTED),
              std::count(plain.begin(), plain.end(), KAVRO_DIST_REJECTED) + 100);
    EXPECT_EQ(std::count(und.begin(), und.end(), 0.0f), 0);
    EXPECT_EQ(std::count(plain.begin(), plain.end(), 0.0f), 0);
    ASSERT_EQ(kavro_filter_disable(dev_, KAVRO_FILTER_ID_LEN_CALIB), 1);

    // No calibration is mounted: pixel calibration is refused and changes nothing.
    EXPECT_EQ(enable(KAVRO_FILTER_ID_PIXEL_CALIB), 0);
    EXPECT_EQ(distance(f), plain);

    EXPECT_EQ(enable(KAVRO_FILTER_ID_RESERVED), 0);
    EXPECT_EQ(enable(static_cast<kavro_filter_id_e>(11)), 0);
    EXPECT_EQ(kavro_filter_disable(dev_, static_cast<kavro_filter_id_e>(11)), 1);
    EXPECT_EQ(enable(KAVRO_FILTER_ID_TEMP_MONITOR), 1);

    // HDR: in sensor order rows r and r + 2 of every block of four carry the
    // same pixel; in image order that is image rows 119/118, 120/121, ...
    a = {};
    a.intg.intg_3d = 500;
    a.intg.intg_3dhdr = 100;
    ASSERT_EQ(enable(KAVRO_FILTER_ID_HDR, a), 1);
    const auto hdr = distance(f);
    const auto hdr_g = gray(f);
    for (int k = 0; k < H / 2; k += 2) {
        const int up0 = H / 2 - 1 - k, up1 = H / 2 - 2 - k, lo0 = H / 2 + k, lo1 = H / 2 + k + 1;
        for (int x = 0; x < W; x += 7) {
            ASSERT_EQ(hdr[up0 * W + x], hdr[up1 * W + x]) << "rows " << up0 << "/" << up1 << " x " << x;
            ASSERT_EQ(hdr[lo0 * W + x], hdr[lo1 * W + x]);
            ASSERT_EQ(hdr_g[up0 * W + x], hdr_g[up1 * W + x]);
            // The brighter of the pair wins.
            ASSERT_GE(hdr_g[up0 * W + x], std::min(g[up0 * W + x], g[up1 * W + x]));
        }
    }
    ASSERT_EQ(kavro_filter_disable(dev_, KAVRO_FILTER_ID_HDR), 1);
    const auto after = gray(f);
    EXPECT_NE(std::vector<float>(after.begin() + 118 * W, after.begin() + 119 * W),
              std::vector<float>(after.begin() + 119 * W, after.begin() + 120 * W));
}

// With the interference check on, a frame lit by a second camera is
// dropped (its distance call returns 0); clean frames pass.
TEST_F(EpcDecodeE2E, InterferenceCheckDropsLitFrames) {
    const std::string lit = record("wall", 1, "interference");
    auto frames = capture(lit, 1);
    ASSERT_EQ(frames.size(), 1u);
    std::vector<float> d(N);
    EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, frames[0].data.data(), kFrameBytes, &frames[0].info), N);
    ASSERT_EQ(enable(KAVRO_FILTER_ID_SYNC_DELAY), 1);
    EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, frames[0].data.data(), kFrameBytes, &frames[0].info), 0);
    kavro_dev_close(dev_);
    dev_ = nullptr;

    const std::string clean = record("wall", 1, "none");
    frames = capture(clean, 1);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(enable(KAVRO_FILTER_ID_SYNC_DELAY), 1);
    EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, frames[0].data.data(), kFrameBytes, &frames[0].info), N);
}

// Buffer bounds of the decoding calls.
TEST_F(EpcDecodeE2E, DecodingCallsCheckTheirBuffers) {
    const std::string path = record("wall", 1, "none");
    auto frames = capture(path, 1);
    ASSERT_EQ(frames.size(), 1u);
    raw_frame &f = frames[0];
    std::vector<float> d(N);
    EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N - 1, f.data.data(), kFrameBytes, &f.info), 0);
    EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, f.data.data(), kFrameBytes - 1, &f.info), 0);
    EXPECT_EQ(kavro_frame_get_gray(nullptr, d.data(), N, f.data.data(), kFrameBytes, &f.info), 0);

    // Point clouds stop when the output is full.
    const std::vector<float> ones(N, 1.0f);
    float pcl[8];
    EXPECT_EQ(kavro_frame_get_pcl(dev_, pcl, 8, ones.data(), N, W, H, nullptr), 2);
    EXPECT_EQ(kavro_frame_get_pcl_xyzd(dev_, pcl, 8, ones.data(), N, W, H, true, nullptr), 2);  // 8 floats hold two
    EXPECT_EQ(kavro_frame_get_pcl(nullptr, pcl, 8, ones.data(), N, W, H, nullptr), 0);
    // 0 and 60 m give no point, 59.9 does.
    const float edge[4] = {0.0f, 60.0f, 59.9f, -1.0f};
    const kavro_camera_para_t cam = {2, 0, 100, 100, 1};
    EXPECT_EQ(kavro_frame_get_pcl(dev_, pcl, 8, edge, 4, 4, 1, &cam), 1);
    EXPECT_FLOAT_EQ(pcl[2], 59.9f);
}

// Colour maps of float images: the pixel count follows the smaller of the
// two buffers; RGB, BGR and RGBA carry the same colour in their orders.
TEST(EpcCmapFloat, LayoutsAndCounts) {
    const float src[4] = {0.5f, 1.0f, 2.0f, 3.5f};
    uint8_t rgb[12], bgr[12], rgba[16];
    kavro_init(("test_epc_api_" + std::to_string(::getpid()) + ".log").c_str());
    EXPECT_EQ(kavro_cmap_float(rgb, 10, src, 4, KAVRO_CMAP_OUTFMT_RGB, 0.0f, 4.0f), 3);
    EXPECT_EQ(kavro_cmap_float(rgb, 12, src, 4, KAVRO_CMAP_OUTFMT_RGB, 0.0f, 4.0f), 4);
    EXPECT_EQ(kavro_cmap_float(bgr, 12, src, 4, KAVRO_CMAP_OUTFMT_BGR, 0.0f, 4.0f), 4);
    EXPECT_EQ(kavro_cmap_float(rgba, 16, src, 2, KAVRO_CMAP_OUTFMT_RGBA, 0.0f, 4.0f), 2);
    EXPECT_EQ(kavro_cmap_float(rgba, 16, src, 4, static_cast<kavro_cmap_outfmt_e>(7), 0.0f, 4.0f), 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rgb[3 * i], bgr[3 * i + 2]);
        EXPECT_EQ(rgb[3 * i + 1], bgr[3 * i + 1]);
        EXPECT_EQ(rgb[3 * i + 2], bgr[3 * i]);
    }
    for (int i = 0; i < 2; ++i)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(rgba[4 * i + c], rgb[3 * i + c]);
    EXPECT_NE(std::vector<uint8_t>(rgb, rgb + 3), std::vector<uint8_t>(rgb + 9, rgb + 12));  // near and far differ
    kavro_uninit();
}

// Accuracy of the uncalibrated (simple) path with the sensor's error model
// on, per scene, with and without the clean-up chain: mean absolute error
// and 95th percentile of the valid pixels against the truth, and the share
// of surface pixels marked invalid. Printed for the record; the bounds only
// catch a broken decoder (wrong phase, wrong scale or order, everything
// invalid) and a chain that makes things worse: with the temperature drift
// and the second camera's light left out the errors are a few centimetres,
// with them a few decimetres.
TEST_F(EpcDecodeE2E, ErrorModelFigures) {
    std::printf("%-8s %-26s %-6s %9s %9s %9s\n", "scene", "errors", "chain", "MAE mm", "p95 mm", "invalid");
    for (const char *errors : {"all", "all,-drift", "all,-drift,-interference"}) {
        const bool quiet = std::string(errors) == "all,-drift,-interference";
        for (const char *scene : {"wall", "room", "stairs", "edges"}) {
            double mae_off = 0;
            const std::string path = record(scene, 2, errors, 7);
            const auto truth = truth_of(path);
            auto frames = capture(path, 2);
            ASSERT_FALSE(frames.empty());
            for (bool chain : {false, true}) {
                kavro_filter_args_u a{};
                a.median_ksize = chain ? 5 : 0;
                ASSERT_EQ(kavro_filter_enable(dev_, KAVRO_FILTER_ID_MEDIAN, &a, sizeof a), 1);
                std::vector<double> err;
                long invalid = 0, surface = 0;
                for (auto &f : frames) {
                    const auto d = distance(f);
                    for (int i = 0; i < N; ++i) {
                        if (truth[i] <= 0) continue;
                        ++surface;
                        if (!valid(d[i]))
                            ++invalid;
                        else
                            err.push_back(std::fabs(d[i] - truth[i]) * 1000.0);
                    }
                }
                ASSERT_FALSE(err.empty());
                double mae = 0;
                for (double e : err) mae += e;
                mae /= err.size();
                std::sort(err.begin(), err.end());
                const double p95 = err[err.size() * 95 / 100];
                const double invalid_share = static_cast<double>(invalid) / surface;
                std::printf("%-8s %-26s %-6s %9.1f %9.1f %8.2f%%\n", scene, errors, chain ? "on" : "off", mae, p95,
                            100.0 * invalid_share);
                EXPECT_LT(mae, quiet ? 100.0 : 400.0) << scene << " " << errors;
                EXPECT_LT(p95, quiet ? 250.0 : 1000.0) << scene << " " << errors;
                EXPECT_LT(invalid_share, 0.8) << scene << " " << errors;
                if (!chain)
                    mae_off = mae;
                else
                    EXPECT_LE(mae, mae_off * 1.02) << scene << " " << errors;
            }
            kavro_dev_close(dev_);
            dev_ = nullptr;
        }
    }
}

}  // namespace
