// ctest-labels: threads
// The capture engine across threads: a feeder plays the transport's event
// thread while the application waits for frames, and a close on another
// thread ends a wait without freeing the device under it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "capture_fixture.h"
#include "per_process_name.h"
#include "kavro.h"
#include "kavro_handler.h"

namespace {

constexpr uint32_t FR = 128;

std::atomic<int> g_frames{0};
std::atomic<bool> g_frames_ok{true};
void check_frame(kavro_dev_t *, kavro_frame_t *fr) {
    const auto want = kavro_test::stream_pattern(FR, fr->frame_info.frame_idx + 1000u);
    if (fr->frame_info.frame_size != FR || memcmp(fr->frame_data, want.data(), FR) != 0) g_frames_ok = false;
    ++g_frames;
}

class CaptureThreads : public CaptureFixture {
protected:
    static void SetUpTestSuite() { init_library(per_process_name("test_capture_threads", ".log").c_str()); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        CaptureFixture::SetUp();
        g_frames = 0;
        g_frames_ok = true;
    }
};

TEST_F(CaptureThreads, BlockingRequestCollectsFramesFromTheEventThread) {
    ASSERT_TRUE(kavro_cap_start(&dev_));
    constexpr int N = 6;
    std::thread feeder([&] {
        for (int i = 0; i < N; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            deliver(frames(1, FR, static_cast<uint16_t>(i)));
        }
    });
    std::vector<uint8_t> buf(N * FR);
    int got = 0;
    while (got < N) {
        const int n = kavro_cap_get_frames(&dev_, static_cast<uint32_t>(N - got), buf.data() + got * FR,
                                           static_cast<uint32_t>((N - got) * FR), nullptr);
        ASSERT_GT(n, 0);
        got += n;
    }
    feeder.join();
    for (int i = 0; i < N; ++i)
        EXPECT_EQ(0, memcmp(buf.data() + i * FR, frame_bytes(FR, static_cast<uint16_t>(i)).data(), FR)) << i;
}

TEST_F(CaptureThreads, WaitHandsOutFramesUntilTheReplayEnds) {
    kavro_cap_set_callback_on_frame_ready(&dev_, check_frame);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 32 * 307200));  // nothing dropped as slow
    ASSERT_TRUE(kavro_cap_start(&dev_));
    std::thread feeder([&] {
        for (int i = 0; i < 20; ++i) deliver(frames(1, FR, static_cast<uint16_t>(i)));
        status(LL_TRANS_CANCELLED);
    });
    EXPECT_TRUE(kavro_cap_wait(&dev_, 0));
    feeder.join();
    // A wait may return as soon as the capture stops; what is left is handed
    // out by the next call.
    kavro_cap_wait(&dev_, 0);
    EXPECT_TRUE(g_frames_ok.load());
    EXPECT_EQ(g_frames.load(), 20);
}

TEST_F(CaptureThreads, CloseEndsABlockedWaitWithoutFreeingUnderIt) {
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            ASSERT_EQ(fake_open(&dev_, &cam_), &dev_);
            ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 8 * 307200));
        }
        kavro_cap_set_callback_on_frame_ready(&dev_, check_frame);
        ASSERT_TRUE(kavro_cap_start(&dev_));
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            kavro_cap_wait(&dev_, 0);  // no time limit: only the close ends it
            returned = true;
        });
        // Let the waiter block (not required for correctness: the close must
        // be safe at any point of the wait).
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        kavro_dev_close(&dev_);
        waiter.join();
        EXPECT_TRUE(returned.load());
        EXPECT_EQ(dev_.handler, nullptr);
    }
}

TEST_F(CaptureThreads, CloseEndsABlockedFrameRequest) {
    ASSERT_TRUE(kavro_cap_start(&dev_));
    std::atomic<int> result{1};
    std::vector<uint8_t> buf(100 * FR);
    std::thread reader([&] {
        // Would wait many seconds for 100 frames; the close's stop wakes it.
        result = kavro_cap_get_frames(&dev_, 100, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kavro_dev_close(&dev_);
    reader.join();
    // Either it got in before the close (and ended as not capturing) or the
    // closing device refused it.
    EXPECT_TRUE(result.load() == -2 || result.load() == -1) << result.load();
    EXPECT_EQ(dev_.handler, nullptr);
}

}  // namespace
