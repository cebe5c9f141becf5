// Device open, close, reset and listing, and parameter and register access,
// against a scripted test transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_transport.h"
#include "per_process_name.h"
#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_globals.h"
#include "kavro_handler.h"

namespace {

std::string read_all(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::string g_log = per_process_name("test_device", ".log");
const char *const LOG_NAME = g_log.c_str();

class DeviceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::remove(LOG_NAME);
        kavro_init(LOG_NAME);
    }
    static void TearDownTestSuite() {
        kavro_uninit();
        std::remove(LOG_NAME);
    }
    void SetUp() override { log_start_ = read_all(LOG_NAME).size(); }
    void TearDown() override {
        kavro_dev_close(&dev_);
        kavro_dev_close(&default_dev);
    }
    // Log lines written since the test began.
    std::string new_log() const { return read_all(LOG_NAME).substr(log_start_); }
    static _kavro_handler_t *handler(kavro_dev_t *d) { return static_cast<_kavro_handler_t *>(d->handler); }

    FakeCamera cam_;
    kavro_dev_t dev_{};
    size_t log_start_ = 0;
};

// ---- open -----------------------------------------------------------------

TEST_F(DeviceTest, OpenReadsIdentityAndBindsDriver) {
    cam_.vendor = "ACME";
    cam_.product = "VX1-T0-0123456789ab";  // 19 characters: cut to the 18 value bytes
    memset(dev_.serial, 0x77, sizeof dev_.serial);
    cam_.serial_len = 12;

    ASSERT_EQ(fake_open(&dev_, &cam_), &dev_);
    EXPECT_STREQ(dev_.vendor, "ACME");
    EXPECT_STREQ(dev_.product, "VX1-T0-0123456789a");
    EXPECT_EQ(0, memcmp(dev_.serial, cam_.serial, 12));
    for (size_t i = 12; i < sizeof dev_.serial; ++i) EXPECT_EQ(dev_.serial[i], 0) << i;
    EXPECT_EQ(dev_.version.ver.hw_ver, 0x11);
    EXPECT_EQ(dev_.version.ver.sw_ver, 0x22);
    EXPECT_EQ(dev_.version.ver.sw2_ver, 0x33);
    EXPECT_EQ(dev_.version.ver.hw2_ver, 0x44);
    EXPECT_EQ(dev_.expath, kavro_path_get());
    EXPECT_NE(dev_.lock, nullptr);
    EXPECT_EQ(dev_.api_flag, 0);
    EXPECT_TRUE(dev_.init_flag);  // copied back from the transport

    // One identity batch of four items, each sent with length 0.
    ASSERT_EQ(cam_.last_get_request.size(), 4u);
    const uint8_t ids[] = {PARAM_INFO_VENDOR, PARAM_INFO_PRODUCT, PARAM_INFO_SERIAL, PARAM_INFO_VERSION};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cam_.last_get_request[i].param_id, ids[i]);
        EXPECT_EQ(cam_.last_get_request[i].param_val_len, 0);
    }

    _kavro_handler_t *h = handler(&dev_);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(h->is_opened);
    EXPECT_FALSE(h->is_capturing);
    EXPECT_EQ(h->cap_thread_stop, 1);
    ASSERT_NE(h->driver, nullptr);
    EXPECT_EQ(h->driver->op, &g_kavro_driver_op_ti);
    EXPECT_EQ(h->driver->dev, &dev_);  // the TI init binds the device
    // The device works on its own instance; the registry entry stays unbound.
    EXPECT_NE(h->driver, &g_kavro_drivers[0]);
    EXPECT_EQ(g_kavro_drivers[0].dev, nullptr);

    uint32_t size = 0;
    uint8_t *buf = reinterpret_cast<uint8_t *>(&size);
    EXPECT_TRUE(kavro_cap_get_frame_buffer(&dev_, &buf, &size));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 10u * 307200u);  // the open keeps 10 frames
    EXPECT_NE(new_log().find("find driver: TI OP8241 chip driver (device=VX1-T0-0123456789a [SW=34,BT=51,HW=17])"),
              std::string::npos);
}

TEST_F(DeviceTest, TwoCamerasOfOneProductCodeKeepSeparateDriverState) {
    FakeCamera cam2;
    kavro_dev_t dev2{};
    ASSERT_TRUE(fake_open(&dev_, &cam_));
    ASSERT_TRUE(fake_open(&dev2, &cam2));
    kavro_drv_t *d1 = handler(&dev_)->driver;
    kavro_drv_t *d2 = handler(&dev2)->driver;
    EXPECT_NE(d1, d2);
    EXPECT_EQ(d1->dev, &dev_);
    EXPECT_EQ(d2->dev, &dev2);
    kavro_dev_close(&dev2);
    // Closing one leaves the other bound.
    EXPECT_EQ(handler(&dev_)->driver->dev, &dev_);
}

// A driver whose init reads a parameter through the public call, as the EPC
// driver does, and whose calibration routine fails.
bool g_init_read_ok = false;
kavro_dev_t *g_init_dev = nullptr;
bool probing_init(kavro_drv_t *drv, kavro_dev_t *dev) {
    drv->dev = dev;
    g_init_dev = dev;
    kavro_param_item_t it{};
    it.param_id = PARAM_TEMP;
    g_init_read_ok = kavro_param_batch_get(dev, &it, 1);
    return true;
}
int g_uninit_calls = 0;
void counting_uninit(kavro_drv_t *) { ++g_uninit_calls; }
uint32_t g_calib_case = 0;
int failing_calib(kavro_drv_t *, void *buf, int len, uint32_t use_case) {
    g_calib_case = buf == nullptr && len == 0 ? use_case : 0xFFFF;
    return -1;
}
const kavro_drv_op_t g_probing_op = {
    .init = probing_init,
    .uninit = counting_uninit,
    .frame_get_info = nullptr,
    .frame_decode = nullptr,
    .frame_raw_get = nullptr,
    .frame_raw_proc = nullptr,
    .lens_param_get = nullptr,
    .use_case_get_count = nullptr,
    .on_update_intg_time = nullptr,
    .on_update_frame_format = nullptr,
    .on_update_mod_freq = nullptr,
    .calib_load = nullptr,
    .calib_save = failing_calib,
    .calib_apply = nullptr,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .lens_view_get = nullptr,
};

TEST_F(DeviceTest, DriverInitUsesPublicCallsAndAFailedCalibrationOnlyLogs) {
    const kavro_drv_op_t *saved = g_kavro_drivers[0].op;
    g_kavro_drivers[0].op = &g_probing_op;
    g_init_read_ok = false;
    g_uninit_calls = 0;
    kavro_dev_t *opened = fake_open(&dev_, &cam_);
    g_kavro_drivers[0].op = saved;
    ASSERT_EQ(opened, &dev_);
    EXPECT_EQ(g_init_dev, &dev_);
    EXPECT_TRUE(g_init_read_ok);
    EXPECT_EQ(g_calib_case, 2u);
    EXPECT_NE(new_log().find("[ERR][kavro_dev_open] Load calibration data failed"), std::string::npos);
    kavro_dev_close(&dev_);
    EXPECT_EQ(g_uninit_calls, 1);
}

struct OpenFailure {
    const char *name;
    void (*setup)(FakeCamera &);
    const char *message;
    int transport_closes;
};

class DeviceOpenFailure : public DeviceTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(DeviceOpenFailure, LeavesTheRecordClosed) {
    GetParam().setup(cam_);
    EXPECT_EQ(fake_open(&dev_, &cam_), nullptr);
    EXPECT_EQ(dev_.handler, nullptr);
    EXPECT_EQ(dev_.lock, nullptr);
    EXPECT_EQ(cam_.count("close"), GetParam().transport_closes);
    EXPECT_NE(new_log().find(GetParam().message), std::string::npos) << new_log();
    // A failed open leaves nothing to close.
    kavro_dev_close(&dev_);
    EXPECT_EQ(cam_.count("close"), GetParam().transport_closes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceOpenFailure,
    ::testing::Values(
        OpenFailure{"transport", [](FakeCamera &c) { c.fail_open = true; }, "[ERR][kavro_dev_open] open device failed!", 0},
        OpenFailure{"identity", [](FakeCamera &c) { c.fail_param_get = true; },
                    "[WRN][kavro_dev_open]  cannot get info of device", 1},
        OpenFailure{"driver", [](FakeCamera &c) { c.product = "A-E4-B"; },
                    "[ERR][kavro_dev_open] cannot find driver for device: product=A-E4-B", 1},
        OpenFailure{"two_fields", [](FakeCamera &c) { c.product = "A-T0"; },
                    "cannot find driver for device: product=A-T0", 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DeviceTest, ReopenClosesFirstAndKeepsALibraryOwnedRecord) {
    auto *rec = static_cast<kavro_dev_t *>(calloc(1, sizeof(kavro_dev_t)));
    rec->alloc_flag = true;
    ASSERT_EQ(fake_open(rec, &cam_), rec);
    // The record is open: the open closes it first, and must neither free it
    // (the sanitizer run catches a use after free) nor lose the transport.
    ASSERT_EQ(kavro_dev_open(rec), rec);
    EXPECT_EQ(cam_.count("open"), 2);
    EXPECT_EQ(cam_.count("close"), 1);
    EXPECT_NE(new_log().find("[WRN][kavro_dev_open] device not close correctly. close it.."), std::string::npos);
    EXPECT_STREQ(rec->product, "VX1-T0-01");
    kavro_dev_close(rec);  // frees the record (the leak check catches a miss)
    EXPECT_EQ(cam_.count("close"), 2);
}

TEST_F(DeviceTest, FailedOpenFreesALibraryOwnedRecord) {
    auto *rec = static_cast<kavro_dev_t *>(calloc(1, sizeof(kavro_dev_t)));
    rec->alloc_flag = true;
    cam_.fail_open = true;
    EXPECT_EQ(fake_open(rec, &cam_), nullptr);  // the leak check catches a miss
}

TEST_F(DeviceTest, DefaultRecordServesOneOpenAtATime) {
    ASSERT_EQ(fake_open(&default_dev, &cam_), &default_dev);
    EXPECT_EQ(kavro_dev_open(nullptr), nullptr);
    EXPECT_NE(new_log().find("[ERR][kavro_dev_open] default device may not close properly!"), std::string::npos);
    EXPECT_TRUE(handler(&default_dev)->is_opened);  // untouched
    // A replay open would take the default record over: refused as well.
    const std::string rec = per_process_name("replay_while_open", ".raw");
    const char *name = rec.c_str();
    FILE *f = fopen(name, "wb");
    fputs("x", f);
    fclose(f);
    EXPECT_EQ(kavro_dev_open_replay(name), nullptr);
    EXPECT_TRUE(handler(&default_dev)->is_opened);
    std::remove(name);
}

TEST_F(DeviceTest, ReplayOfMissingFileFailsWithItsName) {
    EXPECT_EQ(kavro_dev_open_replay("no_such_recording.raw"), nullptr);
    EXPECT_NE(new_log().find("[ERR][kavro_dev_open_replay] open file failed: no_such_recording.raw"),
              std::string::npos);
    EXPECT_EQ(default_dev.handler, nullptr);
}

TEST_F(DeviceTest, OpenByFdIsNotSupported) {
    EXPECT_EQ(kavro_dev_open_by_fd(3), nullptr);
    EXPECT_NE(new_log().find("kavro_dev_open_by_fd currently only support in android!"), std::string::npos);
}

// ---- close ----------------------------------------------------------------

TEST_F(DeviceTest, CloseStopsCaptureThenClosesTransportOnce) {
    ASSERT_TRUE(fake_open(&dev_, &cam_));
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 2 * 307200));
    ASSERT_TRUE(kavro_cap_start(&dev_));
    ASSERT_TRUE(kavro_cap_is_ongoing(&dev_));
    kavro_dev_close(&dev_);
    EXPECT_EQ(dev_.handler, nullptr);
    EXPECT_EQ(dev_.lock, nullptr);
    EXPECT_FALSE(kavro_cap_is_ongoing(&dev_));
    std::vector<std::string> tail(cam_.calls.end() - 2, cam_.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"cap_stop", "close"}));
    kavro_dev_close(&dev_);  // second close: nothing to do
    kavro_dev_close(nullptr);
    EXPECT_EQ(cam_.count("close"), 1);
    EXPECT_EQ(cam_.count("cap_stop"), 1);
}

TEST_F(DeviceTest, CloseGoesOnWhenCaptureStopFails) {
    ASSERT_TRUE(fake_open(&dev_, &cam_));
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 2 * 307200));
    ASSERT_TRUE(kavro_cap_start(&dev_));
    cam_.fail_cap_stop = true;
    kavro_dev_close(&dev_);
    EXPECT_EQ(dev_.handler, nullptr);
    EXPECT_EQ(cam_.count("close"), 1);
    EXPECT_NE(new_log().find("[ERR][_kavro_dev_close] stop capture failed!"), std::string::npos);
}

// ---- reset ----------------------------------------------------------------

TEST_F(DeviceTest, ResetPassesTargetsUpToEight) {
    ASSERT_TRUE(fake_open(&dev_, &cam_));
    for (int target : {0, 3, 7, 8}) {
        EXPECT_TRUE(kavro_dev_reset(&dev_, static_cast<kavro_dev_rst_e>(target))) << target;
        EXPECT_EQ(cam_.last_target, target);
    }
    const int resets = cam_.count("reset");
    EXPECT_FALSE(kavro_dev_reset(&dev_, DEV_RST_CNT));
    EXPECT_FALSE(kavro_dev_reset(&dev_, static_cast<kavro_dev_rst_e>(-1)));
    EXPECT_EQ(cam_.count("reset"), resets);
    EXPECT_NE(new_log().find("wrong reset target: 9"), std::string::npos);
}

// ---- calls on a closed device ---------------------------------------------

TEST_F(DeviceTest, CallsOnAClosedDeviceFailWithoutTransport) {
    ASSERT_TRUE(fake_open(&dev_, &cam_));
    kavro_dev_close(&dev_);
    const size_t calls = cam_.calls.size();
    kavro_param_item_t item{};
    item.param_id = PARAM_FRAME_RATE;
    uint32_t regs[2] = {};
    for (kavro_dev_t *d : {&dev_, static_cast<kavro_dev_t *>(nullptr)}) {
        EXPECT_FALSE(kavro_param_batch_set(d, &item, 1));
        EXPECT_FALSE(kavro_param_batch_get(d, &item, 1));
        EXPECT_FALSE(kavro_reg_batch_write(d, DEV_REG_CAM0, 0, regs, 2));
        EXPECT_FALSE(kavro_reg_batch_read(d, DEV_REG_CAM0, 0, regs, 2));
        EXPECT_FALSE(kavro_dev_reset(d, DEV_RST_DEV));
        EXPECT_FALSE(kavro_cap_start(d));
        EXPECT_FALSE(kavro_cap_stop(d));
        EXPECT_FALSE(kavro_cap_set_frame_buffer(d, nullptr, 4 * 307200));
    }
    EXPECT_EQ(cam_.calls.size(), calls);
    const std::string log = new_log();
    for (const char *fn : {"kavro_param_batch_set", "kavro_param_batch_get", "kavro_reg_batch_write",
                           "kavro_reg_batch_read"})
        EXPECT_NE(log.find(std::string("[ERR][") + fn + "]  Device handler Is NULL!\r\n"), std::string::npos) << fn;
}

// ---- listing --------------------------------------------------------------

TEST_F(DeviceTest, ListRejectsWrongParameters) {
    kavro_dev_t list[2];
    EXPECT_EQ(kavro_dev_list(nullptr, 2), 0);
    EXPECT_EQ(kavro_dev_list(list, 0), 0);
    EXPECT_EQ(kavro_dev_list(list, -1), 0);
    EXPECT_NE(new_log().find("wrong params: dev_list=(nil), dev_list_num=2 \n"), std::string::npos);
}

TEST_F(DeviceTest, ListClearsEveryRecord) {
    kavro_dev_t list[4];
    memset(list, 0x5A, sizeof list);
    const int n = kavro_dev_list(list, 4);
    ASSERT_GE(n, 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(list[i].handler, nullptr) << i;
    for (int i = n; i < 4; ++i) EXPECT_EQ(list[i].if_info.type, DEV_IF_USB) << i;  // zeroed
}

// ---- parameters and registers ---------------------------------------------

// A driver that records the updates it receives.
std::vector<std::string> g_updates;
void rec_intg(kavro_drv_t *, uint32_t us, bool second) {
    g_updates.push_back("intg " + std::to_string(us) + (second ? " hdr" : ""));
}
void rec_format(kavro_drv_t *, uint32_t f) { g_updates.push_back("format " + std::to_string(f)); }
void rec_freq(kavro_drv_t *, uint32_t hz, uint8_t type) {
    g_updates.push_back("freq " + std::to_string(hz) + " " + std::to_string(type));
}
const kavro_drv_op_t g_recording_op = {
    .init = nullptr,
    .uninit = nullptr,
    .frame_get_info = nullptr,
    .frame_decode = nullptr,
    .frame_raw_get = nullptr,
    .frame_raw_proc = nullptr,
    .lens_param_get = nullptr,
    .use_case_get_count = nullptr,
    .on_update_intg_time = rec_intg,
    .on_update_frame_format = rec_format,
    .on_update_mod_freq = rec_freq,
    .calib_load = nullptr,
    .calib_save = nullptr,
    .calib_apply = nullptr,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .lens_view_get = nullptr,
};

kavro_param_item_t item_u32(uint32_t id, uint32_t v, uint8_t len = 4) {
    kavro_param_item_t it{};
    it.param_id = id;
    it.param_val_len = len;
    memcpy(it.param_val.raw, &v, sizeof v);
    return it;
}

class ParamTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(fake_open(&dev_, &cam_));
        h_ = handler(&dev_);
        h_->driver->op = &g_recording_op;
        g_updates.clear();
    }
    _kavro_handler_t *h_ = nullptr;
};

TEST_F(ParamTest, SetTranslatesItemsAndInformsDriverInOrder) {
    kavro_param_item_t items[5] = {item_u32(PARAM_HDR_INTG_TIME, 0xABCD0000u | 900u, 2),
                                   item_u32(PARAM_INTG_TIME, 0x10000u | 450u, 2),
                                   item_u32(PARAM_FRAME_RATE, 30), item_u32(PARAM_FRAME_FORMAT, 7),
                                   item_u32(PARAM_MOD_FREQ, 24000000)};
    for (int i = 0; i < 18; ++i) items[3].param_val.raw[i] = static_cast<uint8_t>(0xA0 + i);
    items[3].param_val.frame_format.format = 7;
    ASSERT_TRUE(kavro_param_batch_set(&dev_, items, 5));

    ASSERT_EQ(cam_.last_set.size(), 5u);
    EXPECT_EQ(cam_.last_set[0].param_id, PARAM_HDR_INTG_TIME);
    EXPECT_EQ(cam_.last_set[0].param_val_len, 2);
    // All 18 value bytes travel, whatever the length says.
    EXPECT_EQ(0, memcmp(&cam_.last_set[3].param_val, items[3].param_val.raw, 18));
    EXPECT_EQ(g_updates, (std::vector<std::string>{"intg 900 hdr", "intg 450", "format 7", "freq 24000000 0"}));
    EXPECT_EQ(h_->cap_fps, 30);
    EXPECT_NE(new_log().find("[DBG][_kavro_param_batch_set] Set FPS:30"), std::string::npos);
}

TEST_F(ParamTest, IdIsTruncatedToEightBits) {
    kavro_param_item_t it = item_u32(0x100 | PARAM_ILLUM_POWER, 55, 1);
    ASSERT_TRUE(kavro_param_batch_set(&dev_, &it, 1));
    ASSERT_EQ(cam_.last_set.size(), 1u);
    EXPECT_EQ(cam_.last_set[0].param_id, PARAM_ILLUM_POWER);
    EXPECT_TRUE(g_updates.empty());
}

TEST_F(ParamTest, RejectedSetChangesNothing) {
    h_->cap_fps = 20;
    cam_.fail_param_set = true;
    kavro_param_item_t items[2] = {item_u32(PARAM_FRAME_RATE, 5), item_u32(PARAM_INTG_TIME, 300, 2)};
    EXPECT_FALSE(kavro_param_batch_set(&dev_, items, 2));
    EXPECT_EQ(h_->cap_fps, 20);
    EXPECT_TRUE(g_updates.empty());
}

TEST_F(ParamTest, DriverWithoutUpdateSlotsIsSkipped) {
    h_->driver->op = &g_kavro_driver_op_ti;
    kavro_param_item_t items[3] = {item_u32(PARAM_INTG_TIME, 300, 2), item_u32(PARAM_FRAME_FORMAT, 1),
                                   item_u32(PARAM_MOD_FREQ, 1)};
    EXPECT_TRUE(kavro_param_batch_set(&dev_, items, 3));
}

TEST_F(ParamTest, GetFillsLengthAndValueKeepsId) {
    kavro_param_item_t items[2] = {};
    items[0].param_id = PARAM_INFO_VERSION;
    items[0].param_val_len = 0;
    items[1].param_id = PARAM_TEMP;
    items[1].param_val_len = 10;
    ASSERT_TRUE(kavro_param_batch_get(&dev_, items, 2));
    EXPECT_EQ(cam_.last_get_request[1].param_val_len, 10);  // passed on to the device
    EXPECT_EQ(items[0].param_id, PARAM_INFO_VERSION);
    EXPECT_EQ(items[0].param_val_len, 8);
    const uint16_t sw_ver = items[0].param_val.info_version.sw_ver;  // packed: copy out
    EXPECT_EQ(sw_ver, 0x22);
    EXPECT_EQ(items[1].param_val_len, 3);
    EXPECT_EQ(items[1].param_val.raw[17], 0x5A);
}

TEST_F(ParamTest, FailedGetLeavesItemsUntouched) {
    kavro_param_item_t it{};
    it.param_id = PARAM_TEMP;
    it.param_val_len = 9;
    memset(it.param_val.raw, 0x11, sizeof it.param_val.raw);
    const kavro_param_item_t before = it;
    cam_.fail_param_get = true;
    EXPECT_FALSE(kavro_param_batch_get(&dev_, &it, 1));
    EXPECT_EQ(0, memcmp(&it, &before, sizeof it));
}

TEST_F(ParamTest, EmptyBatchesAreRejected) {
    kavro_param_item_t it{};
    const size_t calls = cam_.calls.size();
    EXPECT_FALSE(kavro_param_batch_set(&dev_, &it, 0));
    EXPECT_FALSE(kavro_param_batch_get(&dev_, nullptr, 1));
    EXPECT_EQ(cam_.calls.size(), calls);
}

TEST_F(ParamTest, RegistersPassThrough) {
    uint32_t vals[3] = {7, 8, 9};
    ASSERT_TRUE(kavro_reg_batch_write(&dev_, DEV_REG_MCU, 0x1200, vals, 3));
    EXPECT_EQ(cam_.last_target, DEV_REG_MCU);
    EXPECT_EQ(cam_.last_reg_base, 0x1200u);
    EXPECT_EQ(cam_.last_reg_vals, vals);
    EXPECT_EQ(cam_.last_reg_cnt, 3);
    uint32_t out[3] = {};
    ASSERT_TRUE(kavro_reg_batch_read(&dev_, DEV_REG_IR_1, 0x40, out, 3));
    EXPECT_EQ(cam_.last_target, DEV_REG_IR_1);
    EXPECT_EQ(out[2], 0x42u);
    EXPECT_EQ(dev_.api_flag, 0);  // every call left the guard
}

}  // namespace
