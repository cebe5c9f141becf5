// Capture through the public camera API over the USB transport, against a
// simulated camera on an emulated USB bus: sustained streaming and capture
// started and stopped at once (the fault cases are in test_usb_capture_faults).
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
#include <string>
#include <vector>

#include "usb_capture_fixture.h"

using namespace kavro_test;

namespace {

// CPU time (ms) of every thread of the process, by thread id, with the
// thread's name.
struct thread_cpu {
    std::string name;
    double ms = 0;
};

std::map<int, thread_cpu> thread_cpu_ms()
{
    std::map<int, thread_cpu> out;
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
        const char *open = std::strchr(buf, '(');
        const char *p = std::strrchr(buf, ')');
        unsigned long ut = 0, stt = 0;
        if (open && p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &stt) == 2)
            out[std::atoi(e->d_name)] = {std::string(open + 1, p), (double)(ut + stt) * tick};
    }
    closedir(d);
    return out;
}

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
    // Figures for the record: frames per second, the CPU time the
    // transport's event thread used per second of streaming, and the
    // busiest threads.
    double evt_ms = -1;
    std::vector<double> busy;
    for (const auto &[tid, t] : cpu1) {
        const double ms = t.ms - (cpu0.count(tid) ? cpu0.at(tid).ms : 0);
        if (t.name == "kavro-usb-evt")
            evt_ms = ms;
        busy.push_back(ms);
    }
    EXPECT_GE(evt_ms, 0) << "no event thread found";
    std::sort(busy.rbegin(), busy.rend());
    std::printf("streamed 300 frames in %.2f s: %.1f fps; event thread cpu %.1f ms per s of streaming;"
                " busiest threads' cpu %%:",
                secs, 300 / secs, evt_ms / secs);
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

}  // namespace
