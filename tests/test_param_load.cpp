// Calibration package download: a camera opened through the in-process
// simulator transport streams its package in data-upload mode (the firmware
// model's real clock paces the frames; the transport's pump thread feeds the
// capture engine), and the library writes the parameter file or extracts the
// package's archive into the device's folder. Also the archive extraction on
// hand-made archives with hostile entry names, and the rule that the
// parameter file is only ever replaced by a complete copy.
// ctest-labels: threads
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro.h"
#include "kavro_param.h"
#include "kavro_param_load_internal.h"
#include "ll/ll_usb_proto.h"
#include "sim_calib.h"
#include "sim_firmware.h"
#include "sim_transport.h"

using namespace kavro_test;
using kavro_sim::firmware;
using kavro_sim::firmware_cfg;

namespace {

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream(path, std::ios::binary).write((const char *)data.data(), (std::streamsize)data.size());
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names in a folder (without "." and "..").
std::set<std::string> list_dir(const std::string &dir) {
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

void remove_tree(const std::string &dir) {
    for (const std::string &n : list_dir(dir)) {
        const std::string p = dir + "/" + n;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_tree(p);
        else
            unlink(p.c_str());
    }
    rmdir(dir.c_str());
}

// A fresh scratch folder, relative to the test's working folder (file names
// built from it stay well inside the lengths the library keeps).
std::string scratch(const std::string &tag) {
    static int n = 0;
    const std::string d = "pl" + std::to_string(++n) + "_" + tag.substr(0, 12) + "_" + std::to_string(getpid());
    remove_tree(d);
    mkdir(d.c_str(), 0755);
    return d;
}

std::string cwd() {
    char buf[512];
    EXPECT_NE(getcwd(buf, sizeof buf), nullptr);
    return buf;
}

// An archive with the given entries; `link` entries are symbolic links
// whose content is the link target.
struct zip_entry {
    std::string name;
    std::string data;
    bool link = false;
};

void make_zip(const std::string &path, const std::vector<zip_entry> &entries) {
    std::remove(path.c_str());
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const zip_entry &e : entries) {
        zip_source_t *src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
        ASSERT_NE(src, nullptr);
        const zip_int64_t idx = zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_RAW);
        ASSERT_GE(idx, 0) << e.name;
        if (e.link)
            zip_file_set_external_attributes(z, (zip_uint64_t)idx, 0, ZIP_OPSYS_UNIX,
                                             (zip_uint32_t)(S_IFLNK | 0777) << 16);
    }
    ASSERT_EQ(zip_close(z), 0);
}

firmware_cfg stub_cfg() {
    firmware_cfg c;
    c.product = "KVSIM-T0-320";  // stub driver: the open itself fetches nothing
    c.virtual_time = false;      // frames come at the data-upload rate
    return c;
}

// The parameter file the simulated camera carries, and its package.
std::vector<uint8_t> sim_param_file(const firmware_cfg &fc, const kavro_sim::calib_opts &o) {
    std::vector<uint8_t> f;
    std::string err;
    EXPECT_TRUE(kavro_sim::calib_param_file(fc.sensor, o, &f, &err)) << err;
    return f;
}

std::vector<uint8_t> package(const std::vector<uint8_t> &file, bool zip, const std::string &entry,
                             uint32_t ts = 1700000000) {
    std::vector<uint8_t> pkg;
    std::string err;
    EXPECT_TRUE(kavro_sim::calib_package(file, zip, entry, 77, ts, &pkg, &err)) << err;
    return pkg;
}

// Package header fields, patched in place.
void patch_u32(std::vector<uint8_t> &pkg, size_t at, uint32_t v) { std::memcpy(pkg.data() + at, &v, 4); }
constexpr size_t kTsAt = 6, kFsizeAt = 10, kDsizeAt = 14;

// A camera behind the simulated transport, opened through the camera
// interface, with its path prefix set to a scratch folder.
class ParamLoad : public ::testing::Test {
protected:
    explicit ParamLoad(firmware_cfg cfg = stub_cfg()) : cfg_(cfg), fw_(cfg), link_(fw_) {}

    void SetUp() override {
        dir_ = scratch("load");
        kavro_path_cfg((dir_ + "/").c_str());
        file_ = sim_param_file(cfg_, opts_);
        const int32_t id = kavro_sim::calib_param_id(cfg_.chip_info[1], cfg_.chip_info[2], cfg_.serial[0]);
        pname_ = kavro_sim::calib_param_file_name(id);
    }
    void TearDown() override {
        if (dev_.handler) kavro_dev_close(&dev_);
        remove_tree(dir_);
    }

    void open() {
        sim_bind_dev(&dev_, &link_);
        ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
    }
    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    // Files of the folder that are neither expected nor the package's.
    std::set<std::string> files() const { return list_dir(dir_); }

    CapturedLog log_;
    firmware_cfg cfg_;
    firmware fw_;
    sim_link link_;
    kavro_dev_t dev_{};
    kavro_sim::calib_opts opts_;
    std::vector<uint8_t> file_;
    std::string dir_, pname_;
};

// ---- whole downloads ----------------------------------------------------------------

struct PkgCase {
    const char *name;
    bool zip;
    int extra_frames;  // padding frames added to the package after the payload
};

class ParamLoadPkg : public ParamLoad, public ::testing::WithParamInterface<PkgCase> {};

// Raw and zipped packages end as the camera's parameter file, byte for byte,
// with nothing else left in the folder and the device back in normal mode.
TEST_P(ParamLoadPkg, WritesTheParameterFile) {
    std::vector<uint8_t> pkg = package(file_, GetParam().zip, pname_);
    if (GetParam().extra_frames) {
        pkg.resize(pkg.size() + (size_t)GetParam().extra_frames * kCalibFrameSize, 0xA5);
        patch_u32(pkg, kFsizeAt, (uint32_t)pkg.size());
    }
    fw_.set_calib_package(pkg);
    open();
    ASSERT_TRUE(kavro_param_load_from_dev(&dev_));
    EXPECT_EQ(fw_.dev_mode(), 0u);
    EXPECT_EQ(read_file(at(pname_)), file_);
    EXPECT_EQ(files(), std::set<std::string>{pname_});
    kavro_param_handle_t h;
    ASSERT_TRUE(kavro_param_open_file(&h, at(pname_).c_str())) << log_.text();
    kavro_param_close(&h);
    if (GetParam().zip) {
        EXPECT_NE(log_.text().find("[_calib_unzip] Extracted: " + pname_ + " ("), std::string::npos);
        EXPECT_NE(log_.text().find("unzip " + at("tmp.zip") + " OK"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, ParamLoadPkg,
                         ::testing::Values(PkgCase{"raw", false, 0}, PkgCase{"zipped", true, 0},
                                           PkgCase{"raw_three_more_frames", false, 3}),
                         [](const auto &i) { return std::string(i.param.name); });

// An old archive in the folder is replaced; a stale parameter file is
// replaced by the device's.
TEST_F(ParamLoad, ReplacesOldArchiveAndStaleFile) {
    write_file(at("tmp.zip"), std::vector<uint8_t>(100, 1));
    write_file(at(pname_), std::vector<uint8_t>(5000, 2));
    fw_.set_calib_package(package(file_, true, pname_));
    open();
    ASSERT_TRUE(kavro_param_load_from_dev(&dev_));
    EXPECT_EQ(read_file(at(pname_)), file_);
    EXPECT_FALSE(exists(at("tmp.zip")));
}

// Announcements the library must refuse: the device goes to data-upload mode
// and straight back, nothing is captured and no file appears.
struct RefuseCase {
    const char *name;
    std::function<void(std::vector<uint8_t> &pkg, firmware_cfg &cfg)> spoil;
};

class ParamLoadRefuse : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(ParamLoadRefuse, RefusedWithoutCapture) {
    firmware_cfg cfg = stub_cfg();
    std::vector<uint8_t> pkg = package(sim_param_file(cfg, {}), false, "x");
    GetParam().spoil(pkg, cfg);
    CapturedLog log;
    firmware fw(cfg);
    fw.set_calib_package(pkg);
    sim_link link(fw);
    const std::string dir = scratch(GetParam().name);
    kavro_path_cfg((dir + "/").c_str());
    kavro_dev_t dev{};
    sim_bind_dev(&dev, &link);
    ASSERT_EQ(kavro_dev_open(&dev), &dev);
    link.calls.clear();
    EXPECT_FALSE(kavro_param_load_from_dev(&dev));
    EXPECT_EQ(fw.dev_mode(), 0u);
    EXPECT_TRUE(link.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty());
    // Exactly two mode changes: to data-upload, back to normal.
    std::vector<uint32_t> modes;
    for (const sim_call &c : link.of(sim_call::ctrl_out, VXIF_REQ_DEV, VXIF_DEV_PARAM_SET)) {
        vxif_param_item_t it;
        std::memcpy(&it, c.data.data(), sizeof it);
        if (it.param_id == PARAM_DEV_MODE) modes.push_back(it.param_val.dev_mode & 0xFF);
    }
    EXPECT_EQ(modes, (std::vector<uint32_t>{9, 0}));
    EXPECT_TRUE(list_dir(dir).empty());
    kavro_dev_close(&dev);
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Announcements, ParamLoadRefuse,
    ::testing::Values(
        RefuseCase{"not_valid", [](std::vector<uint8_t> &p, firmware_cfg &) { p[0] = 0; }},
        RefuseCase{"no_timestamp", [](std::vector<uint8_t> &p, firmware_cfg &) { patch_u32(p, kTsAt, 0); }},
        RefuseCase{"old_firmware", [](std::vector<uint8_t> &, firmware_cfg &c) { c.version[1] = 132; }},
        RefuseCase{"too_big", [](std::vector<uint8_t> &p, firmware_cfg &) { patch_u32(p, kFsizeAt, 0xA00001); }},
        RefuseCase{"payload_beyond_package",
                   [](std::vector<uint8_t> &p, firmware_cfg &) {
                       uint32_t fs;
                       std::memcpy(&fs, p.data() + kFsizeAt, 4);
                       patch_u32(p, kDsizeAt, fs - 17);
                   }}),
    [](const auto &i) { return std::string(i.param.name); });

// Packages whose captured header does not hold up, and downloads that end
// early: the call reports that it started (true), logs why it went no
// further, leaves an existing parameter file exactly as it was and no
// working file beside it.
struct BrokenCase {
    const char *name;
    std::function<void(std::vector<uint8_t> &pkg, kavro_sim::fault_cfg &f)> spoil;
    const char *log;  // expected message (substring)
};

class ParamLoadBroken : public ParamLoad, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(ParamLoadBroken, KeepsTheOldFile) {
    const std::vector<uint8_t> old(3000, 0x5A);
    write_file(at(pname_), old);
    std::vector<uint8_t> pkg = package(file_, false, pname_);
    kavro_sim::fault_cfg f;
    GetParam().spoil(pkg, f);
    fw_.set_calib_package(pkg);
    open();
    fw_.set_faults(f);
    EXPECT_TRUE(kavro_param_load_from_dev(&dev_));
    EXPECT_NE(log_.text().find(GetParam().log), std::string::npos) << log_.text();
    EXPECT_EQ(read_file(at(pname_)), old);
    EXPECT_EQ(files(), (std::set<std::string>{pname_}));
}

INSTANTIATE_TEST_SUITE_P(
    Packages, ParamLoadBroken,
    ::testing::Values(
        // The header claims one byte less than the frames carry.
        BrokenCase{"size_mismatch",
                   [](std::vector<uint8_t> &p, kavro_sim::fault_cfg &) {
                       p.resize(p.size() + kCalibFrameSize, 0);
                       patch_u32(p, kFsizeAt, (uint32_t)p.size() - 1);
                   },
                   "header verify failed"},
        BrokenCase{"no_payload", [](std::vector<uint8_t> &p, kavro_sim::fault_cfg &) { patch_u32(p, kDsizeAt, 0); },
                   "header verify failed"},
        // Announced three frames more than the device holds: it sends what it
        // has round and round, the missing frames never come.
        BrokenCase{"frames_never_come",
                   [](std::vector<uint8_t> &p, kavro_sim::fault_cfg &) {
                       patch_u32(p, kFsizeAt, (uint32_t)p.size() + 3 * kCalibFrameSize);
                   },
                   "calibration download ended after 25 of 28 frames: the parameter file is left as it was"},
        // The device leaves the bus during the download.
        BrokenCase{"device_gone",
                   [](std::vector<uint8_t> &, kavro_sim::fault_cfg &f) {
                       f.disappear.prob = 1;
                       f.disappear.limit = 1;
                   },
                   "calibration download ended after 0 of 25 frames"}),
    [](const auto &i) { return std::string(i.param.name); });

// A zipped package whose entry would land outside the device's folder: the
// entry is refused, extraction fails, and neither the archive nor the
// package file stays.
TEST_F(ParamLoad, HostileEntryInPackageRefused) {
    const std::string outside = cwd() + "/" + dir_ + "_escaped.bin";
    std::remove(outside.c_str());
    const std::string name = "../" + outside.substr(outside.rfind('/') + 1);
    fw_.set_calib_package(package(file_, true, name));
    open();
    EXPECT_TRUE(kavro_param_load_from_dev(&dev_));
    EXPECT_FALSE(exists(outside));
    EXPECT_NE(log_.text().find("unzip " + at("tmp.zip") + " failed"), std::string::npos);
    EXPECT_TRUE(files().empty()) << ::testing::PrintToString(files());
    EXPECT_EQ(fw_.dev_mode(), 0u);
}

// ---- archive extraction -------------------------------------------------------------

TEST(CalibUnzip, EntryNames) {
    for (const char *ok : {"kavro_param_1.bin", "sub/f.bin", "sub/", "a.b/..c", "...x"})
        EXPECT_TRUE(_calib_entry_name_safe(ok)) << ok;
    for (const char *bad : {"", "../x", "a/../../x", "a/..", "..", "/abs", "a\\..\\b", "\\abs", "./x",
                            "a//b", "C:x", "a/./b"})
        EXPECT_FALSE(_calib_entry_name_safe(bad)) << bad;
}

// Every hostile entry is skipped with a message, the good one is extracted,
// nothing lands outside the folder and the call reports failure.
struct HostileCase {
    const char *tag;
    std::function<std::string(const std::string &dir)> name;          // entry name for a folder
    std::function<std::string(const std::string &dir)> must_not_exist;  // where it would have landed
    bool link;
};

class CalibUnzipHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(CalibUnzipHostile, EntrySkippedOthersExtracted) {
    CapturedLog log;
    const std::string dir = scratch(std::string("unzip_") + GetParam().tag);
    const std::string sub = dir + "/dev";
    mkdir(sub.c_str(), 0755);
    const std::string zip = dir + "/in.zip";
    const std::string bad = GetParam().name(sub);
    make_zip(zip, {{"good.bin", "good data"}, {bad, "evil data", GetParam().link}, {"z/last.bin", "last"}});
    EXPECT_FALSE(_calib_unzip(zip.c_str(), (sub + "/").c_str()));
    EXPECT_EQ(read_file(sub + "/good.bin"), std::vector<uint8_t>({'g', 'o', 'o', 'd', ' ', 'd', 'a', 't', 'a'}));
    EXPECT_EQ(read_file(sub + "/z/last.bin").size(), 4u);
    EXPECT_FALSE(exists(GetParam().must_not_exist(sub))) << GetParam().must_not_exist(sub);
    EXPECT_EQ(list_dir(sub), (std::set<std::string>{"good.bin", "z"}));
    EXPECT_EQ(list_dir(dir), (std::set<std::string>{"in.zip", "dev"}));
    EXPECT_NE(log.text().find(bad + " skipped"), std::string::npos) << log.text();
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CalibUnzipHostile,
    ::testing::Values(
        HostileCase{"dotdot", [](const std::string &) { return std::string("../x"); },
                    [](const std::string &d) { return d + "/../x"; }, false},
        HostileCase{"absolute", [](const std::string &d) { return cwd() + "/" + d + "/../abs.bin"; },
                    [](const std::string &d) { return d + "/../abs.bin"; }, false},
        HostileCase{"backslash", [](const std::string &) { return std::string("a\\..\\..\\b"); },
                    [](const std::string &d) { return d + "/a\\..\\..\\b"; }, false},
        HostileCase{"symlink", [](const std::string &) { return std::string("lnk"); },
                    [](const std::string &d) { return d + "/lnk"; }, true}),
    [](const auto &i) { return std::string(i.param.tag); });

TEST(CalibUnzip, NotAnArchive) {
    CapturedLog log;
    const std::string dir = scratch("notzip");
    write_file(dir + "/in.zip", std::vector<uint8_t>(300, 7));
    EXPECT_FALSE(_calib_unzip((dir + "/in.zip").c_str(), (dir + "/").c_str()));
    EXPECT_EQ(list_dir(dir), std::set<std::string>{"in.zip"});
    remove_tree(dir);
}

// ---- replacing the parameter file -----------------------------------------------------

// While the payload is being written, the parameter file keeps its old
// content and the new bytes go to a temporary file beside it; a crash at any
// of those moments leaves the old file (or none), never a partial one.
std::vector<std::pair<std::string, std::vector<uint8_t>>> g_seen;
void record_piece(const char *tmp, const char *out) {
    g_seen.emplace_back(tmp, read_file(out));
    EXPECT_TRUE(exists(tmp));
}

TEST_F(ParamLoad, ParameterFileReplacedOnlyWhenComplete) {
    const std::vector<uint8_t> old(4000, 0x11);
    write_file(at(pname_), old);
    fw_.set_calib_package(package(file_, false, pname_));
    open();
    g_seen.clear();
    _calib_write_piece_hook = record_piece;
    const bool ok = kavro_param_load_from_dev(&dev_);
    _calib_write_piece_hook = nullptr;
    ASSERT_TRUE(ok);
    ASSERT_FALSE(g_seen.empty());
    EXPECT_GT(g_seen.size(), 1u);
    for (const auto &s : g_seen) {
        EXPECT_EQ(s.second, old);
        EXPECT_EQ(s.first.rfind(at(pname_), 0), 0u) << s.first;  // beside the file, same folder
        EXPECT_NE(s.first, at(pname_));
    }
    EXPECT_EQ(read_file(at(pname_)), file_);
    EXPECT_EQ(files(), std::set<std::string>{pname_});
}

// A copy that ends short (the source runs dry) leaves the old file and no
// temporary file behind.
TEST(CalibCopy, ShortSourceKeepsOldFile) {
    CapturedLog log;
    const std::string dir = scratch("copy");
    const std::string out = dir + "/param.bin";
    const std::vector<uint8_t> old(100, 3);
    write_file(out, old);
    write_file(dir + "/src.bin", std::vector<uint8_t>(10000, 9));
    FILE *src = std::fopen((dir + "/src.bin").c_str(), "rb");
    ASSERT_NE(src, nullptr);
    EXPECT_FALSE(_calib_copy_payload(src, "src.bin", out.c_str(), 10001));
    std::fclose(src);
    EXPECT_EQ(read_file(out), old);
    EXPECT_EQ(list_dir(dir), (std::set<std::string>{"param.bin", "src.bin"}));
    EXPECT_TRUE(log.has("[_calib_copy_payload] read src.bin failed: rem_size = 1809\n")) << log.text();

    src = std::fopen((dir + "/src.bin").c_str(), "rb");
    EXPECT_TRUE(_calib_copy_payload(src, "src.bin", out.c_str(), 10000));
    std::fclose(src);
    EXPECT_EQ(read_file(out), std::vector<uint8_t>(10000, 9));
    EXPECT_EQ(list_dir(dir), (std::set<std::string>{"param.bin", "src.bin"}));
    remove_tree(dir);
}

// ---- the EPC driver's calibration routine ---------------------------------------------

firmware_cfg epc_cfg() {
    firmware_cfg c = stub_cfg();
    c.product = "KVSIM-E2-320";
    return c;
}

class EpcCalibSave : public ParamLoad {
protected:
    EpcCalibSave() : ParamLoad(epc_cfg()) {}
};

// Opening an EPC camera without a cached file, or with one older than the
// device's calibration, fetches the package; a current cache is used as it is.
TEST_F(EpcCalibSave, DownloadsWhenMissingOrStale) {
    fw_.set_calib_package(package(file_, true, pname_, opts_.ts));
    open();
    EXPECT_EQ(read_file(at(pname_)), file_);
    EXPECT_FALSE(link_.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty());
    EXPECT_NE(log_.text().find("Load calibration data from device OK"), std::string::npos);
    kavro_dev_close(&dev_);

    // Current cache: no download.
    link_.calls.clear();
    open();
    EXPECT_TRUE(link_.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty());
    kavro_dev_close(&dev_);

    // The device now holds a later calibration: the cache is replaced.
    kavro_sim::calib_opts newer = opts_;
    newer.ts = opts_.ts + 100;
    const std::vector<uint8_t> file2 = sim_param_file(cfg_, newer);
    ASSERT_NE(file2, file_);
    fw_.set_calib_package(package(file2, false, pname_, newer.ts));
    link_.calls.clear();
    open();
    EXPECT_FALSE(link_.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty());
    EXPECT_EQ(read_file(at(pname_)), file2);
    EXPECT_EQ(files(), std::set<std::string>{pname_});
}

// The calibration cannot be stored (here a folder sits where the package or
// the parameter file goes, which binds root too): the download names that
// cause, the camera opens uncalibrated and the driver says why in a warning.
// A camera without a package is named as such.
TEST_F(EpcCalibSave, UnstorableCalibrationIsNamed) {
    struct Case {
        const char *what;
        std::string blocked;  // made a folder in the cache; empty: none
        bool package;         // the camera holds a package
        kavro_param_load_e code;
        std::string why;
    };
    const Case cases[] = {
        {"package file blocked", "calibration.bin", true, KAVRO_PARAM_LOAD_STORE,
         "cannot write " + at("calibration.bin") + ": Is a directory"},
        {"parameter file blocked", pname_, true, KAVRO_PARAM_LOAD_STORE,
         "cannot write " + at(pname_) + ": Is a directory"},
        {"no package", "", false, KAVRO_PARAM_LOAD_NO_PACKAGE, "the camera holds no usable calibration package"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        remove_tree(dir_);
        ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
        if (!c.blocked.empty()) {
            ASSERT_EQ(::mkdir(at(c.blocked).c_str(), 0755), 0);
        }
        if (c.package) {
            fw_.set_calib_package(package(file_, false, pname_, opts_.ts));
        } else {
            fw_.set_calib_package({});
        }
        log_.clear();
        open();
        EXPECT_TRUE(log_.has("[epc_calib_save] no calibration for " + at(pname_) + ": " + c.why +
                             "; distances are decoded uncalibrated"))
            << log_.text();
        EXPECT_NE(log_.text().find("[WRN][epc_calib_save] no calibration"), std::string::npos);
        kavro_filter_args_u a{};
        EXPECT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_PIXEL_CALIB, &a, sizeof a), 0);
        char why[320] = "x";
        EXPECT_EQ(kavro_param_load_from_dev_ex(&dev_, why, sizeof why), c.code);
        EXPECT_EQ(std::string(why), c.why);
        kavro_dev_close(&dev_);
    }
    // Nothing in the way: the download works and says so.
    remove_tree(dir_);
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
    fw_.set_calib_package(package(file_, false, pname_, opts_.ts));
    open();
    char why[320] = "x";
    EXPECT_EQ(kavro_param_load_from_dev_ex(&dev_, why, sizeof why), KAVRO_PARAM_LOAD_OK);
    EXPECT_STREQ(why, "");
}

// An update that does not finish (the device announces frames it never
// sends) leaves the cache file as it was and nothing beside it; the open
// goes on with the cached calibration, the log says why, and the next open
// fetches the package again.
TEST_F(EpcCalibSave, UnfinishedUpdateKeepsTheCacheAndRetries) {
    fw_.set_calib_package(package(file_, false, pname_, opts_.ts));
    open();
    kavro_dev_close(&dev_);
    ASSERT_EQ(read_file(at(pname_)), file_);

    kavro_sim::calib_opts newer = opts_;
    newer.ts = opts_.ts + 100;
    const std::vector<uint8_t> file2 = sim_param_file(cfg_, newer);
    std::vector<uint8_t> short_pkg = package(file2, false, pname_, newer.ts);
    patch_u32(short_pkg, kFsizeAt, (uint32_t)short_pkg.size() + 2 * kCalibFrameSize);
    fw_.set_calib_package(short_pkg);
    log_.clear();
    open();
    // At most the 25 frames the device holds arrive (fewer when the host
    // loses some of them on every round).
    EXPECT_NE(log_.text().find("[kavro_param_load_from_dev] calibration download ended after "), std::string::npos);
    EXPECT_NE(log_.text().find(" of 27 frames: the parameter file is left as it was"), std::string::npos)
        << log_.text();
    EXPECT_EQ(read_file(at(pname_)), file_);
    EXPECT_EQ(files(), std::set<std::string>{pname_});
    kavro_filter_args_u a{};
    EXPECT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_PIXEL_CALIB, &a, sizeof a), 1);  // the cached one, mounted
    kavro_dev_close(&dev_);

    fw_.set_calib_package(package(file2, false, pname_, newer.ts));
    link_.calls.clear();
    open();
    EXPECT_FALSE(link_.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty());
    EXPECT_EQ(read_file(at(pname_)), file2);
    EXPECT_EQ(files(), std::set<std::string>{pname_});
}

// The parameter file's name is the path prefix followed by
// "kavro_param_<id>.bin" (24 characters for this camera). Any name the
// parameter file accepts (up to 127 characters) is kept whole: the second
// open finds the cache and fetches nothing. A longer one could never be
// opened: the camera runs uncalibrated without fetching the package.
struct PrefixCase {
    const char *name;
    size_t name_len;  // length of the parameter file's full name
    bool usable;
};

class EpcCalibSavePrefix : public EpcCalibSave, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(EpcCalibSavePrefix, NameKeptWholeOrRefused) {
    const PrefixCase &c = GetParam();
    const size_t prefix_len = c.name_len - pname_.size();
    const std::string head = dir_ + "/";
    ASSERT_GT(prefix_len, head.size());
    const std::string prefix = head + std::string(prefix_len - head.size(), 'p');
    kavro_path_cfg(prefix.c_str());
    ASSERT_EQ((prefix + pname_).size(), c.name_len);
    fw_.set_calib_package(package(file_, false, pname_, opts_.ts));

    kavro_filter_args_u a{};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        link_.calls.clear();
        open();
        const bool fetched = !link_.of(sim_call::ctrl_out, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START).empty();
        EXPECT_EQ(fetched, c.usable && round == 0);
        EXPECT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_PIXEL_CALIB, &a, sizeof a), c.usable ? 1 : 0);
        kavro_dev_close(&dev_);
    }
    if (c.usable) {
        EXPECT_EQ(read_file(prefix + pname_), file_);
    } else {
        EXPECT_FALSE(exists(prefix + pname_));
        EXPECT_FALSE(exists(prefix + "calibration.bin"));
        EXPECT_TRUE(log_.has("[epc_calib_save] param name too long: len=" + std::to_string(c.name_len) +
                             " (max 127), path prefix too long for the calibration file"));
    }
}

INSTANTIATE_TEST_SUITE_P(Prefixes, EpcCalibSavePrefix,
                         ::testing::Values(PrefixCase{"beyond_64", 100, true}, PrefixCase{"longest_kept", 127, true},
                                           PrefixCase{"one_too_long", 128, false},
                                           PrefixCase{"longest_prefix", 255 + 24, false}),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
