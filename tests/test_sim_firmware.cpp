// The simulator's firmware model, driven through its own endpoints the way
// the USB transport will drive the camera: commands with their status
// answers, parameters read in chunks, registers, resets, the byte stream
// parsed by the library's frame stream, injected faults and what they cost,
// the calibration package in data-upload mode, and the data/firmware action
// protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <zip.h>

#include <cmath>

#include "ll/ll_usb_proto.h"
#include "sim_calib.h"
#include "sim_firmware.h"
#include "vx_math_basic.h"
#include "vx_stream.h"

using namespace kavro_sim;

namespace {

constexpr int W = 320, H = 240;

// The host side of the command channel, as the transport runs it: a transfer,
// then the status request until the device stops answering "still running".
struct host {
    explicit host(firmware& f) : fw(f) {}
    firmware& fw;
    int polls = 0;  // status requests of the last check
    std::string msg;
    int8_t status = 0;

    bool check(uint8_t type, uint16_t val)
    {
        polls = 0;
        msg.clear();
        for (int i = 0; i < 100000; ++i) {
            vxif_cmd_status_t s{};
            xfer_result r = fw.control_in(VXIF_REQ_STATUS, 0, &s, sizeof s);
            if (r.status != xfer_status::ok || r.len != (int)sizeof s)
                return false;
            ++polls;
            status = s.cmd_status;
            if (s.cmd_status == VXIF_CMD_RUNNING)
                continue;
            if (s.cmd_req_type != type || s.cmd_req_val != (uint8_t)val)
                return false;
            if (s.cmd_status == VXIF_CMD_FAILED) {
                msg = s.msg;
                return false;
            }
            return true;
        }
        return false;
    }
    bool out(uint8_t type, uint16_t val, const void* buf, int len)
    {
        xfer_result r = fw.control_out(type, val, buf, (uint16_t)len);
        return r.status == xfer_status::ok && r.len == len && check(type, val);
    }
    bool in(uint8_t type, uint16_t val, void* buf, int len)
    {
        xfer_result r = fw.control_in(type, val, buf, (uint16_t)len);
        return r.status == xfer_status::ok && r.len == len && check(type, val);
    }

    // Parameter items, read in chunks of at most three as the transport does.
    bool get_params(std::vector<uint8_t>* items)
    {
        const int n = (int)items->size() / VXIF_PARAM_ITEM_SIZE;
        for (int i = 0; i < n; i += VXIF_PARAM_GET_CHUNK) {
            const int k = std::min(VXIF_PARAM_GET_CHUNK, n - i);
            uint8_t* p = items->data() + i * VXIF_PARAM_ITEM_SIZE;
            if (!out(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, p, k * VXIF_PARAM_ITEM_SIZE) ||
                !in(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, p, k * VXIF_PARAM_ITEM_SIZE))
                return false;
        }
        return true;
    }
    bool get_param(uint8_t id, kavro_param_val_u* v, uint8_t* len = nullptr)
    {
        std::vector<uint8_t> it(VXIF_PARAM_ITEM_SIZE, 0);
        it[0] = id;
        if (!get_params(&it))
            return false;
        std::memcpy(v, it.data() + 2, VXIF_PARAM_VAL_SIZE);
        if (len)
            *len = it[1];
        return true;
    }
    bool set_param(uint8_t id, const void* v, uint8_t len)
    {
        uint8_t it[VXIF_PARAM_ITEM_SIZE] = {id, len};
        std::memcpy(it + 2, v, len);
        return out(VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, it, sizeof it);
    }
    bool set_u32(uint8_t id, uint32_t v, uint8_t len = 4) { return set_param(id, &v, len); }

    bool start(uint32_t cnt)
    {
        vxif_frame_cnt_t c{cnt};
        return out(VXIF_REQ_CTRL, VXIF_CTRL_CAP_START, &c, sizeof c);
    }
    bool stop()
    {
        uint8_t b = VXIF_CAP_STOP_BYTE;
        return out(VXIF_REQ_CTRL, VXIF_CTRL_CAP_STOP, &b, 1);
    }
    bool reset(uint32_t target) { return out(VXIF_REQ_DEV, VXIF_DEV_RESET, &target, 4); }
};

// Reads the bulk IN endpoint until a time-out after the capture ended, each
// piece fed into a frame stream as the capture engine would.
struct stream_sink {
    vx_stream_t s;
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<vx_frinfo_t> infos;

    stream_sink()
    {
        vx_stream_cfg_t c{64};
        s = vx_stream_create(&c);
    }
    ~stream_sink() { vx_stream_destroy(s); }

    void take_frames()
    {
        std::vector<uint8_t> buf(1 << 20);
        vx_frinfo_t fi;
        while (vx_stream_fetch_frames(s, buf.data(), (int)buf.size(), 1, &fi, false) == 1) {
            frames.emplace_back(buf.begin(), buf.begin() + fi.frame_size);
            infos.push_back(fi);
        }
    }

    // Returns the status that ended the pull.
    xfer_status pull(firmware& fw, int max_reads = 10000)
    {
        std::vector<uint8_t> buf(VXIF_CAP_TRANS_SIZE);
        for (int i = 0; i < max_reads; ++i) {
            xfer_result r = fw.bulk_in(buf.data(), (int)buf.size(), 1000);
            if (r.status == xfer_status::timeout && !fw.capturing())
                return r.status;
            if (r.status != xfer_status::ok && r.status != xfer_status::timeout)
                return r.status;
            bytes.insert(bytes.end(), buf.begin(), buf.begin() + r.len);
            vx_stream_feed_input(s, buf.data(), r.len);
            take_frames();
        }
        return xfer_status::error;
    }
    vx_stream_state_t state()
    {
        vx_stream_state_t st;
        vx_stream_get_state(s, &st);
        return st;
    }
};

std::vector<uint8_t> render_bytes(const camera& cam, uint32_t idx, int16_t* cb = nullptr, int16_t* ib = nullptr)
{
    frame f;
    cam.render(idx, &f);
    std::vector<uint8_t> b(f.raw.size() * 2);
    std::memcpy(b.data(), f.raw.data(), b.size());
    if (cb)
        *cb = f.temp_cb;
    if (ib)
        *ib = f.temp_ib;
    return b;
}

firmware_cfg small_cfg()
{
    firmware_cfg c;
    c.scene = "wall";  // quick to build
    return c;
}

}  // namespace

// ---- status answers ------------------------------------------------------------

TEST(SimFirmwareStatus, ReportsLastCommandSuccessFailureAndBusyPolls)
{
    firmware_cfg c = small_cfg();
    c.busy_polls = 2;
    firmware fw(c);
    host h{fw};

    // Success after two "still running" answers: three status requests.
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_RATE, 15));
    EXPECT_EQ(h.polls, 3);

    // A refused command: -1 with a message, and the record names that command.
    EXPECT_FALSE(h.set_u32(PARAM_INFO_SERIAL, 1));
    EXPECT_EQ(h.status, VXIF_CMD_FAILED);
    EXPECT_NE(h.msg.find("read only"), std::string::npos) << h.msg;

    // The check refuses a status that names another command.
    ASSERT_EQ(fw.control_out(VXIF_REQ_CTRL, VXIF_CTRL_CAP_STOP, "\xC2", 1).status, xfer_status::ok);
    EXPECT_FALSE(h.check(VXIF_REQ_DEV, VXIF_DEV_PARAM_SET));

    // Unknown requests and wrong request types stall endpoint 0.
    EXPECT_EQ(fw.control_out(0x55, 0, "x", 1).status, xfer_status::error);
    uint8_t setup[8] = {0x40, VXIF_REQ_DEV, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(fw.control(setup, nullptr).status, xfer_status::error);
    vxif_cmd_status_t s{};
    EXPECT_EQ(fw.control_in(VXIF_REQ_STATUS, 0, &s, 62).status, xfer_status::error);
}

TEST(SimFirmwareStatus, CommandsTheDeviceRefuses)
{
    firmware fw(small_cfg());
    host h{fw};
    struct {
        const char* what;
        uint8_t type;
        uint16_t val;
        std::vector<uint8_t> data;
        const char* msg;
    } cases[] = {
        {"unknown command", VXIF_REQ_CTRL, 9, {0}, "unknown command"},
        {"parameter batch not whole items", VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, std::vector<uint8_t>(21), "length"},
        {"unknown parameter", VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, std::vector<uint8_t>{40, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "unknown parameter"},
        {"stop with a wrong byte", VXIF_REQ_CTRL, VXIF_CTRL_CAP_STOP, {0x11}, "stop"},
        {"reset of 2 bytes", VXIF_REQ_DEV, VXIF_DEV_RESET, {0, 0}, "reset"},
        {"unknown reset target", VXIF_REQ_DEV, VXIF_DEV_RESET, {9, 0, 0, 0}, "reset target"},
        {"register target 0", VXIF_REQ_CTRL, VXIF_CTRL_REG_WRITE, {0, 0, 0, 0, 0, 4, 0, 1, 2, 3, 4}, "target"},
        {"register count not matching", VXIF_REQ_CTRL, VXIF_CTRL_REG_WRITE, {1, 0, 0, 0, 0, 8, 0, 1, 2, 3, 4},
         "value bytes"},
        {"unknown data action", VXIF_REQ_DATA, 5, {0}, "unknown data action"},
    };
    for (auto& k : cases) {
        EXPECT_FALSE(h.out(k.type, k.val, k.data.data(), (int)k.data.size())) << k.what;
        EXPECT_EQ(h.status, VXIF_CMD_FAILED) << k.what;
        EXPECT_NE(h.msg.find(k.msg), std::string::npos) << k.what << ": " << h.msg;
    }
    // A read phase without its request.
    uint32_t regs[2];
    EXPECT_FALSE(h.in(VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, regs, 8));
    EXPECT_NE(h.msg.find("no register read pending"), std::string::npos) << h.msg;
}

// ---- parameters -------------------------------------------------------------------

TEST(SimFirmwareParams, AllEighteenReadInChunksOfThree)
{
    firmware_cfg c = small_cfg();
    firmware fw(c);
    host h{fw};
    std::vector<uint8_t> items(PARAM_ENUM_COUNT * VXIF_PARAM_ITEM_SIZE, 0);
    // Reversed order: the answer follows the order of the request.
    for (int i = 0; i < PARAM_ENUM_COUNT; ++i)
        items[i * VXIF_PARAM_ITEM_SIZE] = (uint8_t)(PARAM_ENUM_COUNT - 1 - i);
    ASSERT_TRUE(h.get_params(&items));
    auto val = [&](int id) {
        kavro_param_val_u v;
        int i = PARAM_ENUM_COUNT - 1 - id;
        EXPECT_EQ(items[i * VXIF_PARAM_ITEM_SIZE], id);
        EXPECT_GT(items[i * VXIF_PARAM_ITEM_SIZE + 1], 0) << "length of parameter " << id;
        std::memcpy(&v, &items[i * VXIF_PARAM_ITEM_SIZE + 2], sizeof v);
        return v;
    };
    EXPECT_EQ(+val(PARAM_DEV_MODE).dev_mode & 0xFF, (uint32_t)DEV_MODE_NORMAL);
    EXPECT_EQ(+val(PARAM_MOD_FREQ).mod_freq, c.sensor.mod_freq);
    EXPECT_STREQ(val(PARAM_INFO_VENDOR).info_vendor, "KAVRO");
    // The driver is chosen by the middle field of the product string.
    std::string prod = val(PARAM_INFO_PRODUCT).info_product;
    ASSERT_NE(prod.find('-'), std::string::npos);
    EXPECT_EQ(prod.substr(prod.find('-') + 1, 2), "E2") << prod;
    EXPECT_EQ(+val(PARAM_INFO_CAPABILITY).info_capability.max_frame_width, W);
    EXPECT_EQ(+val(PARAM_INFO_CAPABILITY).info_capability.max_frame_height, H);
    kavro_param_val_u ser = val(PARAM_INFO_SERIAL);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(+ser.info_serial.serial[i], c.serial[i]);
    EXPECT_GT(+val(PARAM_INFO_VERSION).info_version.sw_ver, 132);
    EXPECT_EQ(+val(PARAM_INFO_SENSOR).chip_info.chip_id, c.chip_info[1]);
    EXPECT_EQ(+val(PARAM_INFO_CALIB).cinfo.valid, 0);  // no package installed
    EXPECT_EQ(+val(PARAM_ROI).roi.ecol, W - 1);
    EXPECT_EQ(+val(PARAM_FRAME_FORMAT).frame_format.format, 2u);
    EXPECT_EQ(+val(PARAM_FRAME_RATE).frame_rate.fps, 30u);
    EXPECT_EQ(+val(PARAM_INTG_TIME).intg.intg_us, 1000);
    EXPECT_EQ(+val(PARAM_TEMP).temp.tl_cal, 250);  // ambient before capture
    (void)val(PARAM_ILLUM_POWER);
    (void)val(PARAM_PHASE_CORR);
    (void)val(PARAM_HDR_INTG_TIME);
    (void)val(PARAM_SYNC_DELAY);

    // The read phase must ask for as many items as the request named.
    std::vector<uint8_t> two(2 * VXIF_PARAM_ITEM_SIZE, 0);
    ASSERT_TRUE(h.out(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, two.data(), (int)two.size()));
    EXPECT_FALSE(h.in(VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, two.data(), VXIF_PARAM_ITEM_SIZE));
}

TEST(SimFirmwareParams, SetReadBackAndAtomicBatches)
{
    firmware fw(small_cfg());
    host h{fw};
    ASSERT_TRUE(h.set_u32(PARAM_MOD_FREQ, 15000000));
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_FORMAT, 4));
    uint16_t intg = 700;
    ASSERT_TRUE(h.set_param(PARAM_INTG_TIME, &intg, 2));
    kavro_param_val_u v;
    ASSERT_TRUE(h.get_param(PARAM_MOD_FREQ, &v));
    EXPECT_EQ(+v.mod_freq, 15000000u);
    ASSERT_TRUE(h.get_param(PARAM_INTG_TIME, &v));
    EXPECT_EQ(+v.intg.intg_us, 700);
    ASSERT_TRUE(h.get_param(PARAM_ROI, &v));
    EXPECT_EQ(+v.roi.cur_fsize, (uint32_t)W * H * 2);  // follows the format

    // Out-of-range values are refused.
    EXPECT_FALSE(h.set_u32(PARAM_FRAME_FORMAT, 3));
    EXPECT_FALSE(h.set_u32(PARAM_FRAME_RATE, 0));
    EXPECT_FALSE(h.set_u32(PARAM_DEV_MODE, 5, 1));
    EXPECT_FALSE(h.set_u32(PARAM_MOD_FREQ, 10));

    // One bad item rejects the whole batch: the good item before it is not taken.
    uint8_t batch[2 * VXIF_PARAM_ITEM_SIZE] = {};
    batch[0] = PARAM_FRAME_RATE;
    batch[1] = 4;
    batch[2] = 10;
    batch[VXIF_PARAM_ITEM_SIZE] = PARAM_INFO_VENDOR;
    batch[VXIF_PARAM_ITEM_SIZE + 1] = 2;
    EXPECT_FALSE(h.out(VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, batch, sizeof batch));
    ASSERT_TRUE(h.get_param(PARAM_FRAME_RATE, &v));
    EXPECT_EQ(+v.frame_rate.fps, 30u);

    // A system reset brings the defaults back.
    ASSERT_TRUE(h.reset(DEV_RST_DEV));
    ASSERT_TRUE(h.get_param(PARAM_MOD_FREQ, &v));
    EXPECT_EQ(+v.mod_freq, 12000000u);
}

// ---- registers --------------------------------------------------------------------

TEST(SimFirmwareRegisters, BanksPerTargetReadInChunks)
{
    firmware fw(small_cfg());
    host h{fw};
    auto write = [&](uint8_t target, uint32_t base, const std::vector<uint32_t>& vals) {
        std::vector<uint8_t> b(7 + 4 * vals.size());
        vxif_reg_rw_t r{target, base, (uint16_t)(4 * vals.size())};
        std::memcpy(b.data(), &r, 7);
        std::memcpy(b.data() + 7, vals.data(), 4 * vals.size());
        return h.out(VXIF_REQ_CTRL, VXIF_CTRL_REG_WRITE, b.data(), (int)b.size());
    };
    auto read = [&](uint8_t target, uint32_t base, int cnt, std::vector<uint32_t>* out) {
        out->assign(cnt, 0xDEADBEEF);
        for (int i = 0; i < cnt; i += VXIF_REG_READ_CHUNK) {
            const int k = std::min(VXIF_REG_READ_CHUNK, cnt - i);
            vxif_reg_rw_t r{target, base + i, (uint16_t)(4 * k)};
            if (!h.out(VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, &r, 7) ||
                !h.in(VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, out->data() + i, 4 * k))
                return false;
        }
        return true;
    };
    std::vector<uint32_t> vals(40);
    for (int i = 0; i < 40; ++i)
        vals[i] = 0x1000u * (i + 1) + 7;
    ASSERT_TRUE(write(DEV_REG_CAM0, 16, vals));
    ASSERT_TRUE(write(DEV_REG_MCU, 16, {1, 2}));
    std::vector<uint32_t> got;
    ASSERT_TRUE(read(DEV_REG_CAM0, 16, 40, &got));
    EXPECT_EQ(got, vals);
    ASSERT_TRUE(read(DEV_REG_MCU, 16, 3, &got));
    EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 0}));

    // A register-bank reset clears that bank only.
    ASSERT_TRUE(h.reset(DEV_RST_CAM0));
    EXPECT_EQ(fw.reg(DEV_REG_CAM0, 16), 0u);
    EXPECT_EQ(fw.reg(DEV_REG_MCU, 17), 2u);

    // The read phase must match the request.
    vxif_reg_rw_t r{DEV_REG_MCU, 16, 8};
    ASSERT_TRUE(h.out(VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, &r, 7));
    uint32_t one;
    EXPECT_FALSE(h.in(VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, &one, 4));
}

// ---- resets ----------------------------------------------------------------------

TEST(SimFirmwareReset, UsbInterfaceResetDropsAndReenumerates)
{
    firmware_cfg c = small_cfg();
    c.usb_reset_ms = 300;
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_RATE, 10));
    ASSERT_TRUE(h.start(0));
    ASSERT_EQ(fw.enumerations(), 1u);

    // The reset command itself completes; then the device is off the bus.
    uint32_t t = DEV_RST_USB;
    ASSERT_EQ(fw.control_out(VXIF_REQ_DEV, VXIF_DEV_RESET, &t, 4).status, xfer_status::ok);
    EXPECT_EQ(fw.state(), usb_state::resetting);
    vxif_cmd_status_t s;
    EXPECT_EQ(fw.control_in(VXIF_REQ_STATUS, 0, &s, sizeof s).status, xfer_status::no_device);
    uint8_t buf[64];
    EXPECT_EQ(fw.bulk_in(buf, sizeof buf, 0).status, xfer_status::no_device);

    fw.advance_us(299000);
    EXPECT_EQ(fw.state(), usb_state::resetting);
    fw.advance_us(2000);
    EXPECT_EQ(fw.state(), usb_state::attached);
    EXPECT_EQ(fw.enumerations(), 2u);
    // Back with capture stopped and the parameters kept.
    EXPECT_FALSE(fw.capturing());
    kavro_param_val_u v;
    ASSERT_TRUE(h.get_param(PARAM_FRAME_RATE, &v));
    EXPECT_EQ(+v.frame_rate.fps, 10u);
}

// ---- byte stream ---------------------------------------------------------------------

struct stream_case {
    const char* name;
    uint32_t format;
    uint32_t piece_len;
    bool sums;
};

class SimFirmwareStream : public ::testing::TestWithParam<stream_case> {};

TEST_P(SimFirmwareStream, FramesReassembleWithoutLossAndMatchTheSensor)
{
    const stream_case& k = GetParam();
    firmware_cfg c = small_cfg();
    c.piece_len = k.piece_len;
    c.payload_sums = k.sums;
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_FORMAT, k.format));
    constexpr int n = 4;
    ASSERT_TRUE(h.start(n));
    stream_sink sink;
    ASSERT_EQ(sink.pull(fw), xfer_status::timeout);
    EXPECT_FALSE(fw.capturing());  // the requested frames are out

    vx_stream_state_t st = sink.state();
    EXPECT_EQ(st.frcnt_err_discard, 0u);
    EXPECT_EQ(st.frcnt_slow_discard, 0u);
    EXPECT_EQ(st.bytes_discard, 0u);
    ASSERT_EQ(sink.frames.size(), (size_t)n);

    // Walk the headers: consecutive sequence numbers, every frame cut into
    // ceil(size / piece) pieces, the first with the frame bound.
    const uint32_t fsize = k.format == 4 ? W * H * 2 : W * H * 8;
    const uint32_t pieces = (fsize + k.piece_len - 1) / k.piece_len;
    size_t off = 0;
    int hdrs = 0;
    uint16_t prev_idx = 0;
    while (off < sink.bytes.size()) {
        vx_stream_hdr_t hd;
        ASSERT_LE(off + sizeof hd, sink.bytes.size());
        std::memcpy(&hd, &sink.bytes[off], sizeof hd);
        ASSERT_EQ(+hd.sync_word, VX_STREAM_SYNC_WORD);
        if (hdrs) {
            EXPECT_EQ(+hd.idx, (uint16_t)(prev_idx + 1));
        }
        prev_idx = hd.idx;
        EXPECT_EQ(+hd.finfo.frame_idx, hdrs / pieces);
        EXPECT_EQ((+hd.flag & VX_STREAM_FLAG_FR_BOUND) != 0, hdrs % pieces == 0);
        EXPECT_EQ((+hd.flag & VX_STREAM_FLAG_EN_DATA_CKSUM) != 0, k.sums);
        off += sizeof hd + hd.len;
        ++hdrs;
    }
    EXPECT_EQ(hdrs, (int)(n * pieces));

    const camera& cam = fw.sensor_camera();
    for (int i = 0; i < n; ++i) {
        const vx_frinfo_t& fi = sink.infos[i];
        EXPECT_EQ(fi.frame_idx, i);
        EXPECT_EQ(fi.frame_format, k.format);
        EXPECT_EQ(fi.frame_size, fsize);
        int16_t cb, ib;
        std::vector<uint8_t> want = render_bytes(cam, i, &cb, &ib);
        EXPECT_TRUE(sink.frames[i] == want) << "frame " << i;
        uint16_t w, hh;
        int16_t pcb, pib;
        std::memcpy(&w, fi.frame_prop, 2);
        std::memcpy(&hh, fi.frame_prop + 2, 2);
        std::memcpy(&pcb, fi.frame_prop + 4, 2);
        std::memcpy(&pib, fi.frame_prop + 6, 2);
        EXPECT_EQ(w, W);
        EXPECT_EQ(hh, H);
        EXPECT_EQ(pcb, cb);
        EXPECT_EQ(pib, ib);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SimFirmwareStream,
                         ::testing::Values(stream_case{"fmt2_64k", 2, 65536, false},
                                           stream_case{"fmt2_64k_sums", 2, 65536, true},
                                           stream_case{"fmt4_odd_pieces", 4, 40000, true},
                                           stream_case{"fmt2_one_piece", 2, 614400, false}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(SimFirmwareStreamClock, FramesComeAtTheFrameRateOnTheVirtualClock)
{
    firmware fw(small_cfg());
    host h{fw};
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_RATE, 10));
    ASSERT_TRUE(h.start(0));
    uint8_t buf[64];
    // Frame 0 is due at the start: data at once.
    ASSERT_EQ(fw.bulk_in(buf, sizeof buf, 0).status, xfer_status::ok);
    // Drain frame 0, then nothing until 100 ms have passed.
    std::vector<uint8_t> big(1 << 20);
    while (fw.fifo_level())
        fw.bulk_in(big.data(), (int)big.size(), 0);
    EXPECT_EQ(fw.bulk_in(buf, sizeof buf, 0).status, xfer_status::timeout);
    EXPECT_EQ(fw.bulk_in(buf, sizeof buf, 50).status, xfer_status::timeout);
    const uint64_t t0 = fw.now_us();
    xfer_result r = fw.bulk_in(buf, sizeof buf, 1000);  // waits for frame 1
    EXPECT_EQ(r.status, xfer_status::ok);
    EXPECT_GE(fw.now_us(), 100000u);
    EXPECT_LT(fw.now_us() - t0, 1000000u);
    EXPECT_EQ(fw.frames_sent(), 2u);

    // A host that does not read loses frames to the full FIFO.
    fw.advance_us(5000000);
    while (fw.fifo_level())
        fw.bulk_in(big.data(), (int)big.size(), 0);
    EXPECT_GT(fw.counts().fifo_overflow, 0u);
    ASSERT_TRUE(h.stop());
    EXPECT_FALSE(fw.capturing());
    EXPECT_EQ(fw.bulk_in(buf, sizeof buf, 10).status, xfer_status::timeout);
}

// ---- faults ------------------------------------------------------------------------------

struct fault_case {
    const char* name;
    fault fault_cfg::*which;
    uint32_t fault_counts::*counter;
    bool sums;
    int delivered;       // of 4 frames
    int err_discard;     // frcnt_err_discard, -1: not checked
    bool frame0_missing; // the lost frame is frame 0
};

class SimFirmwareStreamFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(SimFirmwareStreamFault, OneInjectionCostsOneFrame)
{
    const fault_case& k = GetParam();
    firmware_cfg c = small_cfg();
    c.payload_sums = k.sums;
    (c.faults.*k.which) = fault{1.0, 1};
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.start(4));
    stream_sink sink;
    ASSERT_EQ(sink.pull(fw), xfer_status::timeout);
    EXPECT_EQ(fw.counts().*k.counter, 1u);
    vx_stream_state_t st = sink.state();
    EXPECT_EQ((int)sink.frames.size(), k.delivered);
    if (k.err_discard >= 0) {
        EXPECT_EQ((int)st.frcnt_err_discard, k.err_discard);
    }
    const camera& cam = fw.sensor_camera();
    for (size_t i = 0; i < sink.frames.size(); ++i) {
        const int idx = sink.infos[i].frame_idx;
        if (k.frame0_missing) {
            EXPECT_NE(idx, 0);
        }
        EXPECT_TRUE(sink.frames[i] == render_bytes(cam, idx)) << "frame " << idx << " delivered damaged";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimFirmwareStreamFault,
    ::testing::Values(
        fault_case{"missing_continuation", &fault_cfg::missing_cont_hdr, &fault_counts::missing_cont_hdr, false, 3, 1, true},
        fault_case{"sequence_jump", &fault_cfg::seq_jump, &fault_counts::seq_jump, false, 3, 1, true},
        fault_case{"broken_header_checksum", &fault_cfg::bad_hdr_cksum, &fault_counts::bad_hdr_cksum, false, 3, 1, true},
        // Payload sums catch a flipped byte; the stream counts the frame it drops.
        fault_case{"corrupt_byte_with_sums", &fault_cfg::corrupt_byte, &fault_counts::corrupt_byte, true, 3, 1, true},
        fault_case{"dropped_bytes", &fault_cfg::drop_bytes, &fault_counts::drop_bytes, false, 3, -1, true},
        // The device has no room: frame 0 is never sent, and the stream sees
        // the next frame index without anything to drop.
        fault_case{"slow_host", &fault_cfg::slow_host, &fault_counts::slow_host, false, 3, 0, true}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(SimFirmwareFault, CorruptByteWithoutSumsGoesThroughUnseen)
{
    firmware_cfg c = small_cfg();
    c.faults.corrupt_byte = fault{1.0, 1};
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.start(2));
    stream_sink sink;
    ASSERT_EQ(sink.pull(fw), xfer_status::timeout);
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_EQ(sink.state().frcnt_err_discard, 0u);
    std::vector<uint8_t> want = render_bytes(fw.sensor_camera(), 0);
    int diff = 0;
    for (size_t i = 0; i < want.size(); ++i)
        diff += want[i] != sink.frames[0][i];
    EXPECT_EQ(diff, 1);
    EXPECT_TRUE(sink.frames[1] == render_bytes(fw.sensor_camera(), 1));
}

TEST(SimFirmwareFault, BulkTimeoutStallAndDisappearance)
{
    firmware_cfg c = small_cfg();
    c.faults.bulk_timeout = fault{1.0, 1};
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.start(2));
    std::vector<uint8_t> buf(VXIF_CAP_TRANS_SIZE);
    EXPECT_EQ(fw.bulk_in(buf.data(), (int)buf.size(), 100).status, xfer_status::timeout);
    EXPECT_GT(fw.fifo_level(), 0u);  // the data waited
    stream_sink sink;
    ASSERT_EQ(sink.pull(fw), xfer_status::timeout);
    EXPECT_EQ(sink.frames.size(), 2u);

    // A stall holds until the host clears the halt; nothing is lost.
    fault_cfg f;
    f.bulk_stall = fault{1.0, 1};
    fw.set_faults(f);
    ASSERT_TRUE(h.start(2));
    EXPECT_EQ(fw.bulk_in(buf.data(), (int)buf.size(), 100).status, xfer_status::stall);
    EXPECT_EQ(fw.bulk_in(buf.data(), (int)buf.size(), 100).status, xfer_status::stall);
    fw.clear_halt();
    stream_sink sink2;
    ASSERT_EQ(sink2.pull(fw), xfer_status::timeout);
    EXPECT_EQ(sink2.frames.size(), 2u);
    EXPECT_EQ(fw.counts().bulk_stall, 1u);

    // A device that disappears mid-stream stays away until plugged in again.
    f = fault_cfg{};
    f.disappear = fault{1.0, 1};
    fw.set_faults(f);
    ASSERT_TRUE(h.start(0));
    stream_sink sink3;
    EXPECT_EQ(sink3.pull(fw), xfer_status::no_device);
    EXPECT_EQ(fw.state(), usb_state::gone);
    fw.advance_us(10000000);
    EXPECT_EQ(fw.state(), usb_state::gone);
    vxif_cmd_status_t s;
    EXPECT_EQ(fw.control_in(VXIF_REQ_STATUS, 0, &s, sizeof s).status, xfer_status::no_device);
    fw.replug();
    EXPECT_EQ(fw.state(), usb_state::attached);
    EXPECT_EQ(fw.enumerations(), 2u);
    EXPECT_FALSE(fw.capturing());
    EXPECT_EQ(fw.counts().disappear, 1u);
}

TEST(SimFirmwareFault, CommandFaults)
{
    firmware_cfg c = small_cfg();
    c.faults.status_storm = fault{1.0, 1};
    c.faults.storm_len = 500;
    firmware fw(c);
    host h{fw};
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_RATE, 12));
    EXPECT_EQ(h.polls, 501);
    ASSERT_TRUE(h.set_u32(PARAM_FRAME_RATE, 13));
    EXPECT_EQ(h.polls, 1);

    fault_cfg f;
    f.cmd_fail = fault{1.0, 1};
    fw.set_faults(f);
    EXPECT_FALSE(h.set_u32(PARAM_FRAME_RATE, 14));
    EXPECT_EQ(h.msg, "injected failure");
    kavro_param_val_u v;
    ASSERT_TRUE(h.get_param(PARAM_FRAME_RATE, &v));
    EXPECT_EQ(+v.frame_rate.fps, 13u);  // the failed command changed nothing

    // A control transfer that never completes does not reach the firmware.
    f = fault_cfg{};
    f.ctrl_hang = fault{1.0, 1};
    fw.set_faults(f);
    uint8_t it[VXIF_PARAM_ITEM_SIZE] = {PARAM_FRAME_RATE, 4, 20};
    EXPECT_EQ(fw.control_out(VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, it, sizeof it).status, xfer_status::pending);
    ASSERT_TRUE(h.get_param(PARAM_FRAME_RATE, &v));
    EXPECT_EQ(+v.frame_rate.fps, 13u);
    EXPECT_EQ(fw.counts().ctrl_hang, 1u);
}

TEST(SimFirmwareFault, SameSeedSameFaults)
{
    auto run = [](uint64_t seed, fault_counts* fc) {
        firmware_cfg c = small_cfg();
        c.faults.seed = seed;
        c.faults.corrupt_byte = fault{0.2, -1};
        c.faults.seq_jump = fault{0.1, -1};
        c.faults.bulk_timeout = fault{0.1, -1};
        firmware fw(c);
        host h{fw};
        EXPECT_TRUE(h.start(3));
        stream_sink sink;
        EXPECT_EQ(sink.pull(fw), xfer_status::timeout);
        *fc = fw.counts();
        return sink.bytes;
    };
    fault_counts a, b, d;
    std::vector<uint8_t> ba = run(7, &a), bb = run(7, &b), bd = run(8, &d);
    EXPECT_TRUE(ba == bb);
    EXPECT_EQ(a.corrupt_byte, b.corrupt_byte);
    EXPECT_EQ(a.seq_jump, b.seq_jump);
    EXPECT_EQ(a.bulk_timeout, b.bulk_timeout);
    EXPECT_GT(a.corrupt_byte + a.seq_jump, 0u);
    EXPECT_FALSE(ba == bd);
}

// ---- calibration package in data-upload mode -------------------------------------------

TEST(SimFirmwareDataUp, StreamsThePackageAsNumberedFrames)
{
    firmware fw(small_cfg());
    host h{fw};
    // A package of two frames: header, payload, padding.
    std::vector<uint8_t> pkg(2 * VXIF_CALIB_FRAME_SIZE);
    for (size_t i = 0; i < pkg.size(); ++i)
        pkg[i] = (uint8_t)(i * 7 + (i >> 9));
    vxif_calib_info_t ci{1, 0, 42, 1700000000, (uint32_t)pkg.size(), 200000};
    std::memcpy(pkg.data(), &ci, sizeof ci);
    fw.set_calib_package(pkg);

    kavro_param_val_u v;
    ASSERT_TRUE(h.get_param(PARAM_INFO_CALIB, &v));
    EXPECT_EQ(+v.cinfo.valid, 1);
    EXPECT_EQ(+v.cinfo.fsize, pkg.size());
    EXPECT_EQ(+v.cinfo.datasize, 200000u);

    ASSERT_TRUE(h.set_u32(PARAM_DEV_MODE, DEV_MODE_DATA_UP, 1));
    EXPECT_EQ(fw.dev_mode(), (uint32_t)DEV_MODE_DATA_UP);
    // Mode changes wait until capture has stopped.
    ASSERT_TRUE(h.start(3));
    EXPECT_FALSE(h.set_u32(PARAM_DEV_MODE, DEV_MODE_NORMAL, 1));
    stream_sink sink;
    ASSERT_EQ(sink.pull(fw), xfer_status::timeout);
    ASSERT_EQ(sink.frames.size(), 3u);
    EXPECT_EQ(sink.state().frcnt_err_discard, 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sink.infos[i].frame_format, VXIF_CALIB_FRAME_FORMAT);
        EXPECT_EQ(sink.infos[i].frame_idx, i % 2);  // sent round and round
        EXPECT_TRUE(std::equal(sink.frames[i].begin(), sink.frames[i].end(),
                               pkg.begin() + (i % 2) * VXIF_CALIB_FRAME_SIZE));
    }
    ASSERT_TRUE(h.set_u32(PARAM_DEV_MODE, DEV_MODE_NORMAL, 1));

    // Without a package, data-upload capture is refused.
    firmware bare(small_cfg());
    host hb{bare};
    ASSERT_TRUE(hb.set_u32(PARAM_DEV_MODE, DEV_MODE_DATA_UP, 1));
    EXPECT_FALSE(hb.start(0));
    EXPECT_NE(hb.msg.find("calibration"), std::string::npos);
}

// ---- data and firmware transfer ------------------------------------------------------------

TEST(SimFirmwareData, CrcCheckValues)
{
    const char* s = "123456789";
    EXPECT_EQ(vxif_crc16_xmodem((const uint8_t*)s, 9), 0x31C3);
    EXPECT_EQ(vxif_crc16_xmodem((const uint8_t*)"abc", 3), 0x9DD6);
}

// Writes `img` through the action protocol as the host does; returns the
// number of acknowledgement reads before the first packet and whether the
// image went through.
struct writer {
    explicit writer(host& hh) : h(hh) {}
    host& h;
    int erase_acks = 0;
    std::vector<uint32_t> next_seen;

    bool ack(data_action_pack_t* a)
    {
        data_action_pack_t q{};
        *a = q;
        return h.out(VXIF_REQ_DATA, DATA_ACTION_ACK, &q, sizeof q) &&
               h.in(VXIF_REQ_DATA, DATA_ACTION_ACK, a, sizeof *a);
    }

    bool write(uint8_t type, const std::vector<uint8_t>& img, int corrupt_packet = -1)
    {
        data_action_info_t info{type, 0, 9, (uint32_t)img.size(), 0x10000};
        if (!h.out(VXIF_REQ_DATA, DATA_ACTION_INFO, &info, sizeof info))
            return false;
        data_action_pack_t a;
        if (!ack(&a) || a.status != TRANS_STATUS_REQ || a.next_number != 0)
            return false;
        data_action_cfm_t cfm{type, (uint32_t)img.size(), DATA_PACKET_PAYLOAD, 0};
        if (!h.out(VXIF_REQ_DATA, DATA_ACTION_CFM, &cfm, sizeof cfm))
            return false;
        do {
            if (!ack(&a))
                return false;
            ++erase_acks;
        } while (a.status == TRANS_STATUS_EARSE_ONGOING);
        if (a.status != TRANS_STATUS_OK || a.next_number != 0)
            return false;
        const uint32_t n = (uint32_t)((img.size() + DATA_PACKET_PAYLOAD - 1) / DATA_PACKET_PAYLOAD);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t off = i * DATA_PACKET_PAYLOAD;
            const uint32_t len = std::min<uint32_t>(DATA_PACKET_PAYLOAD, (uint32_t)img.size() - off);
            std::vector<uint8_t> pk(sizeof(data_action_data_t) + len);
            data_action_data_t ph{vxif_crc16_xmodem(img.data() + off, len), len};
            std::memcpy(pk.data(), &ph, sizeof ph);
            std::memcpy(pk.data() + sizeof ph, img.data() + off, len);
            if ((int)i == corrupt_packet)
                pk.back() ^= 1;
            xfer_result r = h.fw.bulk_out(pk.data(), (int)pk.size());
            if (r.status != xfer_status::ok || r.len != (int)pk.size())
                return false;
            if (!ack(&a))
                return false;
            next_seen.push_back(a.next_number);
            if (a.next_number != i + 1)
                return false;
        }
        return a.status == TRANS_STATUS_FIN;
    }
};

// The version a firmware image was announced with is what the camera reports
// once it restarts into it (type 0: sw, type 1: sw2); a data image or a
// firmware image without a version changes nothing. An image put in place
// counts as the one the camera started with.
TEST(SimFirmwareData, UpgradedFirmwareReportsItsVersionAfterTheRestart)
{
    struct vcase {
        const char* name;
        uint8_t type;
        int slot;  // hw, sw, sw2, hw2; -1: none changes
    } cases[] = {{"firmware", 0, 1}, {"second firmware", 1, 2}, {"data image", 5, -1}};
    for (const vcase& c : cases) {
        SCOPED_TRACE(c.name);
        firmware_cfg cfg = small_cfg();
        firmware fw(cfg);
        host h{fw};
        writer w{h};
        auto versions = [&] {
            kavro_param_val_u v{};
            EXPECT_TRUE(h.get_param(PARAM_INFO_VERSION, &v));
            return std::vector<uint16_t>{v.info_version.hw_ver, v.info_version.sw_ver, v.info_version.sw2_ver,
                                         v.info_version.hw2_ver};
        };
        const std::vector<uint16_t> before(cfg.version, cfg.version + 4);
        ASSERT_EQ(versions(), before);
        ASSERT_TRUE(w.write(c.type, std::vector<uint8_t>(1000, 0x5A)));  // announced as version 9
        EXPECT_EQ(versions(), before) << "the old firmware runs until the restart";
        ASSERT_TRUE(h.reset(DEV_RST_DEV));
        std::vector<uint16_t> after = before;
        if (c.slot >= 0) after[(size_t)c.slot] = 9;
        EXPECT_EQ(versions(), after);

        firmware started(cfg);
        host h2{started};
        flash_image img;
        img.version = 0;  // carries no version
        img.data.assign(10, 1);
        started.put_image(c.type, img);
        kavro_param_val_u v{};
        ASSERT_TRUE(h2.get_param(PARAM_INFO_VERSION, &v));
        EXPECT_EQ(v.info_version.sw_ver, cfg.version[1]);
        img.version = 77;
        started.put_image(c.type, img);
        ASSERT_TRUE(h2.get_param(PARAM_INFO_VERSION, &v));
        EXPECT_EQ(c.slot == 1 ? 77 : cfg.version[1], v.info_version.sw_ver);
        EXPECT_EQ(c.slot == 2 ? 77 : cfg.version[2], v.info_version.sw2_ver);
    }
}

bool read_image(host& h, uint8_t type, data_ginfo_t* gi, std::vector<uint8_t>* out)
{
    data_ginfo_t q{};
    q.type = type;
    *gi = q;
    if (!h.out(VXIF_REQ_DATA, DATA_ACTION_GET_INFO, &q, sizeof q) ||
        !h.in(VXIF_REQ_DATA, DATA_ACTION_GET_INFO, gi, sizeof *gi))
        return false;
    if (gi->size == DATA_SIZE_NONE)
        return true;
    out->clear();
    uint32_t left = gi->size;
    while (left > 0) {
        const uint32_t n = std::min(left, DATA_READ_PIECE);
        data_payload_req_t r{0, n, 0};
        std::vector<uint8_t> piece(n);
        if (!h.out(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, &r, sizeof r) ||
            !h.in(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, piece.data(), (int)n))
            return false;
        out->insert(out->end(), piece.begin(), piece.end());
        left -= n;
    }
    return true;
}

// A camera serves its image and nothing past it: a piece request that
// reaches beyond the end is refused (and does not move the read on); the
// last piece asked for exactly comes back in an exchange of the request's
// 12 bytes, zeros after it.
TEST(SimFirmwareData, PieceRequestPastTheEndIsRefused)
{
    firmware fw(small_cfg());
    host h{fw};
    flash_image img;
    img.data.resize(455);
    for (size_t i = 0; i < img.data.size(); ++i)
        img.data[i] = (uint8_t)(i * 3 + 1);
    fw.put_image(6, img);
    data_ginfo_t q{};
    q.type = 6;
    data_ginfo_t gi{};
    ASSERT_TRUE(h.out(VXIF_REQ_DATA, DATA_ACTION_GET_INFO, &q, sizeof q));
    ASSERT_TRUE(h.in(VXIF_REQ_DATA, DATA_ACTION_GET_INFO, &gi, sizeof gi));
    ASSERT_EQ(gi.size, 455u);
    std::vector<uint8_t> piece(450);
    data_payload_req_t r{0, 450, 0};
    ASSERT_TRUE(h.out(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, &r, sizeof r));
    ASSERT_TRUE(h.in(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, piece.data(), 450));
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), img.data.begin()));

    r.len = 12;  // 5 bytes remain
    EXPECT_FALSE(h.out(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, &r, sizeof r));
    EXPECT_NE(h.msg.find("the image has 455"), std::string::npos) << h.msg;
    uint8_t tail[12];
    EXPECT_FALSE(h.in(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, tail, sizeof tail));

    r.len = 5;
    ASSERT_TRUE(h.out(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, &r, sizeof r));
    std::memset(tail, 0xAA, sizeof tail);
    ASSERT_TRUE(h.in(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, tail, sizeof tail));
    EXPECT_TRUE(std::equal(tail, tail + 5, img.data.begin() + 450));
    EXPECT_TRUE(std::all_of(tail + 5, tail + 12, [](uint8_t b) { return b == 0; }));
    // Nothing is left: even one byte more is past the end.
    r.len = 1;
    EXPECT_FALSE(h.out(VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, &r, sizeof r));
}

TEST(SimFirmwareData, WriteAndReadBackA200KImage)
{
    firmware fw(small_cfg());
    host h{fw};
    std::vector<uint8_t> img(200 * 1024);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = (uint8_t)((i * 2654435761u) >> 13);

    data_ginfo_t gi;
    std::vector<uint8_t> back;
    ASSERT_TRUE(read_image(h, 5, &gi, &back));
    EXPECT_EQ(+gi.size, DATA_SIZE_NONE);

    writer w{h};
    ASSERT_TRUE(w.write(5, img));
    EXPECT_EQ(w.erase_acks, 4);  // three "erase ongoing", then OK
    EXPECT_EQ(w.next_seen, (std::vector<uint32_t>{1, 2, 3, 4}));
    ASSERT_NE(fw.image(5), nullptr);
    EXPECT_TRUE(fw.image(5)->data == img);

    ASSERT_TRUE(read_image(h, 5, &gi, &back));
    EXPECT_EQ(+gi.size, img.size());
    EXPECT_EQ(+gi.version, 9);
    EXPECT_EQ(+gi.addr, 0x10000u);
    EXPECT_TRUE(back == img);
    EXPECT_FALSE(fw.image(4));  // other types untouched
}

TEST(SimFirmwareData, BadPacketsAreRefusedAndTheErasedImageIsGone)
{
    firmware_cfg c = small_cfg();
    c.erase_polls = 0;
    c.erase_ms = 30;  // on the virtual clock: 100 us per control transfer
    firmware fw(c);
    host h{fw};
    std::vector<uint8_t> old(1000, 0xAB), img(70000, 0x5C);
    flash_image fi;
    fi.data = old;
    fw.put_image(2, fi);

    // A packet with a wrong CRC: the device asks for the same packet again.
    writer w{h};
    EXPECT_FALSE(w.write(2, img, 0));
    EXPECT_EQ(w.next_seen, (std::vector<uint32_t>{0}));
    EXPECT_EQ(fw.crc_errors(), 1u);
    EXPECT_GT(w.erase_acks, 1);  // the erase took its time
    EXPECT_EQ(fw.image(2), nullptr);  // erased when the transfer was confirmed

    // Packets outside a transfer stall the endpoint; a confirmation must
    // match the announcement.
    writer w2{h};
    ASSERT_TRUE(w2.write(2, img));
    uint8_t pk[8] = {};
    EXPECT_EQ(fw.bulk_out(pk, sizeof pk).status, xfer_status::stall);
    data_action_info_t info{3, 0, 1, 100, 0};
    ASSERT_TRUE(h.out(VXIF_REQ_DATA, DATA_ACTION_INFO, &info, sizeof info));
    data_action_cfm_t cfm{3, 99, DATA_PACKET_PAYLOAD, 0};
    EXPECT_FALSE(h.out(VXIF_REQ_DATA, DATA_ACTION_CFM, &cfm, sizeof cfm));
    info.size = 0;
    EXPECT_FALSE(h.out(VXIF_REQ_DATA, DATA_ACTION_INFO, &info, sizeof info));
}

// ---- calibration parameter file and package ------------------------------------------------

namespace {

template <typename T>
T rd(const std::vector<uint8_t>& b, size_t at)
{
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// The container checks a loader makes, written out here: magic, header
// checksum, lens range, block count, block sizes and block checksum. Returns
// the offset of every block's unit header.
std::vector<size_t> check_container(const std::vector<uint8_t>& f)
{
    std::vector<size_t> blocks;
    EXPECT_GE(f.size(), (size_t)k_param_hdr_size);
    if (f.size() < (size_t)k_param_hdr_size)
        return blocks;
    EXPECT_GE(f[0], 140);
    EXPECT_EQ(rd<uint32_t>(f, 5), 0x31505856u);
    EXPECT_EQ(rd<uint16_t>(f, 18), vx_stream_hash16(f.data() + 20, k_param_fix_size - 20, 0));
    if (f[20]) {
        EXPECT_GE(rd<double>(f, 84), 16.0);
        EXPECT_LE(rd<double>(f, 84), 1024.0);
        EXPECT_GE(rd<double>(f, 92), 16.0);
        EXPECT_LE(rd<double>(f, 92), 1024.0);
    }
    const uint32_t cnt = rd<uint32_t>(f, 1192), total = rd<uint32_t>(f, 1196);
    EXPECT_LE(cnt, 7u);
    uint16_t sum = 0;
    size_t off = k_param_hdr_size;
    for (uint32_t i = 0; i < cnt && off + 5 <= f.size(); ++i) {
        blocks.push_back(off);
        const size_t n = 5 + rd<uint32_t>(f, off + 1);
        EXPECT_LE(off + n, f.size());
        sum = vx_stream_hash16(f.data() + off, (int)std::min(n, f.size() - off), sum);
        off += n;
    }
    EXPECT_EQ(off - k_param_hdr_size, total);
    EXPECT_EQ(off, f.size());
    EXPECT_EQ(sum, rd<uint16_t>(f, 1200));
    return blocks;
}

}  // namespace

TEST(SimCalib, ParameterFileHasOneDrnuBlockPerFrequency)
{
    calib_opts o;
    sensor_cfg s;  // ideal sensor: references are the sweep and the drift of the calibration temperatures
    std::vector<uint8_t> f;
    std::string err;
    ASSERT_TRUE(calib_param_file(s, o, &f, &err)) << err;
    std::vector<size_t> blocks = check_container(f);
    ASSERT_EQ(blocks.size(), o.mod_freqs.size());
    EXPECT_EQ(rd<uint32_t>(f, 1), o.ts);
    EXPECT_EQ(std::string((const char*)&f[20]), o.lens_name);
    EXPECT_EQ(rd<double>(f, 84), o.ln.cx);
    EXPECT_EQ(rd<uint32_t>(f, 156), 320u);

    for (size_t b = 0; b < blocks.size(); ++b) {
        const size_t u = blocks[b], hd = u + 5;
        EXPECT_EQ(f[u], 1);
        EXPECT_EQ(rd<uint32_t>(f, u + 1), (uint32_t)(k_epc_hdr_size + o.num_dist * k_drnu_rec_size));
        const uint32_t freq = rd<uint32_t>(f, hd);
        EXPECT_EQ(freq, o.mod_freqs[b]);
        EXPECT_EQ(rd<float>(f, hd + 8), o.box_len_cm);
        EXPECT_EQ(rd<int16_t>(f, hd + 16), o.temp_cb);
        EXPECT_EQ(rd<int16_t>(f, hd + 18), o.temp_ib);
        EXPECT_EQ((int)rd<int8_t>(f, hd + 20), o.num_dist);
        EXPECT_EQ(rd<uint32_t>(f, hd + 33), o.atan_scale);

        // The references are a delay-line sweep at one radial distance for
        // every pixel: with an ideal sensor all pixels of an image hold the
        // same phase, and each step between references is the step in phase
        // units.
        const double range = range_mm(freq);
        const size_t img0 = hd + k_epc_hdr_size;
        std::vector<uint16_t> xs(o.num_dist), ys(o.num_dist);
        for (int k = 0; k < o.num_dist; ++k) {
            const size_t rec = img0 + (size_t)k * k_drnu_rec_size;
            EXPECT_EQ(rd<int32_t>(f, rec), k * o.step_um);
            xs[k] = (uint16_t)k;
        }
        const double step_ph = o.step_um / 1000.0 / range * o.atan_scale;
        int bad = 0;
        double min_ratio = 1e9, max_ratio = 0;
        for (int p = 0; p < 320 * 240; p += 37) {
            for (int k = 0; k < o.num_dist; ++k)
                ys[k] = rd<uint16_t>(f, img0 + (size_t)k * k_drnu_rec_size + 20 + 2 * p);
            float slope, offset, r2;
            vx_math_linear_LSR_u16(xs.data(), ys.data(), o.num_dist, &slope, &offset, &r2);
            bad += !(r2 >= 0.998);
            min_ratio = std::min(min_ratio, slope / step_ph);
            max_ratio = std::max(max_ratio, slope / step_ph);
        }
        EXPECT_EQ(bad, 0);
        EXPECT_GT(min_ratio, 0.999);
        EXPECT_LT(max_ratio, 1.001);
        // Every pixel of image k: box length plus k steps plus the sensor's
        // zero offset and its temperature drift at the calibration
        // temperatures, rounded to a whole phase unit.
        const double drift = s.drift_cb_mm * o.temp_cb / 10.0 + s.drift_ib_mm * o.temp_ib / 10.0;
        for (int k : {0, o.num_dist - 1}) {
            const double want =
                (o.box_len_cm * 10 + k * o.step_um / 1000.0 + s.zero_offset_mm + drift) / range * o.atan_scale;
            uint16_t mn = 65535, mx = 0;
            for (int p = 0; p < 320 * 240; ++p) {
                const uint16_t v = rd<uint16_t>(f, img0 + (size_t)k * k_drnu_rec_size + 20 + 2 * p);
                mn = std::min(mn, v);
                mx = std::max(mx, v);
            }
            EXPECT_NEAR(mn, want, 0.5) << k;
            EXPECT_NEAR(mx, want, 0.5) << k;
        }
    }

    // A changed byte anywhere in a block breaks the block checksum.
    std::vector<uint8_t> g = f;
    g[blocks[1] + 5000] ^= 1;
    uint16_t sum = vx_stream_hash16(g.data() + k_param_hdr_size, (int)(g.size() - k_param_hdr_size), 0);
    EXPECT_NE(sum, rd<uint16_t>(g, 1200));

    // Sensor errors switched on change the references (fixed pattern, wiggling).
    sensor_cfg e;
    ASSERT_TRUE(sensor_errors_parse("fpn,wiggle,drift", &e.err));
    std::vector<uint8_t> fe;
    ASSERT_TRUE(calib_param_file(e, o, &fe, &err));
    check_container(fe);
    EXPECT_FALSE(fe == f);

    calib_opts bad_o;
    bad_o.num_dist = 1;
    EXPECT_FALSE(calib_param_file(s, bad_o, &fe, &err));
}

TEST(SimCalib, PackageRawAndZippedThroughDataUploadMode)
{
    firmware_cfg fc = small_cfg();
    calib_opts o;
    o.mod_freqs = {12000000};
    o.num_dist = 4;
    std::vector<uint8_t> file;
    std::string err;
    ASSERT_TRUE(calib_param_file(fc.sensor, o, &file, &err)) << err;
    const std::string name =
        calib_param_file_name(calib_param_id(fc.chip_info[1], fc.chip_info[2], fc.serial[0]));
    EXPECT_EQ(name, "kavro_param_" + std::to_string((int32_t)((0x1234u + 17u * 65536u) ^ 0x00C0FFEEu)) + ".bin");

    for (bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "zipped" : "raw");
        std::vector<uint8_t> pkg;
        ASSERT_TRUE(calib_package_for(fc, o, zip, &pkg, &err)) << err;
        firmware fw(fc);
        fw.set_calib_package(pkg);
        host h{fw};
        kavro_param_val_u v;
        ASSERT_TRUE(h.get_param(PARAM_INFO_CALIB, &v));
        // What a loader accepts: valid, a timestamp, at most 10 MiB, room for the payload.
        EXPECT_EQ(+v.cinfo.valid, 1);
        EXPECT_EQ(+v.cinfo.flag, zip ? 1 : 0);
        EXPECT_EQ(+v.cinfo.timestamp, o.ts);
        EXPECT_LE(+v.cinfo.fsize, VXIF_CALIB_MAX_FSIZE);
        EXPECT_GE(+v.cinfo.fsize, +v.cinfo.datasize + 18);
        EXPECT_EQ(+v.cinfo.fsize % VXIF_CALIB_FRAME_SIZE, 0u);

        // Capture the package as the loader does: frames until the last index.
        ASSERT_TRUE(h.set_u32(PARAM_DEV_MODE, DEV_MODE_DATA_UP, 1));
        ASSERT_TRUE(h.start(0));
        const uint32_t nfr = v.cinfo.fsize / VXIF_CALIB_FRAME_SIZE;
        stream_sink sink;
        std::vector<uint8_t> got;
        std::vector<uint8_t> buf(VXIF_CAP_TRANS_SIZE);
        for (int i = 0; i < 1000 && sink.frames.size() < nfr; ++i) {
            xfer_result r = fw.bulk_in(buf.data(), (int)buf.size(), 1000);
            ASSERT_EQ(r.status, xfer_status::ok);
            vx_stream_feed_input(sink.s, buf.data(), r.len);
            sink.take_frames();
        }
        ASSERT_TRUE(h.stop());
        ASSERT_TRUE(h.set_u32(PARAM_DEV_MODE, DEV_MODE_NORMAL, 1));
        ASSERT_GE(sink.frames.size(), nfr);
        for (uint32_t i = 0; i < nfr; ++i) {
            EXPECT_EQ(sink.infos[i].frame_idx, i);
            got.insert(got.end(), sink.frames[i].begin(), sink.frames[i].end());
        }
        ASSERT_EQ(got.size(), +v.cinfo.fsize);
        vxif_calib_info_t hd;
        std::memcpy(&hd, got.data(), sizeof hd);
        EXPECT_EQ(+hd.fsize, got.size());
        std::vector<uint8_t> payload(got.begin() + 18, got.begin() + 18 + hd.datasize);

        std::vector<uint8_t> out;
        if (!zip) {
            out = payload;
        } else {
            zip_error_t ze;
            zip_error_init(&ze);
            zip_source_t* src = zip_source_buffer_create(payload.data(), payload.size(), 0, &ze);
            ASSERT_NE(src, nullptr);
            zip_t* za = zip_open_from_source(src, ZIP_RDONLY, &ze);
            ASSERT_NE(za, nullptr);
            ASSERT_EQ(zip_get_num_entries(za, 0), 1);
            EXPECT_STREQ(zip_get_name(za, 0, 0), name.c_str());
            zip_stat_t zs;
            ASSERT_EQ(zip_stat_index(za, 0, 0, &zs), 0);
            out.resize(zs.size);
            zip_file_t* zf = zip_fopen_index(za, 0, 0);
            ASSERT_NE(zf, nullptr);
            EXPECT_EQ(zip_fread(zf, out.data(), out.size()), (zip_int64_t)out.size());
            zip_fclose(zf);
            zip_close(za);
            zip_error_fini(&ze);
            EXPECT_LT(payload.size(), file.size());  // reference images compress
        }
        EXPECT_TRUE(out == file);
        check_container(out);
    }
}
