// Point-cloud geometry end to end, through the public interface only: the
// simulated room (floor, ceiling, back wall and two side walls at known
// planes) is seen through the simulator's lens, which is the library's
// built-in lens with its barrel distortion. Frames come from a replayed
// recording and from the simulated camera itself, are decoded with and
// without undistortion and turned into point clouds with the driver's lens
// values. The points of each wall are picked by the surface each pixel
// truly sees (the simulator's own ray cast, carried through the
// undistortion map for undistorted images, away from the edges), a plane
// is fitted to them by least squares, and its offset and normal are
// compared with the scene's.
//
// The intrinsics the library reports are checked against the lens the
// frames were made with: the raw lens while images are not undistorted,
// the pinhole that reprojects each scene point onto the undistorted pixel
// showing it while they are.
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
#include "sim_firmware.h"
#include "sim_lens.h"
#include "sim_record.h"
#include "sim_scene.h"
#include "sim_transport.h"
#include "vx_imgproc.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kFrameBytes = 8 * N;
constexpr int kFrames = 6;       // averaged, so the noise does not dominate the fit
constexpr int kEdgeMargin = 4;   // pixels kept away from any other surface
constexpr double kOffsetTol = 0.01;  // of the plane's distance
constexpr double kAngleTolDeg = 0.5;

// The room's planes (scene coordinates, metres; +x right, +y down, +z ahead):
// the coordinate `axis` equals `offset` on the surface.
struct surface {
    const char *name;
    int axis;  // 0 x, 1 y, 2 z
    double offset;
};
constexpr surface kSurfaces[] = {
    {"floor", 1, 1.2}, {"ceiling", 1, -1.4}, {"back wall", 2, 4.5}, {"left wall", 0, -2.0}, {"right wall", 0, 2.0},
};
constexpr int kSurfaceCount = static_cast<int>(sizeof kSurfaces / sizeof kSurfaces[0]);

vx_len_param_t to_len(const kavro_sim::lens &l) {
    vx_len_param_t p{};
    p.cx = l.cx;
    p.cy = l.cy;
    p.fx = l.fx;
    p.fy = l.fy;
    std::copy(l.dcoeff, l.dcoeff + 5, p.dcoeff);
    p.img_w = l.img_w;
    p.img_h = l.img_h;
    return p;
}

// Which surface (1 + index into kSurfaces, 0 none) each raw pixel sees: the
// simulator's ray through the pixel, cast into the room, and the plane the
// hit lies on (the box and the sphere lie on none).
std::vector<uint16_t> raw_labels() {
    kavro_sim::scene sc;
    EXPECT_TRUE(kavro_sim::scene_builtin("room", &sc));
    const kavro_sim::lens ln = kavro_sim::lens_default();
    std::vector<uint16_t> lab(N, 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            kavro_sim::vec3 dir;
            if (!kavro_sim::lens_pixel_ray(ln, x, y, &dir)) continue;
            const kavro_sim::hit hi = kavro_sim::scene_cast(sc, {}, dir);
            if (!hi.ok) continue;
            const double p[3] = {dir.x * hi.t / 1000.0, dir.y * hi.t / 1000.0, dir.z * hi.t / 1000.0};
            for (int s = 0; s < kSurfaceCount; ++s)
                if (std::fabs(p[kSurfaces[s].axis] - kSurfaces[s].offset) < 1e-4) lab[y * W + x] = s + 1;
        }
    return lab;
}

// Labels of the undistorted image: each pixel shows the raw pixel the
// undistortion map names (the map the driver uses, built here from the
// simulator's lens).
std::vector<uint16_t> undistorted_labels(std::vector<uint16_t> raw) {
    vx_len_calib_t map{};
    const vx_len_param_t lp = to_len(kavro_sim::lens_default());
    EXPECT_EQ(vx_calib_len_init_map(&map, &lp), N);
    std::vector<uint16_t> out(N, 0);
    EXPECT_TRUE(vx_calib_len_undistort_u16(&map, out.data(), N, raw.data(), W, H, 0));
    vx_calib_len_uninit_map(&map);
    return out;
}

// Keeps a label only where every pixel within the margin has it too: edges
// between surfaces (and the filters' reach across them) are left out.
std::vector<uint16_t> erode(const std::vector<uint16_t> &lab) {
    std::vector<uint16_t> out(N, 0);
    for (int y = kEdgeMargin; y < H - kEdgeMargin; ++y)
        for (int x = kEdgeMargin; x < W - kEdgeMargin; ++x) {
            const uint16_t l = lab[y * W + x];
            bool same = l != 0;
            for (int dy = -kEdgeMargin; same && dy <= kEdgeMargin; ++dy)
                for (int dx = -kEdgeMargin; same && dx <= kEdgeMargin; ++dx)
                    same = lab[(y + dy) * W + x + dx] == l;
            if (same) out[y * W + x] = l;
        }
    return out;
}

// Solves the 3x3 system a c = b by Gaussian elimination with pivoting.
void solve3(double a[3][3], double b[3], double c[3]) {
    for (int i = 0; i < 3; ++i) {
        int piv = i;
        for (int r = i + 1; r < 3; ++r)
            if (std::fabs(a[r][i]) > std::fabs(a[piv][i])) piv = r;
        std::swap(a[i], a[piv]);
        std::swap(b[i], b[piv]);
        for (int r = 0; r < 3; ++r) {
            if (r == i) continue;
            const double f = a[r][i] / a[i][i];
            for (int j = i; j < 3; ++j) a[r][j] -= f * a[i][j];
            b[r] -= f * b[i];
        }
    }
    for (int i = 0; i < 3; ++i) c[i] = b[i] / a[i][i];
}

struct plane_error {
    int points = 0;
    double offset = 0;     // fitted offset along the scene's normal, metres
    double offset_rel = 0;  // |offset - true| / |true|
    double angle_deg = 0;   // between the fitted and the scene's normal
};

// Least-squares plane through the points, written as the surface's own
// coordinate over the other two (q_axis = a q_1 + b q_2 + c), compared with
// the scene's plane q_axis = offset.
plane_error fit(const std::vector<float> &pcl, int pts, const surface &s) {
    const int o1 = (s.axis + 1) % 3, o2 = (s.axis + 2) % 3;
    double a[3][3] = {}, b[3] = {};
    for (int i = 0; i < pts; ++i) {
        const double r[3] = {pcl[3 * i + o1], pcl[3 * i + o2], 1.0};
        const double q = pcl[3 * i + s.axis];
        for (int u = 0; u < 3; ++u) {
            for (int v = 0; v < 3; ++v) a[u][v] += r[u] * r[v];
            b[u] += r[u] * q;
        }
    }
    double c[3];
    solve3(a, b, c);
    const double len = std::sqrt(1.0 + c[0] * c[0] + c[1] * c[1]);
    plane_error e;
    e.points = pts;
    e.offset = c[2] / len;
    e.offset_rel = std::fabs(e.offset - s.offset) / std::fabs(s.offset);
    e.angle_deg = std::acos(std::min(1.0, 1.0 / len)) * 180.0 / M_PI;
    return e;
}

bool valid(float d) { return d > 0 && d < 60; }

// Mean distance image of the frames, 0 where any frame rejects the pixel.
std::vector<float> mean_distance(kavro_dev_t *dev, std::vector<std::vector<uint8_t>> &frames,
                                 std::vector<kavro_frame_info_t> &infos) {
    std::vector<double> sum(N, 0.0);
    std::vector<int> ok(N, 0);
    for (size_t k = 0; k < frames.size(); ++k) {
        std::vector<float> d(N);
        EXPECT_EQ(kavro_frame_get_distance(dev, d.data(), N, frames[k].data(), static_cast<int>(frames[k].size()),
                                           &infos[k]),
                  N);
        for (int i = 0; i < N; ++i)
            if (valid(d[i])) {
                sum[i] += d[i];
                ++ok[i];
            }
    }
    std::vector<float> mean(N, 0.0f);
    for (int i = 0; i < N; ++i)
        if (ok[i] == static_cast<int>(frames.size())) mean[i] = static_cast<float>(sum[i] / ok[i]);
    return mean;
}

// Plane errors of every surface in the cloud the driver's lens values make
// of the distance image, the pixels picked by `lab`.
std::vector<plane_error> plane_errors(kavro_dev_t *dev, const std::vector<float> &dist,
                                      const std::vector<uint16_t> &lab) {
    std::vector<plane_error> out;
    for (int s = 0; s < kSurfaceCount; ++s) {
        std::vector<float> only(N, 0.0f);
        for (int i = 0; i < N; ++i)
            if (lab[i] == s + 1) only[i] = dist[i];
        std::vector<float> pcl(3 * N);
        const int pts = kavro_frame_get_pcl(dev, pcl.data(), 3 * N, only.data(), N, W, H, nullptr);
        out.push_back(fit(pcl, pts, kSurfaces[s]));
    }
    return out;
}

// Decodes the frames with undistortion off and on and checks every plane.
void check_room_planes(kavro_dev_t *dev, std::vector<std::vector<uint8_t>> &frames,
                       std::vector<kavro_frame_info_t> &infos, const char *source) {
    // The clean-up chain off (median kernel size 0): its smoothing bends the
    // distances of slanted surfaces by centimetres, which is not the
    // geometry under test here.
    kavro_filter_args_u plain{};
    ASSERT_EQ(kavro_filter_enable(dev, KAVRO_FILTER_ID_MEDIAN, &plain, sizeof plain), 1);
    const std::vector<uint16_t> raw = raw_labels();
    for (bool undistort : {false, true}) {
        SCOPED_TRACE(undistort ? "undistorted" : "raw image");
        kavro_filter_args_u a{};
        ASSERT_EQ(undistort ? kavro_filter_enable(dev, KAVRO_FILTER_ID_LEN_CALIB, &a, sizeof a)
                            : kavro_filter_disable(dev, KAVRO_FILTER_ID_LEN_CALIB),
                  1);
        const auto lab = erode(undistort ? undistorted_labels(raw) : raw);
        const auto dist = mean_distance(dev, frames, infos);
        const auto errs = plane_errors(dev, dist, lab);
        for (int s = 0; s < kSurfaceCount; ++s) {
            const plane_error &e = errs[s];
            std::printf("%s, %s, %-10s: %5d points, offset %+.4f m (true %+.2f, error %.2f %%), normal off by %.3f deg\n",
                        source, undistort ? "undistorted" : "raw image  ", kSurfaces[s].name, e.points, e.offset,
                        kSurfaces[s].offset, 100.0 * e.offset_rel, e.angle_deg);
            SCOPED_TRACE(kSurfaces[s].name);
            EXPECT_GT(e.points, 500);
            EXPECT_LE(e.offset_rel, kOffsetTol);
            EXPECT_LE(e.angle_deg, kAngleTolDeg);
        }
    }
}

std::vector<std::string> g_files;

class PclGeometryE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_pcl_geometry_e2e", ".log");
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

    // Records the room with a noisy sensor, opens the recording and takes
    // kFrames frames of it.
    void replay_room() {
        kavro_sim::record_opts o;
        o.scene = "room";
        o.frames = kFrames + 1;  // the replay may end before the last frame is taken
        o.cfg.intg_us = 4000;
        ASSERT_TRUE(kavro_sim::sensor_errors_parse("noise", &o.cfg.err));
        o.out = "geom_" + std::to_string(::getpid()) + "_room.raw";
        std::string err;
        ASSERT_TRUE(kavro_sim::record(o, &err)) << err;
        for (const char *ext : {"", ".dist", ".meta"}) g_files.push_back(o.out + ext);
        dev_ = kavro_dev_open_replay(o.out.c_str());
        ASSERT_NE(dev_, nullptr);
        ASSERT_TRUE(kavro_cap_set_frame_buffer(dev_, nullptr, 16 * 307200));
        kavro_param_item_t fps{};
        fps.param_id = PARAM_FRAME_RATE;
        fps.param_val_len = 4;
        fps.param_val.frame_rate.fps = 50;
        ASSERT_TRUE(kavro_param_batch_set(dev_, &fps, 1));
        take(dev_);
    }
    void take(kavro_dev_t *dev) {
        ASSERT_TRUE(kavro_cap_start(dev));
        while (static_cast<int>(frames_.size()) < kFrames) {
            std::vector<uint8_t> f(kFrameBytes);
            kavro_frame_t fr{};
            if (kavro_cap_get_frames(dev, 1, f.data(), kFrameBytes, &fr) != 1) break;
            infos_.push_back(fr.frame_info);
            frames_.push_back(std::move(f));
        }
        kavro_cap_stop(dev);
        ASSERT_EQ(static_cast<int>(frames_.size()), kFrames);
    }

    kavro_dev_t *dev_ = nullptr;
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<kavro_frame_info_t> infos_;
};

TEST_F(PclGeometryE2E, ReplayedRoomPlanesAreWhereTheSceneHasThem) {
    replay_room();
    check_room_planes(dev_, frames_, infos_, "replay");
}

// The intrinsics the device reports are those of the lens the frames were
// made with: the simulator's lens while images are raw (scaled for smaller
// sizes; only 320 x 240 images are undistorted), and while they are
// undistorted the pinhole under which every undistorted pixel shows the raw
// pixel the undistortion map names: the scene point that raw pixel sees,
// projected with the reported pinhole and then through the simulator's
// lens, lies within half a raw pixel of that raw pixel (the nearest one).
TEST_F(PclGeometryE2E, IntrinsicsAreThoseOfTheLensTheFramesWereMadeWith) {
    replay_room();
    const kavro_sim::lens ln = kavro_sim::lens_default();
    struct size_case {
        int w, h;
        bool undistort, undistorted, ok;
    };
    const size_case cases[] = {
        {320, 240, false, false, true}, {160, 120, false, false, true}, {320, 240, true, true, true},
        {160, 120, true, false, true},  {300, 240, false, false, false}, {0, 240, false, false, false},
    };
    for (const size_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.undistort ? " undistorting" : " raw"));
        kavro_filter_args_u a{};
        ASSERT_EQ(c.undistort ? kavro_filter_enable(dev_, KAVRO_FILTER_ID_LEN_CALIB, &a, sizeof a)
                              : kavro_filter_disable(dev_, KAVRO_FILTER_ID_LEN_CALIB),
                  1);
        kavro_intrinsics_t in{};
        in.fx = -1;
        ASSERT_EQ(kavro_dev_get_intrinsics(dev_, c.w, c.h, &in), c.ok);
        if (!c.ok) {
            EXPECT_EQ(in.fx, -1);  // untouched
            continue;
        }
        EXPECT_EQ(in.img_w, c.w);
        EXPECT_EQ(in.img_h, c.h);
        EXPECT_EQ(in.undistorted, c.undistorted);
        if (!c.undistorted) {
            const double s = static_cast<double>(ln.img_w) / c.w;
            EXPECT_DOUBLE_EQ(in.cx, ln.cx / s);
            EXPECT_DOUBLE_EQ(in.cy, ln.cy / s);
            EXPECT_DOUBLE_EQ(in.fx, ln.fx / s);
            EXPECT_DOUBLE_EQ(in.fy, ln.fy / s);
            for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(in.dist[i], ln.dcoeff[i]) << i;
            continue;
        }
        for (double k : in.dist) EXPECT_EQ(k, 0.0);
        vx_len_calib_t map{};
        const vx_len_param_t lp = to_len(ln);
        ASSERT_EQ(vx_calib_len_init_map(&map, &lp), N);
        int shown = 0;
        double worst = 0;
        for (int i = 0; i < N; ++i) {
            const uint32_t src = map.mapi[i];
            if (src == VX_LEN_MAP_NO_SOURCE) continue;
            // Pinhole ray of the undistorted pixel, through the lens.
            const kavro_sim::vec3 p{(i % W - in.cx) / in.fx, (i / W - in.cy) / in.fy, 1.0};
            double u, v;
            kavro_sim::lens_project(ln, p, &u, &v);
            // The map also lets border pixels show the edge row or column
            // for positions up to 1.5 pixels outside the image.
            if (u < -0.5 || v < -0.5 || u >= W - 0.5 || v >= H - 0.5) continue;
            ++shown;
            worst = std::max({worst, std::fabs(u - static_cast<double>(src % W)),
                              std::fabs(v - static_cast<double>(src / W))});
        }
        vx_calib_len_uninit_map(&map);
        std::printf("undistorted intrinsics: f %.3f/%.3f, c %.3f/%.3f; %d pixels, worst %.3f raw px from their source\n",
                    in.fx, in.fy, in.cx, in.cy, shown, worst);
        EXPECT_GT(shown, N / 2);
        EXPECT_LE(worst, 0.5 + 1e-3);
    }
    kavro_intrinsics_t in{};
    EXPECT_FALSE(kavro_dev_get_intrinsics(dev_, 320, 240, nullptr));
    EXPECT_FALSE(kavro_dev_get_intrinsics(nullptr, 320, 240, &in));
}

// The simulated camera itself (no calibration package: the uncalibrated
// path, whose reference the ideal drift-free sensor matches).
TEST_F(PclGeometryE2E, LiveRoomPlanesAreWhereTheSceneHasThem) {
    kavro_sim::firmware_cfg c;
    c.scene = "room";
    c.sensor.intg_us = 4000;
    ASSERT_TRUE(kavro_sim::sensor_errors_parse("noise", &c.sensor.err));
    kavro_sim::firmware fw(c);
    kavro_test::sim_link link(fw);
    const std::string dir = "geom_live_" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0755);
    kavro_path_cfg((dir + "/").c_str());
    kavro_dev_t dev{};
    kavro_test::sim_bind_dev(&dev, &link);
    ASSERT_EQ(kavro_dev_open(&dev), &dev);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev, nullptr, 8 * kFrameBytes));
    take(&dev);
    if (!HasFatalFailure()) check_room_planes(&dev, frames_, infos_, "live");
    kavro_dev_close(&dev);
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") std::remove((dir + "/" + n).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(dir.c_str());
}

}  // namespace
