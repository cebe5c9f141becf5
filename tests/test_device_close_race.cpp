// ctest-labels: threads
// Calls racing on one replayed device. Closing it from one thread while
// others are inside frame requests, frame waits, parameter, register,
// buffer and frame decoding calls, many times over: every call returns, the close frees the
// device only after them (the sanitizer runs catch a use after free or a
// leak), and the frames handed out before the close are whole. And a frame
// rate set on one thread while a frame request starts on another.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "kavro_globals.h"
#include "per_process_name.h"
#include "replay_recording.h"

namespace {

using kavro_test::REC_FRAME_BYTES;

constexpr int ROUNDS = 200;
constexpr int FRAMES = 6;

const std::string g_log = per_process_name("test_device_close_race", ".log");
const std::string g_rec = per_process_name("close_race", ".raw");

std::atomic<int> g_bad_frames{0};
std::atomic<int> g_good_frames{0};

// Frame k of the recording has index k + 1.
void check_frame(const uint8_t *data, uint32_t size, uint16_t idx) {
    const auto want = kavro_test::rec_samples(idx - 1);
    if (idx == 0 || idx > FRAMES || size != REC_FRAME_BYTES || memcmp(data, want.data(), REC_FRAME_BYTES) != 0)
        ++g_bad_frames;
    else
        ++g_good_frames;
}

void on_frame(kavro_dev_t *, kavro_frame_t *fr) {
    check_frame(static_cast<const uint8_t *>(fr->frame_data), fr->frame_info.frame_size, fr->frame_info.frame_idx);
}

class DeviceCloseRace : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::remove(g_log.c_str());
        kavro_init(g_log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_WARN, LOG_LEVEL_NONE);
        ASSERT_TRUE(kavro_test::write_recording(g_rec, FRAMES, "VX1-T0-RACE"));
    }
    static void TearDownTestSuite() {
        kavro_dev_close(&default_dev);
        kavro_uninit();
        std::remove(g_log.c_str());
        std::remove(g_rec.c_str());
    }
};

// Calls of the reader thread: blocking requests until the device refuses them
// (-1 once it is closing or closed).
void read_frames(kavro_dev_t *dev) {
    std::vector<uint8_t> buf(4 * REC_FRAME_BYTES);
    for (;;) {
        kavro_frame_t first{};
        const int n = kavro_cap_get_frames(dev, 4, buf.data(), static_cast<uint32_t>(buf.size()), &first);
        if (n == -1) return;
        if (n > 0) check_frame(buf.data(), first.frame_info.frame_size, first.frame_info.frame_idx);
    }
}

// ...or waits without a time limit, which only the end of the recording (then
// it returns at once) or the close ends.
void wait_frames(kavro_dev_t *dev) {
    while (kavro_cap_wait(dev, 0)) {
    }
}

// Parameter, register, buffer or decoding calls until the device is gone.
void call_params(kavro_dev_t *dev, const std::atomic<bool> &done, int flavour) {
    while (!done) {
        kavro_param_item_t rate{};
        rate.param_id = PARAM_FRAME_RATE;
        rate.param_val_len = 4;
        if (flavour == 0) {
            if (kavro_param_batch_get(dev, &rate, 1)) kavro_param_batch_set(dev, &rate, 1);
        } else if (flavour == 2) {
            // Decoding calls: the driver's decode runs inside the device guard.
            std::vector<uint8_t> raw(REC_FRAME_BYTES, 0x11);
            std::vector<float> out(REC_FRAME_BYTES);
            kavro_frame_info_t fi{};
            fi.frame_size = REC_FRAME_BYTES;
            fi.width = 160;
            fi.height = 120;
            kavro_frame_get_distance(dev, out.data(), static_cast<int>(out.size()), raw.data(),
                                     static_cast<int>(raw.size()), &fi);
            kavro_frame_get_gray(dev, out.data(), static_cast<int>(out.size()), raw.data(),
                                 static_cast<int>(raw.size()), &fi);
        } else {
            uint32_t regs[4];
            uint8_t *fb = nullptr;
            uint32_t fb_size = 0;
            kavro_reg_batch_read(dev, DEV_REG_CAM0, 0, regs, 4);
            kavro_cap_get_frame_buffer(dev, &fb, &fb_size);
            kavro_cap_is_ongoing(dev);
        }
    }
}

TEST_F(DeviceCloseRace, CloseWhileCallsAreInside) {
    for (int round = 0; round < ROUNDS; ++round) {
        kavro_dev_t *dev = kavro_dev_open_replay(g_rec.c_str());
        ASSERT_EQ(dev, &default_dev) << "round " << round;
        ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 16 * 307200));
        // Mostly paced (the replay is still running at the close), sometimes
        // as fast as it is read (the recording has ended).
        kavro_param_item_t rate{};
        rate.param_id = PARAM_FRAME_RATE;
        rate.param_val_len = 4;
        rate.param_val.frame_rate.fps = round % 4 == 0 ? 0 : 500;
        ASSERT_TRUE(kavro_param_batch_set(dev, &rate, 1));
        kavro_cap_set_callback_on_frame_ready(dev, on_frame);
        ASSERT_TRUE(kavro_cap_start(dev));

        std::atomic<bool> done{false};
        std::vector<std::thread> threads;
        // One frame reader at a time per device: a request or a wait.
        if (round % 2 == 0)
            threads.emplace_back(read_frames, dev);
        else
            threads.emplace_back(wait_frames, dev);
        threads.emplace_back(call_params, dev, std::cref(done), 0);
        threads.emplace_back(call_params, dev, std::cref(done), 1);
        threads.emplace_back(call_params, dev, std::cref(done), 2);

        // Close at different points of the replay and of the calls.
        if (round % 5 != 0) std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 7)));
        kavro_dev_close(dev);
        EXPECT_EQ(default_dev.handler, nullptr);
        EXPECT_EQ(default_dev.lock, nullptr);
        done = true;
        for (auto &t : threads) t.join();  // a call left blocked hangs here
        EXPECT_EQ(default_dev.api_flag, 0);
        ASSERT_EQ(g_bad_frames.load(), 0) << "round " << round;
    }
    // The races above must not have kept every frame away.
    EXPECT_GT(g_good_frames.load(), 0);
}

// A request derives its time limit from the frame rate, which a parameter
// call may set to 0 at any moment (0 means "assume 20 per second").
TEST_F(DeviceCloseRace, FrameRateSetWhileRequestsStart) {
    kavro_dev_t *dev = kavro_dev_open_replay(g_rec.c_str());
    ASSERT_EQ(dev, &default_dev);
    std::atomic<bool> done{false};
    std::thread setter([&] {
        kavro_param_item_t rate{};
        rate.param_id = PARAM_FRAME_RATE;
        rate.param_val_len = 4;
        for (uint32_t i = 0; !done; ++i) {
            rate.param_val.frame_rate.fps = i % 2 ? 30 : 0;
            kavro_param_batch_set(dev, &rate, 1);
        }
    });
    uint8_t buf[REC_FRAME_BYTES];
    // Not capturing: each request works out its time limit and returns.
    for (int i = 0; i < 1000000; ++i) ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf, sizeof buf, nullptr), -2);
    done = true;
    setter.join();
    kavro_dev_close(dev);
}

}  // namespace
