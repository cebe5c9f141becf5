// Capture engine: frame buffer size, start and stop, transport events and
// their limits, frame requests, callbacks, against the scripted transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture_fixture.h"
#include "per_process_name.h"
#include "kavro.h"
#include "kavro_handler.h"

namespace {

const std::string g_log = per_process_name("test_capture", ".log");
const char *const LOG_NAME = g_log.c_str();
constexpr uint32_t FR = 96;  // bytes per test frame

std::string read_all(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ErrRecord {
    int err;
    void *arg;
};
std::vector<ErrRecord> g_errors;
bool g_err_answer = true;
bool record_error(kavro_dev_t *, int err, void *arg) {
    g_errors.push_back({err, arg});
    return g_err_answer;
}

std::vector<std::vector<uint8_t>> g_frames;
std::vector<uint16_t> g_frame_idx;
void record_frame(kavro_dev_t *, kavro_frame_t *fr) {
    g_frames.emplace_back(static_cast<uint8_t *>(fr->frame_data),
                          static_cast<uint8_t *>(fr->frame_data) + fr->frame_info.frame_size);
    g_frame_idx.push_back(fr->frame_info.frame_idx);
}

class CaptureTest : public CaptureFixture {
protected:
    static void SetUpTestSuite() { init_library(LOG_NAME); }
    static void TearDownTestSuite() {
        kavro_uninit();
        std::remove(LOG_NAME);
    }
    void SetUp() override {
        CaptureFixture::SetUp();
        g_errors.clear();
        g_err_answer = true;
        g_frames.clear();
        g_frame_idx.clear();
        log_start_ = read_all(LOG_NAME).size();
    }
    std::string new_log() const { return read_all(LOG_NAME).substr(log_start_); }
    void start() { ASSERT_TRUE(kavro_cap_start(&dev_)); }
    size_t log_start_ = 0;
};

TEST_F(CaptureTest, FrameBufferNeedsMoreThanOneFrame) {
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 614399));
    uint32_t size = 0;
    kavro_cap_get_frame_buffer(&dev_, nullptr, &size);
    EXPECT_EQ(size, 307200u);
    EXPECT_FALSE(kavro_cap_start(&dev_));
    EXPECT_NE(new_log().find("[ERR][kavro_cap_start]  capture buffer not set or size is not correct \n"),
              std::string::npos);
    EXPECT_EQ(cam_.count("cap_start"), 0);

    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 614400));
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_TRUE(kavro_cap_is_ongoing(&dev_));
    // Not while capturing.
    EXPECT_FALSE(kavro_cap_set_frame_buffer(&dev_, nullptr, 10 * 307200));
    kavro_cap_get_frame_buffer(&dev_, nullptr, &size);
    EXPECT_EQ(size, 614400u);
}

TEST_F(CaptureTest, StartReadsFrameRateAndRestartsARunningCapture) {
    cam_.fps = 25;
    start();
    EXPECT_EQ(handler()->cap_fps, 25);
    EXPECT_EQ(handler()->cap_thread_stop, 0);
    start();
    EXPECT_EQ(cam_.count("cap_stop"), 1);
    EXPECT_EQ(cam_.count("cap_start"), 2);
    EXPECT_TRUE(kavro_cap_stop(&dev_));
    EXPECT_FALSE(kavro_cap_is_ongoing(&dev_));
    EXPECT_EQ(handler()->cap_thread_stop, 1);
}

TEST_F(CaptureTest, FramePeriodFollowsTheFrameRate) {
    // Not capturing: the call returns at once but states its time limit.
    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.frame_rate.fps = 30;
    ASSERT_TRUE(kavro_param_batch_set(&dev_, &rate, 1));
    std::vector<uint8_t> buf(10 * FR);
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 10, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), -2);
    EXPECT_NE(new_log().find("frame_num = 10, timeout_msec=3330\n"), std::string::npos);
    // Without a frame rate the engine assumes 20 per second.
    handler()->cap_fps = 0;
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 10, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), -2);
    EXPECT_NE(new_log().find("frame_num = 10, timeout_msec=3500\n"), std::string::npos);
    EXPECT_EQ(handler()->cap_fps, 20);
}

TEST_F(CaptureTest, WrongParametersAndNotCapturing) {
    uint8_t buf[FR];
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 0, buf, FR, nullptr), -1);
    EXPECT_EQ(kavro_cap_get_frames(nullptr, 1, buf, FR, nullptr), -1);
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, nullptr), -2);
    EXPECT_FALSE(kavro_cap_wait(&dev_, 10));
    EXPECT_FALSE(kavro_cap_snapshot(nullptr, buf, FR, nullptr));
}

TEST_F(CaptureTest, TwoFramesLandOneAfterTheOther) {
    start();
    deliver(frames(2, FR, 40));
    std::vector<uint8_t> buf(2 * FR + 8, 0xCC);
    kavro_frame_t first{};
    first.frame_data = &first;  // must be left alone
    ASSERT_EQ(kavro_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), &first), 2);
    EXPECT_EQ(0, memcmp(buf.data(), frame_bytes(FR, 40).data(), FR));
    EXPECT_EQ(0, memcmp(buf.data() + FR, frame_bytes(FR, 41).data(), FR));
    EXPECT_EQ(buf[2 * FR], 0xCC);
    EXPECT_EQ(first.frame_info.frame_idx, 40);
    EXPECT_EQ(first.frame_info.frame_size, FR);
    EXPECT_EQ(first.frame_info.width, 320u);  // described by the TI driver
    EXPECT_EQ(first.frame_data, &first);
}

TEST_F(CaptureTest, GetFrameTakesOneWithoutWaiting) {
    start();
    uint8_t buf[FR] = {};
    kavro_frame_t info{};
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, &info), 0);
    deliver(frames(2, FR, 7));
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 7);
    EXPECT_EQ(0, memcmp(buf, frame_bytes(FR, 7).data(), FR));
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, &info), 1);
    EXPECT_EQ(info.frame_info.frame_idx, 8);
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, &info), 0);
}

TEST_F(CaptureTest, FramesDrainedAfterTheRequestDoNotOverwriteIt) {
    start();
    deliver(frames(3, FR, 1));
    // Room for one frame and half of the second: the second is cut, and the
    // third, drained by the final pass, must not be written over it.
    std::vector<uint8_t> buf(FR + FR / 2, 0);
    ASSERT_EQ(kavro_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 2);
    EXPECT_EQ(0, memcmp(buf.data(), frame_bytes(FR, 1).data(), FR));
    EXPECT_EQ(0, memcmp(buf.data() + FR, frame_bytes(FR, 2).data(), FR / 2));
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf.data(), FR, nullptr), 0);  // the third was drained
}

TEST_F(CaptureTest, TimeoutLimitCountsSinceStart) {
    kavro_cap_set_callback_on_error(&dev_, record_error);
    start();
    for (int i = 0; i < 32; ++i) {
        status(LL_TRANS_TIMEOUT);
        if (i == 10) deliver(frames(1, FR, 0));  // data does not reset the count
    }
    EXPECT_EQ(handler()->cap_thread_stop, 0);
    EXPECT_EQ(cam_.count("cap_abort"), 0);
    status(LL_TRANS_TIMEOUT);
    EXPECT_EQ(handler()->cap_thread_stop, 1);
    EXPECT_EQ(cam_.count("cap_abort"), 1);
    EXPECT_NE(new_log().find("[WRN][on_capture_event] trans timeout -> stop"), std::string::npos);
    uint8_t buf[4 * FR];
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 4, buf, sizeof buf, nullptr), KAVRO_ERR_CAP_TIMEOUT);
    ASSERT_EQ(g_errors.size(), 1u);
    EXPECT_EQ(g_errors[0].err, KAVRO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(g_errors[0].arg, nullptr);
}

TEST_F(CaptureTest, StallLimitCountsStallsInARow) {
    start();
    for (int i = 0; i < 16; ++i) status(LL_TRANS_STALL);
    deliver(frames(1, FR, 0));
    for (int i = 0; i < 16; ++i) status(LL_TRANS_STALL);
    EXPECT_EQ(handler()->cap_thread_stop, 0);
    status(LL_TRANS_STALL);
    EXPECT_EQ(handler()->cap_thread_stop, 1);
    EXPECT_EQ(handler()->cap_errno, KAVRO_ERR_CAP_STALL);
}

TEST_F(CaptureTest, OtherStatusesStopWithTheirCode) {
    for (int st : {int{LL_TRANS_LOAD_FAILED}, int{LL_TRANS_ERROR}, -42}) {
        start();
        status(st);
        EXPECT_EQ(handler()->cap_thread_stop, 1) << st;
        uint8_t buf[FR];
        EXPECT_EQ(kavro_cap_get_frames(&dev_, 1, buf, FR, nullptr), st);
    }
    start();
    status(LL_TRANS_CANCELLED);  // end of a replay: stop without an error
    EXPECT_EQ(handler()->cap_thread_stop, 1);
    EXPECT_EQ(handler()->cap_errno, 0);
}

TEST_F(CaptureTest, DamagedFramesAreReportedWithTheirCount) {
    kavro_cap_set_callback_on_error(&dev_, record_error);
    start();
    // A frame split in two whose second header skips a sequence number is
    // dropped as damaged.
    kavro_test::StreamBuilder b;
    kavro_test::StreamFrame f;
    f.frame_idx = 5;
    f.data = frame_bytes(FR, 5);
    b.frame_split(f, FR / 2);
    std::vector<uint8_t> bytes = b.data();
    const size_t second = b.header_offsets()[1];
    vx_stream_hdr_t hdr;
    memcpy(&hdr, bytes.data() + second, sizeof hdr);
    hdr.idx = static_cast<uint16_t>(hdr.idx + 1);
    kavro_test::stream_hdr_seal(hdr);
    memcpy(bytes.data() + second, &hdr, sizeof hdr);
    deliver(bytes);
    deliver(frames(1, FR, 6));
    uint8_t buf[FR];
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 1, buf, FR, nullptr), 1);
    ASSERT_EQ(g_errors.size(), 1u);
    EXPECT_EQ(g_errors[0].err, KAVRO_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(g_errors[0].arg), 1u);  // the count itself
    EXPECT_EQ(handler()->cap_missing_cnt, 1);
}

TEST_F(CaptureTest, ErrorCallbackReturningFalseStopsDeliveryUntilRestart) {
    kavro_cap_set_callback_on_error(&dev_, record_error);
    g_err_answer = false;
    start();
    handler()->cap_errno = KAVRO_ERR_CAP_FRAME_DISCARD;
    deliver(frames(2, FR, 0));
    uint8_t buf[2 * FR];
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 2, buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(g_errors.size(), 1u);
    deliver(frames(1, FR, 2));
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, nullptr), 0);
    start();
    deliver(frames(1, FR, 3));
    EXPECT_EQ(kavro_cap_get_frame(&dev_, buf, FR, nullptr), 1);
}

TEST_F(CaptureTest, FrameReadyCallbackGetsEveryFrameAndWaitEndsWithCapture) {
    kavro_cap_set_callback_on_frame_ready(&dev_, record_frame);
    start();
    deliver(frames(3, FR, 20));
    status(LL_TRANS_CANCELLED);  // the replay ended: wait hands out what is left
    EXPECT_TRUE(kavro_cap_wait(&dev_, 0));
    ASSERT_EQ(g_frames.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g_frame_idx[i], 20 + i);
        EXPECT_EQ(g_frames[i], frame_bytes(FR, static_cast<uint16_t>(20 + i)));
    }
}

TEST_F(CaptureTest, WaitTimesOutWithoutFrames) {
    start();
    EXPECT_FALSE(kavro_cap_wait(&dev_, 20));
    EXPECT_NE(new_log().find("[INF][kavro_cap_wait]  timeout ..."), std::string::npos);
}

TEST_F(CaptureTest, SnapshotStartsAndStopsAroundOneFrame) {
    // Not capturing: the snapshot starts capture, finds nothing within its
    // time limit here (no frames arrive), and stops again.
    cam_.fps = 1000;
    uint8_t buf[FR];
    kavro_frame_t info{};
    EXPECT_FALSE(kavro_cap_snapshot(&dev_, buf, FR, &info));
    EXPECT_EQ(cam_.count("cap_start"), 1);
    EXPECT_FALSE(kavro_cap_is_ongoing(&dev_));
    // Capturing with a frame ready: the snapshot takes it.
    start();
    deliver(frames(1, FR, 9));
    EXPECT_TRUE(kavro_cap_snapshot(&dev_, buf, FR, &info));
    EXPECT_EQ(info.frame_info.frame_idx, 9);
    // A capture stopped by an error is not a successful snapshot.
    status(LL_TRANS_ERROR);
    EXPECT_FALSE(kavro_cap_snapshot(&dev_, buf, FR, &info));
}

// A driver with its own frame source and post-processing step.
int g_raw_get_result = 0;
std::vector<int> g_raw_proc_counts;
bool ti_like_info(kavro_drv_t *, kavro_frame_info_t *out, const vx_frinfo_t *hdr) {
    out->frame_size = hdr->frame_size;
    out->frame_idx = hdr->frame_idx;
    return true;
}
int raw_get(kavro_drv_t *, void *, int, kavro_frame_info_t *info) {
    info->frame_idx = 777;
    return g_raw_get_result;
}
int raw_proc(kavro_drv_t *, void *, int cnt, const kavro_frame_info_t *) {
    g_raw_proc_counts.push_back(cnt);
    return 0;
}
const kavro_drv_op_t g_raw_op = {
    .init = nullptr,
    .uninit = nullptr,
    .frame_get_info = ti_like_info,
    .frame_decode = nullptr,
    .frame_raw_get = raw_get,
    .frame_raw_proc = raw_proc,
    .lens_param_get = nullptr,
    .use_case_get_count = nullptr,
    .on_update_intg_time = nullptr,
    .on_update_frame_format = nullptr,
    .on_update_mod_freq = nullptr,
    .calib_load = nullptr,
    .calib_save = nullptr,
    .calib_apply = nullptr,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .lens_view_get = nullptr,
};

TEST_F(CaptureTest, DriverFrameSourceAndPostProcessing) {
    handler()->driver->op = &g_raw_op;
    g_raw_proc_counts.clear();
    start();
    std::vector<uint8_t> buf(2 * FR);
    kavro_frame_t first{};
    // Frames supplied by the driver end the call at once.
    g_raw_get_result = 2;
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 2, buf.data(), 2 * FR, &first), 2);
    EXPECT_EQ(first.frame_info.frame_idx, 777);
    EXPECT_TRUE(g_raw_proc_counts.empty());
    // None from the driver: frames come from the stream and are post-processed.
    g_raw_get_result = 0;
    deliver(frames(2, FR, 3));
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 2, buf.data(), 2 * FR, &first), 2);
    EXPECT_EQ(first.frame_info.frame_idx, 3);
    EXPECT_EQ(g_raw_proc_counts, std::vector<int>{2});
    // A buffer too small for the frames delivered is not post-processed.
    deliver(frames(2, FR, 5));
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 2, buf.data(), 2 * FR - 1, nullptr), 2);
    EXPECT_EQ(g_raw_proc_counts.size(), 1u);
    // A negative driver result is kept when no error overrides it.
    g_raw_get_result = -4;
    deliver(frames(1, FR, 7));
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), FR, nullptr), -4);
}

}  // namespace
