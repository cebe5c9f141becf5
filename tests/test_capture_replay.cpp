// ctest-labels: threads
// The capture engine end to end on replayed recordings: the replay
// transport's own thread feeds the engine while the test takes frames by
// blocking requests, single frames or the frame-ready callback; the end of a
// recording, a cut recording, the error callback's answer, restarts and the
// frame rate the requests are paced by.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "kavro_globals.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "kavro_replay.h"
#include "per_process_name.h"
#include "replay_recording.h"

namespace {

using kavro_test::REC_FRAME_BYTES;
using kavro_test::rec_samples;

const std::string g_log = per_process_name("test_capture_replay", ".log");

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// What the callbacks saw.
struct Seen {
    std::vector<uint16_t> idx;                 // frame indices, in order
    std::vector<std::vector<uint8_t>> data;    // frame contents
    std::vector<std::pair<int, void *>> errs;  // error code and argument
    bool err_answer = true;
};
Seen g_seen;

void on_frame(kavro_dev_t *, kavro_frame_t *fr) {
    g_seen.idx.push_back(fr->frame_info.frame_idx);
    const auto *p = static_cast<const uint8_t *>(fr->frame_data);
    g_seen.data.emplace_back(p, p + fr->frame_info.frame_size);
}

bool on_error(kavro_dev_t *, int err, void *arg) {
    g_seen.errs.emplace_back(err, arg);
    return g_seen.err_answer;
}

std::vector<uint8_t> frame_bytes(int k) {
    const auto s = rec_samples(k);
    std::vector<uint8_t> b(REC_FRAME_BYTES);
    memcpy(b.data(), s.data(), REC_FRAME_BYTES);
    return b;
}

class CaptureReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::remove(g_log.c_str());
        kavro_init(g_log.c_str());
        kavro_log_cfg(LOG_LEVEL_ERROR, LOG_LEVEL_TRACE, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() {
        kavro_uninit();
        std::remove(g_log.c_str());
    }
    void SetUp() override { g_seen = Seen{}; }
    void TearDown() override {
        kavro_dev_close(&default_dev);
        std::remove(path_.c_str());
    }

    // Open a recording of `frames` frames (and a cut frame of `tail` samples)
    // replayed at `fps` frames per second (0: as fast as it is read).
    kavro_dev_t *open(int frames, uint32_t fps, int tail = 0) {
        path_ = per_process_name("replay", ".raw");
        EXPECT_TRUE(kavro_test::write_recording(path_, frames, "VX1-T0-REPLAY", tail));
        kavro_dev_t *dev = kavro_dev_open_replay(path_.c_str());
        EXPECT_EQ(dev, &default_dev);
        if (!dev) return nullptr;
        EXPECT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 16 * 307200));
        kavro_param_item_t rate{};
        rate.param_id = PARAM_FRAME_RATE;
        rate.param_val_len = 4;
        rate.param_val.frame_rate.fps = fps;
        EXPECT_TRUE(kavro_param_batch_set(dev, &rate, 1));
        kavro_cap_set_callback_on_error(dev, on_error);
        return dev;
    }
    static _kavro_handler_t *handler(kavro_dev_t *dev) { return static_cast<_kavro_handler_t *>(dev->handler); }
    // Until the replay has played everything and the engine stops (the
    // end-of-file or load-failure event has been handled).
    static void wait_stopping(kavro_dev_t *dev) {
        while (!handler(dev)->cap_thread_stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string path_;
};

// ---- every frame, whichever way it is taken ------------------------------------

enum class Mode { Blocking, Single, Callback };

void PrintTo(Mode m, std::ostream *os) {
    *os << (m == Mode::Blocking ? "blocking" : m == Mode::Single ? "single" : "callback");
}

class CaptureReplayModes : public CaptureReplay, public ::testing::WithParamInterface<Mode> {};

TEST_P(CaptureReplayModes, EveryFrameInOrderAndTheEndIsNoError) {
    constexpr int N = 5;
    kavro_dev_t *dev = open(N, 0);
    ASSERT_NE(dev, nullptr);
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint16_t> idx;
    if (GetParam() == Mode::Callback) kavro_cap_set_callback_on_frame_ready(dev, on_frame);
    ASSERT_TRUE(kavro_cap_start(dev));

    switch (GetParam()) {
    case Mode::Blocking: {
        // Frames land one after the other; the end of the recording ends a
        // request early with the frames it got.
        std::vector<uint8_t> buf(N * REC_FRAME_BYTES);
        int n_got = 0;
        while (n_got < N) {
            kavro_frame_t first{};
            const int n = kavro_cap_get_frames(dev, static_cast<uint32_t>(N - n_got), buf.data() + n_got * REC_FRAME_BYTES,
                                               static_cast<uint32_t>((N - n_got) * REC_FRAME_BYTES), &first);
            ASSERT_GT(n, 0);
            idx.push_back(first.frame_info.frame_idx);
            n_got += n;
        }
        for (int k = 0; k < N; ++k)
            got.emplace_back(buf.begin() + k * REC_FRAME_BYTES, buf.begin() + (k + 1) * REC_FRAME_BYTES);
        EXPECT_EQ(idx[0], 1);  // the replay counts frames from 1
        wait_stopping(dev);
        // After the end a request returns at once with nothing.
        EXPECT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, nullptr), 0);
        break;
    }
    case Mode::Single: {
        std::vector<uint8_t> buf(REC_FRAME_BYTES);
        while (static_cast<int>(got.size()) < N) {
            kavro_frame_t info{};
            const bool ended = handler(dev)->cap_thread_stop;  // before the call
            const int n = kavro_cap_get_frame(dev, buf.data(), REC_FRAME_BYTES, &info);
            ASSERT_GE(n, 0);
            if (n == 0) {
                // Nothing ready: the call does not wait. Once the replay has
                // ended every frame is in the engine, so none may be missing.
                ASSERT_FALSE(ended) << "the replay ended after " << got.size() << " frames";
                std::this_thread::yield();
                continue;
            }
            got.push_back(buf);
            idx.push_back(info.frame_info.frame_idx);
        }
        wait_stopping(dev);
        EXPECT_EQ(kavro_cap_get_frame(dev, buf.data(), REC_FRAME_BYTES, nullptr), 0);
        break;
    }
    case Mode::Callback:
        // The wait returns once the capture stops at the end of the file; a
        // second one hands out what was left and returns at once.
        EXPECT_TRUE(kavro_cap_wait(dev, 0));
        EXPECT_TRUE(kavro_cap_wait(dev, 0));
        got = g_seen.data;
        idx = g_seen.idx;
        break;
    }

    ASSERT_EQ(got.size(), static_cast<size_t>(N));
    for (int k = 0; k < N; ++k) EXPECT_EQ(got[k], frame_bytes(k)) << "frame " << k;
    if (GetParam() != Mode::Blocking) {
        ASSERT_EQ(idx.size(), static_cast<size_t>(N));
        for (int k = 0; k < N; ++k) EXPECT_EQ(idx[k], k + 1);
    }
    // The end of the recording stops capture without an error: the error
    // callback hears nothing, and the device still counts as capturing until
    // it is stopped.
    EXPECT_TRUE(g_seen.errs.empty());
    EXPECT_EQ(handler(dev)->cap_errno, 0);
    EXPECT_TRUE(kavro_cap_is_ongoing(dev));
}

INSTANTIATE_TEST_SUITE_P(Modes, CaptureReplayModes, ::testing::Values(Mode::Blocking, Mode::Single, Mode::Callback),
                         [](const ::testing::TestParamInfo<Mode> &i) {
                             switch (i.param) {
                             case Mode::Blocking: return std::string("Blocking");
                             case Mode::Single: return std::string("Single");
                             default: return std::string("Callback");
                             }
                         });

// ---- a cut or replaced recording ---------------------------------------------------

TEST_F(CaptureReplay, CutLastFrameEndsLikeTheEndOfTheFile) {
    // The loader reports a cut frame as the end of the file: the frames
    // before it are played, and no error is reported.
    kavro_dev_t *dev = open(3, 0, /*tail=*/10);
    ASSERT_NE(dev, nullptr);
    kavro_cap_set_callback_on_frame_ready(dev, on_frame);
    ASSERT_TRUE(kavro_cap_start(dev));
    EXPECT_TRUE(kavro_cap_wait(dev, 0));
    EXPECT_TRUE(kavro_cap_wait(dev, 0));
    ASSERT_EQ(g_seen.data.size(), 3u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(g_seen.data[k], frame_bytes(k)) << k;
    EXPECT_TRUE(g_seen.errs.empty());
}

// A recording replaced under the open replay by one with smaller frames: at
// the next start the replay reads the new header, gets fewer samples than a
// frame of the recording it opened, and stops with a load failure. The error
// callback hears it once, whatever it answers; a false answer holds back all
// delivery until the next start.
class CaptureReplayLoadFailure : public CaptureReplay, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureReplayLoadFailure, ReachesTheErrorCallbackOnce) {
    const bool answer = GetParam();
    g_seen.err_answer = answer;
    constexpr int N = 3;
    kavro_dev_t *dev = open(N, 0);
    ASSERT_NE(dev, nullptr);
    {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        const std::vector<uint16_t> small(4 * 4 * 4, 7);
        EXPECT_TRUE(kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, small.data(), 64, 4, 4, 4, "VX1-T0-REPLAY"));
        close(fd);
    }
    kavro_cap_set_callback_on_frame_ready(dev, on_frame);
    ASSERT_TRUE(kavro_cap_start(dev));
    wait_stopping(dev);
    EXPECT_EQ(handler(dev)->cap_errno, LL_TRANS_LOAD_FAILED);

    std::vector<uint8_t> buf(N * REC_FRAME_BYTES, 0xCC);
    EXPECT_EQ(kavro_cap_get_frames(dev, N, buf.data(), static_cast<uint32_t>(buf.size()), nullptr),
              LL_TRANS_LOAD_FAILED);
    ASSERT_EQ(g_seen.errs.size(), 1u);
    EXPECT_EQ(g_seen.errs[0].first, LL_TRANS_LOAD_FAILED);
    EXPECT_EQ(g_seen.errs[0].second, nullptr);
    EXPECT_EQ(handler(dev)->cap_err_force_stop, !answer);
    // Seen once: later calls report nothing more and find no frame.
    EXPECT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, nullptr), 0);
    EXPECT_EQ(kavro_cap_get_frame(dev, buf.data(), REC_FRAME_BYTES, nullptr), 0);
    EXPECT_TRUE(kavro_cap_wait(dev, 0));
    EXPECT_EQ(g_seen.errs.size(), 1u);
    EXPECT_TRUE(g_seen.idx.empty());
    EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0xCC));

    // With the recording back, a new start plays it from its first frame.
    ASSERT_TRUE(kavro_test::write_recording(path_, N, "VX1-T0-REPLAY"));
    ASSERT_TRUE(kavro_cap_start(dev));
    EXPECT_FALSE(handler(dev)->cap_err_force_stop);
    EXPECT_TRUE(kavro_cap_wait(dev, 0));
    EXPECT_TRUE(kavro_cap_wait(dev, 0));
    ASSERT_EQ(g_seen.data.size(), static_cast<size_t>(N));
    for (int k = 0; k < N; ++k) EXPECT_EQ(g_seen.data[k], frame_bytes(k)) << k;
    EXPECT_EQ(g_seen.errs.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Answer, CaptureReplayLoadFailure, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "GoOn" : "Stop");
                         });

// ---- restart ----------------------------------------------------------------------

TEST_F(CaptureReplay, RestartReplaysFromTheFirstFrame) {
    constexpr int N = 6;
    // Paced, so the replay is still running when the first capture stops.
    kavro_dev_t *dev = open(N, 50);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buf(REC_FRAME_BYTES);
    kavro_frame_t info{};
    ASSERT_TRUE(kavro_cap_start(dev));
    ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 1);
    ASSERT_TRUE(kavro_cap_stop(dev));
    EXPECT_FALSE(kavro_cap_is_ongoing(dev));
    EXPECT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, nullptr), -2);

    // Stopped mid-way, then started again: from the first frame, to the end.
    ASSERT_TRUE(kavro_cap_start(dev));
    std::vector<uint8_t> all(N * REC_FRAME_BYTES);
    int got = 0;
    while (got < N) {
        const int n = kavro_cap_get_frames(dev, static_cast<uint32_t>(N - got), all.data() + got * REC_FRAME_BYTES,
                                           static_cast<uint32_t>((N - got) * REC_FRAME_BYTES), got ? nullptr : &info);
        ASSERT_GT(n, 0) << "after " << got << " frames";
        if (got == 0) {
            EXPECT_EQ(info.frame_info.frame_idx, 1);
        }
        got += n;
    }
    for (int k = 0; k < N; ++k)
        EXPECT_EQ(0, memcmp(all.data() + k * REC_FRAME_BYTES, frame_bytes(k).data(), REC_FRAME_BYTES)) << k;

    // After the end, a start without a stop (the device still counts as
    // capturing) replays it again.
    wait_stopping(dev);
    ASSERT_TRUE(kavro_cap_start(dev));
    ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 1);
    EXPECT_EQ(buf, frame_bytes(0));
    EXPECT_TRUE(g_seen.errs.empty());
}

// Holds the replay thread inside its hand-over of the `hold_at`-th frame for a
// while, after telling the test it is there.
struct HeldHandOver {
    int hold_at = 0;
    int seen = 0;
    bool inside = false;
    std::mutex m;
    std::condition_variable cv;
    static void hook(void *arg) {
        auto *self = static_cast<HeldHandOver *>(arg);
        std::unique_lock<std::mutex> lk(self->m);
        if (++self->seen != self->hold_at) return;
        self->inside = true;
        self->cv.notify_all();
        lk.unlock();
        // Long enough for a stop and a start that do not wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
};

// A frame the replay thread is handing over when capture stops belongs to
// the stopped capture: the stop waits for it, and the next capture's first
// frame is the recording's first (not the stopped capture's second).
TEST_F(CaptureReplay, FrameOnItsWayAtAStopDoesNotReachTheNextCapture) {
    kavro_dev_t *dev = open(5, 0);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buf(REC_FRAME_BYTES);
    kavro_frame_t info{};
    HeldHandOver held;
    held.hold_at = 2;
    _kavro_ll_file_set_delivery_hook(&handler(dev)->ll_dev, &HeldHandOver::hook, &held);
    ASSERT_TRUE(kavro_cap_start(dev));
    ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 1);
    {
        std::unique_lock<std::mutex> lk(held.m);
        held.cv.wait(lk, [&] { return held.inside; });  // frame 2 is on its way
    }
    ASSERT_TRUE(kavro_cap_stop(dev));
    ASSERT_TRUE(kavro_cap_start(dev));
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), REC_FRAME_BYTES, &info), 1) << k;
        EXPECT_EQ(info.frame_info.frame_idx, k + 1);
        EXPECT_EQ(buf, frame_bytes(k)) << k;
    }
    _kavro_ll_file_set_delivery_hook(&handler(dev)->ll_dev, nullptr, nullptr);
    EXPECT_TRUE(g_seen.errs.empty());
}

// ---- pacing -----------------------------------------------------------------------

// The replay reports the rate it is paced at; a capture start reads it and a
// request waits for frame_num x (100 + period) + 2000 ms at most.
struct PaceCase {
    uint32_t fps;
    int cap_fps;      // the rate the engine works with
    int timeout_ms;   // for a request of 3 frames
};

void PrintTo(const PaceCase &c, std::ostream *os) { *os << c.fps << " fps"; }

class CaptureReplayPacing : public CaptureReplay, public ::testing::WithParamInterface<PaceCase> {};

TEST_P(CaptureReplayPacing, RequestTimeLimitFollowsTheReplayRate) {
    const PaceCase c = GetParam();
    kavro_dev_t *dev = open(3, c.fps);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(kavro_cap_start(dev));
    const size_t log_start = read_all(g_log).size();
    std::vector<uint8_t> buf(3 * REC_FRAME_BYTES);
    int got = 0;
    while (got < 3) {
        const int n = kavro_cap_get_frames(dev, static_cast<uint32_t>(3 - got), buf.data() + got * REC_FRAME_BYTES,
                                           static_cast<uint32_t>((3 - got) * REC_FRAME_BYTES), nullptr);
        ASSERT_GT(n, 0);
        if (got == 0) {
            EXPECT_EQ(handler(dev)->cap_fps, c.cap_fps);
            const std::string want = "[TRC][_kavro_cap_get_frames] frame_num = 3, timeout_msec=" +
                                     std::to_string(c.timeout_ms) + "\n";
            EXPECT_NE(read_all(g_log).find(want, log_start), std::string::npos) << want;
        }
        got += n;
    }
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(0, memcmp(buf.data() + k * REC_FRAME_BYTES, frame_bytes(k).data(), REC_FRAME_BYTES)) << k;
}

INSTANTIATE_TEST_SUITE_P(Rates, CaptureReplayPacing,
                         ::testing::Values(PaceCase{0, 20, 3 * 100 + 3 * 50 + 2000},  // unpaced: 20 assumed
                                           PaceCase{25, 25, 3 * 100 + 3 * 40 + 2000},
                                           PaceCase{30, 30, 3 * 100 + 3 * 33 + 2000},
                                           PaceCase{1000, 1000, 3 * 100 + 3 * 1 + 2000}),
                         [](const ::testing::TestParamInfo<PaceCase> &i) {
                             return "fps" + std::to_string(i.param.fps);
                         });

}  // namespace
