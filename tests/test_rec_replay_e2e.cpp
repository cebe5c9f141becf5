// ctest-labels: threads
// Record and replay end to end: a simulated camera carrying its calibration
// package is opened (the calibration routine downloads and mounts it), its
// frames are decoded live and recorded with kavro_rec_*; then the cache the
// live camera used is removed and the recording is replayed with
// kavro_dev_open_replay. The replay must report the live identity and
// settings and decode every frame bit-identically to the live decode (same
// filters, same order): it takes the calibration copy, the lens values and
// each frame's temperatures from the recording's side file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_param.h"
#include "per_process_name.h"
#include "sim_calib.h"
#include "sim_firmware.h"
#include "sim_transport.h"

using kavro_sim::firmware;
using kavro_sim::firmware_cfg;
using kavro_test::sim_link;

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kFrameBytes = 8 * N;
constexpr int kFrames = 4;

void remove_dir(const std::string &d) {
    if (DIR *dir = ::opendir(d.c_str())) {
        while (dirent *e = ::readdir(dir)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") std::remove((d + "/" + n).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(d.c_str());
}

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct decoded {
    std::vector<float> dist, gray;
    kavro_frame_info_t info{};
};

// Identity and settings as an application reads them.
struct identity {
    kavro_param_item_t items[8]{};
    explicit identity(kavro_dev_t *dev) {
        const uint32_t ids[8] = {PARAM_INFO_VENDOR, PARAM_INFO_PRODUCT, PARAM_INFO_SERIAL, PARAM_INFO_VERSION,
                                 PARAM_INFO_SENSOR, PARAM_MOD_FREQ,     PARAM_INTG_TIME,   PARAM_FRAME_FORMAT};
        for (int i = 0; i < 8; ++i) {
            items[i].param_id = ids[i];
            items[i].param_val_len = sizeof items[i].param_val;
            EXPECT_TRUE(kavro_param_batch_get(dev, &items[i], 1)) << "parameter " << ids[i];
        }
    }
};

decoded decode(kavro_dev_t *dev, std::vector<uint8_t> &raw, const kavro_frame_info_t &info) {
    decoded d;
    d.info = info;
    d.dist.resize(N);
    d.gray.resize(N);
    EXPECT_EQ(kavro_frame_get_distance(dev, d.dist.data(), N, raw.data(), static_cast<int>(raw.size()), &info), N);
    EXPECT_EQ(kavro_frame_get_gray(dev, d.gray.data(), N, raw.data(), static_cast<int>(raw.size()), &info), N);
    return d;
}

std::vector<decoded> *g_live = nullptr;
kavro_rec_t *g_rec = nullptr;
bool g_rec_ok = true;

void on_live_frame(kavro_dev_t *dev, kavro_frame_t *fr) {
    if (static_cast<int>(g_live->size()) >= kFrames) return;  // after the stop
    std::vector<uint8_t> raw(static_cast<const uint8_t *>(fr->frame_data),
                             static_cast<const uint8_t *>(fr->frame_data) + fr->frame_info.frame_size);
    g_live->push_back(decode(dev, raw, fr->frame_info));
    g_rec_ok = kavro_rec_add(g_rec, fr) && g_rec_ok;
    if (static_cast<int>(g_live->size()) == kFrames) kavro_cap_stop(dev);
}

class RecReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init(per_process_name("test_rec_replay_e2e", ".log").c_str()); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void TearDown() override {
        remove_dir(cache_);
        for (const char *ext : {"", ".info", ".calib"}) std::remove((rec_ + ext).c_str());
    }

    const std::string cache_ = per_process_name("rec_replay_cache", "");
    const std::string rec_ = per_process_name("rec_replay", ".raw");
};

TEST_F(RecReplay, ReplayDecodesBitIdenticallyToTheLiveCapture) {
    ::mkdir(cache_.c_str(), 0755);
    std::vector<decoded> live;
    std::unique_ptr<identity> live_id;
    {
        firmware_cfg c;
        c.scene = "room";
        c.virtual_time = false;
        ASSERT_TRUE(kavro_sim::sensor_errors_parse("fpn,wiggle,drift,noise", &c.sensor.err));
        c.sensor.warmup_tau_s = 60;  // temperatures change from frame to frame
        firmware fw(c);
        kavro_sim::calib_opts o;
        std::vector<uint8_t> pkg;
        std::string err;
        ASSERT_TRUE(kavro_sim::calib_package_for(c, o, false, &pkg, &err)) << err;
        fw.set_calib_package(pkg);
        sim_link link(fw);
        kavro_path_cfg((cache_ + "/").c_str());
        kavro_dev_t dev{};
        kavro_test::sim_bind_dev(&dev, &link);
        ASSERT_EQ(kavro_dev_open(&dev), &dev);
        live_id = std::make_unique<identity>(&dev);
        kavro_rec_t *rec = kavro_rec_open(&dev, rec_.c_str());
        ASSERT_NE(rec, nullptr);
        // Frames are decoded and recorded in the frame-ready callback, right
        // after the engine described each: the decode then runs with that
        // frame's temperatures even when the camera is ahead of the reader.
        g_live = &live;
        g_rec = rec;
        ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev, nullptr, 64 * kFrameBytes));
        kavro_cap_set_callback_on_frame_ready(&dev, on_live_frame);
        ASSERT_TRUE(kavro_cap_start(&dev));
        EXPECT_TRUE(kavro_cap_wait(&dev, 30000));
        kavro_cap_stop(&dev);
        kavro_cap_set_callback_on_frame_ready(&dev, nullptr);
        ASSERT_EQ(static_cast<int>(live.size()), kFrames);
        EXPECT_TRUE(g_rec_ok);
        EXPECT_TRUE(kavro_rec_close(rec));
        kavro_dev_close(&dev);
    }
    // The side file says what decoded the live frames: the per-pixel
    // calibration, embedded.
    const std::string info = read_all(rec_ + ".info");
    EXPECT_NE(info.find("\ncalib pixel " + rec_.substr(rec_.rfind('/') + 1) + ".calib "), std::string::npos) << info;
    // Nothing of the live camera's cache may help the replay.
    remove_dir(cache_);

    kavro_dev_t *dev = kavro_dev_open_replay(rec_.c_str());
    ASSERT_NE(dev, nullptr);
    const identity replay_id(dev);
    for (int i = 0; i < 8; ++i) {
        const kavro_param_item_t &a = live_id->items[i], &b = replay_id.items[i];
        EXPECT_EQ(std::memcmp(a.param_val.raw, b.param_val.raw, a.param_val_len), 0) << "parameter " << a.param_id;
    }
    ASSERT_TRUE(kavro_cap_set_frame_buffer(dev, nullptr, 8 * kFrameBytes));
    ASSERT_TRUE(kavro_cap_start(dev));
    int k = 0;
    std::vector<uint8_t> raw(kFrameBytes);
    kavro_frame_t fr{};
    while (kavro_cap_get_frames(dev, 1, raw.data(), kFrameBytes, &fr) == 1) {
        ASSERT_LT(k, kFrames);
        const decoded d = decode(dev, raw, fr.frame_info);
        EXPECT_EQ(d.info.temp0, live[k].info.temp0) << "frame " << k;
        EXPECT_EQ(d.info.temp1, live[k].info.temp1) << "frame " << k;
        EXPECT_EQ(std::memcmp(d.dist.data(), live[k].dist.data(), N * sizeof(float)), 0) << "distance of frame " << k;
        EXPECT_EQ(std::memcmp(d.gray.data(), live[k].gray.data(), N * sizeof(float)), 0) << "gray of frame " << k;
        ++k;
    }
    EXPECT_EQ(k, kFrames);
    kavro_dev_close(dev);
}

TEST_F(RecReplay, DamagedCalibrationCopyIsNotUsed) {
    // A side file whose calibration does not match its copy: the replay
    // decodes without it rather than with wrong data, and still opens.
    std::vector<uint16_t> samples(8 * 4 * 4, 100);
    {
        FILE *f = std::fopen(rec_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(kavro_frame_save_raw(fileno(f), KAVRO_FRAME_SAVE_UINT16, samples.data(),
                                         static_cast<int>(samples.size()), 8, 4, 4, "KVSIM-E2-320"));
        std::fclose(f);
    }
    const std::string base = rec_.substr(rec_.rfind('/') + 1);
    {
        std::ofstream i(rec_ + ".info");
        i << "kavro-recording 1\nproduct KVSIM-E2-320\nmod_freq 12000000\nframe_rate 25\n"
          << "calib pixel " << base << ".calib 5 00000000\nframe 0 400 350 1 1\n";
        std::ofstream c(rec_ + ".calib");
        c << "junk!";
    }
    kavro_dev_t *dev = kavro_dev_open_replay(rec_.c_str());
    ASSERT_NE(dev, nullptr);
    char name[256] = {};
    ASSERT_NE(kavro_get_param_absolute_name(dev, name, sizeof name), nullptr);
    EXPECT_STREQ(name, "") << "no calibration file is used";
    kavro_param_item_t it{};
    it.param_id = PARAM_FRAME_RATE;
    ASSERT_TRUE(kavro_param_batch_get(dev, &it, 1));
    EXPECT_EQ(it.param_val.frame_rate.fps, 25u) << "the recorded rate paces the replay";
    kavro_dev_close(dev);
}

}  // namespace
