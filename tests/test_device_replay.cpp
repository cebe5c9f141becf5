// ctest-labels: threads
// A recorded raw frame file opened as a device: identity from the file's tag,
// frames through the replay transport's thread into the capture engine, end
// of the recording, and close.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_globals.h"
#include "kavro_handler.h"
#include "per_process_name.h"
#include "replay_recording.h"

namespace {

constexpr int W = 8, H = 4, DCS = 4;
constexpr int SAMPLES = W * H * DCS;
constexpr uint32_t FRAME_BYTES = SAMPLES * 2;

std::vector<std::string> g_files;  // removed after each test

std::vector<uint16_t> frame_samples(int k) {
    std::vector<uint16_t> v(SAMPLES);
    for (int i = 0; i < SAMPLES; ++i) v[i] = static_cast<uint16_t>((k * 1000 + i * 7) & 0x0FFF);
    return v;
}

// A recording of `frames` frames tagged with `tag`.
std::string write_recording(const char *base, int frames, const char *tag) {
    const std::string name = per_process_name(base, ".raw");
    g_files.push_back(name);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    for (int k = 0; k < frames; ++k) {
        const auto raw = frame_samples(k);
        EXPECT_TRUE(kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, raw.data(), SAMPLES, W, H, DCS, tag));
    }
    close(fd);
    return name;
}

int g_ready = 0;
bool g_ready_ok = true;
void count_frame(kavro_dev_t *, kavro_frame_t *fr) {
    const auto want = frame_samples(g_ready);
    if (fr->frame_info.frame_size != FRAME_BYTES || memcmp(fr->frame_data, want.data(), FRAME_BYTES) != 0)
        g_ready_ok = false;
    ++g_ready;
}

class DeviceReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_device_replay", ".log");
        std::remove(log.c_str());
        kavro_init(log.c_str());
    }
    static void TearDownTestSuite() { kavro_uninit(); }
    void TearDown() override {
        kavro_dev_close(&default_dev);
        for (const auto &f : g_files) std::remove(f.c_str());
        g_files.clear();
    }
};

TEST_F(DeviceReplay, RecordingPlaysThroughTheCaptureEngine) {
    const std::string path = write_recording("three_frames", 3, "VX1-T0-REPLAY");
    kavro_dev_t *dev = kavro_dev_open_replay(path.c_str());
    ASSERT_EQ(dev, &default_dev);
    EXPECT_STREQ(dev->product, "VX1-T0-REPLAY");
    EXPECT_EQ(dev->if_info.type, DEV_IF_FILE);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 4 * 307200));

    for (int round = 0; round < 2; ++round) {  // every capture replays from the start
        ASSERT_TRUE(kavro_cap_start(dev));
        std::vector<uint8_t> buf(3 * FRAME_BYTES);
        int got = 0;
        kavro_frame_t first{};
        while (got < 3) {
            const int n = kavro_cap_get_frames(dev, static_cast<uint32_t>(3 - got), buf.data() + got * FRAME_BYTES,
                                               static_cast<uint32_t>((3 - got) * FRAME_BYTES), got ? nullptr : &first);
            ASSERT_GT(n, 0) << "round " << round;
            got += n;
        }
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(0, memcmp(buf.data() + k * FRAME_BYTES, frame_samples(k).data(), FRAME_BYTES)) << k;
        EXPECT_EQ(first.frame_info.frame_size, FRAME_BYTES);
        ASSERT_TRUE(kavro_cap_stop(dev));
    }
}

TEST_F(DeviceReplay, WaitHandsOutEveryFrameAndEndsWithTheRecording) {
    const std::string path = write_recording("five_frames", 5, "VX1-T0-WAIT");
    kavro_dev_t *dev = kavro_dev_open_replay(path.c_str());
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 8 * 307200));
    g_ready = 0;
    g_ready_ok = true;
    kavro_cap_set_callback_on_frame_ready(dev, count_frame);
    ASSERT_TRUE(kavro_cap_start(dev));
    while (kavro_cap_wait(dev, 0) && g_ready < 5) {
    }
    EXPECT_EQ(g_ready, 5);
    EXPECT_TRUE(g_ready_ok);
}

TEST_F(DeviceReplay, FileThatIsNoRecordingFailsAndLeavesTheDefaultRecordClosed) {
    const std::string junk = per_process_name("not_a_recording", ".raw");
    g_files.push_back(junk);
    FILE *f = fopen(junk.c_str(), "wb");
    fputs("hello", f);
    fclose(f);
    EXPECT_EQ(kavro_dev_open_replay(junk.c_str()), nullptr);
    EXPECT_EQ(default_dev.handler, nullptr);
    // The default record is free again for the next replay.
    const std::string path = write_recording("one_frame", 1, "VX1-T0-ONE");
    EXPECT_NE(kavro_dev_open_replay(path.c_str()), nullptr);
}

// Opening a replay that is open closes it first and opens it again on the
// same file: it plays from the start, and the close after it gives the file
// back.
TEST_F(DeviceReplay, ReopenOfAnOpenReplayPlaysOnAndClosesTheFile) {
    const int fds = kavro_test::open_fd_count();
    const std::string path = write_recording("reopen", 3, "VX1-T0-REOPEN");
    kavro_dev_t *dev = kavro_dev_open_replay(path.c_str());
    ASSERT_EQ(dev, &default_dev);
    ASSERT_EQ(kavro_dev_open(dev), dev);
    EXPECT_STREQ(dev->product, "VX1-T0-REOPEN");
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 4 * 307200));
    ASSERT_TRUE(kavro_cap_start(dev));
    std::vector<uint8_t> buf(FRAME_BYTES);
    ASSERT_EQ(kavro_cap_get_frames(dev, 1, buf.data(), FRAME_BYTES, nullptr), 1);
    EXPECT_EQ(0, memcmp(buf.data(), frame_samples(0).data(), FRAME_BYTES));
    kavro_dev_close(dev);
    EXPECT_EQ(kavro_test::open_fd_count(), fds);
}

// A point cloud reads img_w x img_h distances: a distance image shorter than
// that is refused (an exact-size buffer: the sanitizer run catches a read
// past it), one that holds them is used.
TEST_F(DeviceReplay, PointCloudRefusesADistanceImageShorterThanItsSize) {
    const std::string path = write_recording("pcl", 1, "VX1-T0-PCL");
    kavro_dev_t *dev = kavro_dev_open_replay(path.c_str());
    ASSERT_NE(dev, nullptr);
    const kavro_camera_para_t cam{W / 2.0f, H / 2.0f, 10.0f, 10.0f, 1.0f};
    for (const int have : {W * H - 1, W * H}) {
        SCOPED_TRACE(have);
        const std::vector<float> dist(static_cast<size_t>(have), 1.5f);
        std::vector<float> pcl(4 * W * H);
        const int want = have == W * H ? W * H : 0;
        EXPECT_EQ(kavro_frame_get_pcl(dev, pcl.data(), 3 * W * H, dist.data(), have, W, H, &cam), want);
        EXPECT_EQ(kavro_frame_get_pcl_xyzd(dev, pcl.data(), 4 * W * H, dist.data(), have, W, H, false, &cam), want);
    }
}

TEST_F(DeviceReplay, RecordingOfAnUnknownProductFindsNoDriver) {
    const std::string path = write_recording("unknown", 1, "VX1-Z9-NONE");
    EXPECT_EQ(kavro_dev_open_replay(path.c_str()), nullptr);
    EXPECT_EQ(default_dev.handler, nullptr);
}

}  // namespace
