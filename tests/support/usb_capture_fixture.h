// Fixture for capture tests through the public camera API over the USB
// transport, against one simulated camera on an emulated USB bus.
#ifndef KAVRO_TEST_USB_CAPTURE_FIXTURE_H
#define KAVRO_TEST_USB_CAPTURE_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "kavro.h"
#include "kavro_handler.h"
#include "sim_usb_bed.h"
#include "vx_stream_internal.h"

namespace kavro_test {

using namespace kavro_sim;

// What the capture error callback saw.
inline std::atomic<int> g_err_calls{0};
inline std::atomic<int> g_last_err{0};

inline bool on_err(kavro_dev_t *, int err, void *)
{
    ++g_err_calls;
    g_last_err = err;
    return true;
}

class UsbCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init("usb_capture.log"); }
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

}  // namespace kavro_test

#endif
