// Capture through the public camera API over the USB transport when the
// camera misbehaves: endless stalls and a camera unplugged mid-stream.
// ctest-labels: unit;nosan
// Plain build only: under a sanitizer on a loaded 2-core machine the simulated
// camera renders frames too slowly for the first frames to arrive before the
// capture engine's time-outs.
#include <gtest/gtest.h>

#include "usb_capture_fixture.h"

using namespace kavro_test;

namespace {

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
