// ctest-labels: threads
// Several threads log into one file: every line arrives whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vx_log.h"

TEST(LogThreads, ConcurrentFileLinesStayWhole) {
    const std::string path = (std::filesystem::current_path() / "threads.log").string();
    std::filesystem::remove(path);
    vx_log_t log{};
    ASSERT_NE(vx_log_init(&log, path.c_str(), "MT"), nullptr);
    vx_log_cfg(&log, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) vx_log(&log, VX_LOG_LEVEL_ERROR, "ERR", "t%d line %d end\n", t, i);
        });
    for (auto &th : threads) th.join();
    vx_log_uninit(&log);

    std::ifstream in(path);
    std::set<std::string> seen;
    std::string line;
    while (std::getline(in, line)) {
        const size_t msg = line.find("[MT][ERR]");
        ASSERT_NE(msg, std::string::npos) << line;
        ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
        seen.insert(line.substr(msg + 9));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}
