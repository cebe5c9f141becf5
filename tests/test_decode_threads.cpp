// Distance decoding from several application threads on one device: the
// decodes share the driver's filter state (the recursive bilateral filter's
// working buffers, the amplitude filter's hysteresis flags), so threads
// decoding the same frame must get exactly the image one thread gets, and
// switching the amplitude filter on and off meanwhile (which frees the
// hysteresis flags) must leave every image either the one with the filter or
// the one without it.
// ctest-labels: threads
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "sim_record.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kFrameBytes = 8 * N;
constexpr uint16_t kMinAmp = 30;  // the driver's default

// A 320 x 240 frame of the room scene, captured from a replayed simulator
// recording, and the open replay device that decodes it, with the
// clean-up chain (median, bilateral, flying-pixel, hole filters) and the
// amplitude filter with hysteresis on, as the driver starts.
class DecodeThreads : public ::testing::Test {
protected:
    void SetUp() override {
        rec_ = "decode_threads_" + std::to_string(::getpid()) + ".raw";
        kavro_sim::record_opts o;
        o.scene = "room";
        o.frames = 2;  // the replay may end the capture before the last frame is taken
        o.cfg.intg_us = 3000;
        ASSERT_TRUE(kavro_sim::sensor_errors_parse("all,-drift,-interference", &o.cfg.err));
        o.out = rec_;
        std::string err;
        ASSERT_TRUE(kavro_sim::record(o, &err)) << err;
        dev_ = kavro_dev_open_replay(rec_.c_str());
        ASSERT_NE(dev_, nullptr);
        kavro_frame_t fr{};
        ASSERT_TRUE(kavro_cap_set_frame_buffer(dev_, nullptr, 4 * kFrameBytes));
        ASSERT_TRUE(kavro_cap_start(dev_));
        ASSERT_EQ(kavro_cap_get_frames(dev_, 1, raw_.data(), kFrameBytes, &fr), 1);
        kavro_cap_stop(dev_);
        info_ = fr.frame_info;
        ASSERT_EQ(info_.width, W);
        ASSERT_EQ(info_.height, H);
    }
    void TearDown() override {
        if (dev_) kavro_dev_close(dev_);
        for (const char *ext : {"", ".dist", ".meta"}) std::remove((rec_ + ext).c_str());
    }

    std::vector<float> decode() {
        std::vector<float> d(N);
        EXPECT_EQ(kavro_frame_get_distance(dev_, d.data(), N, raw_.data(), kFrameBytes, &info_), N);
        return d;
    }
    int amp_filter(bool on) {
        kavro_filter_args_u a{};
        a.min_amp = kMinAmp;
        return on ? kavro_filter_enable(dev_, KAVRO_FILTER_ID_AMP, &a, sizeof a)
                  : kavro_filter_disable(dev_, KAVRO_FILTER_ID_AMP);
    }
    // Decodes on `threads` threads, `rounds` each, while `during` runs on the
    // calling thread until they are done; counts the images that are none
    // of `allowed`.
    template <class F>
    int decode_on_threads(int threads, int rounds, const std::vector<std::vector<float>> &allowed, F during) {
        std::atomic<int> wrong{0}, running{threads};
        std::vector<std::thread> ts;
        for (int t = 0; t < threads; ++t)
            ts.emplace_back([&] {
                for (int r = 0; r < rounds; ++r) {
                    const std::vector<float> d = decode();
                    bool ok = false;
                    for (const auto &a : allowed) ok = ok || std::memcmp(d.data(), a.data(), N * sizeof(float)) == 0;
                    if (!ok) ++wrong;
                }
                --running;
            });
        while (running.load() > 0) during();
        for (auto &t : ts) t.join();
        return wrong.load();
    }

    std::string rec_;
    kavro_dev_t *dev_ = nullptr;
    std::vector<uint8_t> raw_ = std::vector<uint8_t>(kFrameBytes);
    kavro_frame_info_t info_{};
};

// Three threads decoding the same frame get exactly one thread's image.
TEST_F(DecodeThreads, SameFrameSameImage) {
    decode();  // the hysteresis flags are made by the first decode
    const std::vector<float> ref = decode();
    ASSERT_EQ(decode(), ref);  // one thread repeats itself
    long valid = 0;
    for (float v : ref) valid += v > 0 && v < 60;
    ASSERT_GT(valid, N / 2);  // the chain had something to filter
    EXPECT_EQ(decode_on_threads(3, 12, {ref}, [] { std::this_thread::yield(); }), 0);
}

// The amplitude filter switched on and off while two threads decode: each
// image is the one with the filter or the one without it.
TEST_F(DecodeThreads, AmplitudeFilterSwitchedWhileDecoding) {
    ASSERT_EQ(amp_filter(true), 1);
    decode();
    const std::vector<float> with = decode();
    ASSERT_EQ(amp_filter(false), 1);
    const std::vector<float> without = decode();
    ASSERT_NE(with, without);  // the filter removes pixels of this frame
    bool on = false;
    const int wrong = decode_on_threads(2, 12, {with, without}, [&] {
        on = !on;
        EXPECT_EQ(amp_filter(on), 1);
        std::this_thread::yield();
    });
    EXPECT_EQ(wrong, 0);
}

}  // namespace
