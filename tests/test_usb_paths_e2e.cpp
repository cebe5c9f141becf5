// ctest-labels: unit
// One truth on every path, end to end: a simulated camera with its
// calibration package on the emulated USB bus, opened with kavro_dev_open
// (which mounts the per-pixel calibration), captures a few frames of a
// scene. The same raw frames then travel three roads:
//   live     decoded on the open camera, as an application does;
//   replay   written as a recording, opened with kavro_dev_open_replay with
//            default settings (no frame rate set) and decoded on the replay;
//   convert  the recording turned into frame files by the built `kavro
//            convert` tool, read back with kavro_frame_load_distance.
// Every frame of the recording must come out of the replay, the replayed and
// converted distances must equal the live ones bit for bit, and each path
// must put the scene where the simulator has it: median |distance - truth|
// at most 5 mm over the valid pixels. In the room, planes fitted to the
// point clouds of the live and replayed frames must lie where the room's
// walls, floor and ceiling are (offsets within 1 % of their distance,
// normals within 0.5 degrees).
//
// The camera: the sensor errors a real camera has and its calibration takes
// away (per-pixel offsets, wiggling) plus sample noise, default filters,
// at the integration time a user picks for the scene: the longest
// (4000 us, the most signal) for the room and the stairs, which reach 5 m
// (the stairs' nearest step, at 0.5 m, saturates and is rejected), and
// 1500 us for the white wall at 1 m, which saturates at 4000 us. The error
// figures are of single frames, noise included: the clean-up chain's
// smoothing brings the room's far walls within the limit, which their
// per-frame noise (about 20 mm at 4.5 m) alone would not. The room's camera
// sits at 20 degC ambient, 20 degC below its calibration, so the decode has
// to take out the drift of the temperature the frames report; the stairs'
// and wall's cameras are warmed up to the calibration temperature. Either
// way a recording has to carry each frame's temperatures for its frames to
// decode the same.
//
// Figures per scene and path are printed as lines starting "[paths]".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "driver/epc/kavro_driver_epc.h"
#include "kavro.h"
#include "per_process_name.h"
#include "sim_calib.h"
#include "sim_lens.h"
#include "sim_scene.h"
#include "sim_usb_bed.h"

namespace fs = std::filesystem;
using namespace kavro_sim;

namespace {

#ifdef KAVRO_CLI_EXE
constexpr const char *k_tool = KAVRO_CLI_EXE;
#else
constexpr const char *k_tool = nullptr;
#endif

constexpr int W = 320, H = 240, N = W * H;
constexpr int kFrames = 8;
constexpr uint32_t kFrameBufBytes = 0x400000;
constexpr double kMedianLimitMm = 5.0;
constexpr double kOffsetShare = 0.01;   // plane offsets: 1 % of their distance
constexpr double kNormalLimitDeg = 0.5;

struct scene_case {
    const char *scene;
    double intg_us;  // integration time
    bool warm;       // warmed up to the calibration temperature, else at 20 degC ambient
    bool planes;     // check the room's planes
};

void PrintTo(const scene_case &c, std::ostream *os) {
    *os << c.scene << " at " << c.intg_us << " us, " << (c.warm ? "warmed up" : "at ambient");
}

// ---- what a path made of the frames ------------------------------------------

using image = std::vector<float>;

struct raw_frame {
    kavro_frame_info_t info{};
    std::vector<uint8_t> data;
};

bool valid(float d) { return d > 0.0f && d < 60.0f; }

struct figures {
    double median_mm = 0, p95_mm = 0, bias_mm = 0, invalid = 0;
    long valid_px = 0;
};

// Error of the decoded frames against the truth (mm, image order; 0 where
// no surface is seen), pooled over the frames. Invalid share: pixels that
// see a surface but hold a rejected or saturated code.
figures measure(const std::vector<image> &frames, const std::vector<float> &truth_mm) {
    std::vector<double> abs_err, err;
    long surface = 0, invalid = 0;
    for (const image &d : frames) {
        for (int i = 0; i < N; ++i) {
            if (!(truth_mm[i] > 0)) continue;
            ++surface;
            if (!valid(d[i])) {
                ++invalid;
                continue;
            }
            const double e = static_cast<double>(d[i]) * 1000.0 - truth_mm[i];
            err.push_back(e);
            abs_err.push_back(std::fabs(e));
        }
    }
    figures f;
    f.valid_px = static_cast<long>(abs_err.size());
    if (surface) f.invalid = static_cast<double>(invalid) / static_cast<double>(surface);
    if (abs_err.empty()) return f;
    auto at = [](std::vector<double> &v, double q) {
        auto it = v.begin() + static_cast<std::ptrdiff_t>(q * static_cast<double>(v.size() - 1));
        std::nth_element(v.begin(), it, v.end());
        return *it;
    };
    f.median_mm = at(abs_err, 0.5);
    f.p95_mm = at(abs_err, 0.95);
    f.bias_mm = at(err, 0.5);
    return f;
}

void print_figures(const char *scene, const char *path, const figures &f) {
    std::printf("[paths] scene=%s path=%s median_mm=%.2f p95_mm=%.2f bias_mm=%+.2f invalid=%.2f%% valid_px=%ld\n",
                scene, path, f.median_mm, f.p95_mm, f.bias_mm, 100.0 * f.invalid, f.valid_px);
}

// Bit-identity of two decodes of the same raw frame: on a difference, how
// many pixels differ and by how much at most (metres).
::testing::AssertionResult same_bits(const image &got, const image &want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " pixels instead of " << want.size();
    if (std::memcmp(got.data(), want.data(), got.size() * sizeof(float)) == 0) return ::testing::AssertionSuccess();
    long diff = 0;
    double worst = 0;
    int worst_at = -1;
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(float)) == 0) continue;
        ++diff;
        const double e = std::fabs(static_cast<double>(got[i]) - want[i]);
        if (e > worst || worst_at < 0) {
            worst = e;
            worst_at = static_cast<int>(i);
        }
    }
    auto r = ::testing::AssertionFailure() << diff << " of " << got.size() << " pixels differ";
    if (worst_at >= 0)
        r << "; largest at pixel " << worst_at << ": " << got[static_cast<size_t>(worst_at)] << " m instead of "
          << want[static_cast<size_t>(worst_at)] << " m";
    return r;
}

// ---- plane checks (room) -------------------------------------------------------

// A wall of the room scene: its quad (index in the scene's primitives), the
// axis its normal runs along and its coordinate on that axis (metres).
struct wall {
    const char *name;
    int prim;
    int axis;
    double coord_m;
};

// The room of sim_scene.cpp: floor y = 1.2 m, ceiling y = -1.4 m, back wall
// z = 4.5 m, side walls x = -2 m and +2 m (camera coordinates, y down).
const wall k_walls[] = {
    {"floor", 0, 1, 1.2}, {"ceiling", 1, 1, -1.4}, {"back", 2, 2, 4.5}, {"left", 3, 0, -2.0}, {"right", 4, 0, 2.0},
};

// Which wall each pixel sees (index into k_walls, -1 for the box, the
// sphere or a pixel near a border between surfaces), from the scene and the
// simulator's lens: the ray of the pixel hits that wall's quad first. Pixels
// within `margin` of another label are left out, since the clean-up filters
// blend depths across edges.
std::vector<int> wall_labels(int margin) {
    scene sc;
    EXPECT_TRUE(scene_builtin("room", &sc));
    const lens ln = lens_default();
    std::vector<int> lab(N, -1);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            vec3 dir;
            if (!lens_pixel_ray(ln, x, y, &dir)) continue;
            const hit all = scene_cast(sc, {0, 0, 0}, dir);
            if (!all.ok) continue;
            for (int w = 0; w < static_cast<int>(std::size(k_walls)); ++w) {
                scene one;
                one.prims.push_back(sc.prims[static_cast<size_t>(k_walls[w].prim)]);
                const hit h = scene_cast(one, {0, 0, 0}, dir);
                if (h.ok && std::fabs(h.t - all.t) < 1e-6) lab[static_cast<size_t>(y * W + x)] = w;
            }
        }
    }
    std::vector<int> out(N, -1);
    for (int y = margin; y < H - margin; ++y) {
        for (int x = margin; x < W - margin; ++x) {
            const int l = lab[static_cast<size_t>(y * W + x)];
            bool same = l >= 0;
            for (int dy = -margin; same && dy <= margin; ++dy)
                for (int dx = -margin; same && dx <= margin; ++dx)
                    same = lab[static_cast<size_t>((y + dy) * W + x + dx)] == l;
            if (same) out[static_cast<size_t>(y * W + x)] = l;
        }
    }
    return out;
}

// Solves the 3 x 3 system a x = b (Cramer); false when singular.
bool solve3(const double a[3][3], const double b[3], double x[3]) {
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double d = det(a);
    if (std::fabs(d) < 1e-12) return false;
    for (int c = 0; c < 3; ++c) {
        double m[3][3];
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) m[r][k] = k == c ? b[r] : a[r][k];
        x[c] = det(m) / d;
    }
    return true;
}

struct plane_fit {
    long points = 0;
    double normal[3] = {0, 0, 0};  // unit, pointing along +axis
    double coord_m = 0;            // where the plane crosses its axis (signed offset along the normal)
    double normal_err_deg = 0;     // angle to the wall's true normal
};

// Least-squares plane p[axis] = c0 + c1 p[b] + c2 p[c] through the points,
// refitted once without the points more than 4 median residuals away.
plane_fit fit_plane(const std::vector<std::array<double, 3>> &pts, int axis) {
    plane_fit f;
    const int b = (axis + 1) % 3, c = (axis + 2) % 3;
    std::vector<char> use(pts.size(), 1);
    double coef[3] = {0, 0, 0};
    for (int pass = 0; pass < 2; ++pass) {
        double a[3][3] = {}, r[3] = {};
        long n = 0;
        for (size_t i = 0; i < pts.size(); ++i) {
            if (!use[i]) continue;
            const double row[3] = {1.0, pts[i][b], pts[i][c]};
            for (int j = 0; j < 3; ++j) {
                for (int k = 0; k < 3; ++k) a[j][k] += row[j] * row[k];
                r[j] += row[j] * pts[i][axis];
            }
            ++n;
        }
        if (n < 3 || !solve3(a, r, coef)) return f;
        f.points = n;
        std::vector<double> res(pts.size());
        for (size_t i = 0; i < pts.size(); ++i)
            res[i] = std::fabs(pts[i][axis] - coef[0] - coef[1] * pts[i][b] - coef[2] * pts[i][c]);
        std::vector<double> sorted = res;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        const double lim = 4 * sorted[sorted.size() / 2];
        for (size_t i = 0; i < pts.size(); ++i) use[i] = res[i] <= lim;
    }
    const double len = std::sqrt(1 + coef[1] * coef[1] + coef[2] * coef[2]);
    f.normal[axis] = 1 / len;
    f.normal[b] = -coef[1] / len;
    f.normal[c] = -coef[2] / len;
    f.coord_m = coef[0] / len;
    f.normal_err_deg = std::acos(std::min(1.0, std::fabs(f.normal[axis]))) * 180.0 / M_PI;
    return f;
}

// Point clouds of the decoded frames through kavro_frame_get_pcl (the lens
// values the device decodes with), planes fitted per wall and checked.
void check_planes(kavro_dev_t *dev, const char *scene, const char *path, const std::vector<image> &frames,
                  const std::vector<int> &labels) {
    SCOPED_TRACE(std::string("point cloud of the ") + path + " frames");
    std::vector<std::vector<std::array<double, 3>>> pts(std::size(k_walls));
    std::vector<float> pcl(static_cast<size_t>(N) * 3);
    for (const image &d : frames) {
        const int n = kavro_frame_get_pcl(dev, pcl.data(), N * 3, d.data(), N, W, H, nullptr);
        int valid_px = 0;
        for (float v : d) valid_px += valid(v);
        ASSERT_EQ(n, valid_px) << "kavro_frame_get_pcl must give one point per valid pixel";
        // Points come in pixel order, invalid pixels left out.
        int p = 0;
        for (int i = 0; i < N; ++i) {
            if (!valid(d[static_cast<size_t>(i)])) continue;
            const float *q = &pcl[static_cast<size_t>(p++) * 3];
            if (labels[static_cast<size_t>(i)] >= 0)
                pts[static_cast<size_t>(labels[static_cast<size_t>(i)])].push_back({q[0], q[1], q[2]});
        }
    }
    for (size_t w = 0; w < std::size(k_walls); ++w) {
        const wall &wl = k_walls[w];
        const plane_fit f = fit_plane(pts[w], wl.axis);
        std::printf("[paths] scene=%s path=%s plane=%s points=%ld offset_m=%.4f expect_m=%.4f normal_err_deg=%.3f "
                    "normal=(%.4f,%.4f,%.4f)\n",
                    scene, path, wl.name, f.points, f.coord_m, wl.coord_m, f.normal_err_deg, f.normal[0], f.normal[1],
                    f.normal[2]);
        EXPECT_GT(f.points, 1000) << wl.name << ": too few points to fit a plane";
        EXPECT_LE(std::fabs(f.coord_m - wl.coord_m), kOffsetShare * std::fabs(wl.coord_m))
            << path << " point cloud puts the " << wl.name << " at " << f.coord_m << " m instead of " << wl.coord_m
            << " m (limit 1 %)";
        EXPECT_LE(f.normal_err_deg, kNormalLimitDeg)
            << path << " point cloud tilts the " << wl.name << " by " << f.normal_err_deg << " degrees";
    }
}

// ---- the camera ------------------------------------------------------------------

// A simulated camera of one scene with its calibration package, on its own
// emulated bus.
usb_cam_opts camera_opts(const scene_case &c) {
    usb_cam_opts o;
    o.fw.scene = c.scene;
    o.fw.fifo_bytes = 64u << 20;  // a loaded host lags a few frames behind, none are lost
    o.fw.sensor.intg_us = c.intg_us;
    // Warmed up: the warm-up ("drift") has settled from the first frame on,
    // at the calibration's temperatures. Else the sensor stays at the
    // ambient temperature, 20 degC below them.
    EXPECT_TRUE(sensor_errors_parse(c.warm ? "fpn,wiggle,noise,drift" : "fpn,wiggle,noise", &o.fw.sensor.err));
    o.fw.sensor.warmup_tau_s = 0;
    o.fw.sensor.temp_ambient_c = 20;
    return o;
}

// Takes `n` image frames from a capturing device (frames of the calibration
// package that may trail the open are passed over). Stops at an error code
// (a replay reports its end so) or after kIdleCalls calls in a row that
// delivered nothing in their time: a loaded machine may hold the stream up
// for longer than one call waits. *calls counts the calls, *last is the last
// call's result.
constexpr int kIdleCalls = 5;

std::vector<raw_frame> take_frames(kavro_dev_t *dev, int n, int *calls, int *last,
                                   const std::function<void(const kavro_frame_t &)> &on_frame = nullptr) {
    std::vector<raw_frame> out;
    std::vector<uint8_t> buf(kFrameBufBytes);
    *calls = 0;
    int idle = 0;
    while (static_cast<int>(out.size()) < n) {
        kavro_frame_t fr{};
        ++*calls;
        const int r = kavro_cap_get_frames(dev, 1, buf.data(), kFrameBufBytes, &fr);
        *last = r;
        if (r < 0 || (r == 0 && ++idle >= kIdleCalls)) break;
        if (r == 0) continue;
        idle = 0;
        if (fr.frame_info.frame_format == EPC_FRAME_FMT_CALIB_DATA) continue;
        fr.frame_data = buf.data();
        if (on_frame) on_frame(fr);
        raw_frame f;
        f.info = fr.frame_info;
        f.data.assign(buf.begin(), buf.begin() + std::min<uint32_t>(fr.frame_info.frame_size, kFrameBufBytes));
        out.push_back(std::move(f));
    }
    return out;
}

// Distance image of one raw frame on `dev`, default settings as they stand.
image decode(kavro_dev_t *dev, const raw_frame &f) {
    image d(N);
    std::vector<uint8_t> src(f.data);  // the decoder takes a writable buffer
    EXPECT_EQ(kavro_frame_get_distance(dev, d.data(), N, src.data(), static_cast<int>(src.size()), &f.info), N)
        << "frame " << f.info.frame_idx;
    return d;
}

// Switches the clean-up chain (median, bilateral, flying-pixel and hole
// filters) off.
void chain_off(kavro_dev_t *dev) {
    kavro_filter_args_u a{};
    a.median_ksize = 0;
    EXPECT_EQ(kavro_filter_enable(dev, KAVRO_FILTER_ID_MEDIAN, &a, sizeof a), 1);
}

// Runs the built tool with the arguments; its exit code, output in *out.
int run_tool(const std::string &args, std::string *out) {
    // Not under the emulated bus: the tool reads a recording and must not
    // reach for this process's testbed.
    const std::string cmd = "env -u LD_PRELOAD -u UMOCKDEV_DIR '" + std::string(k_tool) + "' " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<image> load_distance_file(const std::string &path) {
    std::vector<image> out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    for (;;) {
        image d(N);
        int w = 0, h = 0;
        if (kavro_frame_load_distance(fd, d.data(), N, &w, &h) != N) break;
        EXPECT_EQ(w, W);
        EXPECT_EQ(h, H);
        out.push_back(std::move(d));
    }
    ::close(fd);
    return out;
}

class PathsE2E : public ::testing::TestWithParam<scene_case> {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_usb_paths_e2e", ".log");
        std::remove(log.c_str());
        kavro_init(log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_INFO, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        if (!usb_bed_available()) GTEST_SKIP() << "not running under umockdev";
        dir_ = fs::absolute(per_process_name(std::string("paths_") + GetParam().scene, "")).string();
        fs::remove_all(dir_);
        fs::create_directories(dir_ + "/cache");
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    std::string dir_;
};

TEST_P(PathsE2E, LiveReplayAndConvertAgreeWithTheScene) {
    const scene_case &c = GetParam();
    ASSERT_NE(k_tool, nullptr) << "built without the kavro tool";

    // ---- live -----------------------------------------------------------------------
    std::vector<raw_frame> frames;
    std::vector<image> live, live_off;
    std::vector<float> truth;
    const std::string rec = dir_ + "/" + c.scene + ".raw";
    std::vector<int> labels;
    if (c.planes) labels = wall_labels(3);
    {
        kavro_path_cfg((dir_ + "/cache/").c_str());
        auto bed = std::make_unique<usb_bed>();
        const usb_cam_opts o = camera_opts(c);
        std::vector<uint8_t> pkg;
        std::string err;
        ASSERT_TRUE(calib_package_for(o.fw, calib_opts(), false, &pkg, &err)) << err;
        const int cam = bed->add_camera(o);
        bed->fw(cam).set_calib_package(std::move(pkg));

        kavro_dev_t dev{};
        dev.if_info.type = DEV_IF_NONE;
        ASSERT_EQ(kavro_dev_open(&dev), &dev);
        struct closer {
            kavro_dev_t *d;
            ~closer() { kavro_dev_close(d); }
        } close_dev{&dev};
        // The recording is written as the frames arrive, as an application
        // records: the side file keeps each frame's temperatures and time.
        kavro_rec_t *recording = kavro_rec_open(&dev, rec.c_str());
        ASSERT_NE(recording, nullptr) << rec;
        ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev, nullptr, 16 * 307200));
        ASSERT_TRUE(kavro_cap_start(&dev));
        int calls = 0, last = 0;
        bool recorded = true;
        frames = take_frames(&dev, kFrames, &calls, &last,
                             [&](const kavro_frame_t &fr) { recorded = kavro_rec_add(recording, &fr) && recorded; });
        kavro_cap_stop(&dev);
        EXPECT_TRUE(kavro_rec_close(recording) && recorded) << "writing the recording " << rec;
        ASSERT_EQ(static_cast<int>(frames.size()), kFrames)
            << "the simulated camera stopped sending: kavro_cap_get_frames returned " << last << " at call " << calls;
        truth = bed->fw(cam).sensor_camera().truth_mm();
        ASSERT_EQ(static_cast<int>(truth.size()), N);
#ifdef KAVRO_FRAME_CALIB_MASK
        EXPECT_EQ(frames[0].info.flags & KAVRO_FRAME_CALIB_MASK, KAVRO_FRAME_CALIB_PIXEL)
            << "the open did not mount the camera's per-pixel calibration";
        EXPECT_NE(frames[0].info.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED, 0u)
            << "frame information: no temperature measured, though the camera reports cb=" << frames[0].info.temp0
            << ", ib=" << frames[0].info.temp1;
#endif
        // Decoded as they come, in order: the minimum-amplitude filter keeps
        // a hysteresis over the frames, so every path decodes the same
        // sequence from a freshly opened device.
        for (const raw_frame &f : frames) live.push_back(decode(&dev, f));
        if (c.planes) check_planes(&dev, c.scene, "live", live, labels);
        // Once more without the clean-up chain, for the figures that tell
        // the calibration's part from the filters' part.
        chain_off(&dev);
        for (const raw_frame &f : frames) live_off.push_back(decode(&dev, f));
    }
    const figures live_fig = measure(live, truth);
    print_figures(c.scene, "live", live_fig);
    const figures off_fig = measure(live_off, truth);
    print_figures(c.scene, "live-chain-off", off_fig);
    ASSERT_GT(live_fig.valid_px, static_cast<long>(kFrames) * N / 2) << "most pixels of the scene decode as invalid";
    EXPECT_LE(live_fig.median_mm, kMedianLimitMm)
        << "live decode of the calibrated camera is off the scene: median error " << live_fig.median_mm
        << " mm, signed median " << live_fig.bias_mm << " mm; the camera reported temperatures cb="
        << frames[0].info.temp0 << ", ib=" << frames[0].info.temp1 << " (0.1 degC); with the clean-up chain off the "
        << "median is " << off_fig.median_mm << " mm, signed " << off_fig.bias_mm << " mm";

    // ---- record -> replay -----------------------------------------------------------
    {
        SCOPED_TRACE("replay of " + rec);
        kavro_dev_t *dev = kavro_dev_open_replay(rec.c_str());
        ASSERT_NE(dev, nullptr);
        struct closer {
            kavro_dev_t *d;
            ~closer() { kavro_dev_close(d); }
        } close_dev{dev};
        // Default settings: no frame rate, no buffer size.
        ASSERT_TRUE(kavro_cap_start(dev));
        int calls = 0, last = 0;
        const std::vector<raw_frame> got = take_frames(dev, kFrames + 2, &calls, &last);
        kavro_cap_stop(dev);
        // Which recorded frame each delivered one is, by its samples.
        std::vector<int> order;
        for (const raw_frame &g : got) {
            int k = -1;
            for (int j = 0; j < kFrames && k < 0; ++j)
                if (g.data.size() >= frames[j].data.size() &&
                    std::memcmp(g.data.data(), frames[j].data.data(), frames[j].data.size()) == 0)
                    k = j;
            order.push_back(k);
        }
        std::string seq;
        for (int k : order) seq += " " + std::to_string(k);
        std::vector<int> all(kFrames);
        for (int k = 0; k < kFrames; ++k) all[k] = k;
        EXPECT_EQ(order, all) << "a replay with default settings must deliver every recorded frame once, in order; "
                              << "delivered (recorded index, -1 = unknown):" << seq << " in " << calls
                              << " calls of kavro_cap_get_frames(dev, 1, ...), the last returning " << last;
        std::vector<image> replayed, matched_live;
        for (size_t i = 0; i < got.size(); ++i) {
            if (order[i] < 0) continue;
            const raw_frame &g = got[i];
            const raw_frame &f = frames[static_cast<size_t>(order[i])];
            EXPECT_EQ(g.info.temp0, f.info.temp0) << "recorded frame " << order[i] << ": sensor temperature";
            EXPECT_EQ(g.info.temp1, f.info.temp1) << "recorded frame " << order[i] << ": IB temperature";
#ifdef KAVRO_FRAME_CALIB_MASK
            EXPECT_EQ(g.info.flags, f.info.flags) << "recorded frame " << order[i] << ": frame information flags";
#endif
            replayed.push_back(decode(dev, g));
            matched_live.push_back(live[static_cast<size_t>(order[i])]);
            EXPECT_TRUE(same_bits(replayed.back(), matched_live.back()))
                << "replayed frame " << order[i] << " does not decode as it did live";
        }
        const figures fig = measure(replayed, truth);
        print_figures(c.scene, "replay", fig);
        EXPECT_LE(fig.median_mm, kMedianLimitMm)
            << "replayed frames are off the scene: median error " << fig.median_mm << " mm, signed median "
            << fig.bias_mm << " mm";
        if (c.planes && !replayed.empty()) check_planes(dev, c.scene, "replay", replayed, labels);
        // The filter settings act on a replay as on the camera.
        chain_off(dev);
        for (size_t i = 0; i < got.size(); ++i) {
            if (order[i] < 0) continue;
            EXPECT_TRUE(same_bits(decode(dev, got[i]), live_off[static_cast<size_t>(order[i])]))
                << "replayed frame " << order[i] << ", clean-up chain off, does not decode as it did live";
        }
    }

    // ---- record -> convert ----------------------------------------------------------
    {
        // A cache folder of its own: the conversion must not depend on the
        // calibration the live camera left in this machine's cache.
        const std::string out = dir_ + "/conv", cache = dir_ + "/conv_cache";
        std::string text;
        const int rc = run_tool("--cache-dir '" + cache + "' convert '" + rec + "' -o '" + out + "'", &text);
        ASSERT_EQ(rc, 0) << text;
        // The tool writes float32 metres: lossless, compared bit for bit.
        const std::vector<image> conv = load_distance_file(out + "/frames.dist");
        EXPECT_EQ(static_cast<int>(conv.size()), kFrames) << "frames converted\n" << text;
        for (size_t k = 0; k < conv.size() && k < live.size(); ++k)
            EXPECT_TRUE(same_bits(conv[k], live[k])) << "converted frame " << k << " does not decode as it did live";
        const figures fig = measure(conv, truth);
        print_figures(c.scene, "convert", fig);
        EXPECT_LE(fig.median_mm, kMedianLimitMm)
            << "converted frames are off the scene: median error " << fig.median_mm << " mm, signed median "
            << fig.bias_mm << " mm";
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, PathsE2E,
                         ::testing::Values(scene_case{"room", 4000, false, true},
                                           scene_case{"stairs", 4000, true, false},
                                           scene_case{"wall", 1500, true, false}),
                         [](const ::testing::TestParamInfo<scene_case> &i) { return std::string(i.param.scene); });

}  // namespace
