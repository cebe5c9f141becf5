// Library set-up: init/uninit, the log file and its banner, path prefix,
// capture error names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kavro.h"
#include "kavro_globals.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) ++n;
    return n;
}

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::current_path() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { kavro_uninit(); }
    fs::path dir_;
};

TEST_F(SetupTest, DefaultLogNameUsesTodaysDateAndSecondInitIsIgnored) {
    const fs::path old = fs::current_path();
    fs::current_path(dir_);
    time_t now = time(nullptr);
    struct tm tm_local;
    localtime_r(&now, &tm_local);
    char expected[64];
    snprintf(expected, sizeof expected, "kavro_%04d%02d%02d.log", tm_local.tm_year + 1900,
             tm_local.tm_mon + 1, tm_local.tm_mday);

    kavro_init(nullptr);
    kavro_init("other.log");  // ignored: already initialised
    kavro_uninit();
    fs::current_path(old);

    EXPECT_FALSE(fs::exists(dir_ / "other.log"));
    const std::string log = read_file(dir_ / expected);
    EXPECT_EQ(count_of(log, "log start -----\n"), 1u);
    EXPECT_EQ(count_of(log, "---- KAVRO log END ----\n\n"), 1u);
    EXPECT_EQ(log.rfind("\n---- KAVRO v1.56(compile at ", 0), 0u) << log;
}

TEST_F(SetupTest, UnopenableLogFileLeavesLibraryInitialisedWithoutLogger) {
    kavro_init((dir_ / "missing" / "x.log").string().c_str());
    EXPECT_TRUE(g_lib_inited);
    EXPECT_EQ(g_vx_log, nullptr);
    EXPECT_EQ(g_vx_cmap.rgb_map, nullptr);  // later set-up steps did not run
    kavro_uninit();
    EXPECT_FALSE(g_lib_inited);
}

TEST_F(SetupTest, InitBuildsTheLibraryColourMap) {
    kavro_init((dir_ / "k.log").string().c_str());
    ASSERT_NE(g_vx_cmap.rgb_map, nullptr);
    EXPECT_EQ(g_vx_cmap.num_color, 30000);
    kavro_uninit();
    EXPECT_EQ(g_vx_cmap.rgb_map, nullptr);
}

TEST_F(SetupTest, PathCfgCreatesEveryFolderAndKeepsThePathAsGiven) {
    kavro_init((dir_ / "k.log").string().c_str());
    for (const char *suffix : {"out/a/b", "out2/a/b/", "out3\\a"}) {
        const std::string path = (dir_ / suffix).string();
        kavro_path_cfg(path.c_str());
        EXPECT_STREQ(kavro_path_get(), path.c_str());
    }
    EXPECT_TRUE(fs::is_directory(dir_ / "out/a/b"));
    EXPECT_TRUE(fs::is_directory(dir_ / "out2/a/b"));
    EXPECT_TRUE(fs::is_directory(dir_ / "out3/a"));  // backslash is a separator too
    const std::string log = read_file(dir_ / "k.log");
    EXPECT_NE(log.find("[DBG][kavro_path_cfg] PATH_PREIFX: " + (dir_ / "out/a/b").string() + "\n"),
              std::string::npos);
}

TEST_F(SetupTest, PathCfgCutsOverlongPathsAt255Characters) {
    const std::string long_path = (dir_ / std::string(300, 'p')).string();
    kavro_path_cfg(long_path.c_str());
    EXPECT_EQ(std::string(kavro_path_get()), long_path.substr(0, 255));
}

TEST(ErrorName, TableOfCodes) {
    const struct {
        int code;
        const char *name;
    } cases[] = {
        {0, "OK"},
        {3, "KAVRO_ERR_CAP_FRAME_DISCARD"},
        {-5, "KAVRO_ERR_CAP_TIMEOUT"},
        {-7, "KAVRO_ERR_CAP_STALL"},
        {-8, "KAVRO_ERR_CAP_ERROR"},
        {-10, "KAVRO_ERR_CAP_UNKNOWN"},
        {-3, "**UNKNOWN**"},
        {-1, "**UNKNOWN**"},
        {1, "**UNKNOWN**"},
        {4, "**UNKNOWN**"},
        {-11, "**UNKNOWN**"},
        {2147483647, "**UNKNOWN**"},
        {-2147483647 - 1, "**UNKNOWN**"},
    };
    for (const auto &c : cases) EXPECT_STREQ(kavro_error_name(c.code), c.name) << c.code;
}

TEST(PublicLayout, PackedRecordsHaveTheirWireSizes) {
    EXPECT_EQ(sizeof(kavro_param_val_u), 18u);
    EXPECT_EQ(sizeof(kavro_param_item_t), 23u);
    EXPECT_EQ(offsetof(kavro_param_item_t, param_val), 5u);
    EXPECT_EQ(sizeof(kavro_dev_if_info_t::info), 40u);
    EXPECT_EQ(sizeof(kavro_frame_info_t), 32u);
    EXPECT_EQ(sizeof(kavro_filter_args_u), 4u);
    kavro_param_val_u v{};
    EXPECT_EQ(reinterpret_cast<uint8_t *>(&v.cinfo.datasize) - v.raw, 14);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(&v.sync_delay.delay) - v.raw, 1);
}

}  // namespace
