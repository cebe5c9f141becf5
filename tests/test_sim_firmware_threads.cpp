// ctest-labels: threads
// The firmware model on real time with two host threads, as a USB adapter
// uses it: one thread reads the bulk endpoint (waiting for frames without
// holding the model), the other runs commands on endpoint 0 meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ll/ll_usb_proto.h"
#include "sim_firmware.h"
#include "vx_stream.h"

using namespace kavro_sim;

namespace {

bool status_ok(firmware& fw, uint8_t type, uint16_t val)
{
    for (;;) {
        vxif_cmd_status_t s{};
        if (fw.control_in(VXIF_REQ_STATUS, 0, &s, sizeof s).status != xfer_status::ok)
            return false;
        if (s.cmd_status == VXIF_CMD_RUNNING)
            continue;
        return s.cmd_req_type == type && s.cmd_req_val == val && s.cmd_status != VXIF_CMD_FAILED;
    }
}

}  // namespace

TEST(SimFirmwareRealTime, BulkReaderAndCommandsOnTwoThreads)
{
    firmware_cfg c;
    c.scene = "wall";
    c.virtual_time = false;
    c.busy_polls = 1;
    firmware fw(c);
    vxif_frame_cnt_t cnt{3};
    ASSERT_EQ(fw.control_out(VXIF_REQ_CTRL, VXIF_CTRL_CAP_START, &cnt, sizeof cnt).status, xfer_status::ok);
    ASSERT_TRUE(status_ok(fw, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START));

    vx_stream_cfg_t sc{16};
    vx_stream_t s = vx_stream_create(&sc);
    std::atomic<bool> done{false};
    xfer_status end = xfer_status::ok;
    std::thread reader([&] {
        std::vector<uint8_t> buf(VXIF_CAP_TRANS_SIZE);
        for (int i = 0; i < 10000; ++i) {
            xfer_result r = fw.bulk_in(buf.data(), (int)buf.size(), 200);
            if (r.status == xfer_status::timeout && !fw.capturing()) {
                end = r.status;
                break;
            }
            if (r.status == xfer_status::ok)
                vx_stream_feed_input(s, buf.data(), r.len);
        }
        done = true;
    });
    // Parameter reads while the reader waits for frames (no assertion may
    // leave this loop with the reader still running).
    int reads = 0, good = 0;
    while (!done) {
        uint8_t it[VXIF_PARAM_ITEM_SIZE] = {PARAM_TEMP};
        bool ok = fw.control_out(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, it, sizeof it).status == xfer_status::ok &&
                  status_ok(fw, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET) &&
                  fw.control_in(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, it, sizeof it).status == xfer_status::ok &&
                  status_ok(fw, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET) && it[0] == PARAM_TEMP && it[1] == 10;
        ++reads;
        good += ok;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    EXPECT_EQ(good, reads);
    EXPECT_EQ(end, xfer_status::timeout);
    EXPECT_GT(reads, 0);
    vx_stream_state_t st;
    vx_stream_get_state(s, &st);
    EXPECT_EQ(st.frcnt_total, 3u);
    EXPECT_EQ(st.frcnt_err_discard, 0u);
    EXPECT_EQ(fw.frames_sent(), 3u);
    vx_stream_destroy(s);
}
