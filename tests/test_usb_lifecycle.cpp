// Opening a USB camera that is open already, requests too long for one
// control transfer, and a capture start once the transport's event thread
// has ended, through the USB transport against a simulated camera on an
// emulated bus.
#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kavro_ll.h"
#include "usb_capture_fixture.h"

namespace {

using namespace kavro_test;

// Ids of this process's threads named `name`.
std::vector<pid_t> threads_named(const char *name)
{
    std::vector<pid_t> out;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
        char comm[64] = {};
        if (FILE *f = std::fopen(path, "r")) {
            if (std::fgets(comm, sizeof comm, f))
                comm[std::strcspn(comm, "\n")] = 0;
            std::fclose(f);
        }
        if (std::strcmp(comm, name) == 0)
            out.push_back((pid_t)std::atoi(e->d_name));
    }
    closedir(d);
    return out;
}

// Opening the open camera again closes it first and opens it anew: the
// transport must not go on with the state that close freed.
TEST_F(UsbCapture, ReopenOfAnOpenCameraStreams)
{
    open_camera(30);
    ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
    EXPECT_EQ(threads_named("kavro-usb-evt").size(), 1u);
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_EQ(take_frames(3), 3);
    EXPECT_TRUE(kavro_cap_stop(&dev_));
}

// A second open of the open transport record is refused; the first open
// keeps its one event thread and streams, and the close ends it.
TEST_F(UsbCapture, SecondTransportOpenIsRefused)
{
    open_camera(30);
    EXPECT_EQ(kavro_ll_dev_open(&handler()->ll_dev), nullptr);
    EXPECT_EQ(threads_named("kavro-usb-evt").size(), 1u);
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_EQ(take_frames(3), 3);
    EXPECT_TRUE(kavro_cap_stop(&dev_));
    kavro_dev_close(&dev_);
    EXPECT_TRUE(threads_named("kavro-usb-evt").empty());
}

// Register writes and parameter batches whose byte count does not fit the
// request's 16-bit length are refused before anything is sent (a write cut
// short by a wrapped length would leave the values unwritten and still
// succeed); the camera goes on answering.
TEST_F(UsbCapture, RequestsTooLongForOneTransferAreRefused)
{
    open_camera(30);
    // 16386 registers: 65544 value bytes, which a 16-bit count turns into
    // 8, a well-formed write of the first two.
    std::vector<uint32_t> vals(16386, 0xA5A5A5A5u);
    EXPECT_FALSE(kavro_reg_batch_write(&dev_, DEV_REG_CAM0, 0, vals.data(), 16386));
    EXPECT_EQ(bed_->fw(0).reg(DEV_REG_CAM0, 0), 0u);
    EXPECT_EQ(bed_->fw(0).reg(DEV_REG_CAM0, 1), 0u);
    ASSERT_TRUE(kavro_reg_batch_write(&dev_, DEV_REG_CAM0, 0, vals.data(), 4));
    EXPECT_EQ(bed_->fw(0).reg(DEV_REG_CAM0, 3), 0xA5A5A5A5u);

    std::vector<kavro_param_item_t> items(3277);
    for (kavro_param_item_t &it : items) {
        it.param_id = PARAM_FRAME_RATE;
        it.param_val_len = 4;
        it.param_val.frame_rate.fps = 25;
    }
    EXPECT_FALSE(kavro_param_batch_set(&dev_, items.data(), 3277));
    EXPECT_TRUE(kavro_param_batch_set(&dev_, items.data(), 2));
    kavro_param_item_t fps{};
    fps.param_id = PARAM_FRAME_RATE;
    ASSERT_TRUE(kavro_param_batch_get(&dev_, &fps, 1));
    const uint32_t got = fps.param_val.frame_rate.fps;  // a packed field: no reference to it
    EXPECT_EQ(got, 25u);
}

void on_signal(int) {}

// A signal that interrupts the transport's event loop ends it. A capture
// start after that fails (nothing would complete its transfers) instead of
// waiting for ever, and the close still returns.
TEST_F(UsbCapture, CaptureStartAfterTheEventLoopEndedFails)
{
    open_camera(30);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;  // no SA_RESTART: the loop's poll is interrupted
    struct sigaction old = {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const std::vector<pid_t> evt = threads_named("kavro-usb-evt");
    ASSERT_EQ(evt.size(), 1u);
    // Until the thread is gone: a signal that came while the loop was not
    // in its wait is sent again.
    while (!threads_named("kavro-usb-evt").empty()) {
        syscall(SYS_tgkill, getpid(), evt[0], SIGUSR1);
        std::this_thread::yield();
    }
    EXPECT_FALSE(kavro_cap_start(&dev_));
    EXPECT_FALSE(kavro_cap_is_ongoing(&dev_));
    kavro_dev_close(&dev_);
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
