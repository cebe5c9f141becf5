// Open, stream and close a simulated USB camera many times over: every cycle
// must give back what it took (threads, file descriptors, memory: the
// sanitizer build checks leaks at exit).
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "sim_usb_bed.h"

using namespace kavro_sim;

namespace {

int entries(const char *dir)
{
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The emulated bus closes its side of a device node on its own thread, a
// moment after the close returned: counts are read once they are steady
// (or after a second at most, when they are not coming back).
int settled(const char *dir, int want)
{
    int n = entries(dir);
    for (int i = 0; i < 100 && n != want; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = entries(dir);
    }
    return n;
}

// The count once two looks 20 ms apart agree.
int steady(const char *dir)
{
    int n = entries(dir);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int m = entries(dir);
        if (m == n)
            break;
        n = m;
    }
    return n;
}

class UsbSoak : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init("usb_soak.log"); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override
    {
        if (!usb_bed_available())
            GTEST_SKIP() << "not running under umockdev";
        bed_ = std::make_unique<usb_bed>();
        usb_cam_opts o;
        o.fw.product = "KVSIM-T0-320";  // stub driver: no calibration at open
        o.fw.sensor.fps = 100;
        o.fw.max_fps = 1000;
        bed_->add_camera(o);
    }
    void TearDown() override { bed_.reset(); }

    // One cycle: open, stream `frames` frames, stop, close. Returns the
    // frames received.
    int cycle(int frames)
    {
        kavro_dev_t dev{};
        dev.if_info.type = DEV_IF_NONE;
        if (kavro_dev_open(&dev) != &dev)
            return -1;
        int got = 0;
        if (kavro_cap_start(&dev)) {
            std::vector<uint8_t> buf(1u << 20);
            while (got < frames) {
                const int r = kavro_cap_get_frames(&dev, 1, buf.data(), (uint32_t)buf.size(), nullptr);
                if (r <= 0)
                    break;
                got += r;
            }
            if (!kavro_cap_stop(&dev))
                got = -2;
        }
        kavro_dev_close(&dev);
        return got;
    }

    std::unique_ptr<usb_bed> bed_;
};

TEST_F(UsbSoak, TwoHundredOpenStreamCloseCycles)
{
    constexpr int kCycles = 200, kFrames = 3;
    // The first cycle sets up what stays for the process (libusb's device
    // monitor, the log file), so the counts are taken after it.
    ASSERT_EQ(cycle(kFrames), kFrames);
    const int threads0 = steady("/proc/self/task"), fds0 = steady("/proc/self/fd");
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i < kCycles; ++i) {
        ASSERT_EQ(cycle(kFrames), kFrames) << "cycle " << i;
        ASSERT_EQ(settled("/proc/self/task", threads0), threads0) << "cycle " << i;
        ASSERT_EQ(settled("/proc/self/fd", fds0), fds0) << "cycle " << i;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_FALSE(bed_->fw(0).capturing());
    EXPECT_EQ(bed_->stats(0).claimed_mask, 0u);
    std::printf("%d open/stream/close cycles of %d frames in %.1f s (%.0f ms each); %d threads, %d fds\n",
                kCycles - 1, kFrames, secs, secs * 1000 / (kCycles - 1), threads0, fds0);
}

}  // namespace
