// Capture through the public camera API over the USB transport, against a
// simulated camera on an emulated USB bus: sustained streaming, stalls and a
// camera unplugged mid-stream.
// ctest-labels: threads;nosan
// Kept out of the sanitizer runs: streaming at the camera's real frame rate
// through the emulated bus needs the host to keep up, which a sanitized build
// on a loaded 2-core machine does not always do (camera-side FIFO overflow).
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "kavro.h"
#include "kavro_handler.h"
#include "sim_usb_bed.h"
#include "vx_stream_internal.h"

using namespace kavro_sim;

namespace {

std::atomic<int> g_err_calls{0};
std::atomic<int> g_last_err{0};

bool on_err(kavro_dev_t *, int err, void *)
{
    ++g_err_calls;
    g_last_err = err;
    return true;
}

// CPU time (ms) of every thread of the process, by thread id.
std::map<int, double> thread_cpu_ms()
{
    std::map<int, double> out;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return out;
    const double tick = 1000.0 / (double)sysconf(_SC_CLK_TCK);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", e->d_name);
        FILE *f = std::fopen(path, "r");
        if (!f)
            continue;
        char buf[1024] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        const char *p = std::strrchr(buf, ')');
        unsigned long ut = 0, stt = 0;
        if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &stt) == 2)
            out[std::atoi(e->d_name)] = (double)(ut + stt) * tick;
    }
    closedir(d);
    return out;
}

class UsbCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init("test_usb_capture.log"); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override
    {
        if (!usb_bed_available())
            GTEST_SKIP() << "not running under umockdev";
        g_err_calls = 0;
        g_last_err = 0;
        bed_ = std::make_unique<usb_bed>();
    }
    void TearDown() override
    {
        if (dev_.handler)
            kavro_dev_close(&dev_);
        bed_.reset();
    }
    void open_camera(double fps, const fault_cfg &faults = fault_cfg())
    {
        usb_cam_opts o;
        o.fw.sensor.fps = fps;
        o.fw.max_fps = 1000;
        o.fw.fifo_bytes = 64u << 20;  // a loaded host may lag a few frames behind
        o.fw.faults = faults;
        bed_->add_camera(o);
        dev_ = kavro_dev_t{};
        dev_.if_info.type = DEV_IF_NONE;
        ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
        kavro_cap_set_callback_on_error(&dev_, on_err);
    }
    _kavro_handler_t *handler() { return static_cast<_kavro_handler_t *>(dev_.handler); }
    uint64_t discarded()
    {
        vx_stream_state_t st{};
        vx_stream_get_state(handler()->cap_str, &st);
        return st.frcnt_err_discard;
    }

    // Takes n frames one call at a time; returns how many came.
    int take_frames(int n)
    {
        std::vector<uint8_t> buf(2u << 20);
        int got = 0;
        while (got < n) {
            const int r = kavro_cap_get_frames(&dev_, 1, buf.data(), (uint32_t)buf.size(), nullptr);
            if (r <= 0)
                break;
            got += r;
        }
        return got;
    }
    // Waits (taking frames) until the error callback reported something.
    void wait_for_error()
    {
        std::vector<uint8_t> buf(2u << 20);
        for (int i = 0; i < 100 && g_err_calls == 0; ++i)
            kavro_cap_get_frames(&dev_, 1, buf.data(), (uint32_t)buf.size(), nullptr);
    }

    std::unique_ptr<usb_bed> bed_;
    kavro_dev_t dev_{};
};

TEST_F(UsbCapture, StreamsThreeHundredFramesWithoutLoss)
{
    open_camera(30);
    ASSERT_TRUE(kavro_cap_start(&dev_));
    const auto cpu0 = thread_cpu_ms();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(take_frames(300), 300);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto cpu1 = thread_cpu_ms();
    // Before the stop: stopping cancels the frame in flight, which the
    // stream then discards.
    EXPECT_EQ(discarded(), 0u);
    EXPECT_TRUE(kavro_cap_stop(&dev_));
    EXPECT_EQ(g_err_calls, 0);
    EXPECT_EQ(bed_->fw(0).counts().fifo_overflow, 0u);
    // Figures for the record: frames per second and the busiest threads.
    std::vector<double> busy;
    for (const auto &[tid, ms] : cpu1)
        busy.push_back(ms - (cpu0.count(tid) ? cpu0.at(tid) : 0));
    std::sort(busy.rbegin(), busy.rend());
    std::printf("streamed 300 frames in %.2f s: %.1f fps; busiest threads' cpu %%:", secs, 300 / secs);
    for (size_t i = 0; i < busy.size() && i < 4; ++i)
        std::printf(" %.1f", busy[i] / 10 / secs);
    std::printf("\n");
}

TEST_F(UsbCapture, StartFollowedAtOnceByStop)
{
    open_camera(30);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(kavro_cap_start(&dev_));
        ASSERT_TRUE(kavro_cap_stop(&dev_));
        EXPECT_FALSE(kavro_cap_is_ongoing(&dev_));
        EXPECT_FALSE(bed_->fw(0).capturing());
    }
    // Still streams after that.
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_EQ(take_frames(3), 3);
    EXPECT_TRUE(kavro_cap_stop(&dev_));
}

TEST_F(UsbCapture, EndlessStallsStopCaptureWithTheStallError)
{
    fault_cfg f;
    f.bulk_stall.prob = 1;
    open_camera(30, f);
    ASSERT_TRUE(kavro_cap_start(&dev_));
    wait_for_error();
    EXPECT_EQ(g_last_err, KAVRO_ERR_CAP_STALL);
    // Every stall had its halt cleared before the transfer went on.
    EXPECT_GE(bed_->stats(0).clear_halts, 17u);
    EXPECT_GE(bed_->fw(0).counts().bulk_stall, 17u);
    kavro_cap_stop(&dev_);
}

// The camera leaves the bus while streaming: the error reaches the
// application, no transfer is queued again, and stop and close come back
// and nothing is submitted to the gone camera any more.
TEST_F(UsbCapture, UnplugMidStream)
{
    open_camera(60);
    ASSERT_TRUE(kavro_cap_start(&dev_));
    ASSERT_EQ(take_frames(10), 10);
    bed_->unplug(0);
    wait_for_error();
    EXPECT_GE(g_err_calls, 1);
    EXPECT_EQ(g_last_err, KAVRO_ERR_CAP_UNKNOWN);
    EXPECT_TRUE(bed_->stats(0).unplugged);
    kavro_cap_stop(&dev_);
    const uint64_t submits = bed_->stats(0).submits;
    kavro_dev_close(&dev_);
    EXPECT_EQ(dev_.handler, nullptr);
    EXPECT_EQ(bed_->stats(0).submits, submits);
}

}  // namespace
