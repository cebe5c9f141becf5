// ctest-labels: threads
// The capture engine's stop rules and error reports, driven through its
// transport notify callback by the scripted transport: the timeout and stall
// limits and what a stop on them leaves for the reader and the error
// callback, the other transport errors (also waking a reader that waits
// without a time limit), and the running total of damaged frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <thread>
#include <vector>

#include "capture_fixture.h"
#include "kavro.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "per_process_name.h"

namespace {

constexpr uint32_t FR = 64;  // bytes per test frame

struct ErrSeen {
    int err;
    void *arg;
};
std::vector<ErrSeen> g_errs;
bool record_error(kavro_dev_t *, int err, void *arg) {
    g_errs.push_back({err, arg});
    return true;
}

class CaptureLimits : public CaptureFixture {
protected:
    static void SetUpTestSuite() { init_library(per_process_name("test_capture_limits", ".log").c_str()); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        CaptureFixture::SetUp();
        g_errs.clear();
        kavro_cap_set_callback_on_error(&dev_, record_error);
    }
    bool stopping() { return handler()->cap_thread_stop != 0; }
    // A frame in two pieces whose second header skips a sequence number: the
    // stream drops it as damaged.
    static void damaged_frame(kavro_test::StreamBuilder &b, uint16_t frame_idx) {
        const std::vector<uint8_t> data = frame_bytes(FR, frame_idx);
        const uint16_t seq = b.next_idx();
        b.header(kavro_test::stream_hdr(seq, FR / 2, FR, frame_idx, VX_STREAM_FLAG_FR_BOUND), data.data(), FR / 2);
        b.header(kavro_test::stream_hdr(static_cast<uint16_t>(seq + 2), FR / 2, FR, frame_idx, 0), data.data() + FR / 2,
                 FR / 2);
    }
    int get(uint32_t n) {
        std::vector<uint8_t> buf(n * FR);
        return kavro_cap_get_frames(&dev_, n, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    }
};

// ---- timeout and stall limits ----------------------------------------------------

struct LimitCase {
    const char *name;
    int status;
    int tolerated;  // events that do not stop capture
    int code;       // what the reader and the error callback get after the next one
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

class CaptureLimitRules : public CaptureLimits, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(CaptureLimitRules, OneMoreThanToleratedStopsWithItsCode) {
    const LimitCase c = GetParam();
    ASSERT_TRUE(kavro_cap_start(&dev_));
    for (int i = 0; i < c.tolerated; ++i) status(c.status);
    EXPECT_FALSE(stopping());
    EXPECT_EQ(cam_.count("cap_abort"), 0);
    status(c.status);
    EXPECT_TRUE(stopping());
    EXPECT_EQ(cam_.count("cap_abort"), 1);
    // Once stopping, more of them neither abort again nor change the error.
    for (int i = 0; i < 5; ++i) status(c.status);
    EXPECT_EQ(cam_.count("cap_abort"), 1);
    EXPECT_EQ(handler()->cap_errno, c.code);

    // The reader gets the code once; the error callback sees it once, with
    // no argument, and its true answer clears it.
    EXPECT_EQ(get(2), c.code);
    ASSERT_EQ(g_errs.size(), 1u);
    EXPECT_EQ(g_errs[0].err, c.code);
    EXPECT_EQ(g_errs[0].arg, nullptr);
    EXPECT_EQ(get(2), 0);
    EXPECT_EQ(g_errs.size(), 1u);

    // A new start counts from zero again.
    ASSERT_TRUE(kavro_cap_start(&dev_));
    for (int i = 0; i < c.tolerated; ++i) status(c.status);
    EXPECT_FALSE(stopping());
    status(c.status);
    EXPECT_TRUE(stopping());
}

INSTANTIATE_TEST_SUITE_P(Limits, CaptureLimitRules,
                         ::testing::Values(LimitCase{"Timeout", LL_TRANS_TIMEOUT, 32, KAVRO_ERR_CAP_TIMEOUT},
                                           LimitCase{"Stall", LL_TRANS_STALL, 16, KAVRO_ERR_CAP_STALL}),
                         [](const ::testing::TestParamInfo<LimitCase> &i) { return std::string(i.param.name); });

TEST_F(CaptureLimits, StallsCountInARowAndTimeoutsSinceTheStart) {
    ASSERT_TRUE(kavro_cap_start(&dev_));
    kavro_test::StreamBuilder b;
    // Data between them resets the stalls but not the timeouts.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 16; ++i) status(LL_TRANS_STALL);
        for (int i = 0; i < 10; ++i) status(LL_TRANS_TIMEOUT);
        deliver(frames(1, FR, static_cast<uint16_t>(round), &b));
    }
    EXPECT_FALSE(stopping());  // 48 stalls and 30 timeouts so far
    status(LL_TRANS_TIMEOUT);
    status(LL_TRANS_TIMEOUT);
    EXPECT_FALSE(stopping());
    status(LL_TRANS_TIMEOUT);  // the 33rd
    EXPECT_TRUE(stopping());
    // The frames that came before the stop are still handed out with it.
    std::vector<uint8_t> buf(3 * FR);
    kavro_frame_t first{};
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 3, buf.data(), static_cast<uint32_t>(buf.size()), &first),
              KAVRO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(first.frame_info.frame_idx, 0);
    EXPECT_EQ(0, memcmp(buf.data() + 2 * FR, frame_bytes(FR, 2).data(), FR));
}

// ---- other transport errors -------------------------------------------------------

class CaptureFatalStatus : public CaptureLimits, public ::testing::WithParamInterface<int> {};

TEST_P(CaptureFatalStatus, WakesAnUnlimitedWaitAndReachesTheErrorCallback) {
    const int st = GetParam();
    ASSERT_TRUE(kavro_cap_start(&dev_));
    std::atomic<bool> waited{false};
    std::atomic<bool> result{false};
    std::thread waiter([&] {
        result = kavro_cap_wait(&dev_, 0);  // no time limit: only the event ends it
        waited = true;
    });
    // Give the waiter time to fall asleep (the status must end the wait in
    // any case; a lost wake-up shows as a hang).
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status(st);
    waiter.join();
    EXPECT_TRUE(waited.load());
    EXPECT_TRUE(result.load());
    EXPECT_TRUE(stopping());
    EXPECT_EQ(cam_.count("cap_abort"), 1);
    // The wait's own pass delivered the error.
    ASSERT_EQ(g_errs.size(), 1u);
    EXPECT_EQ(g_errs[0].err, st);
    EXPECT_EQ(g_errs[0].arg, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Statuses, CaptureFatalStatus,
                         ::testing::Values(int{LL_TRANS_LOAD_FAILED}, int{LL_TRANS_ERROR}, -42),
                         [](const ::testing::TestParamInfo<int> &i) { return "code" + std::to_string(-i.param); });

// ---- damaged frames ------------------------------------------------------------------

TEST_F(CaptureLimits, DamagedFramesAreReportedWithTheRunningTotal) {
    ASSERT_TRUE(kavro_cap_start(&dev_));
    kavro_test::StreamBuilder b;
    auto feed = [&](int damaged, uint16_t good_idx) {
        kavro_test::StreamBuilder part;
        part.next_idx(b.next_idx());
        for (int i = 0; i < damaged; ++i) damaged_frame(part, static_cast<uint16_t>(100 + i));
        frames(1, FR, good_idx, &part);
        b.next_idx(part.next_idx());
        deliver(part.data());
    };
    std::vector<uint8_t> buf(FR);
    kavro_frame_t info{};

    feed(1, 1);
    ASSERT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), FR, &info), 1);  // a warning, not an error result
    EXPECT_EQ(info.frame_info.frame_idx, 1);
    ASSERT_EQ(g_errs.size(), 1u);
    EXPECT_EQ(g_errs[0].err, KAVRO_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(g_errs[0].arg), 1u);

    // Two more dropped before the next read: one report with the total.
    feed(2, 2);
    ASSERT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), FR, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 2);
    ASSERT_EQ(g_errs.size(), 2u);
    EXPECT_EQ(g_errs[1].err, KAVRO_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(g_errs[1].arg), 3u);
    EXPECT_EQ(handler()->cap_missing_cnt, 3);
    EXPECT_FALSE(stopping());

    // Without an error callback the report stays pending and frames still flow.
    kavro_cap_set_callback_on_error(&dev_, nullptr);
    feed(1, 3);
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), FR, &info), 1);
    EXPECT_EQ(handler()->cap_errno, KAVRO_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(static_cast<void *>(handler()->cap_errargs)), 4u);
}

}  // namespace
