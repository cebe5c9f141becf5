// ctest-labels: threads
// Replays with the default settings deliver every frame of a recording to a
// reader that keeps up, whichever way it reads: a C loop of one-frame
// requests, the C++ wrapper's capture() loop. The replay waits for the
// reader instead of overrunning it, so these hold on a busy machine too.
// Recordings a replay could never play are refused at open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro.hpp"
#include "per_process_name.h"
#include "replay_recording.h"

namespace {

using kavro_test::REC_FRAME_BYTES;
using kavro_test::rec_samples;

constexpr int kFrames = 5;

class ReplayEveryFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init(per_process_name("test_replay_every_frame", ".log").c_str()); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override { ASSERT_TRUE(kavro_test::write_recording(rec_, kFrames, "KVSIM-E2-320")); }
    void TearDown() override { std::remove(rec_.c_str()); }

    // Frame k's samples, as bytes.
    static std::vector<uint8_t> expected(int k) {
        const std::vector<uint16_t> s = rec_samples(k);
        std::vector<uint8_t> b(s.size() * 2);
        std::memcpy(b.data(), s.data(), b.size());
        return b;
    }

    const std::string rec_ = per_process_name("every_frame", ".raw");
};

TEST_F(ReplayEveryFrame, CLoopOfOneFrameRequestsGetsEveryFrameInOrder) {
    kavro_dev_t *dev = kavro_dev_open_replay(rec_.c_str());
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 4 * 307200));
    ASSERT_TRUE(kavro_cap_start(dev));
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buf(REC_FRAME_BYTES);
    // The loop of the issue: it used to get frames 1, 2 and 5.
    while (kavro_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr) == 1)
        got.push_back(buf);
    kavro_cap_stop(dev);
    kavro_dev_close(dev);
    ASSERT_EQ(got.size(), static_cast<size_t>(kFrames));
    for (int k = 0; k < kFrames; ++k) EXPECT_EQ(got[k], expected(k)) << "frame " << k;
}

TEST_F(ReplayEveryFrame, CppCaptureLoopGetsEveryFrameInOrder) {
    std::vector<std::vector<uint8_t>> got;
    {
        kavro::device dev = kavro::device::open_replay(rec_);
        dev.start();
        while (auto f = dev.capture()) {
            got.push_back(f->data());
        }
    }
    ASSERT_EQ(got.size(), static_cast<size_t>(kFrames));
    for (int k = 0; k < kFrames; ++k) EXPECT_EQ(got[k], expected(k)) << "frame " << k;
}

TEST_F(ReplayEveryFrame, RecordedOrExplicitRateIsTheAnsweredFrameRate) {
    kavro_dev_t *dev = kavro_dev_open_replay(rec_.c_str());
    ASSERT_NE(dev, nullptr);
    kavro_param_item_t it{};
    it.param_id = PARAM_FRAME_RATE;
    ASSERT_TRUE(kavro_param_batch_get(dev, &it, 1));
    EXPECT_EQ(it.param_val.frame_rate.fps, 30u) << "a recording without side file replays at 30 fps";
    it.param_val.frame_rate.fps = 0;
    it.param_val_len = 4;
    ASSERT_TRUE(kavro_param_batch_set(dev, &it, 1));
    ASSERT_TRUE(kavro_param_batch_get(dev, &it, 1));
    EXPECT_EQ(it.param_val.frame_rate.fps, 0u);
    // Unpaced, the reader still gets every frame.
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 4 * 307200));
    ASSERT_TRUE(kavro_cap_start(dev));
    std::vector<uint8_t> buf(REC_FRAME_BYTES);
    int n = 0;
    while (kavro_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr) == 1) {
        EXPECT_EQ(buf, expected(n)) << "frame " << n;
        ++n;
    }
    EXPECT_EQ(n, kFrames);
    kavro_dev_close(dev);
}

// Recordings whose frames the replay cannot carry: refused at open rather
// than ending the process (a huge allocation) or replaying as zero frames.
struct unplayable {
    const char *name;
    const char *header;  // raw file header line
    size_t data_bytes;   // sample bytes after it
};

class ReplayRefused : public ::testing::TestWithParam<unplayable> {
protected:
    static void SetUpTestSuite() { kavro_init(per_process_name("test_replay_refused", ".log").c_str()); }
    static void TearDownTestSuite() { kavro_uninit(); }
};

TEST_P(ReplayRefused, AtOpen) {
    const unplayable &u = GetParam();
    const std::string path = per_process_name(u.name, ".raw");
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, u.header, std::strlen(u.header)), static_cast<ssize_t>(std::strlen(u.header)));
        std::vector<uint8_t> data(u.data_bytes, 0x11);
        ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    EXPECT_EQ(kavro_dev_open_replay(path.c_str()), nullptr);
    // The default record is free again: a playable recording opens.
    const std::string ok = per_process_name("refused_ok", ".raw");
    ASSERT_TRUE(kavro_test::write_recording(ok, 1, "KVSIM-E2-320"));
    kavro_dev_t *dev = kavro_dev_open_replay(ok.c_str());
    EXPECT_NE(dev, nullptr);
    kavro_dev_close(dev);
    std::remove(ok.c_str());
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Unplayable, ReplayRefused,
    ::testing::Values(
        // 32768 x 32768 x 1 samples: 2 GiB a frame, of which the file holds a little.
        unplayable{"frame_2gib", "VX_RAW,U16,32768,32768,1,KVSIM-E2-320\n", 4096},
        // 640 x 480 x 4 samples: 2.4 MB, whole, but above the stream's payload limit.
        unplayable{"frame_2mb", "VX_RAW,U16,640,480,4,KVSIM-E2-320\n", 640 * 480 * 4 * 2},
        // Exactly 1 MiB: the limit is exclusive.
        unplayable{"frame_1mib", "VX_RAW,U16,512,256,4,KVSIM-E2-320\n", 512 * 256 * 4 * 2}),
    [](const ::testing::TestParamInfo<unplayable> &i) { return std::string(i.param.name); });

}  // namespace
