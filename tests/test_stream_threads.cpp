// ctest-labels: threads
// One thread feeds a frame stream while another takes frames, peeks and reads
// the counters: no frame is lost unaccounted, none is corrupted, the order is
// kept.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "stream_builder.h"
#include "vx_stream.h"

using kavro_test::stream_pattern;
using kavro_test::StreamBuilder;
using kavro_test::StreamFrame;

namespace {

constexpr int FRAMES = 1500;
constexpr size_t FRAME_SIZE = 1000;

std::vector<uint8_t> frame_bytes(uint16_t idx) { return stream_pattern(FRAME_SIZE, idx + 1u); }

}  // namespace

TEST(StreamThreads, FeederAndTakerAgreeOnEveryFrame) {
    // Frames alternate between one header and three headers, payload sums on.
    StreamBuilder b;
    b.data_cksum(true);
    for (int i = 0; i < FRAMES; ++i) {
        StreamFrame f;
        f.frame_idx = static_cast<uint16_t>(i);
        f.data = frame_bytes(f.frame_idx);
        if (i % 2)
            b.frame_split(f, 350);
        else
            b.frame(f);
    }
    const std::vector<uint8_t> &stream = b.data();

    const vx_stream_cfg_t cfg{4};
    vx_stream_t s = vx_stream_create(&cfg);
    ASSERT_NE(s, nullptr);

    std::atomic<bool> done{false};
    std::thread feeder([&] {
        // Pieces of varying size, cut anywhere.
        const size_t sizes[] = {1, 4093, 36, 517, 2000, 3, 35, 8192};
        size_t off = 0;
        for (unsigned turn = 0; off < stream.size(); ++turn) {
            const size_t n = std::min(sizes[turn % 8], stream.size() - off);
            vx_stream_feed_input(s, stream.data() + off, static_cast<int>(n));
            off += n;
        }
        done.store(true, std::memory_order_release);
    });

    std::vector<uint16_t> taken;
    int corrupted = 0;
    std::vector<uint8_t> buf(2 * FRAME_SIZE);
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        vx_stream_state_t st{};
        vx_stream_get_state(s, &st);
        EXPECT_LE(st.frcnt_in_list, cfg.max_frbuf_cnt);
        vx_stream_fetch_frames(s, nullptr, 0, 2, nullptr, true);
        vx_frinfo_t info{};
        const int n = vx_stream_fetch_frames(s, buf.data(), static_cast<int>(buf.size()), 1, &info, false);
        if (n == 1) {
            taken.push_back(info.frame_idx);
            if (info.frame_size != FRAME_SIZE ||
                std::memcmp(buf.data(), frame_bytes(info.frame_idx).data(), FRAME_SIZE) != 0)
                ++corrupted;
        } else if (finished) {
            break;  // the feeder is done and the list is empty
        } else {
            std::this_thread::yield();
        }
    }
    feeder.join();

    vx_stream_state_t st{};
    vx_stream_get_state(s, &st);
    EXPECT_EQ(corrupted, 0);
    EXPECT_EQ(st.fridx, static_cast<uint32_t>(FRAMES));
    EXPECT_EQ(st.frcnt_total, static_cast<uint32_t>(FRAMES));
    EXPECT_EQ(st.frcnt_err_discard, 0u);
    EXPECT_EQ(st.frcnt_in_list, 0u);
    EXPECT_EQ(taken.size() + st.frcnt_slow_discard, static_cast<size_t>(FRAMES));
    EXPECT_EQ(st.bytes_discard, st.frcnt_slow_discard * FRAME_SIZE);
    for (size_t i = 1; i < taken.size(); ++i) EXPECT_LT(taken[i - 1], taken[i]) << "at " << i;
    vx_stream_destroy(s);
}
