// Calibration download over the real USB path: opening an EPC camera through
// libusb against a simulated camera on an emulated bus streams the package in
// data-upload mode over bulk IN, and the library writes (or unzips) the
// parameter file into its folder, mounts it and switches pixel calibration
// on. Cache rules and refusals are checked in detail on the in-process
// transport (test_param_load); here the same road runs through the USB
// transport.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "captured_log.h"
#include "driver/epc/kavro_driver_epc.h"
#include "kavro.h"
#include "kavro_handler.h"
#include "kavro_param_load_internal.h"
#include "ll/ll_usb_proto.h"
#include "sim_calib.h"
#include "sim_usb_bed.h"
#include "stream_builder.h"
#include "vx_log.h"

using namespace kavro_sim;
using kavro_test::StreamBuilder;
using kavro_test::StreamFrame;
using kavro_test::stream_pattern;

namespace {

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> list_dir(const std::string &dir)
{
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

void remove_dir(const std::string &dir)
{
    for (const std::string &n : list_dir(dir))
        unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

void write_file(const std::string &path, const std::vector<uint8_t> &d)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(d.data()), (std::streamsize)d.size());
}

// Kills the process at the n-th piece written to the parameter file's (or
// the archive's) temporary file.
int g_kill_at_piece = 0;
void kill_at_piece(const char *, const char *)
{
    if (--g_kill_at_piece == 0)
        raise(SIGKILL);
}

void patch_u32(std::vector<uint8_t> &pkg, size_t at, uint32_t v) { std::memcpy(pkg.data() + at, &v, 4); }
constexpr size_t kFsizeAt = 10;

class UsbCalibDownload : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init("usb_calib_download.log"); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override
    {
        if (!usb_bed_available())
            GTEST_SKIP() << "not running under umockdev";
        // The captured log takes the place of the logger kavro_init set up
        // (initialising a logger twice would lose the first one's name).
        vx_log_uninit(nullptr);
        log_ = std::make_unique<CapturedLog>();
        dir_ = "cal_" + std::to_string(getpid());
        remove_dir(dir_);
        mkdir(dir_.c_str(), 0755);
        kavro_path_cfg((dir_ + "/").c_str());
        bed_ = std::make_unique<usb_bed>();
        usb_cam_opts o;  // an EPC camera: its driver mounts the calibration at open
        cfg_ = o.fw;
        bed_->add_camera(o);
        file_ = param_file(opts_);
        pname_ = calib_param_file_name(calib_param_id(cfg_.chip_info[1], cfg_.chip_info[2], cfg_.serial[0]));
    }
    void TearDown() override
    {
        if (dev_.handler)
            kavro_dev_close(&dev_);
        bed_.reset();
        remove_dir(dir_);
    }

    std::vector<uint8_t> param_file(const calib_opts &o)
    {
        std::vector<uint8_t> f;
        std::string err;
        EXPECT_TRUE(calib_param_file(cfg_.sensor, o, &f, &err)) << err;
        return f;
    }
    std::vector<uint8_t> package(const std::vector<uint8_t> &file, bool zip, uint32_t ts)
    {
        std::vector<uint8_t> pkg;
        std::string err;
        EXPECT_TRUE(calib_package(file, zip, pname_, 77, ts, &pkg, &err)) << err;
        return pkg;
    }
    // Opens the camera; returns whether the open streamed a package (a
    // capture start on the control channel).
    bool open()
    {
        bed_->take_ctrl_log(0);
        dev_ = kavro_dev_t{};
        dev_.if_info.type = DEV_IF_NONE;
        EXPECT_EQ(kavro_dev_open(&dev_), &dev_);
        bool started = false;
        for (const auto &r : bed_->take_ctrl_log(0))
            started |= r.setup[0] == VXIF_SETUP_OUT && r.setup[1] == VXIF_REQ_CTRL && r.setup[2] == VXIF_CTRL_CAP_START;
        return started;
    }
    epc_drv_t *epc()
    {
        auto *h = static_cast<_kavro_handler_t *>(dev_.handler);
        return h && h->driver ? static_cast<epc_drv_t *>(h->driver->priv_data) : nullptr;
    }
    std::string at(const std::string &name) const { return dir_ + "/" + name; }

    std::unique_ptr<CapturedLog> log_;
    std::unique_ptr<usb_bed> bed_;
    firmware_cfg cfg_;
    calib_opts opts_;
    kavro_dev_t dev_{};
    std::vector<uint8_t> file_;
    std::string dir_, pname_;
};

// Raw and zipped packages: the first open downloads and mounts, the second
// uses the cache, and a later calibration on the device replaces the cache.
TEST_F(UsbCalibDownload, DownloadsMountsAndCaches)
{
    for (const bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "zipped" : "raw");
        remove_dir(dir_);
        mkdir(dir_.c_str(), 0755);
        bed_->fw(0).set_calib_package(package(file_, zip, opts_.ts));

        EXPECT_TRUE(open());
        EXPECT_EQ(read_file(at(pname_)), file_);
        EXPECT_EQ(list_dir(dir_), std::set<std::string>{pname_});
        ASSERT_NE(epc(), nullptr);
        EXPECT_TRUE(epc()->param_valid);
        EXPECT_TRUE(epc()->f_en_pix_calib);
        EXPECT_EQ(bed_->fw(0).dev_mode(), 0u);
        kavro_dev_close(&dev_);

        EXPECT_FALSE(open());  // current cache
        EXPECT_TRUE(epc()->f_en_pix_calib);
        kavro_dev_close(&dev_);
    }

    calib_opts newer = opts_;
    newer.ts = opts_.ts + 100;
    const std::vector<uint8_t> file2 = param_file(newer);
    ASSERT_NE(file2, file_);
    bed_->fw(0).set_calib_package(package(file2, false, newer.ts));
    EXPECT_TRUE(open());
    EXPECT_EQ(read_file(at(pname_)), file2);
    EXPECT_TRUE(epc()->f_en_pix_calib);
}

// A process killed (SIGKILL) while the download writes the parameter file or
// the archive leaves the cache with the old file, or none: never a partial
// one under the file's name. The next open downloads again, mounts the new
// file and clears what the killed download left (the package file and the
// temporary files).
TEST_F(UsbCalibDownload, KilledDownloadLeavesOldFileOrNone)
{
    // The killed process is a new run of this test (not a fork: the emulated
    // bus and the library have threads), so both use the same folder.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    remove_dir(dir_);
    dir_ = "cal_killed";
    remove_dir(dir_);
    kavro_path_cfg((dir_ + "/").c_str());
    calib_opts older = opts_;
    older.ts = opts_.ts - 100;  // the camera's package is newer: every open downloads it
    const std::vector<uint8_t> old_file = param_file(older);
    ASSERT_NE(old_file, file_);
    struct {
        const char *name;
        bool zip;
        bool old;
        int piece;
    } cases[] = {
        {"first piece, no cache", false, false, 1},
        {"middle of the file, old cache", false, true, 400},
        {"archive, old cache", true, true, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_dir(dir_);
        mkdir(dir_.c_str(), 0755);
        if (c.old)
            write_file(at(pname_), old_file);
        bed_->fw(0).set_calib_package(package(file_, c.zip, opts_.ts));
        g_kill_at_piece = c.piece;
        EXPECT_EXIT(
            {
                _calib_write_piece_hook = kill_at_piece;
                open();
            },
            ::testing::KilledBySignal(SIGKILL), "");
        const std::set<std::string> left = list_dir(dir_);
        EXPECT_EQ(left.count("calibration.bin"), 1u) << "not killed during the download";
        if (c.old)
            EXPECT_EQ(read_file(at(pname_)), old_file);
        else
            EXPECT_EQ(left.count(pname_), 0u);

        EXPECT_TRUE(open());
        ASSERT_NE(epc(), nullptr);
        EXPECT_TRUE(epc()->f_en_pix_calib);
        EXPECT_EQ(read_file(at(pname_)), file_);
        EXPECT_EQ(list_dir(dir_), std::set<std::string>{pname_});
        kavro_dev_close(&dev_);
    }
}

// Packages the library refuses: announced with an impossible size (nothing
// is streamed), or streamed with a header that does not match what came.
// The camera opens all the same, without pixel calibration.
TEST_F(UsbCalibDownload, RefusedPackageLeavesTheCameraUncalibrated)
{
    struct {
        const char *name;
        void (*spoil)(std::vector<uint8_t> &pkg);
        bool streamed;
        const char *log;
    } cases[] = {
        {"payload larger than the package",
         [](std::vector<uint8_t> &p) {
             uint32_t fs;
             std::memcpy(&fs, p.data() + kFsizeAt, 4);
             patch_u32(p, kFsizeAt + 4, fs - 17);
         },
         false, nullptr},
        {"header size differs from the frames",
         [](std::vector<uint8_t> &p) {
             p.resize(p.size() + kCalibFrameSize, 0);
             patch_u32(p, kFsizeAt, (uint32_t)p.size() - 1);
         },
         true, "header verify failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_dir(dir_);
        mkdir(dir_.c_str(), 0755);
        log_->clear();
        std::vector<uint8_t> pkg = package(file_, false, opts_.ts);
        c.spoil(pkg);
        bed_->fw(0).set_calib_package(pkg);
        EXPECT_EQ(open(), c.streamed);
        ASSERT_NE(epc(), nullptr);
        EXPECT_FALSE(epc()->param_valid);
        EXPECT_FALSE(epc()->f_en_pix_calib);
        EXPECT_EQ(list_dir(dir_).count(pname_), 0u);
        EXPECT_EQ(bed_->fw(0).dev_mode(), 0u);
        if (c.log) {
            EXPECT_TRUE(log_->text().find(c.log) != std::string::npos) << log_->text();
        }
        kavro_dev_close(&dev_);
    }
}

// The capture that follows a download belongs to the application alone: no
// frame of the package (nor any other byte sent before its start) may reach
// it. Every open here downloads (the cache is removed in between) and the
// capture after it must hand out only image frames of the camera's format,
// beginning with the camera's first frames of that capture. The download's
// last bytes are left on their way to the host only now and then, so the
// round is repeated; in the first round a whole package frame is also left
// waiting in the endpoint, as a camera whose stop does not flush it would.
TEST_F(UsbCalibDownload, CaptureAfterDownloadGetsOnlyItsOwnFrames)
{
    bed_->fw(0).set_calib_package(package(file_, false, opts_.ts));
    const uint32_t image_bytes = 320 * 240 * 2 * 4;  // four DCS images of 16 bits
    ASSERT_EQ(cfg_.sensor.format, 2);
    StreamFrame left{stream_pattern(kCalibFrameSize, 5), 1, VXIF_CALIB_FRAME_FORMAT, {}};
    const std::vector<uint8_t> leftover = StreamBuilder().next_idx(700).frame_split(left, 65536).data();

    std::vector<uint8_t> buf(2 * image_bytes);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        remove_dir(dir_);
        mkdir(dir_.c_str(), 0755);
        ASSERT_TRUE(open());
        ASSERT_TRUE(epc()->f_en_pix_calib);  // the download itself went through
        if (round == 0)
            bed_->stale_in(0, leftover);
        ASSERT_TRUE(kavro_cap_start(&dev_));
        int prev_idx = -1;
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            kavro_frame_t fr{};
            ASSERT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), (uint32_t)buf.size(), &fr), 1);
            EXPECT_EQ(fr.frame_info.frame_format, cfg_.sensor.format);
            EXPECT_EQ(fr.frame_info.frame_size, image_bytes);
            // The camera counts the frames of each capture from 0.
            if (i == 0)
                EXPECT_LE(fr.frame_info.frame_idx, 2);
            else
                EXPECT_GT((int)fr.frame_info.frame_idx, prev_idx);
            prev_idx = fr.frame_info.frame_idx;
        }
        EXPECT_TRUE(kavro_cap_stop(&dev_));
        kavro_dev_close(&dev_);
        if (HasFailure())
            break;
    }
}

}  // namespace
