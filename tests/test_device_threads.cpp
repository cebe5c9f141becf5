// ctest-labels: threads
// Closing a device while other threads are calling into it: the close waits
// for calls in progress, refuses new ones, and never frees the device under
// a running call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "fake_transport.h"
#include "per_process_name.h"
#include "kavro.h"
#include "kavro_handler.h"

namespace {

const std::string g_log = per_process_name("test_device_threads", ".log");
const char *const LOG_NAME = g_log.c_str();

std::string read_all(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void wait_until(const std::function<bool()> &cond) {
    while (!cond()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class DeviceThreads : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::remove(LOG_NAME);
        kavro_init(LOG_NAME);
    }
    static void TearDownTestSuite() {
        kavro_uninit();
        std::remove(LOG_NAME);
    }
    void TearDown() override { g_kavro_close_wait_tries = 200; }

    static bool read_rate(kavro_dev_t *dev) {
        kavro_param_item_t item{};
        item.param_id = PARAM_FRAME_RATE;
        return kavro_param_batch_get(dev, &item, 1);
    }
    FakeCamera cam_;
};

TEST_F(DeviceThreads, CloseWaitsForACallInProgressAndRefusesNewOnes) {
    kavro_dev_t dev{};
    ASSERT_TRUE(fake_open(&dev, &cam_));
    cam_.block = true;
    std::atomic<bool> call_result{false};
    std::thread caller([&] { call_result = read_rate(&dev); });
    wait_until([&] { return cam_.blocked.load() == 1; });

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        kavro_dev_close(&dev);
        closed = true;
    });
    // The close has closed the transport and now waits for the caller.
    wait_until([&] { return cam_.count("close") == 1; });
    EXPECT_FALSE(read_rate(&dev));  // no new call gets in while closing
    EXPECT_FALSE(closed.load());
    EXPECT_NE(dev.handler, nullptr);

    cam_.release();
    caller.join();
    closer.join();
    EXPECT_TRUE(call_result.load());
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(dev.handler, nullptr);
    EXPECT_EQ(dev.lock, nullptr);
}

TEST_F(DeviceThreads, CloseThatGivesUpLeavesTheFreeToTheLastCall) {
    g_kavro_close_wait_tries = 1;
    auto *rec = static_cast<kavro_dev_t *>(calloc(1, sizeof(kavro_dev_t)));
    rec->alloc_flag = true;
    ASSERT_TRUE(fake_open(rec, &cam_));
    cam_.block = true;
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) callers.emplace_back([&] { read_rate(rec); });
    wait_until([&] { return cam_.blocked.load() == 3; });

    const size_t log_start = read_all(LOG_NAME).size();
    kavro_dev_close(rec);  // returns after its short wait; the calls still run
    EXPECT_NE(read_all(LOG_NAME).substr(log_start).find("[WRN][_kavro_dev_close]  api wait timeout"),
              std::string::npos);
    EXPECT_EQ(cam_.blocked.load(), 3);
    // The last caller frees the handler and the record on its way out (the
    // sanitizer runs catch a use after free or a leak).
    cam_.release();
    for (auto &t : callers) t.join();
}

TEST_F(DeviceThreads, CloseRacingManyCallers) {
    for (int round = 0; round < 20; ++round) {
        FakeCamera cam;
        kavro_dev_t dev{};
        ASSERT_TRUE(fake_open(&dev, &cam));
        std::atomic<bool> stop{false};
        std::atomic<int> succeeded{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&, t] {
                uint32_t regs[4];
                while (!stop) {
                    bool ok = false;
                    switch (t) {
                    case 0: ok = read_rate(&dev); break;
                    case 1: ok = kavro_reg_batch_read(&dev, DEV_REG_CAM0, 0, regs, 4); break;
                    case 2: ok = kavro_dev_reset(&dev, DEV_RST_CAM0); break;
                    default: ok = kavro_cap_is_ongoing(&dev) || kavro_cap_stop(&dev); break;
                    }
                    succeeded += ok;
                }
            });
        }
        wait_until([&] { return succeeded.load() > 40; });
        kavro_dev_close(&dev);
        EXPECT_EQ(dev.handler, nullptr);
        EXPECT_FALSE(read_rate(&dev));
        stop = true;
        for (auto &t : callers) t.join();
        EXPECT_EQ(dev.api_flag, 0);
    }
}

}  // namespace
