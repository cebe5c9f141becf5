// ctest-labels: nosan;e2e
// The kavro tool run as a user runs it: the built program in a shell, against
// the simulated USB camera (--sim), recordings and bad input. The outputs are
// checked as files: PNG structure, PLY through a strict reader (and through
// open3d when the Debian package is there), frame files through the
// library's loaders.
//
// Every case spawns the tool, which restarts itself under umockdev's preload:
// kept out of the sanitizer runs (label nosan on the first line), whose
// runtime must come first in the preload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "kavro.h"
#include "ll/ll_usb_proto.h"

namespace fs = std::filesystem;

namespace {

#ifdef KAVRO_CLI_EXE
constexpr const char *k_tool = KAVRO_CLI_EXE;
constexpr const char *k_source_dir = KAVRO_SOURCE_DIR;
constexpr const char *k_udev_rules = KAVRO_UDEV_RULES;
#else
constexpr const char *k_tool = nullptr;
constexpr const char *k_source_dir = nullptr;
constexpr const char *k_udev_rules = nullptr;
#endif

constexpr int W = 320, H = 240;

struct run_result {
    int code = -1;
    std::string out;  // stdout and stderr
    int sig = 0;      // the signal that ended the tool (spawn_in only)
};

// Runs `args` (shell words) with the tool in `dir`, stdin from /dev/null and
// the default cache folder in `cache`.
run_result run_in(const fs::path &dir, const fs::path &cache, const std::string &args) {
    const std::string cmd = "cd '" + dir.string() + "' && XDG_CACHE_HOME='" + cache.string() + "' '" + k_tool +
                            "' " + args + " </dev/null 2>&1";
    run_result r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The tool's two streams, apart, and its exit code.
struct split_result {
    int code = -1;
    std::string out, err;
};

// How run_split starts the tool: text for its standard input (else
// /dev/null), a command put before it (setpriv to run as another user, env
// to change the environment) and whether the cache folder is set by
// XDG_CACHE_HOME (else the prefix or the arguments decide).
struct split_opts {
    std::string input;
    std::string prefix;
    bool xdg_cache = true;
};

// Runs `args` (shell words) with the tool in `dir` like run_in, with stdout
// and stderr caught apart (in files beside the cache folder).
split_result run_split(const fs::path &dir, const fs::path &cache, const std::string &args, const split_opts &o = {}) {
    const fs::path io = cache.string() + ".io";
    fs::create_directories(io);
    const fs::path in = io / "in", out = io / "out", err = io / "err";
    {
        std::ofstream f(in, std::ios::trunc);
        f << o.input;
    }
    const std::string cmd = "cd '" + dir.string() + "' && " + (o.xdg_cache ? "XDG_CACHE_HOME='" + cache.string() + "' " : "") +
                            o.prefix + " '" + k_tool + "' " + args + " <'" + (o.input.empty() ? "/dev/null" : in.string()) +
                            "' >'" + out.string() + "' 2>'" + err.string() + "'";
    split_result r;
    const int st = std::system(cmd.c_str());
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream fo(out, std::ios::binary), fe(err, std::ios::binary);
    r.out.assign(std::istreambuf_iterator<char>(fo), std::istreambuf_iterator<char>());
    r.err.assign(std::istreambuf_iterator<char>(fe), std::istreambuf_iterator<char>());
    fs::remove_all(io);
    return r;
}

std::vector<uint8_t> read_file(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &p, const std::vector<uint8_t> &d) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(d.data()), static_cast<std::streamsize>(d.size()));
}

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// A PNG of w x h pixels, 8 bits, colour type `ctype` (0 gray, 2 RGB): the
// signature, IHDR first, at least one IDAT, and IEND ending the file exactly.
::testing::AssertionResult png_ok(const fs::path &p, int w, int h, int ctype) {
    const std::vector<uint8_t> d = read_file(p);
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (d.size() < 8 + 25 + 12 || std::memcmp(d.data(), sig, 8) != 0)
        return ::testing::AssertionFailure() << p << ": no PNG signature";
    if (std::memcmp(&d[12], "IHDR", 4) != 0 || be32(&d[8]) != 13)
        return ::testing::AssertionFailure() << p << ": IHDR is not the first chunk";
    if (be32(&d[16]) != uint32_t(w) || be32(&d[20]) != uint32_t(h) || d[24] != 8 || d[25] != ctype)
        return ::testing::AssertionFailure() << p << ": " << be32(&d[16]) << "x" << be32(&d[20]) << " depth "
                                             << int(d[24]) << " colour type " << int(d[25]);
    size_t at = 8;
    bool idat = false;
    while (at + 12 <= d.size()) {
        const uint32_t len = be32(&d[at]);
        const std::string type(reinterpret_cast<const char *>(&d[at + 4]), 4);
        if (at + 12 + len > d.size()) return ::testing::AssertionFailure() << p << ": chunk " << type << " cut";
        idat = idat || type == "IDAT";
        at += 12 + len;
        if (type == "IEND") {
            if (at != d.size()) return ::testing::AssertionFailure() << p << ": bytes after IEND";
            if (!idat) return ::testing::AssertionFailure() << p << ": no IDAT";
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << p << ": no IEND";
}

struct ply_cloud {
    std::vector<std::array<float, 3>> xyz;
    std::vector<std::array<uint8_t, 3>> rgb;
};

// Strict reader of the one PLY layout the tool writes: binary little-endian,
// vertices of float x y z and uchar red green blue, nothing else, and the
// file exactly as long as the header says.
::testing::AssertionResult ply_read(const fs::path &p, ply_cloud *out) {
    const std::vector<uint8_t> d = read_file(p);
    const std::string text(d.begin(), d.end());
    const size_t end = text.find("end_header\n");
    if (end == std::string::npos) return ::testing::AssertionFailure() << p << ": no end_header";
    std::istringstream hs(text.substr(0, end));
    std::vector<std::string> lines;
    for (std::string l; std::getline(hs, l);)
        if (l.rfind("comment ", 0) != 0) lines.push_back(l);
    const std::vector<std::string> props = {"property float x",   "property float y",     "property float z",
                                            "property uchar red", "property uchar green", "property uchar blue"};
    if (lines.size() != 3 + props.size() || lines[0] != "ply" || lines[1] != "format binary_little_endian 1.0")
        return ::testing::AssertionFailure() << p << ": unexpected header lines";
    size_t count = 0;
    const std::string elem = "element vertex ";
    if (lines[2].rfind(elem, 0) != 0 || lines[2].size() == elem.size() ||
        lines[2].find_first_not_of("0123456789", elem.size()) != std::string::npos)
        return ::testing::AssertionFailure() << p << ": bad element line '" << lines[2] << "'";
    count = std::stoul(lines[2].substr(elem.size()));
    for (size_t i = 0; i < props.size(); ++i)
        if (lines[3 + i] != props[i])
            return ::testing::AssertionFailure() << p << ": property " << i << " is '" << lines[3 + i] << "'";
    const size_t body = end + std::strlen("end_header\n");
    if (d.size() != body + count * 15)
        return ::testing::AssertionFailure() << p << ": " << d.size() << " bytes, header says " << body + count * 15;
    out->xyz.resize(count);
    out->rgb.resize(count);
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out->xyz[i].data(), &d[body + i * 15], 12);
        std::memcpy(out->rgb[i].data(), &d[body + i * 15 + 12], 3);
    }
    return ::testing::AssertionSuccess();
}

// Every distance frame of a frames.dist file.
std::vector<std::vector<float>> load_distances(const fs::path &p) {
    std::vector<std::vector<float>> frames;
    const int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return frames;
    for (;;) {
        std::vector<float> f(W * H);
        int w = 0, h = 0;
        if (kavro_frame_load_distance(fd, f.data(), W * H, &w, &h) != W * H || w != W || h != H) break;
        frames.push_back(std::move(f));
    }
    close(fd);
    return frames;
}

// Gray frames in a frames.gray file.
size_t count_gray_frames(const fs::path &p) {
    const int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    size_t n = 0;
    std::vector<float> f(W * H);
    int w = 0, h = 0;
    while (kavro_frame_load_gray(fd, f.data(), W * H, &w, &h) == W * H && w == W && h == H) ++n;
    close(fd);
    return n;
}

// The outputs of capture or convert in `dir`: exactly `frames` frames, each
// with two valid PNGs and a PLY whose points are the valid pixels of the
// same frame in frames.dist, with finite coordinates in front of the camera.
void check_outputs(const fs::path &dir, int frames) {
    SCOPED_TRACE(dir.string());
    const auto dists = load_distances(dir / "frames.dist");
    ASSERT_EQ(static_cast<int>(dists.size()), frames);
    EXPECT_EQ(static_cast<int>(count_gray_frames(dir / "frames.gray")), frames);
    for (int n = 1; n <= frames + 1; ++n) {
        char base[32];
        snprintf(base, sizeof base, "frame_%04d", n);
        if (n > frames) {
            EXPECT_FALSE(fs::exists(dir / (std::string(base) + ".ply"))) << "more frames than asked for";
            break;
        }
        EXPECT_TRUE(png_ok(dir / (std::string(base) + "_depth.png"), W, H, 2));
        EXPECT_TRUE(png_ok(dir / (std::string(base) + "_gray.png"), W, H, 0));
        ply_cloud c;
        ASSERT_TRUE(ply_read(dir / (std::string(base) + ".ply"), &c));
        size_t valid = 0;
        for (float d : dists[static_cast<size_t>(n - 1)]) valid += d > 0.0f && d < 60.0f;
        EXPECT_GT(valid, 0u) << base;
        EXPECT_EQ(c.xyz.size(), valid) << base;
        for (const auto &p : c.xyz) {
            const float r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
            ASSERT_TRUE(std::isfinite(r) && p[2] > 0.0f && r < 60.0f) << base << ": " << p[0] << " " << p[1] << " " << p[2];
        }
    }
}

constexpr size_t k_raw_frame = size_t{W} * H * 4 * 2;  // four 16-bit phase images

size_t first_line_len(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::string l;
    return std::getline(f, l) && !f.eof() ? l.size() + 1 : 0;
}

class KavroCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (!k_tool) GTEST_SKIP() << "the kavro tool is not built (CLI11 or umockdev missing)";
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::current_path() / "scratch" / (std::string(info->test_suite_name()) + "." + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // The cache folder under a short unique path: the calibration file
        // names in it must fit in KAVRO_PARAM_FILENAME_MAX characters,
        // wherever the build tree is.
        char tmpl[] = "/tmp/kavro_cli_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        cache_ = tmpl;
    }
    void TearDown() override {
        if (!cache_.empty()) fs::remove_all(cache_);
    }
    run_result run(const std::string &args) { return run_in(dir_, cache_, args); }
    // Runs and expects success.
    std::string ok(const std::string &args) {
        const run_result r = run(args);
        EXPECT_EQ(r.code, 0) << "kavro " << args << "\n" << r.out;
        return r.out;
    }
    fs::path dir_, cache_;
};

// The README's example (examples/kavro_tool.sh, which the README check keeps
// equal to the README's block), line by line; then its outputs.
TEST_F(KavroCli, ReadmeExampleRunsAndWritesValidFiles) {
    std::ifstream example(fs::path(k_source_dir) / "examples" / "kavro_tool.sh");
    std::vector<std::string> cmds;
    for (std::string l; std::getline(example, l);)
        if (!l.empty()) cmds.push_back(l);
    ASSERT_GE(cmds.size(), 5u) << "examples/kavro_tool.sh was not found";
    std::string all;
    for (const std::string &c : cmds) {
        ASSERT_EQ(c.rfind("kavro ", 0), 0u) << "example line does not run kavro: " << c;
        all += ok(c.substr(6));
    }
    EXPECT_EQ(all.find("[ERR]"), std::string::npos) << "the library reported errors:\n" << all;
    EXPECT_NE(all.find("intg_time: 3000"), std::string::npos) << all;
    EXPECT_NE(all.find("product:     KVSIM-E2-320"), std::string::npos) << all;
    EXPECT_NE(all.find("calib file:  pixel, room.raw.calib ("), std::string::npos) << all;
    check_outputs(dir_ / "out", 5);
    check_outputs(dir_ / "converted", 5);
    check_outputs(dir_ / "replayed", 2);
}

// The line of `out` that starts with `label`, or "" when there is none.
std::string line_of(const std::string &out, const std::string &label) {
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (l.rfind(label, 0) == 0) return l;
    return "";
}

// A recording keeps what the camera said about itself and what decoding
// needs: info on the replay shows the live camera's identity, settings and
// lens, and the calibration copy beside the recording (or why it is not
// used).
TEST_F(KavroCli, ReplayInfoShowsTheRecordedCamera) {
    // A setting away from the camera's default, so a recorded value is told
    // from a replay's fallback.
    ok("--sim params set intg_time=2500");
    const std::string live = ok("--sim info");
    ok("--sim record -n 3 rec.raw");
    for (const char *f : {"rec.raw", "rec.raw.info", "rec.raw.calib"}) EXPECT_TRUE(fs::exists(dir_ / f)) << f;
    const std::string rep = ok("--replay rec.raw info");
    for (const char *label : {"vendor:", "product:", "serial:", "versions:", "sensor:", "intg_time:", "intrinsics:"}) {
        SCOPED_TRACE(label);
        ASSERT_NE(line_of(live, label), "") << live;
        EXPECT_EQ(line_of(rep, label), line_of(live, label)) << rep;
    }
    EXPECT_NE(line_of(live, "intg_time:").find("2500"), std::string::npos) << live;
    EXPECT_NE(line_of(rep, "side file:").find("3 frame records"), std::string::npos) << rep;
    // The live camera decodes with its per-pixel calibration from the cache:
    // the recording carries a byte copy of that file.
    const std::string cache_line = line_of(live, "cache file:");
    const std::string cached = cache_line.substr(13, cache_line.find(" (") - 13);
    ASSERT_TRUE(fs::exists(cached)) << live;
    EXPECT_EQ(read_file(dir_ / "rec.raw.calib"), read_file(cached));
    const std::string calib = line_of(rep, "calib file:");
    EXPECT_EQ(calib.rfind("calib file:  pixel, rec.raw.calib (" + std::to_string(fs::file_size(cached)) + " bytes", 0),
              0u)
        << rep;
    EXPECT_NE(calib.find("matches"), std::string::npos) << rep;

    // A damaged copy is named as such; without the side file the recording
    // is an old one.
    std::vector<uint8_t> bad = read_file(dir_ / "rec.raw.calib");
    bad[bad.size() / 2] ^= 0x5A;
    write_file(dir_ / "rec.raw.calib", bad);
    EXPECT_NE(line_of(ok("--replay rec.raw info"), "calib file:").find("changed"), std::string::npos);
    fs::remove(dir_ / "rec.raw.info");
    const std::string old = ok("--replay rec.raw info");
    EXPECT_NE(line_of(old, "side file:").find("none"), std::string::npos) << old;
    EXPECT_EQ(line_of(old, "calib file:"), "") << old;
}

// Every path decodes the same raw frames to the same floats: the live
// capture, the replay of its recording and the conversion of it (frames.dist
// holds 32-bit floats, so equal files are bit-identical decodes).
TEST_F(KavroCli, ConvertDecodesLikeReplayAndLive) {
    ok("--sim capture -n 3 -o live");
    ok("--sim record -n 3 rec.raw");
    ok("convert rec.raw -o conv");
    ok("--replay rec.raw capture -n 3 -o replayed");
    const auto live = load_distances(dir_ / "live" / "frames.dist");
    ASSERT_EQ(live.size(), 3u);
    for (const char *path : {"conv", "replayed"}) {
        SCOPED_TRACE(path);
        const auto other = load_distances(dir_ / path / "frames.dist");
        ASSERT_EQ(other.size(), live.size());
        for (size_t i = 0; i < live.size(); ++i)
            EXPECT_EQ(std::memcmp(other[i].data(), live[i].data(), live[i].size() * sizeof(float)), 0) << "frame " << i;
    }
}

// An independent reader: open3d (Debian python3-open3d) reads the cloud
// with the same points and a colour per point.
TEST_F(KavroCli, PointCloudReadsInOpen3d) {
    const char *py = "/usr/bin/python3";
    if (std::system((std::string(py) + " -c 'import open3d' >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "python3-open3d is not installed";
    ok("--sim capture -n 1 -o cloud");
    ply_cloud c;
    ASSERT_TRUE(ply_read(dir_ / "cloud" / "frame_0001.ply", &c));
    const std::string script = "import open3d as o3d, numpy as np, sys\n"
                               "pc = o3d.io.read_point_cloud(sys.argv[1], format='ply')\n"
                               "p = np.asarray(pc.points)\n"
                               "print(len(p), int(pc.has_colors()), '%.6f' % p[:, 2].sum())\n";
    const fs::path sp = dir_ / "read.py";
    std::ofstream(sp) << script;
    FILE *p = popen((std::string(py) + " " + sp.string() + " " + (dir_ / "cloud" / "frame_0001.ply").string()).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(pclose(p), 0);
    size_t n = 0;
    int colours = 0;
    double zsum = 0;
    ASSERT_EQ(sscanf(line, "%zu %d %lf", &n, &colours, &zsum), 3) << line;
    double mine = 0;
    for (const auto &q : c.xyz) mine += q[2];
    EXPECT_EQ(n, c.xyz.size());
    EXPECT_EQ(colours, 1);
    EXPECT_NEAR(zsum, mine, 1e-3 * std::max(1.0, std::fabs(mine)));
}

// What is set is read back by the next run, as from a real camera; a batch
// the tool refuses changes nothing.
TEST_F(KavroCli, ParametersAndRegistersRoundTrip) {
    struct step {
        const char *set;
        int set_code;
        const char *get;
        const char *expect;  // text the get prints
    };
    const step steps[] = {
        {"--sim params set intg_time=2500 frame_rate=15", 0, "--sim params get intg_time frame_rate",
         "intg_time: 2500\nframe_rate: 15\n"},
        {"--sim params set illum_power=80", 0, "--sim params get illum_power intg_time",
         "illum_power: 80\nintg_time: 2500\n"},
        // Out of range for 16 bits, and a read-only parameter: nothing changes.
        {"--sim params set frame_rate=20 intg_time=70000", 2, "--sim params get intg_time frame_rate",
         "intg_time: 2500\nframe_rate: 15\n"},
        {"--sim params set vendor=1", 2, "--sim params get intg_time", "intg_time: 2500\n"},
        {"--sim regs write cam0 0x40 0x1234 0xCAFEBABE", 0, "--sim regs read cam0 0x40 2",
         "0x00000040: 0x00001234\n0x00000041: 0xCAFEBABE\n"},
        {"--sim regs write mcu 0x10 7", 0, "--sim regs read cam0 0x41", "0x00000041: 0xCAFEBABE\n"},
        {"--sim regs write cam0 0x40 -1", 2, "--sim regs read cam0 0x40", "0x00000040: 0x00001234\n"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.set);
        const run_result r = run(s.set);
        EXPECT_EQ(r.code, s.set_code) << r.out;
        EXPECT_EQ(ok(s.get), s.expect);
    }
}

// Data and firmware images: the exit code and what the camera's flash holds
// afterwards ("old": the image before, "new": the file sent, "none").
TEST_F(KavroCli, TransfersEndWithTheRightCodeAndFlash) {
    std::vector<uint8_t> old_img(70000), new_img(200000);  // two and four packets
    for (size_t i = 0; i < old_img.size(); ++i) old_img[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < new_img.size(); ++i) new_img[i] = static_cast<uint8_t>(i * 13 + 5);
    write_file(dir_ / "old.bin", old_img);
    write_file(dir_ / "new.bin", new_img);
    struct tcase {
        const char *name;
        int type;
        const char *cmd;  // %d: the type
        int code;
        const char *flash;
    };
    const tcase cases[] = {
        {"data write", 5, "--sim data write --type %d --version 3 new.bin", 0, "new"},
        {"firmware with --yes", 4, "--sim firmware upgrade new.bin --type %d --yes", 0, "new"},
        {"firmware that restarts the camera", 0, "--sim firmware upgrade new.bin --type %d --yes", 0, "new"},
        {"firmware without confirmation", 4, "--sim firmware upgrade new.bin --type %d", 7, "old"},
        {"refused image", 4, "--sim --sim-fault refuse-images data write --type %d new.bin", 5, "old"},
        {"refused firmware", 4, "--sim --sim-fault refuse-images firmware upgrade new.bin --type %d -y", 5, "old"},
        {"camera unplugged mid-transfer", 5,
         "--sim --sim-fault unplug-during-transfer firmware upgrade new.bin --type %d --yes", 6, "none"},
        {"missing file", 5, "--sim data write --type %d missing.bin", 4, "old"},
    };
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(cache_ / "kavro");
        const std::string t = std::to_string(c.type);
        ok("--sim data write --type " + t + " old.bin");
        char cmd[256];
        snprintf(cmd, sizeof cmd, c.cmd, c.type);
        const run_result r = run(cmd);
        EXPECT_EQ(r.code, c.code) << r.out;
        fs::remove(dir_ / "back.bin");
        const run_result back = run("--sim data read --type " + t + " back.bin");
        if (std::string(c.flash) == "none") {
            EXPECT_EQ(back.code, 1) << back.out;
        } else {
            ASSERT_EQ(back.code, 0) << back.out;
            EXPECT_EQ(read_file(dir_ / "back.bin"), std::string(c.flash) == "new" ? new_img : old_img);
        }
    }
}

// Failures name what failed, with the documented exit code.
TEST_F(KavroCli, FailuresExitWithTheDocumentedCode) {
    write_file(dir_ / "notes.txt", {'h', 'i', '\n'});
    struct ecase {
        std::string args;
        int code;
        const char *says;
    };
    const ecase cases[] = {
        {"list", 3, "no camera found"},
        {"--sim capture -n 2", 2, "--output"},
        {"--sim --replay x.raw info", 2, "cannot be combined"},
        {"--sim params get nosuch", 2, "unknown parameter"},
        {"--sim regs read bogus 0", 2, "unknown register target"},
        {"--sim filter enable nosuch", 2, "unknown filter"},
        {"--sim filter enable hdr 5", 2, "bad value"},
        {"--replay missing.raw info", 4, "cannot read the recording"},
        {"convert notes.txt -o x", 4, "raw recording"},
        {"--sim capture -n 1 -o notes.txt/x", 4, "output folder"},
        {"--sim data read --type 9 img.bin", 1, "data read failed"},
        {"--sim --sim-fault no-calib calib fetch", 1, "no calibration package"},
        {"--replay notes.txt calib fetch", 3, "cannot open the recording"},
        {"--sim record -n 1 nodir/rec.raw", 4, "cannot create nodir/rec.raw"},
        {"--sim --cache-dir /tmp/" + std::string(100, 'c') + " info", 2, "too long"},
        {"--sim view --port 0 --listen 999.1.1.1", 2, "not an IPv4 or IPv6 address"},
        {"--sim view --port 0 --listen camera.example", 2, "not an IPv4 or IPv6 address"},
    };
    for (const ecase &c : cases) {
        SCOPED_TRACE(c.args);
        const run_result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
}

// Lines of `text` that start with `head`.
int lines_starting(const std::string &text, const std::string &head) {
    std::istringstream in(text);
    int n = 0;
    for (std::string l; std::getline(in, l);)
        if (l.rfind(head, 0) == 0) ++n;
    return n;
}

// Every case a new user ran into, as a table: the exit code of the README's
// table, results on stdout, and on stderr the tool's one message per failure
// (with the library's detail where it adds something) and never the
// library's own log lines. Cases run in order on one simulated camera (its
// flash and settings persist from case to case, like a real camera's).
TEST_F(KavroCli, EveryUserCaseHasItsCodeAndStreams) {
    std::string as_nobody;
    if (::geteuid() == 0) {
        if (std::system("command -v setpriv >/dev/null 2>&1") == 0)
            as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    } else {
        as_nobody = " ";  // already unprivileged: read-only folders bind
    }
    ok("--sim record -n 3 room.raw");
    const std::vector<uint8_t> room = read_file(dir_ / "room.raw");
    const size_t hdr = first_line_len(dir_ / "room.raw");
    ASSERT_GT(hdr, 0u);
    // Two whole frames and half of the third.
    write_file(dir_ / "trunc.raw", std::vector<uint8_t>(room.begin(), room.begin() + long(hdr + k_raw_frame * 5 / 2)));
    // Cut at a frame boundary, with the side file of all three frames.
    write_file(dir_ / "even.raw", std::vector<uint8_t>(room.begin(), room.begin() + long(hdr + k_raw_frame * 2)));
    fs::copy_file(dir_ / "room.raw.info", dir_ / "even.raw.info");
    std::vector<uint8_t> random_fw(300000);
    uint32_t x = 12345;
    for (auto &b : random_fw) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    write_file(dir_ / "fw.bin", random_fw);
    write_file(dir_ / "empty.bin", {});
    std::vector<uint8_t> odd(455);  // a last read piece (5 bytes) shorter than the 12-byte request
    for (size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<uint8_t>(i * 7 + 3);
    write_file(dir_ / "odd.bin", odd);
    {
        std::ofstream big(dir_ / "big.bin", std::ios::binary);
        big.seekp((4 << 20) + 1 - 1);
        big.put('\0');  // one byte more than a firmware image may have
    }
    // A folder nobody may write into, the working folder open to everyone
    // (outputs of the unprivileged runs) and a cache folder of theirs.
    fs::create_directories(dir_ / "ro");
    fs::create_directories(dir_ / "rohome");
    fs::create_directories(dir_ / "nobody_cache");
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(dir_ / "nobody_cache", fs::perms::all);
    for (const char *f : {"room.raw", "room.raw.info", "room.raw.calib"})
        fs::permissions(dir_ / f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                      fs::perms::others_read);
    const auto ro_perms = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir_ / "ro", ro_perms);
    fs::permissions(dir_ / "rohome", ro_perms);

    struct ucase {
        const char *name;
        std::string args;
        int code;
        const char *out_has;  // on stdout ("" for nothing in particular)
        const char *err_has;  // on stderr, once ("" for nothing in particular)
        split_opts how = {};
        bool unprivileged = false;  // runs as nobody (skipped when that cannot be arranged)
        std::function<void()> then = nullptr;  // further checks of what the case left
    };
    auto piped = [](const char *text) {
        split_opts o;
        o.input = text;
        return o;
    };
    const std::string nobody_cache = "--cache-dir '" + (dir_ / "nobody_cache").string() + "' ";
    const ucase cases[] = {
        // Output streams: one message per failure, with the library's detail.
        {"library detail in the tool's one message", "--sim data read --type 9 img.bin", 1, "",
         "kavro: the data read failed (camera library: No valid data to read, please check)"},
        {"library console log on request, on stderr", "--sim --log-level error data read --type 9 img.bin", 1, "",
         "[VX][ERR][kavro_bin_data_read] No valid data to read, please check"},
        // Exit codes of the table.
        {"data read into a read-only folder", nobody_cache + "--sim data read --type 9 ro/back.bin", 4, "",
         "ro/back.bin: Permission denied", {}, true},
        {"capture of a truncated recording", "--replay trunc.raw capture -n 5 -o t_cap", 4, "2 frames written",
         "2 frames decoded, 1 frames missing"},
        {"capture of a truncated recording, fewer frames than it holds", "--replay trunc.raw capture -n 2 -o t_two", 0,
         "2 frames written", ""},
        {"convert of a truncated recording", "convert trunc.raw -o t_conv", 4, "2 frames written",
         "2 frames decoded, 1 frames missing"},
        {"convert of a recording shorter than its side file", "convert even.raw -o even_conv", 4,
         "2 frames written", "(its side file lists 3 frames): 2 frames decoded, 1 frames missing"},
        {"convert of a whole recording", "convert room.raw -o whole_conv", 0, "3 frames written", ""},
        {"params set on a recording", "--replay room.raw params set intg_time=100", 2, "",
         "params set needs a camera"},
        {"regs write on a recording", "--replay room.raw regs write cam0 0x10 1", 2, "", "regs write needs a camera"},
        {"convert without a writable home", "convert room.raw -o nobody_conv", 0, "3 frames written", "",
         {"", "env -u XDG_CACHE_HOME HOME='" + (dir_ / "rohome").string() + "'", false}, true},
        // Transfers: host checks before anything is erased.
        {"empty image", "--sim data write --type 5 empty.bin", 5, "", "empty.bin is empty"},
        {"firmware larger than its type allows", "--sim --yes firmware upgrade big.bin --type 0", 5, "",
         "a firmware image of type 0 has at most 4194304 bytes"},
        {"missing image file", "--sim data write --type 5 missing.bin", 4, "", "cannot read missing.bin"},
        {"unknown image type", "--sim data write --type 256 odd.bin", 2, "", "0 ... 255"},
        // Confirmation and global options on either side of the command.
        {"firmware confirmed by a piped y", "--sim firmware upgrade odd.bin --type 4", 0,
         "firmware upload of image type 4 from odd.bin done", "", piped("y\n")},
        {"firmware declined by a piped n", "--sim firmware upgrade fw.bin --type 4", 7, "", "not confirmed", piped("n\n")},
        {"firmware without an answer", "--sim firmware upgrade fw.bin --type 4", 7, "", "answer 'y' or pass --yes"},
        {"--yes before the command", "--sim --yes firmware upgrade odd.bin --type 4", 0, "done", ""},
        {"global options after the command", "firmware upgrade odd.bin --type 4 --sim -y", 0, "done", ""},
        {"replay after the command", "capture -n 1 -o late --replay room.raw", 0, "1 frames written", ""},
        // A firmware image (its content cannot be checked by the host) with a
        // version: the camera restarts into it and says so at once.
        {"firmware upgrade re-reads the identity", "--sim --yes firmware upgrade fw.bin --type 0 --version 150", 0,
         "camera now:     hw 3, sw 150, sw2 1, hw2 2", ""},
        {"info after the upgrade", "info --sim", 0, "versions:    hw 3, sw 150, sw2 1, hw2 2", ""},
        // The last piece of a read asks for what remains only: the camera
        // refuses a request past the end of its image.
        {"write of an odd-sized image", "--sim data write --type 6 odd.bin", 0, "done", ""},
        {"data write of a firmware type re-reads the identity", "--sim data write --type 1 --version 7 odd.bin", 0,
         "camera now:     hw 3, sw 150, sw2 7, hw2 2", ""},
        {"read of an odd-sized image", "--sim data read --type 6 odd_back.bin", 0, "done", "", {}, false,
         [&] { EXPECT_EQ(read_file(dir_ / "odd_back.bin"), odd); }},
        // Documentation on the help pages.
        {"parameters with unit and range", "params --help", 0,
         "  intg_time*     us               1 ... the camera's largest (capability)", ""},
        {"image types in the data help", "data --help", 0, "  0    firmware; the camera restarts into it", ""},
        {"image types in the firmware help", "firmware --help", 0, "  4-255 other data images", ""},
    };
    for (const ucase &c : cases) {
        SCOPED_TRACE(c.name);
        split_opts how = c.how;
        if (c.unprivileged) {
            if (as_nobody.empty()) {
                ADD_FAILURE() << "running as root without setpriv: the case cannot run unprivileged";
                continue;
            }
            how.prefix = as_nobody + " " + how.prefix;
        }
        const split_result r = run_split(dir_, cache_, c.args, how);
        const std::string all = "stdout:\n" + r.out + "stderr:\n" + r.err;
        EXPECT_EQ(r.code, c.code) << "kavro " << c.args << "\n" << all;
        EXPECT_NE(r.out.find(c.out_has), std::string::npos) << all;
        // Errors and the log stay off stdout.
        EXPECT_EQ(r.out.find("[VX]"), std::string::npos) << all;
        EXPECT_EQ(r.out.find("kavro: "), std::string::npos) << all;
        // One message for a failure, none for a success (warnings aside).
        EXPECT_EQ(lines_starting(r.err, "kavro: ") - lines_starting(r.err, "kavro: warning"), c.code ? 1 : 0) << all;
        if (*c.err_has) {
            const size_t at = r.err.find(c.err_has);
            EXPECT_NE(at, std::string::npos) << all;
            if (at != std::string::npos) {
                EXPECT_EQ(r.err.find(c.err_has, at + 1), std::string::npos) << "twice:\n" << all;
            }
        }
        // The library's own lines only when asked for with --log-level.
        if (c.args.find("--log-level") == std::string::npos) {
            EXPECT_EQ(r.err.find("[VX]"), std::string::npos) << all;
        }
        if (c.then) c.then();
    }
}

// Opening the camera caches its calibration; calib fetch downloads it again
// over a damaged copy and leaves no temporary file behind.
TEST_F(KavroCli, CalibrationFetchRepairsTheCache) {
    EXPECT_NE(ok("--sim --cache-dir c info").find("bytes, valid)"), std::string::npos);
    const fs::path c = dir_ / "c";
    fs::path file;
    for (const auto &e : fs::directory_iterator(c))
        if (e.path().filename().string().rfind("kavro_param_", 0) == 0) file = e.path();
    ASSERT_FALSE(file.empty()) << "opening the camera did not cache its calibration";
    const std::vector<uint8_t> good = read_file(file);
    ASSERT_GT(good.size(), 100u);
    std::vector<uint8_t> bad = good;
    bad[100] ^= 0xFF;
    write_file(file, bad);
    const std::string out = ok("--sim --cache-dir c calib fetch");
    EXPECT_NE(out.find("calibration saved to " + file.lexically_relative(dir_).string()), std::string::npos) << out;
    EXPECT_EQ(read_file(file), good);
    EXPECT_FALSE(fs::exists(c / "calibration.bin"));
}

// A cache folder the tool may not write into (created read-only; as root the
// tool runs as nobody, whom the mode then binds too). The calibration cannot
// be stored: calib fetch names that cause with the file exit code, and
// capture says it decodes without calibration instead of staying silent. A
// writable folder gives the per-pixel calibration, which info and capture
// print.
TEST_F(KavroCli, UnwritableCacheIsNamedNotHidden) {
    std::string as_user;
    if (::geteuid() == 0) {
        if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "root without setpriv";
        as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    const fs::path ro = cache_ / "ro";
    fs::create_directories(ro);
    fs::permissions(cache_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir_, fs::perms::all);  // outputs of the other user
    auto run_as = [&](const std::string &args) {
        const std::string cmd = "cd '" + dir_.string() + "' && " + as_user + "'" + k_tool + "' --cache-dir '" +
                                ro.string() + "' " + args + " </dev/null 2>&1";
        run_result r;
        FILE *p = popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        size_t n = 0;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int st = pclose(p);
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    };

    const run_result fetch = run_as("--sim calib fetch");
    EXPECT_EQ(fetch.code, 4) << fetch.out;
    EXPECT_NE(fetch.out.find("cannot store the calibration in the cache folder"), std::string::npos) << fetch.out;
    EXPECT_NE(fetch.out.find("Permission denied"), std::string::npos) << fetch.out;
    EXPECT_EQ(fetch.out.find("did not send"), std::string::npos) << "the camera is blamed:\n" << fetch.out;

    const run_result cap = run_as("--sim capture -n 1 -o ro_out");
    EXPECT_EQ(cap.code, 0) << cap.out;
    EXPECT_NE(cap.out.find("calibration: none"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("calibration is not in use"), std::string::npos) << cap.out;

    EXPECT_NE(ok("--sim --cache-dir c info").find("calibration: per-pixel\n"), std::string::npos);
    const std::string out = ok("--sim --cache-dir c capture -n 1 -o rw_out");
    EXPECT_NE(out.find("calibration: per-pixel\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("not in use"), std::string::npos) << out;
}

// filter enable / disable keep their choice for the camera: the next capture
// decodes with it (and prints it), reset returns to the decode of before, bit
// for bit. A choice made on a recording holds for its convert.
TEST_F(KavroCli, FilterChoiceIsKeptForLaterCommands) {
    auto capture = [&](const std::string &out_dir, std::string *out) {
        *out = ok("--sim --cache-dir c capture -n 1 -o " + out_dir);
        const auto frames = load_distances(dir_ / out_dir / "frames.dist");
        EXPECT_EQ(frames.size(), 1u) << *out;
        return frames.empty() ? std::vector<float>() : frames[0];
    };
    auto rejected = [](const std::vector<float> &d) {
        return std::count(d.begin(), d.end(), KAVRO_DIST_REJECTED);
    };
    std::string out;
    const auto before = capture("before", &out);
    EXPECT_NE(out.find("filters: driver defaults"), std::string::npos) << out;

    EXPECT_NE(ok("--sim --cache-dir c filter enable amp 500").find("filter amp enabled"), std::string::npos);
    const auto strict = capture("amp500", &out);
    EXPECT_NE(out.find("filters: amp=500"), std::string::npos) << out;
    EXPECT_GT(rejected(strict), rejected(before) + 1000);  // amplitude 500 instead of 30

    ok("--sim --cache-dir c filter disable amp");
    const auto off = capture("amp_off", &out);
    EXPECT_NE(out.find("filters: amp off"), std::string::npos) << out;
    EXPECT_LT(rejected(off), rejected(before));
    EXPECT_NE(ok("--sim --cache-dir c filter list").find("amp off"), std::string::npos);

    // A --filter option comes on top of the kept setting, for that command.
    const std::string with_opt = ok("--sim --cache-dir c capture -n 1 -o opt --filter amp=500");
    EXPECT_NE(with_opt.find("filters: amp off, amp=500 (--filter)"), std::string::npos) << with_opt;
    EXPECT_EQ(load_distances(dir_ / "opt" / "frames.dist").at(0), strict);

    ok("--sim --cache-dir c filter reset amp");
    EXPECT_EQ(capture("after", &out), before);

    // A recording: the setting made on it is applied by convert.
    ok("--sim --cache-dir c record -n 2 rec.raw");
    ok("--cache-dir c convert rec.raw -o conv_before");
    ok("--cache-dir c --replay rec.raw filter enable amp 500");
    const std::string conv = ok("--cache-dir c convert rec.raw -o conv_after");
    EXPECT_NE(conv.find("filters: amp=500"), std::string::npos) << conv;
    const auto a = load_distances(dir_ / "conv_before" / "frames.dist");
    const auto b = load_distances(dir_ / "conv_after" / "frames.dist");
    ASSERT_FALSE(a.empty());
    ASSERT_EQ(a.size(), b.size());
    EXPECT_GT(rejected(b[0]), rejected(a[0]));

    // A kept file that was edited into nonsense is refused, not ignored.
    for (const auto &e : fs::directory_iterator(dir_ / "c"))
        if (e.path().filename().string().rfind("filters_", 0) == 0) write_file(e.path(), {'a', 'm', 'p', ' ', 'x', '\n'});
    const run_result bad = run("--sim --cache-dir c capture -n 1 -o bad");
    EXPECT_EQ(bad.code, 4) << bad.out;
    EXPECT_NE(bad.out.find("is not a filter setting"), std::string::npos) << bad.out;
}

// ---- faults: the tool killed, the disk full ---------------------------------

struct spawn_opts {
    rlim_t fsize = RLIM_INFINITY;  // the tool's RLIMIT_FSIZE
    bool ignore_xfsz = false;      // writes past the limit fail with EFBIG instead of the signal
    std::string kill_at;           // SIGKILL the tool when it prints a line starting with this
};

// Runs the tool like run_in, with a file size limit and a SIGKILL at a line
// of its output (the progress lines mark how far a command got). Temporary
// files of the emulated bus go to the cache folder.
run_result spawn_in(const fs::path &dir, const fs::path &cache, const std::string &args, const spawn_opts &o) {
    const std::string cmd = "cd '" + dir.string() + "' && XDG_CACHE_HOME='" + cache.string() + "' TMPDIR='" +
                            cache.string() + "' exec '" + k_tool + "' " + args;
    run_result r;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        if (o.fsize != RLIM_INFINITY) {
            const rlimit rl{o.fsize, o.fsize};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        signal(SIGXFSZ, o.ignore_xfsz ? SIG_IGN : SIG_DFL);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    bool killed = false;
    size_t scanned = 0;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        r.out.append(buf, static_cast<size_t>(n));
        for (size_t nl; !killed && (nl = r.out.find('\n', scanned)) != std::string::npos; scanned = nl + 1) {
            if (!o.kill_at.empty() && r.out.compare(scanned, o.kill_at.size(), o.kill_at) == 0) {
                kill(pid, SIGKILL);
                killed = true;
            }
        }
    }
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.sig = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    return r;
}


// The whole frame lines ("frame ..." with their line feed) of a side file.
int side_file_frames(const fs::path &p) {
    const std::vector<uint8_t> d = read_file(p);
    const std::string t(d.begin(), d.end());
    int n = 0;
    for (size_t at = 0; (at = t.find("\nframe ", at)) != std::string::npos; ++at)
        n += t.find('\n', at + 1) != std::string::npos;
    return n;
}

// Every output of capture or convert under its final name is whole: PNGs and
// PLYs complete, the frame files whole frames only, no temporary file left.
// Returns the frames in frames.dist.
int check_outputs_whole(const fs::path &dir) {
    int dist_frames = 0;
    for (const auto &e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        SCOPED_TRACE(name);
        if (name.ends_with("_depth.png")) {
            EXPECT_TRUE(png_ok(e.path(), W, H, 2));
        } else if (name.ends_with("_gray.png")) {
            EXPECT_TRUE(png_ok(e.path(), W, H, 0));
        } else if (name.ends_with(".ply")) {
            ply_cloud c;
            EXPECT_TRUE(ply_read(e.path(), &c));
        } else if (name == "frames.dist" || name == "frames.gray") {
            const size_t size = fs::file_size(e.path());
            const size_t frame = size_t{W} * H * (name == "frames.dist" ? 4 : 2);
            const size_t hdr = first_line_len(e.path());
            EXPECT_TRUE(size == 0 || (hdr > 0 && (size - hdr) % frame == 0)) << size << " bytes";
            if (name == "frames.dist" && size > 0) dist_frames = static_cast<int>((size - hdr) / frame);
        } else {
            ADD_FAILURE() << "unexpected file";
        }
    }
    EXPECT_EQ(static_cast<int>(load_distances(dir / "frames.dist").size()), dist_frames);
    return dist_frames;
}

// A recording whose writer was killed (SIGKILL between frames, or a signal
// inside a frame's write) keeps its whole frames: the side file has a line
// for each of them (the last one may still miss when the kill fell between
// the frame and its line) and none for the cut frame, the replay shows them,
// and convert decodes exactly them and says how many.
TEST_F(KavroCli, KilledRecordingKeepsItsWholeFrames) {
    struct kcase {
        const char *name;
        spawn_opts opts;
        int sig;
        int min_whole;  // whole frames at least
        bool cut;       // a cut frame follows them
    };
    spawn_opts between;
    between.kill_at = "recording: 30%";
    spawn_opts inside;  // the size limit falls in the eighth frame; past the calibration copy
    inside.fsize = 100 + 7 * k_raw_frame + k_raw_frame / 2;
    const kcase cases[] = {
        {"SIGKILL after 6 of 20 frames", between, SIGKILL, 6, false},
        {"killed inside the eighth frame", inside, SIGXFSZ, 7, true},
    };
    for (const kcase &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "conv");
        const run_result r = spawn_in(dir_, cache_, "--sim record -n 20 rec.raw", c.opts);
        ASSERT_EQ(r.sig, c.sig) << r.out;
        const size_t size = fs::file_size(dir_ / "rec.raw"), hdr = first_line_len(dir_ / "rec.raw");
        ASSERT_GT(hdr, 0u);
        const int whole = static_cast<int>((size - hdr) / k_raw_frame);
        const bool cut = (size - hdr) % k_raw_frame != 0;
        EXPECT_GE(whole, c.min_whole);
        if (c.cut) {
            EXPECT_TRUE(cut) << size << " bytes";
            EXPECT_EQ(whole, c.min_whole);
        }
        const int lines = side_file_frames(dir_ / "rec.raw.info");
        EXPECT_TRUE(lines == whole || (!cut && lines == whole - 1)) << lines << " lines, " << whole << " frames";

        const std::string info = ok("--replay rec.raw info");
        EXPECT_NE(line_of(info, "side file:").find("(" + std::to_string(lines) + " frame records"), std::string::npos)
            << info;
        // The whole frames convert; a cut frame at the end is reported as
        // missing, with the file code.
        const run_result conv = run("convert rec.raw -o conv");
        EXPECT_EQ(conv.code, cut ? 4 : 0) << conv.out;
        EXPECT_NE(conv.out.find(std::to_string(whole) + " frames written to conv"), std::string::npos) << conv.out;
        if (cut) {
            EXPECT_NE(conv.out.find(std::to_string(whole) + " frames decoded, 1 frames missing"), std::string::npos)
                << conv.out;
        }
        check_outputs(dir_ / "conv", whole);
    }
}

// A data transfer killed midway leaves the camera without a valid image of
// that type (the flash was erased for it), not the image of before: the next
// read fails, and a new write goes through.
TEST_F(KavroCli, KilledTransferLeavesNoValidImage) {
    std::vector<uint8_t> old_img(70000), new_img(400000);  // 7 packets
    for (size_t i = 0; i < old_img.size(); ++i) old_img[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < new_img.size(); ++i) new_img[i] = static_cast<uint8_t>(i * 13 + 5);
    write_file(dir_ / "old.bin", old_img);
    write_file(dir_ / "new.bin", new_img);
    ok("--sim data write --type 5 old.bin");
    ok("--sim data read --type 5 back.bin");
    ASSERT_EQ(read_file(dir_ / "back.bin"), old_img);
    fs::remove(dir_ / "back.bin");

    spawn_opts o;
    o.kill_at = "data write: 30%";
    const run_result killed = spawn_in(dir_, cache_, "--sim data write --type 5 new.bin", o);
    ASSERT_EQ(killed.sig, SIGKILL) << killed.out;
    const run_result back = run("--sim data read --type 5 back.bin");
    EXPECT_EQ(back.code, 1) << back.out;
    EXPECT_NE(back.out.find("data read failed"), std::string::npos) << back.out;
    EXPECT_FALSE(fs::exists(dir_ / "back.bin"));

    ok("--sim data write --type 5 new.bin");
    ok("--sim data read --type 5 back.bin");
    EXPECT_EQ(read_file(dir_ / "back.bin"), new_img);
}

// Files that cannot grow (RLIMIT_FSIZE; a full disk fails the same way):
// record, convert and calib fetch stop with the file exit code and the
// cause, without a crash, and leave nothing that looks complete but is not.
TEST_F(KavroCli, FileSizeLimitStopsCleanly) {
    spawn_opts rec;  // the limit falls in the eighth frame, past the calibration copy
    rec.fsize = 100 + 7 * k_raw_frame + k_raw_frame / 2;
    rec.ignore_xfsz = true;
    {
        SCOPED_TRACE("record");
        const run_result r = spawn_in(dir_, cache_, "--sim record -n 20 rec.raw", rec);
        EXPECT_EQ(r.sig, 0) << r.out;
        EXPECT_EQ(r.code, 4) << r.out;
        EXPECT_NE(r.out.find("File too large"), std::string::npos) << r.out;
        // Whole frames only, each with its side file line.
        const size_t hdr = first_line_len(dir_ / "rec.raw");
        EXPECT_EQ(fs::file_size(dir_ / "rec.raw"), hdr + 7 * k_raw_frame);
        EXPECT_EQ(side_file_frames(dir_ / "rec.raw.info"), 7);
        const std::string conv = ok("convert rec.raw -o conv");
        EXPECT_NE(conv.find("7 frames written to conv"), std::string::npos) << conv;
    }

    ok("--sim record -n 5 five.raw");
    struct ccase {
        const char *name;
        rlim_t limit;
    };
    const ccase converts[] = {
        {"point cloud of the first frame", 500000},    // a PLY is about 980 kB
        {"frame files at the fourth frame", 1000000},  // frames.dist grows by 307 kB a frame
    };
    for (const ccase &c : converts) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "out");
        spawn_opts o;
        o.fsize = c.limit;
        o.ignore_xfsz = true;
        const run_result r = spawn_in(dir_, cache_, "convert five.raw -o out", o);
        EXPECT_EQ(r.sig, 0) << r.out;
        EXPECT_EQ(r.code, 4) << r.out;
        EXPECT_NE(r.out.find("File too large"), std::string::npos) << r.out;
        EXPECT_LT(check_outputs_whole(dir_ / "out"), 5);
    }

    {
        SCOPED_TRACE("calib fetch");
        ok("--sim --cache-dir c info");
        fs::path file;
        for (const auto &e : fs::directory_iterator(dir_ / "c"))
            if (e.path().filename().string().rfind("kavro_param_", 0) == 0) file = e.path();
        ASSERT_FALSE(file.empty());
        std::vector<uint8_t> old = read_file(file);
        ASSERT_GT(old.size(), 100u);
        old[100] ^= 0xFF;  // told apart from the camera's package
        write_file(file, old);
        spawn_opts o;
        o.fsize = 1000000;  // the package is about 3.7 MB
        o.ignore_xfsz = true;
        const run_result r = spawn_in(dir_, cache_, "--sim --cache-dir c calib fetch", o);
        EXPECT_EQ(r.sig, 0) << r.out;
        EXPECT_EQ(r.code, 4) << r.out;
        EXPECT_NE(r.out.find("File too large"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(file), old);
        for (const auto &e : fs::directory_iterator(dir_ / "c")) {
            const std::string n = e.path().filename().string();
            EXPECT_TRUE(n == file.filename().string() || n == "kavro.log" || n.rfind("sim_", 0) == 0) << n;
        }
    }
}

// The generated udev rule matches the identifiers the USB transport opens,
// grants access through the uaccess tag only, and sorts before logind's
// 73-seat-late.rules, which turns the tag into an ACL.
TEST(KavroUdevRule, TagsTheCameraForTheSeatUser) {
    if (!k_udev_rules) GTEST_SKIP() << "the kavro tool is not built";
    std::ifstream f(k_udev_rules);
    ASSERT_TRUE(f.good()) << k_udev_rules;
    std::vector<std::string> rules;
    for (std::string l; std::getline(f, l);)
        if (!l.empty() && l[0] != '#') rules.push_back(l);
    ASSERT_EQ(rules.size(), 1u);
    char ids[2][8];
    snprintf(ids[0], sizeof ids[0], "%04x", KAVRO_USB_VID);
    snprintf(ids[1], sizeof ids[1], "%04x", KAVRO_USB_PID);
    const std::string &r = rules[0];
    EXPECT_NE(r.find("ATTR{idVendor}==\"" + std::string(ids[0]) + "\""), std::string::npos) << r;
    EXPECT_NE(r.find("ATTR{idProduct}==\"" + std::string(ids[1]) + "\""), std::string::npos) << r;
    EXPECT_NE(r.find("TAG+=\"uaccess\""), std::string::npos) << r;
    EXPECT_EQ(r.find("MODE"), std::string::npos) << "access goes through the tag, not a file mode: " << r;
    const std::string name = fs::path(k_udev_rules).filename().string();
    EXPECT_LT(name, std::string("73-seat-late.rules"));
}

}  // namespace
