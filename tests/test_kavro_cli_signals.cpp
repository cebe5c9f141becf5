// ctest-labels: nosan
// Ctrl-C (SIGINT) and SIGTERM during the kavro tool's long commands, with
// the simulated USB camera (--sim): the tool runs as a child process, the
// test waits for its progress line (the sign it is in the middle of the
// work), sends the signal and checks the exit code and the files left: a
// recording finished with its whole frames and side file, capture and convert
// outputs of whole frames only, a transfer reported incomplete by the next
// read of the camera (whose state the stopped tool saved as on any exit).
//
// The tool restarts itself under umockdev's preload (same process): kept out
// of the sanitizer runs like the tool's other tests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kavro.h"

namespace fs = std::filesystem;

namespace {

#ifdef KAVRO_CLI_EXE
constexpr const char *k_tool = KAVRO_CLI_EXE;
#else
constexpr const char *k_tool = nullptr;
#endif

constexpr int W = 320, H = 240;
// Only so that a broken tool cannot hang the test run: never a measure of
// how fast the stop is.
constexpr int k_bound_ms = 120000;

std::vector<uint8_t> read_file(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &p, const std::vector<uint8_t> &d) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(d.data()), static_cast<std::streamsize>(d.size()));
}

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> out;
    std::string w;
    for (char c : s) {
        if (c == ' ') {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

// The tool as a child: stdout and stderr into one pipe, stdin /dev/null.
class child_tool {
public:
    child_tool(const fs::path &dir, const fs::path &cache, const std::string &args, bool hold) {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::vector<std::string> argv_s = words(args);
        argv_s.insert(argv_s.begin(), k_tool);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            close(fds[1]);
            const int in = open("/dev/null", O_RDONLY);
            if (in >= 0) dup2(in, STDIN_FILENO);
            if (chdir(dir.c_str()) != 0) _exit(127);
            setenv("XDG_CACHE_HOME", cache.c_str(), 1);
            if (hold)
                setenv("KAVRO_CLI_HOLD_FOR_INTERRUPT", "1", 1);
            else
                unsetenv("KAVRO_CLI_HOLD_FOR_INTERRUPT");
            // The test runner may block signals; the tool starts as a shell
            // would start it.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            std::vector<char *> argv;
            for (auto &a : argv_s) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(k_tool, argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_fd_ = fds[0];
    }
    ~child_tool() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) close(out_fd_);
    }
    child_tool(const child_tool &) = delete;
    child_tool &operator=(const child_tool &) = delete;

    bool started() const { return pid_ > 0 && out_fd_ >= 0; }

    // Reads output until it holds `text` (true) or the pipe ends or the
    // bound passes (false).
    bool wait_for(const std::string &text) {
        while (out_.find(text) == std::string::npos)
            if (!read_some()) return false;
        return true;
    }

    void send(int sig) { kill(pid_, sig); }

    // Reads to the end of the output (every process holding the pipe has
    // ended: the tool left nothing running behind) and reaps the tool. The
    // exit code, or -1 when it ended by a signal or not within the bound.
    int finish() {
        while (read_some()) {
        }
        if (!eof_) return -1;
        int st = 0;
        if (waitpid(pid_, &st, 0) != pid_) return -1;
        pid_ = -1;
        if (WIFSIGNALED(st)) out_ += "\n[ended by signal " + std::to_string(WTERMSIG(st)) + "]";
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    const std::string &out() const { return out_; }

private:
    bool read_some() {
        if (eof_) return false;
        const auto deadline = start_ + std::chrono::milliseconds(k_bound_ms);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{out_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool eof_ = false;
    std::string out_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Distance frames of a frames.dist file, read until the first incomplete one;
// `whole` tells whether the file ended exactly after the last whole frame.
size_t dist_frames(const fs::path &p, bool *whole) {
    const int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    size_t n = 0;
    std::vector<float> f(W * H);
    int w = 0, h = 0;
    while (kavro_frame_load_distance(fd, f.data(), W * H, &w, &h) == W * H && w == W && h == H) ++n;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    *whole = at == lseek(fd, 0, SEEK_END);
    close(fd);
    return n;
}

// Per-frame outputs (frame_NNNN_depth.png) in a folder.
size_t depth_pngs(const fs::path &dir) {
    size_t n = 0;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().ends_with("_depth.png")) ++n;
    return n;
}

// A PNG that is whole: the signature and IEND ending the file.
bool png_whole(const fs::path &p) {
    const std::vector<uint8_t> d = read_file(p);
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    static const uint8_t iend[8] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    return d.size() > 20 && std::memcmp(d.data(), sig, 8) == 0 && std::memcmp(&d[d.size() - 8], iend, 8) == 0;
}

// Frames the side file of a recording lists ("frame ..." lines).
size_t side_file_frames(const fs::path &info) {
    std::ifstream f(info);
    size_t n = 0;
    for (std::string l; std::getline(f, l);)
        if (l.rfind("frame ", 0) == 0) ++n;
    return n;
}

// Whole frames in a raw recording: (size - header) / frame bytes, and
// whether nothing is left over.
size_t recording_frames(const fs::path &p, bool *whole) {
    std::ifstream f(p, std::ios::binary);
    std::string header;
    std::getline(f, header);
    int w = 0, h = 0, dcs = 0;
    char type[4] = {};
    *whole = false;
    if (sscanf(header.c_str(), "VX_RAW,%3[A-Z0-9],%d,%d,%d", type, &w, &h, &dcs) != 4) return 0;
    const size_t frame = static_cast<size_t>(w) * h * dcs * (std::strcmp(type, "U32") == 0 ? 4 : 2);
    const size_t body = fs::file_size(p) - header.size() - 1;
    *whole = body % frame == 0;
    return body / frame;
}

class KavroCliSignals : public ::testing::Test {
protected:
    void SetUp() override {
        if (!k_tool) GTEST_SKIP() << "the kavro tool is not built (CLI11 or umockdev missing)";
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::current_path() / "scratch" / (std::string(info->test_suite_name()) + "." + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // Short: calibration file names in the cache must fit the library's
        // limit wherever the build tree is.
        char tmpl[] = "/tmp/kavro_sig_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        cache_ = tmpl;
    }
    void TearDown() override {
        if (!cache_.empty()) fs::remove_all(cache_);
    }
    // Runs to the end; the exit code (-1: signal or bound) and the output.
    int run(const std::string &args, std::string *out = nullptr) {
        child_tool t(dir_, cache_, args, false);
        if (!t.started()) return -1;
        const int rc = t.finish();
        if (out) *out = t.out();
        return rc;
    }
    fs::path dir_, cache_;
};

struct stop_case {
    const char *name;
    const char *args;
    const char *mid;  // progress text that shows the work is under way
    bool hold;        // the work is too short to be caught otherwise
    int sig;
    int code;
};

// Recording and capturing from the streaming camera, stopped by either signal.
TEST_F(KavroCliSignals, CaptureAndRecordStopWithWholeFrames) {
    const stop_case cases[] = {
        {"record, Ctrl-C", "--sim record -n 100000 rec.raw", "recording: 0%", false, SIGINT, 130},
        {"record, SIGTERM", "--sim record -n 100000 rec.raw", "recording: 0%", false, SIGTERM, 143},
        {"capture, Ctrl-C", "--sim capture -n 100000 -o cap", "capture: 0%", false, SIGINT, 130},
        {"capture, SIGTERM", "--sim capture -n 100000 -o cap", "capture: 0%", false, SIGTERM, 143},
    };
    for (const stop_case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "cap");
        fs::remove(dir_ / "rec.raw");
        child_tool t(dir_, cache_, c.args, c.hold);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.wait_for(c.mid)) << t.out();
        t.send(c.sig);
        EXPECT_EQ(t.finish(), c.code) << t.out();
        EXPECT_NE(t.out().find("interrupted"), std::string::npos) << t.out();
        if (std::string(c.args).find("record") != std::string::npos) {
            bool whole = false;
            const size_t frames = recording_frames(dir_ / "rec.raw", &whole);
            EXPECT_GE(frames, 1u);
            EXPECT_TRUE(whole) << "the recording ends inside a frame";
            // The side file is finished: one record per frame in the file.
            EXPECT_EQ(side_file_frames(dir_ / "rec.raw.info"), frames);
            // And it replays: every frame decodes.
            std::string out;
            EXPECT_EQ(run("convert rec.raw -o conv", &out), 0) << out;
            bool conv_whole = false;
            EXPECT_EQ(dist_frames(dir_ / "conv" / "frames.dist", &conv_whole), frames) << out;
            fs::remove_all(dir_ / "conv");
        } else {
            bool whole = false;
            const size_t frames = dist_frames(dir_ / "cap" / "frames.dist", &whole);
            EXPECT_GE(frames, 1u);
            EXPECT_TRUE(whole) << "frames.dist ends inside a frame";
            EXPECT_EQ(depth_pngs(dir_ / "cap"), frames);
            for (size_t i = 1; i <= frames; ++i) {
                char name[32];
                snprintf(name, sizeof name, "frame_%04zu_depth.png", i);
                EXPECT_TRUE(png_whole(dir_ / "cap" / name)) << name;
            }
        }
        // The camera was left in order: the next run opens and streams.
        std::string out;
        EXPECT_EQ(run("--sim capture -n 1 -o again", &out), 0) << out;
        fs::remove_all(dir_ / "again");
    }
}

// Converting a recording, stopped in the middle: the whole frames written so
// far, every output file complete.
TEST_F(KavroCliSignals, ConvertStopsWithWholeOutputs) {
    std::string out;
    ASSERT_EQ(run("--sim record -n 4 src.raw", &out), 0) << out;
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        fs::remove_all(dir_ / "conv");
        child_tool t(dir_, cache_, "convert src.raw -o conv", true);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.wait_for("convert: ")) << t.out();
        t.send(sig);
        EXPECT_EQ(t.finish(), 128 + sig) << t.out();
        bool whole = false;
        const size_t frames = dist_frames(dir_ / "conv" / "frames.dist", &whole);
        EXPECT_GE(frames, 1u);
        EXPECT_LT(frames, 4u) << "the conversion was not stopped";
        EXPECT_TRUE(whole);
        EXPECT_EQ(depth_pngs(dir_ / "conv"), frames);
        for (size_t i = 1; i <= frames; ++i) {
            char name[32];
            snprintf(name, sizeof name, "frame_%04zu_depth.png", i);
            EXPECT_TRUE(png_whole(dir_ / "conv" / name)) << name;
        }
    }
}

// Transfers to and from the camera's flash, stopped after the first packet.
// A write leaves the image incomplete (exit 6, and the next read finds no
// valid image: the camera's state was saved on the way out); a read leaves
// the camera's image as it was and no output file.
TEST_F(KavroCliSignals, TransfersStopBetweenPackets) {
    std::vector<uint8_t> old_img(70000), new_img(200000);  // two and four packets
    for (size_t i = 0; i < old_img.size(); ++i) old_img[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < new_img.size(); ++i) new_img[i] = static_cast<uint8_t>(i * 13 + 5);
    write_file(dir_ / "old.bin", old_img);
    write_file(dir_ / "new.bin", new_img);
    struct tcase {
        const char *name;
        const char *args;
        const char *mid;
        int sig;
        int code;
        bool image_left;  // the old image is still on the camera
    };
    const tcase cases[] = {
        {"data write, Ctrl-C", "--sim data write --type 5 new.bin", "data write: 30%", SIGINT, 6, false},
        {"firmware upgrade, SIGTERM", "--sim firmware upgrade new.bin --type 5 --yes", "firmware upload: 30%", SIGTERM,
         6, false},
        {"data read, Ctrl-C", "--sim data read --type 5 part.bin", "data read: ", SIGINT, 130, true},
    };
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(cache_ / "kavro");
        std::string out;
        ASSERT_EQ(run("--sim data write --type 5 old.bin", &out), 0) << out;
        fs::remove(dir_ / "part.bin");
        child_tool t(dir_, cache_, c.args, true);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.wait_for(c.mid)) << t.out();
        t.send(c.sig);
        EXPECT_EQ(t.finish(), c.code) << t.out();
        EXPECT_NE(t.out().find("interrupted"), std::string::npos) << t.out();
        EXPECT_FALSE(fs::exists(dir_ / "part.bin"));
        fs::remove(dir_ / "back.bin");
        const int back = run("--sim data read --type 5 back.bin", &out);
        if (c.image_left) {
            ASSERT_EQ(back, 0) << out;
            EXPECT_EQ(read_file(dir_ / "back.bin"), old_img);
        } else {
            EXPECT_EQ(back, 1) << out;  // the camera reports no valid image
        }
    }
}

}  // namespace
