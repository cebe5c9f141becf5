// The demo: record a short simulated session of the room scene with the
// camera simulator, play it back through the camera interface as if it came
// from a camera, decode every frame into distance, gray and a point cloud,
// and measure the decoded distances against the simulator's ground truth.
//
//   kavro_demo [OUTPUT_DIR] [FRAMES]     (default: build/demo, 10 frames)
//
// Writes into OUTPUT_DIR: room.raw (the recording), room.raw.dist (its
// ground truth) and room.raw.meta from the simulator; for the last frame
// depth_colormap.png (near red, far blue, rejected pixels black), gray.png
// and pointcloud.ply (binary little-endian, x y z in metres with the depth
// colour per point); and the library's log kavro_demo.log.
//
// The simulator is the kavro-sim tool built beside the demo (its path is
// compiled in; the environment variable KAVRO_SIM overrides it).
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kavro.h"
#include "gray_image.h"
#include "ply_writer.h"
#include "png_writer.h"
#include "replay_rate.h"

#ifndef KAVRO_SIM_EXE
#define KAVRO_SIM_EXE "kavro-sim"
#endif

namespace {

constexpr int WIDTH = 320;
constexpr int HEIGHT = 240;
constexpr int PIXELS = WIDTH * HEIGHT;
// One four-DCS frame of 16-bit samples, with room for a larger one: the
// capture engine cuts a frame that does not fit the caller's buffer.
constexpr uint32_t FRAME_BUF_BYTES = 0x200000;
constexpr uint32_t ENGINE_FRAMES = 16;  // frames the capture engine may hold
constexpr uint32_t ENGINE_FRAME_UNIT = PIXELS * 4;
constexpr uint32_t REPLAY_FPS = 30;
// Integration time of the recording. The room is 4.5 m deep and its walls
// are seen at grazing angles: at the sensor's 1000 us default two thirds of
// them return less than the decoder's minimum amplitude and are rejected.
constexpr const char *INTG_US = "3000";
// Colour range of the depth image: the room spans about 1.2 ... 5.5 m.
constexpr float CMAP_NEAR_M = 1.0f;
constexpr float CMAP_FAR_M = 5.0f;

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// Runs the simulator: `frames` frames of the room scene at INTG_US into `out`
// (ground truth into out + ".dist"). Its output goes to our stdout.
bool record_room(const std::string &out, int frames) {
    const char *env = std::getenv("KAVRO_SIM");
    const std::string sim = env && *env ? env : KAVRO_SIM_EXE;
    const std::string nframes = std::to_string(frames);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        execl(sim.c_str(), sim.c_str(), "record", "--scene", "room", "--frames", nframes.c_str(), "--intg", INTG_US,
              out.c_str(),
              static_cast<char *>(nullptr));
        fprintf(stderr, "kavro_demo: cannot run %s\n", sim.c_str());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Every ground-truth frame of the recording (metres, 0 where no surface).
std::vector<std::vector<float>> load_truth(const std::string &path) {
    std::vector<std::vector<float>> frames;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return frames;
    for (;;) {
        std::vector<float> t(PIXELS);
        int w = 0, h = 0;
        if (kavro_frame_load_distance(fd, t.data(), PIXELS, &w, &h) != PIXELS || w != WIDTH || h != HEIGHT) break;
        frames.push_back(std::move(t));
    }
    close(fd);
    return frames;
}

struct depth_error {
    double mae_mm = 0;     // mean absolute error over the valid pixels with a surface
    double p95_mm = 0;     // 95th percentile of the absolute error
    double invalid = 0;    // share of the pixels with a surface that decoded invalid
};

depth_error compare(const std::vector<float> &dist, const std::vector<float> &truth) {
    std::vector<float> err;
    err.reserve(PIXELS);
    int surface = 0;
    for (int i = 0; i < PIXELS; ++i) {
        if (truth[i] <= 0.0f) continue;
        ++surface;
        if (ply_valid_distance(dist[i])) err.push_back(std::fabs(dist[i] - truth[i]) * 1000.0f);
    }
    depth_error e;
    if (surface == 0) return e;
    e.invalid = 1.0 - static_cast<double>(err.size()) / surface;
    if (err.empty()) return e;
    double sum = 0;
    for (float v : err) sum += v;
    e.mae_mm = sum / static_cast<double>(err.size());
    const size_t k = std::min(err.size() - 1, static_cast<size_t>(std::ceil(0.95 * static_cast<double>(err.size()))) - 1);
    std::nth_element(err.begin(), err.begin() + static_cast<std::ptrdiff_t>(k), err.end());
    e.p95_mm = err[k];
    return e;
}

struct frame_result {
    double dist_ms, gray_ms, pcl_ms;
    int points;
    depth_error err;
};

int fail(const char *what) {
    fprintf(stderr, "kavro_demo: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string out_dir = argc > 1 ? argv[1] : "build/demo";
    const int frames = argc > 2 ? atoi(argv[2]) : 10;
    if (frames <= 0) return fail("the frame count must be positive");
    const std::string rec = out_dir + "/room.raw";
    if (mkdir(out_dir.c_str(), 0755) != 0 && errno != EEXIST) return fail("cannot create the output folder");
    if (!record_room(rec, frames)) return fail("the simulator could not record the room scene");
    const std::vector<std::vector<float>> truth = load_truth(rec + ".dist");
    if (static_cast<int>(truth.size()) != frames) return fail("cannot read the ground truth of the recording");

    kavro_init((out_dir + "/kavro_demo.log").c_str());
    kavro_path_cfg((out_dir + "/").c_str());  // after kavro_init, which resets the folder
    kavro_dev_t *dev = kavro_dev_open_replay(rec.c_str());
    if (!dev) {
        kavro_uninit();
        return fail("cannot open the recording");
    }
    printf("kavro_demo: replaying %s (product %s, integration %s us)\n", rec.c_str(), dev->product, INTG_US);
    if (!set_replay_rate(dev, REPLAY_FPS) || !kavro_cap_set_frame_buffer(dev, nullptr, ENGINE_FRAMES * ENGINE_FRAME_UNIT) ||
        !kavro_cap_start(dev)) {
        kavro_dev_close(dev);
        kavro_uninit();
        return fail("cannot start the capture");
    }

    std::vector<uint8_t> raw(FRAME_BUF_BYTES);
    std::vector<float> dist(PIXELS), gray(PIXELS), pcl(static_cast<size_t>(PIXELS) * 3);
    std::vector<frame_result> results;
    int points = 0, status = 0;
    printf("frame  distance    gray     pcl  points   MAE mm   p95 mm  invalid\n");
    for (int taken = 0; taken < frames; ++taken) {
        kavro_frame_t fr{};
        const int n = kavro_cap_get_frames(dev, 1, raw.data(), FRAME_BUF_BYTES, &fr);
        if (n < 0) {
            fprintf(stderr, "kavro_demo: capture failed: %s (%d)\n", kavro_error_name(n), n);
            status = 1;
            break;
        }
        if (n == 0) break;  // the recording has ended
        kavro_frame_info_t &info = fr.frame_info;
        if (info.width != WIDTH || info.height != HEIGHT) {
            fprintf(stderr, "kavro_demo: unexpected frame size %ux%u\n", static_cast<unsigned>(info.width),
                    static_cast<unsigned>(info.height));
            status = 1;
            break;
        }
        frame_result r{};
        const int src_len = static_cast<int>(info.frame_size);
        auto t0 = clock_type::now();
        const int nd = kavro_frame_get_distance(dev, dist.data(), PIXELS, raw.data(), src_len, &info);
        r.dist_ms = ms_since(t0);
        t0 = clock_type::now();
        const int ng = kavro_frame_get_gray(dev, gray.data(), PIXELS, raw.data(), src_len, &info);
        r.gray_ms = ms_since(t0);
        t0 = clock_type::now();
        points = kavro_frame_get_pcl(dev, pcl.data(), PIXELS * 3, dist.data(), PIXELS, WIDTH, HEIGHT, nullptr);
        r.pcl_ms = ms_since(t0);
        r.points = points;
        if (nd != PIXELS || ng != PIXELS) {
            fprintf(stderr, "kavro_demo: decoding frame %d failed\n", taken);
            status = 1;
            break;
        }
        // The replay numbers the frames of a recording 1, 2, ... in file
        // order (the end of the frame in the file, in frames), so frame i
        // pairs with ground-truth frame i - 1, even if one were dropped.
        const uint32_t rec_idx = info.frame_idx;
        if (rec_idx < 1 || rec_idx > truth.size()) {
            fprintf(stderr, "kavro_demo: frame index %u is not in the recording\n", static_cast<unsigned>(rec_idx));
            status = 1;
            break;
        }
        r.err = compare(dist, truth[rec_idx - 1]);
        printf("%5u %7.2f ms %4.2f ms %4.2f ms %7d %8.1f %8.1f %7.2f %%\n", static_cast<unsigned>(rec_idx), r.dist_ms,
               r.gray_ms, r.pcl_ms,
               r.points, r.err.mae_mm, r.err.p95_mm, 100.0 * r.err.invalid);
        results.push_back(r);
    }
    kavro_cap_stop(dev);

    if (status == 0 && results.empty()) {
        fprintf(stderr, "kavro_demo: no frame was captured\n");
        status = 1;
    }
    if (status == 0) {
        frame_result mean{};
        for (const auto &r : results) {
            mean.dist_ms += r.dist_ms / static_cast<double>(results.size());
            mean.gray_ms += r.gray_ms / static_cast<double>(results.size());
            mean.pcl_ms += r.pcl_ms / static_cast<double>(results.size());
            mean.err.mae_mm += r.err.mae_mm / static_cast<double>(results.size());
            mean.err.p95_mm += r.err.p95_mm / static_cast<double>(results.size());
            mean.err.invalid += r.err.invalid / static_cast<double>(results.size());
        }
        printf(" mean %7.2f ms %4.2f ms %4.2f ms %7s %8.1f %8.1f %7.2f %%\n", mean.dist_ms, mean.gray_ms, mean.pcl_ms,
               "", mean.err.mae_mm, mean.err.p95_mm, 100.0 * mean.err.invalid);
        printf("kavro_demo: %zu of %d recorded frames captured and decoded\n", results.size(), frames);

        // The last frame: colour-mapped depth, gray and the point cloud.
        std::vector<uint8_t> rgb(static_cast<size_t>(PIXELS) * 3);
        std::string error;
        const std::string png_depth = out_dir + "/depth_colormap.png", png_gray = out_dir + "/gray.png",
                          ply = out_dir + "/pointcloud.ply";
        const bool ok = kavro_cmap_float(rgb.data(), static_cast<int>(rgb.size()), dist.data(), PIXELS,
                                         KAVRO_CMAP_OUTFMT_RGB, CMAP_NEAR_M, CMAP_FAR_M) == PIXELS &&
                        write_png_rgb(png_depth, rgb.data(), WIDTH, HEIGHT, error) &&
                        write_png_gray(png_gray, gray_to_8bit(gray).data(), WIDTH, HEIGHT, error) &&
                        write_ply_xyz_rgb(ply, pcl, points, dist.data(), rgb.data(), PIXELS,
                                          "libkavro demo: room scene, metres", error);
        if (!ok) {
            fprintf(stderr, "kavro_demo: %s\n", error.empty() ? "colour mapping failed" : error.c_str());
            status = 1;
        } else {
            printf("kavro_demo: last frame written to %s (%.1f m red ... %.1f m blue, invalid black), %s and %s "
                   "(%d points)\n",
                   png_depth.c_str(), CMAP_NEAR_M, CMAP_FAR_M, png_gray.c_str(), ply.c_str(), points);
        }
    }
    kavro_dev_close(dev);
    kavro_uninit();
    return status;
}
