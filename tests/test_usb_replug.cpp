// ctest-labels: unit
// The camera unplugged while it streams and plugged back in, through the
// public camera API over the USB transport and the emulated bus: the error
// reaches the application on its own thread inside a frame call, the frame
// call fails, close comes back, and the re-plugged camera (a new device on
// the bus) opens and streams the right frames again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "sim_sensor.h"
#include "usb_capture_fixture.h"

using namespace kavro_test;

namespace {

// Where the error callback ran: on the thread inside kavro_cap_get_frames
// (the application's), or elsewhere (the library's event thread).
thread_local bool t_in_frame_call = false;
std::atomic<int> g_err_in_call{0}, g_err_elsewhere{0};

bool on_err_where(kavro_dev_t *, int err, void *)
{
    ++g_err_calls;
    g_last_err = err;
    ++(t_in_frame_call ? g_err_in_call : g_err_elsewhere);
    return true;
}

class UsbReplug : public UsbCapture {
protected:
    void SetUp() override
    {
        UsbCapture::SetUp();
        g_err_in_call = 0;
        g_err_elsewhere = 0;
    }

    int get_frame(std::vector<uint8_t> *buf, kavro_frame_t *info)
    {
        t_in_frame_call = true;
        const int r = kavro_cap_get_frames(&dev_, 1, buf->data(), (uint32_t)buf->size(), info);
        t_in_frame_call = false;
        return r;
    }

    // Takes frames until `n` of them matched what camera `cam` renders for
    // their index, sample for sample. A call that times out (a slow build
    // renders slowly) is tried again, a bounded number of times. Returns
    // the frames that matched; stops at the first that does not.
    int matching_frames(int cam, int n)
    {
        std::vector<uint8_t> buf(2u << 20);
        int matched = 0;
        for (int calls = 0; matched < n && calls < 50 * n; ++calls) {
            kavro_frame_t info{};
            const int r = get_frame(&buf, &info);
            if (r < 0)
                break;
            if (r == 0)
                continue;
            kavro_sim::frame want;
            bed_->fw(cam).sensor_camera().render(info.frame_info.frame_idx, &want);
            const size_t bytes = want.raw.size() * 2;
            if (info.frame_info.frame_size < bytes || std::memcmp(buf.data(), want.raw.data(), bytes) != 0) {
                ADD_FAILURE() << "frame " << info.frame_info.frame_idx << " differs from the camera's";
                break;
            }
            ++matched;
        }
        return matched;
    }

    // Closes the device; a close that does not come back within a generous
    // bound ends the test program (it would hang the run otherwise).
    void close_bounded()
    {
        std::promise<void> done;
        auto f = done.get_future();
        std::thread([this, &done] {
            kavro_dev_close(&dev_);
            done.set_value();
        }).detach();
        if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            fprintf(stderr, "kavro_dev_close did not return after the camera was unplugged\n");
            std::abort();
        }
    }

    // One camera on the bus, opened. The plain wall scene renders quickly,
    // also in a sanitizer build on a loaded machine.
    void open_wall_camera()
    {
        usb_cam_opts o;
        o.fw.scene = "wall";
        o.fw.sensor.fps = 30;
        o.fw.max_fps = 1000;
        o.fw.fifo_bytes = 64u << 20;
        bed_->add_camera(o);
        open_any();
    }

    void open_any()
    {
        dev_ = kavro_dev_t{};
        dev_.if_info.type = DEV_IF_NONE;
        ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
        kavro_cap_set_callback_on_error(&dev_, on_err_where);
    }
};

TEST_F(UsbReplug, UnplugFailsTheFrameCallCloseReturnsAndReplugStreamsAgain)
{
    open_wall_camera();
    ASSERT_TRUE(kavro_cap_start(&dev_));
    ASSERT_EQ(matching_frames(0, 5), 5);

    bed_->unplug(0);
    std::vector<uint8_t> buf(2u << 20);
    int r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) {  // each call waits a bounded time
        kavro_frame_t info{};
        r = get_frame(&buf, &info);
    }
    EXPECT_LT(r, 0) << "frame calls go on succeeding with the camera gone";
    // The callback has seen the error by now; a later call still fails
    // (it does not time out for good waiting for a camera that is gone).
    {
        kavro_frame_t info{};
        EXPECT_LT(get_frame(&buf, &info), 0);
    }
    EXPECT_GE(g_err_in_call.load(), 1);
    EXPECT_EQ(g_err_elsewhere.load(), 0) << "the error callback ran off the application's thread";
    // Close without a stop first: the capture the error ended is wound up.
    close_bounded();
    EXPECT_EQ(dev_.handler, nullptr);

    const int cam = bed_->replug(0);
    kavro_dev_t list[4];
    EXPECT_EQ(kavro_dev_list(list, 4), 1) << "the gone camera is still listed, or the new one is not";
    g_err_calls = 0;
    g_err_in_call = 0;
    open_any();
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_EQ(matching_frames(cam, 5), 5);
    EXPECT_EQ(g_err_calls.load(), 0);
    kavro_cap_stop(&dev_);
}

}  // namespace
