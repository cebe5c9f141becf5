// Logger: levels per target, the exact line prefix, raw lines, the prefix
// cut, the file target's configuration rules and uninitialised loggers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vx_log.h"
#include "vx_port.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The fixed-width time stamp and thread id at the start of a log line.
struct Prefix {
    bool ok = false;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0, tid = 0;
    size_t length = 0;  // characters up to and including "[tid]"
};

Prefix parse_prefix(const std::string &line) {
    Prefix p;
    int n = 0;
    if (sscanf(line.c_str(), "%4u%2u%2u %2u:%2u:%2u.%3u[%u]%n", &p.year, &p.month, &p.day, &p.hour,
               &p.minute, &p.second, &p.ms, &p.tid, &n) == 8 &&
        n > 0 && line.compare(8, 1, " ") == 0 && line.compare(17, 1, ".") == 0 && line[21] == '[') {
        p.ok = true;
        p.length = static_cast<size_t>(n);
    }
    return p;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = fs::current_path() /
                (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log");
        fs::remove(path_);
    }
    void TearDown() override { vx_log_uninit(&log_); }
    vx_log_t log_{};
    fs::path path_;
};

TEST_F(LogTest, LineHasDatedPrefixThreadIdAndTags) {
    ASSERT_EQ(vx_log_init(&log_, path_.c_str(), "VX"), &log_);
    vx_log_cfg(&log_, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
    vx_log(&log_, VX_LOG_LEVEL_DEBUG, "DBG", "[%s] Enter.\n", "kavro_cap_stop");
    vx_log_uninit(&log_);

    const std::string line = read_file(path_);
    const Prefix p = parse_prefix(line);
    ASSERT_TRUE(p.ok) << line;
    EXPECT_EQ(p.tid, vx_port::thread_id());
    EXPECT_TRUE(p.month >= 1 && p.month <= 12 && p.day >= 1 && p.day <= 31) << line;
    EXPECT_EQ(line.substr(p.length), "[VX][DBG][kavro_cap_stop] Enter.\n");
}

TEST_F(LogTest, MessageAtTargetLevelIsWrittenOneBelowIsNot) {
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "T"), nullptr);
    ASSERT_TRUE(vx_log_cfg(&log_, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_INFO, true));
    ASSERT_TRUE(vx_log_cfg(&log_, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_WARN, true));
    CaptureStderr();
    vx_log_raw(&log_, VX_LOG_LEVEL_DEBUG, "debug\n");
    vx_log_raw(&log_, VX_LOG_LEVEL_INFO, "info\n");
    vx_log_raw(&log_, VX_LOG_LEVEL_WARN, "warn\n");
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "error %d\n", 7);
    const std::string console = GetCapturedStderr();
    EXPECT_EQ(console, "warn\nerror 7\n");
    EXPECT_EQ(read_file(path_), "info\nwarn\nerror 7\n");
}

// The console is standard error: a program's standard output carries none
// of the log. A prefixed message without a line feed still ends its line on
// both targets; a raw message is written exactly as given.
TEST_F(LogTest, ConsoleIsStandardErrorAndEveryPrefixedLineEnds) {
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "VX"), nullptr);
    ASSERT_TRUE(vx_log_cfg(&log_, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_TRACE, true));
    ASSERT_TRUE(vx_log_cfg(&log_, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_ERROR, true));
    const std::string long_text(1000, 'x');  // longer than any stack buffer of the logger
    testing::internal::CaptureStdout();
    CaptureStderr();
    vx_log(&log_, VX_LOG_LEVEL_ERROR, "ERR", "[%s] default device may not close properly!", "kavro_dev_open");
    vx_log(&log_, VX_LOG_LEVEL_ERROR, "ERR", "[f] %s", long_text.c_str());
    vx_log(&log_, VX_LOG_LEVEL_ERROR, "ERR", "[f] ends\n");
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "part ");
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "whole\n");
    const std::string err = GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    vx_log_uninit(&log_);
    EXPECT_EQ(out, "");
    for (const std::string &text : {err, read_file(path_)}) {
        std::istringstream lines(text);
        std::vector<std::string> got;
        for (std::string l; std::getline(lines, l);) got.push_back(l);
        ASSERT_EQ(got.size(), 4u) << text;
        const Prefix p = parse_prefix(got[0]);
        ASSERT_TRUE(p.ok) << got[0];
        EXPECT_EQ(got[0].substr(p.length), "[VX][ERR][kavro_dev_open] default device may not close properly!");
        EXPECT_EQ(got[1].substr(parse_prefix(got[1]).length), "[VX][ERR][f] " + long_text);
        EXPECT_EQ(got[2].substr(parse_prefix(got[2]).length), "[VX][ERR][f] ends");
        EXPECT_EQ(got[3], "part whole");
        EXPECT_EQ(text.back(), '\n');
    }
}

TEST_F(LogTest, NoneLevelSilencesATarget) {
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "T"), nullptr);
    vx_log_cfg(&log_, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_NONE, true);
    vx_log_cfg(&log_, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, true);
    CaptureStderr();
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "error\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(read_file(path_), "");
}

TEST_F(LogTest, DefaultLevelsAreWarnOnConsoleAndDebugInFile) {
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), nullptr), nullptr);
    EXPECT_STREQ(log_.log_tag, "NONE");
    EXPECT_EQ(log_.log_level[VX_LOG_TARGET_CONSOLE], VX_LOG_LEVEL_WARN);
    EXPECT_EQ(log_.log_level[VX_LOG_TARGET_FILE], VX_LOG_LEVEL_DEBUG);
    EXPECT_EQ(log_.log_level[VX_LOG_TARGET_GUI], VX_LOG_LEVEL_NONE);
}

TEST_F(LogTest, WithoutFileTheFileTargetCannotBeEnabled) {
    ASSERT_NE(vx_log_init(&log_, nullptr, "T"), nullptr);
    EXPECT_EQ(log_.log_level[VX_LOG_TARGET_FILE], VX_LOG_LEVEL_NONE);
    EXPECT_FALSE(vx_log_cfg(&log_, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_TRACE, true));
    EXPECT_EQ(log_.log_level[VX_LOG_TARGET_FILE], VX_LOG_LEVEL_NONE);
    EXPECT_TRUE(vx_log_cfg(&log_, VX_LOG_TARGET_GUI, VX_LOG_LEVEL_TRACE, true));
    EXPECT_FALSE(vx_log_cfg(&log_, VX_LOG_TARGET_CNT, VX_LOG_LEVEL_TRACE, true));
}

TEST_F(LogTest, LongPrefixIsCutAt127CharactersAndMessageFollows) {
    const std::string tag(31, 't');
    const std::string user_tag(200, 'u');
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), tag.c_str()), nullptr);
    vx_log(&log_, VX_LOG_LEVEL_ERROR, user_tag.c_str(), "MSG\n");
    vx_log_uninit(&log_);
    const std::string line = read_file(path_);
    ASSERT_EQ(line.size(), 127u + 4u) << line;
    EXPECT_EQ(line.substr(127), "MSG\n");
    EXPECT_NE(line.find("[" + tag + "][uuu"), std::string::npos);
}

TEST_F(LogTest, TagLongerThan31CharactersIsCut) {
    ASSERT_NE(vx_log_init(&log_, nullptr, std::string(40, 'x').c_str()), nullptr);
    EXPECT_EQ(std::string(log_.log_tag), std::string(31, 'x'));
}

TEST_F(LogTest, UninitialisedLoggerDropsEverything) {
    CaptureStderr();
    vx_log(&log_, VX_LOG_LEVEL_ERROR, "ERR", "lost %d\n", 1);
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "lost\n");
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "T"), nullptr);
    vx_log_uninit(&log_);
    vx_log(&log_, VX_LOG_LEVEL_ERROR, "ERR", "after uninit\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(log_.inited);
}

TEST_F(LogTest, UnopenableFileFailsAndReportsOnStderr) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(vx_log_init(&log_, "/nonexistent-dir/x.log", "T"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open file /nonexistent-dir/x.log for write\n");
    EXPECT_FALSE(log_.inited);
}

TEST_F(LogTest, NullFormatIsAnEmptyMessage) {
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "T"), nullptr);
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, nullptr);
    vx_log(&log_, VX_LOG_LEVEL_ERROR, nullptr, nullptr);
    vx_log_uninit(&log_);
    const std::string line = read_file(path_);
    const Prefix p = parse_prefix(line);
    ASSERT_TRUE(p.ok) << line;
    EXPECT_EQ(line.substr(p.length), "[T][]\n");  // the prefixed line still ends
}

TEST_F(LogTest, AppendsToAnExistingFile) {
    { std::ofstream(path_) << "earlier\n"; }
    ASSERT_NE(vx_log_init(&log_, path_.c_str(), "T"), nullptr);
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "later\n");
    vx_log_uninit(&log_);
    EXPECT_EQ(read_file(path_), "earlier\nlater\n");
}

// Setting up a logger that is already set up replaces its file: the earlier
// file is closed (no descriptor or name copy is left behind) and messages go
// to the new one only.
TEST_F(LogTest, ReinitialisingReplacesTheFile) {
    const fs::path first = path_.string() + ".first";
    fs::remove(first);
    const auto open_fds = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    ASSERT_NE(vx_log_init(&log_, first.c_str(), "A"), nullptr);
    const auto fds = open_fds();
    for (int i = 0; i < 20; ++i) ASSERT_NE(vx_log_init(&log_, path_.c_str(), "B"), nullptr);
    EXPECT_EQ(open_fds(), fds);
    vx_log_raw(&log_, VX_LOG_LEVEL_ERROR, "to the second\n");
    vx_log_uninit(&log_);
    EXPECT_EQ(read_file(first), "");
    EXPECT_EQ(read_file(path_), "to the second\n");
    fs::remove(first);
}

TEST_F(LogTest, NullLoggerMeansTheDefaultOne) {
    EXPECT_EQ(vx_log_default(), vx_log_init(nullptr, path_.c_str(), "D"));
    vx_log_raw(nullptr, VX_LOG_LEVEL_ERROR, "via default\n");
    vx_log_uninit(nullptr);
    EXPECT_EQ(read_file(path_), "via default\n");
}

}  // namespace
