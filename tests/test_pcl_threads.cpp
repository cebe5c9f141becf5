// ctest-labels: threads
// Point clouds from several application threads on one device, at two
// image sizes at once: the device keeps one ray table, which the threads
// replace under each other's feet, and every cloud must still be the one
// its lens gives (checked against clouds made alone beforehand).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "per_process_name.h"
#include "sim_record.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;

class PclThreads : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = per_process_name("test_pcl_threads", ".log");
        std::remove(log.c_str());
        kavro_init(log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_ERROR, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() { kavro_uninit(); }
};

TEST_F(PclThreads, CloudsStayRightWhileTheLensAndSizeChange) {
    kavro_sim::record_opts o;
    o.scene = "room";
    o.frames = 2;
    o.out = "pclthr_" + std::to_string(::getpid()) + ".raw";
    std::string err;
    ASSERT_TRUE(kavro_sim::record(o, &err)) << err;
    kavro_dev_t *dev = kavro_dev_open_replay(o.out.c_str());
    ASSERT_NE(dev, nullptr);

    // A smooth distance image (no decode needed: the clouds' rays are what
    // is under test), and the reference clouds of each lens state and size.
    std::vector<float> dist(N), half(N / 4);
    for (int i = 0; i < N; ++i) dist[i] = 1.0f + 0.001f * static_cast<float>(i % 997);
    for (int i = 0; i < N / 4; ++i) half[i] = dist[i];
    kavro_filter_args_u a{};
    auto cloud = [&](bool small) {
        std::vector<float> p(3 * N);
        const int n = small ? kavro_frame_get_pcl(dev, p.data(), 3 * N, half.data(), N / 4, W / 2, H / 2, nullptr)
                            : kavro_frame_get_pcl(dev, p.data(), 3 * N, dist.data(), N, W, H, nullptr);
        p.resize(static_cast<size_t>(n) * 3);
        return p;
    };
    const auto raw = cloud(false), small = cloud(true);
    ASSERT_EQ(kavro_filter_enable(dev, KAVRO_FILTER_ID_LEN_CALIB, &a, sizeof a), 1);
    const auto und = cloud(false);
    ASSERT_EQ(raw.size(), 3u * N);
    ASSERT_EQ(small.size(), 3u * N / 4);
    ASSERT_NE(raw, und);

    ASSERT_EQ(kavro_filter_disable(dev, KAVRO_FILTER_ID_LEN_CALIB), 1);

    std::atomic<bool> stop{false};
    std::atomic<int> bad_small{0};
    std::vector<std::thread> small_makers;
    for (int t = 0; t < 2; ++t)
        small_makers.emplace_back([&] {
            while (!stop)
                if (cloud(true) != small) ++bad_small;
        });
    int bad = 0;
    for (int k = 0; k < 40; ++k)
        if (cloud(false) != raw) ++bad;
    stop = true;
    for (auto &t : small_makers) t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(bad_small, 0);
    kavro_dev_close(dev);
    for (const char *ext : {"", ".dist", ".meta"}) std::remove((o.out + ext).c_str());
}

}  // namespace
