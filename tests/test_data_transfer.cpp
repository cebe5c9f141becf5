// Data and firmware transfer end to end: the library's transfer code talks
// through the transport operation table to the simulator's firmware model
// (tests/support/sim_transport), which checks every packet's CRC, erases,
// acknowledges and serves reads in pieces as the device does. Faulty lines
// and devices are played with the link's hooks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro.h"
#include "kavro_bin_data_handle.h"
#include "kavro_ll.h"
#include "ll/ll_usb_proto.h"
#include "sim_firmware.h"
#include "sim_transport.h"
#include "vx_log_internal.h"

using namespace kavro_test;
using kavro_sim::firmware;
using kavro_sim::firmware_cfg;
using kavro_sim::flash_image;

namespace {

constexpr uint8_t DATA_TYPE = 5;  // an image type without a finishing step
constexpr uint16_t VERSION = 0x0203;

std::vector<uint8_t> pattern(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t)(x >> 24);
    }
    return v;
}

void write_file(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream(path, std::ios::binary).write((const char *)data.data(), (std::streamsize)data.size());
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

firmware_cfg small_cfg() {
    firmware_cfg c;
    c.product = "KVSIM-T0-320";  // stub driver: an open needs no calibration
    c.erase_polls = 3;
    return c;
}

// A device behind the simulated transport, a captured log, files in the
// test's working folder and waits recorded instead of slept.
class Transfer : public ::testing::Test {
protected:
    explicit Transfer(firmware_cfg cfg = small_cfg()) : fw_(cfg), link_(fw_) {
        sim_bind(&dev_, &link_);
        opts_.sleep = [this](uint32_t ms) { sleeps_.push_back(ms); };
        file_ = "xfer_" + std::to_string(getpid()) + ".bin";
        out_ = "xfer_out_" + std::to_string(getpid()) + ".bin";
    }
    ~Transfer() override {
        std::remove(file_.c_str());
        std::remove(out_.c_str());
    }

    int write(const std::vector<uint8_t> &img, uint8_t type = DATA_TYPE, uint32_t addr = 0x1000) {
        write_file(file_, img);
        return _kavro_bin_data_write(&dev_, type, VERSION, addr, file_.c_str(), opts_);
    }
    size_t count(sim_call::kind_e k, uint16_t action = 0) {
        return link_.of(k, k == sim_call::bulk_out ? 0 : VXIF_REQ_DATA, action).size();
    }
    std::vector<sim_call> bulk() { return link_.of(sim_call::bulk_out); }
    // The image of `type` the device holds now (empty when none).
    std::vector<uint8_t> stored(uint8_t type = DATA_TYPE) {
        const flash_image *img = fw_.image(type);
        return img ? img->data : std::vector<uint8_t>{};
    }
    // Index in the transfer record of the first bulk packet (calls.size() when none).
    size_t first_bulk() {
        for (size_t i = 0; i < link_.calls.size(); ++i)
            if (link_.calls[i].kind == sim_call::bulk_out) return i;
        return link_.calls.size();
    }

    CapturedLog log_;
    firmware fw_;
    sim_link link_;
    kavro_ll_dev_t dev_{};
    _kavro_xfer_opts_t opts_;
    std::vector<uint32_t> sleeps_;
    std::string file_, out_;
};

// ---- packets ------------------------------------------------------------------------

TEST(DataTransferCrc, Xmodem) {
    struct {
        const char *data;
        uint16_t crc;
    } cases[] = {{"123456789", 0x31C3}, {"abc", 0x9DD6}, {"", 0x0000}, {"A", 0x58E5}};
    for (const auto &c : cases)
        EXPECT_EQ(vxif_crc16_xmodem((const uint8_t *)c.data, (uint32_t)strlen(c.data)), c.crc)
            << c.data;
}

TEST_F(Transfer, ThreeBytePacketOnTheWire) {
    ASSERT_EQ(write({'a', 'b', 'c'}), KAVRO_XFER_DONE);
    const auto pk = bulk();
    ASSERT_EQ(pk.size(), 1u);
    EXPECT_EQ(pk[0].data, (std::vector<uint8_t>{0xD6, 0x9D, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c'}));
}

// Images cut into packets of 65530 bytes, the last one carrying the rest;
// the device checks every CRC and stores exactly the file.
TEST_F(Transfer, ImagesAreCutIntoPackets) {
    struct {
        size_t size;
        std::vector<uint32_t> payloads;
    } cases[] = {
        {1, {1}},
        {65529, {65529}},
        {65530, {65530}},
        {65531, {65530, 1}},
        {2 * 65530 + 7, {65530, 65530, 7}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        link_.calls.clear();
        const auto img = pattern(c.size, (uint32_t)c.size);
        sleeps_.clear();
        opts_.erase_poll_pause_ms = 0;
        std::vector<uint32_t> progress;
        opts_.progress = [&](uint32_t done, uint32_t total) {
            EXPECT_EQ(total, c.size);
            progress.push_back(done);
        };
        ASSERT_EQ(write(img), KAVRO_XFER_DONE);
        const auto pk = bulk();
        ASSERT_EQ(pk.size(), c.payloads.size());
        uint32_t off = 0;
        for (size_t i = 0; i < pk.size(); ++i) {
            EXPECT_EQ(pk[i].data.size(), 6 + c.payloads[i]);
            EXPECT_EQ(u32_at(pk[i].data, 2), c.payloads[i]);
            EXPECT_TRUE(std::equal(pk[i].data.begin() + 6, pk[i].data.end(), img.begin() + off));
            off += c.payloads[i];
            EXPECT_EQ(progress.at(i), off);
        }
        EXPECT_EQ(fw_.crc_errors(), 0u);
        EXPECT_EQ(stored(), img);
        EXPECT_EQ(fw_.image(DATA_TYPE)->version, VERSION);
        EXPECT_EQ(fw_.image(DATA_TYPE)->addr, 0x1000u);
        EXPECT_TRUE(log_.has("[kavro_bin_data_write] Data transfer finished.\n"));
        EXPECT_TRUE(sleeps_.empty());  // an image of this type needs no finishing wait
    }
}

// ---- firmware and the finishing step ------------------------------------------------

TEST_F(Transfer, OneMegabyteFirmwareWithErasePolling) {
    const auto img = pattern(1 << 20);
    ASSERT_EQ(write(img, 0, 0x1234), KAVRO_XFER_DONE);

    // Before the first packet: one confirmation and, after the announcement's
    // acknowledgement, three "erase ongoing" answers and the final "ok".
    const size_t fb = first_bulk();
    int cfm = 0, acks_after_cfm = 0;
    for (size_t i = 0; i < fb; ++i) {
        const sim_call &c = link_.calls[i];
        if (c.kind == sim_call::ctrl_out && c.req == VXIF_REQ_DATA && c.val == DATA_ACTION_CFM) ++cfm;
        if (cfm && c.kind == sim_call::ctrl_in && c.val == DATA_ACTION_ACK) ++acks_after_cfm;
    }
    EXPECT_EQ(cfm, 1);
    EXPECT_EQ(acks_after_cfm, 4);
    const auto cfm_req = link_.of(sim_call::ctrl_out, VXIF_REQ_DATA, DATA_ACTION_CFM).at(0).data;
    EXPECT_EQ(u32_at(cfm_req, 1), 1u << 20);         // data_len
    EXPECT_EQ(u32_at(cfm_req, 5), DATA_PACKET_PAYLOAD);  // frame_len

    EXPECT_EQ(bulk().size(), 17u);  // 16 full packets and 16 bytes
    EXPECT_EQ(stored(0), img);
    EXPECT_EQ(fw_.crc_errors(), 0u);
    // The erase polls paused between reads; the last wait is the reset's.
    ASSERT_FALSE(sleeps_.empty());
    EXPECT_EQ(sleeps_.back(), 10000u);
}

// What a finished write does afterwards, by image type.
TEST_F(Transfer, FinishingStepByType) {
    struct {
        uint8_t type;
        bool reset;
        uint32_t wait;  // 0: none
        bool log_off;
    } cases[] = {
        {0, true, 10000, true}, {1, true, 10000, true}, {2, false, 7000, true},
        {3, false, 7000, true}, {4, false, 0, false},   {200, false, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((int)c.type);
        log_.clear();  // also switches logging back on
        link_.calls.clear();
        sleeps_.clear();
        opts_.erase_poll_pause_ms = 0;  // only the finishing waits are recorded
        ASSERT_EQ(write(pattern(100), c.type), KAVRO_XFER_DONE);
        const auto resets = link_.of(sim_call::ctrl_out, VXIF_REQ_DEV, VXIF_DEV_RESET);
        EXPECT_EQ(resets.size(), c.reset ? 1u : 0u);
        if (c.reset) { EXPECT_EQ(u32_at(resets[0].data, 0), (uint32_t)RESET_TARGET_SYS); }
        EXPECT_EQ(sleeps_, c.wait ? std::vector<uint32_t>{c.wait} : std::vector<uint32_t>{});
        EXPECT_EQ(log_.has("[kavro_bin_data_write] !!! DO NOT RESET or POWER OFF the board until return !!!!\n"),
                  c.log_off);
        LOG_ERR("after the transfer\n");
        EXPECT_EQ(log_.has("after the transfer\n"), !c.log_off);
    }
}

// ---- endings the device decides ---------------------------------------------------

// A device that asks for the same packet again (its CRC check failed on a
// damaged packet) or names another index: the transfer stops at once, sends
// no further packet and reports the refusal; no finishing step runs.
TEST_F(Transfer, PacketNotAcknowledgedStopsTheTransfer) {
    struct {
        const char *name;
        bool damage;          // flip a payload byte of packet 1 on the line
        int32_t forced_next;  // else: rewrite the device's answer to packet 1
        const char *line;
    } cases[] = {
        {"repeated index", true, -1, "[kavro_bin_data_write] Data transfer failed A.indx1, 1\n"},
        {"index out of sequence", false, 7, "[kavro_bin_data_write] Data transfer failed B.\n"},
        {"index going back", false, 0, "[kavro_bin_data_write] Data transfer failed B.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        link_.calls.clear();
        sleeps_.clear();
        int packets = 0;
        link_.before = [&](sim_call &call) {
            if (call.kind == sim_call::bulk_out && ++packets == 2 && c.damage) call.data[100] ^= 0x40;
            return sim_verdict::pass;
        };
        link_.after = [&](sim_call &call) {
            if (c.forced_next >= 0 && packets == 2 && call.val == DATA_ACTION_ACK)
                std::memcpy(call.data.data(), &c.forced_next, 4);
        };
        EXPECT_EQ(write(pattern(4 * 65530), 0), KAVRO_XFER_NACKED);
        EXPECT_EQ(bulk().size(), 2u);
        EXPECT_TRUE(log_.has(c.line)) << log_.text();
        EXPECT_FALSE(log_.has("data upgrade failed!\n"));
        EXPECT_TRUE(link_.of(sim_call::ctrl_out, VXIF_REQ_DEV, VXIF_DEV_RESET).empty());
        EXPECT_EQ(std::count(sleeps_.begin(), sleeps_.end(), 10000u), 0);  // no reset wait
        EXPECT_EQ(fw_.image(0), nullptr);  // nothing complete was stored
    }
    EXPECT_EQ(fw_.crc_errors(), 1u);
}

// Refusals before any packet is sent.
TEST_F(Transfer, DeviceRefusesBeforeThePackets) {
    struct {
        const char *name;
        uint8_t first_ack_status;  // rewritten answer to the announcement (0xFF: as sent)
        uint8_t erase_end_status;  // rewritten final erase answer (0xFF: as sent)
        size_t confirmations;  // the device erased only after one
        const char *line;
    } cases[] = {
        {"announcement not acknowledged", TRANS_STATUS_FAIL, 0xFF, 0,
         "[kavro_bin_data_write] Wrong ACK(NUM:0,VER:515)\n"},
        {"erase failed", 0xFF, TRANS_STATUS_FAIL, 1,
         "[kavro_bin_data_write] erase ended with next=0, status=0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        link_.calls.clear();
        int acks = 0;
        link_.after = [&](sim_call &call) {
            if (call.val != DATA_ACTION_ACK) return;
            ++acks;
            data_action_pack_t a;
            std::memcpy(&a, call.data.data(), sizeof a);
            if (acks == 1 && c.first_ack_status != 0xFF) a.status = c.first_ack_status;
            if (a.status == TRANS_STATUS_OK && c.erase_end_status != 0xFF) a.status = c.erase_end_status;
            std::memcpy(call.data.data(), &a, sizeof a);
        };
        EXPECT_EQ(write(pattern(1000)), KAVRO_XFER_REFUSED);
        EXPECT_TRUE(bulk().empty());
        EXPECT_EQ(count(sim_call::ctrl_out, DATA_ACTION_CFM), c.confirmations);
        EXPECT_TRUE(log_.has(c.line)) << log_.text();
        EXPECT_FALSE(log_.has("data upgrade failed!\n"));
    }
}

TEST_F(Transfer, AnnouncementRejectedByTheDevice) {
    flash_image old;
    old.data = pattern(10);
    fw_.put_image(DATA_TYPE, old);
    write_file(file_, pattern(17u << 20));  // above the device's flash capacity
    EXPECT_EQ(_kavro_bin_data_write(&dev_, DATA_TYPE, 1, 0, file_.c_str(), opts_), KAVRO_XFER_FAILED);
    EXPECT_TRUE(log_.has("[kavro_bin_data_write] data upgrade failed!\n"));
    EXPECT_TRUE(count(sim_call::ctrl_out, DATA_ACTION_CFM) == 0 && bulk().empty());
    EXPECT_EQ(stored(), old.data);  // the stored image is untouched
}

// ---- a device that stops answering -------------------------------------------------

class EndlessErase : public Transfer {
protected:
    static firmware_cfg cfg() {
        firmware_cfg c = small_cfg();
        c.erase_polls = 1 << 30;
        return c;
    }
    EndlessErase() : Transfer(cfg()) {}
};

TEST_F(EndlessErase, PollingIsBounded) {
    opts_.erase_poll_max = 40;
    EXPECT_EQ(write(pattern(1000)), KAVRO_XFER_ERASE_TIMEOUT);
    EXPECT_EQ(count(sim_call::ctrl_in, DATA_ACTION_ACK), 1u + 40u);
    EXPECT_TRUE(bulk().empty());
    EXPECT_EQ(sleeps_, std::vector<uint32_t>(39, opts_.erase_poll_pause_ms));
    EXPECT_TRUE(log_.has("[kavro_bin_data_write] data upgrade failed!\n"));
}

// The device goes silent at some point of the write: every later transfer is
// lost. The write ends with a failure at that point and nothing waits on.
TEST_F(Transfer, DeviceStopsAnswering) {
    struct {
        const char *name;
        sim_call::kind_e kind;
        uint16_t action;  // control transfers: the action whose n-th transfer dies
        int nth;
        int expect;
        const char *line;
    } cases[] = {
        {"at the announcement", sim_call::ctrl_out, DATA_ACTION_INFO, 1, KAVRO_XFER_FAILED,
         "[kavro_bin_data_write] data upgrade failed!\n"},
        {"at the confirmation", sim_call::ctrl_out, DATA_ACTION_CFM, 1, KAVRO_XFER_FAILED,
         "[kavro_bin_data_write] wait cfm failed.....\n"},
        {"while erasing", sim_call::ctrl_in, DATA_ACTION_ACK, 3, KAVRO_XFER_FAILED,
         "[kavro_bin_data_write] DATA ACK failed\n"},
        {"on the bulk channel", sim_call::bulk_out, 0, 2, -7, "[kavro_data_pk_transf] tx data failed\n"},
        {"after a packet", sim_call::ctrl_in, DATA_ACTION_ACK, 7, KAVRO_XFER_FAILED,
         "[kavro_bin_data_write] Data transfer failed C.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        link_.calls.clear();
        int seen = 0;
        bool dead = false;
        link_.before = [&](sim_call &call) {
            if (call.kind == c.kind && (c.kind == sim_call::bulk_out || call.val == c.action) &&
                ++seen == c.nth)
                dead = true;
            return dead ? sim_verdict::lost : sim_verdict::pass;
        };
        EXPECT_EQ(write(pattern(3 * 65530)), c.expect);
        EXPECT_TRUE(log_.has(c.line)) << log_.text();
        EXPECT_TRUE(log_.has("data upgrade failed!\n"));
        EXPECT_EQ(stored(), std::vector<uint8_t>{});
    }
}

// The simulator's own dead control channel: transfers that never complete.
TEST_F(Transfer, HungControlTransfersFailTheWrite) {
    kavro_sim::fault_cfg f;
    f.ctrl_hang = {1.0, -1};
    fw_.set_faults(f);
    EXPECT_EQ(write(pattern(1000)), KAVRO_XFER_FAILED);
    EXPECT_TRUE(bulk().empty());
}

// ---- reading --------------------------------------------------------------------

TEST_F(Transfer, ReadsInPiecesOf450) {
    struct {
        size_t size;
        std::vector<uint32_t> requests;  // length word of each payload request
    } cases[] = {
        {1000, {450, 450, 100}},
        {450, {450}},
        // A tail shorter than the 12-byte request record asks for what
        // remains (the simulated camera refuses a request past the end).
        {451, {450, 1}},
        {905, {450, 450, 5}},
        {462, {450, 12}},
        {0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        link_.calls.clear();
        flash_image img;
        img.version = 9;
        img.data = pattern(c.size, 7);
        fw_.put_image(DATA_TYPE, img);
        std::vector<uint32_t> progress;
        opts_.progress = [&](uint32_t done, uint32_t) { progress.push_back(done); };
        ASSERT_EQ(_kavro_bin_data_read(&dev_, DATA_TYPE, out_.c_str(), opts_), KAVRO_XFER_DONE);
        EXPECT_EQ(read_file(out_), img.data);
        const auto reqs = link_.of(sim_call::ctrl_out, VXIF_REQ_DATA, DATA_ACTION_PAYLOAD);
        ASSERT_EQ(reqs.size(), c.requests.size());
        for (size_t i = 0; i < reqs.size(); ++i) {
            EXPECT_EQ(u32_at(reqs[i].data, 4), c.requests[i]);
            // The exchange carries the piece, and at least the request record.
            EXPECT_EQ(reqs[i].data.size(), std::max<size_t>(c.requests[i], sizeof(data_payload_req_t)));
        }
        if (c.size) { EXPECT_EQ(progress.back(), c.size); }
    }
}

TEST_F(Transfer, ReadWithoutNameGoesToCalibBin) {
    std::remove("calib.bin");
    flash_image img;
    img.data = pattern(777);
    fw_.put_image(3, img);
    ASSERT_EQ(kavro_bin_data_read(&dev_, 3, nullptr), KAVRO_XFER_DONE);
    EXPECT_EQ(read_file("calib.bin"), img.data);
    std::remove("calib.bin");
}

TEST_F(Transfer, ReadOfAnImageTheDeviceDoesNotHold) {
    EXPECT_EQ(_kavro_bin_data_read(&dev_, 42, out_.c_str(), opts_), KAVRO_XFER_FAILED);
    EXPECT_TRUE(log_.has("No valid data to read, please check\n"));
    EXPECT_FALSE(exists(out_));
    EXPECT_EQ(count(sim_call::ctrl_out, DATA_ACTION_PAYLOAD), 0u);
}

// A read that loses the device never reports success or leaves a wrong file.
TEST_F(Transfer, ReadFailuresLeaveNoFile) {
    struct {
        const char *name;
        uint16_t action;
        int nth;
    } cases[] = {{"information", DATA_ACTION_GET_INFO, 1}, {"second piece", DATA_ACTION_PAYLOAD, 2}};
    flash_image img;
    img.data = pattern(2000);
    fw_.put_image(DATA_TYPE, img);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        int seen = 0;
        link_.before = [&](sim_call &call) {
            return call.val == c.action && call.kind == sim_call::ctrl_in && ++seen == c.nth
                       ? sim_verdict::lost
                       : sim_verdict::pass;
        };
        EXPECT_EQ(_kavro_bin_data_read(&dev_, DATA_TYPE, out_.c_str(), opts_), KAVRO_XFER_FAILED);
        EXPECT_FALSE(exists(out_));
        EXPECT_TRUE(log_.has("Cmd:(0xcc,0x" + std::string(c.action ? "11" : "0") + ") failed\n"))
            << log_.text();
    }
}

// ---- files -------------------------------------------------------------------------

TEST_F(Transfer, FilesThatCannotBeUsed) {
    write_file("xfer_empty.bin", {});
    mkdir("xfer_dir", 0755);
    struct {
        const char *name;
        const char *line;
    } inputs[] = {
        {"no_such_file.bin", "[kavro_bin_data_write] File open failed\n"},
        {"xfer_empty.bin", "[kavro_bin_data_write] data upgrade failed!\n"},
        {"xfer_dir", nullptr},
        {nullptr, "[kavro_bin_data_write] File open failed\n"},
    };
    for (const auto &c : inputs) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        log_.clear();
        link_.calls.clear();
        EXPECT_EQ(_kavro_bin_data_write(&dev_, DATA_TYPE, 1, 0, c.name, opts_), KAVRO_XFER_FAILED);
        EXPECT_TRUE(link_.calls.empty());  // the device is not asked
        if (c.line) { EXPECT_TRUE(log_.has(c.line)) << log_.text(); }
    }
    std::remove("xfer_empty.bin");

    flash_image img;
    img.data = pattern(100);
    fw_.put_image(DATA_TYPE, img);
    for (const char *bad : {"no_such_dir/out.bin", "xfer_dir"}) {
        SCOPED_TRACE(bad);
        log_.clear();
        EXPECT_EQ(_kavro_bin_data_read(&dev_, DATA_TYPE, bad, opts_), KAVRO_XFER_FAILED);
        EXPECT_TRUE(log_.has("File open failed\n"));
        EXPECT_EQ(count(sim_call::ctrl_out, DATA_ACTION_PAYLOAD), 0u);
    }
    rmdir("xfer_dir");
}

// ---- entry points --------------------------------------------------------------------

TEST_F(Transfer, FirmwareUpgradeWritesAtAddressZero) {
    flash_image old;
    old.addr = 0x5000;
    old.data = pattern(10);
    fw_.put_image(9, old);
    write_file(file_, pattern(3000));
    ASSERT_EQ(kavro_ll_firmware_upgrade(&dev_, 9, 4, file_.c_str()), KAVRO_XFER_DONE);
    const auto info = link_.of(sim_call::ctrl_out, VXIF_REQ_DATA, DATA_ACTION_INFO).at(0).data;
    EXPECT_EQ(u32_at(info, 8), 0u);
    EXPECT_EQ(fw_.image(9)->addr, 0u);
    EXPECT_EQ(fw_.image(9)->version, 4u);
    EXPECT_EQ(stored(9), pattern(3000));
}

void count_progress(uint32_t done, uint32_t total, void *arg) {
    auto *seen = static_cast<std::vector<std::pair<uint32_t, uint32_t>> *>(arg);
    seen->emplace_back(done, total);
}

TEST_F(Transfer, ExportedProgressCallbacks) {
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    write_file(file_, pattern(70000));
    ASSERT_EQ(kavro_bin_data_write_progress(&dev_, DATA_TYPE, 1, 0, file_.c_str(), count_progress, &seen),
              KAVRO_XFER_DONE);
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{65530, 70000}, {70000, 70000}}));
    seen.clear();
    ASSERT_EQ(kavro_bin_data_read_progress(&dev_, DATA_TYPE, out_.c_str(), count_progress, &seen),
              KAVRO_XFER_DONE);
    EXPECT_EQ(read_file(out_), pattern(70000));
    ASSERT_EQ(seen.size(), (70000u + 449u) / 450u);
    EXPECT_EQ(seen.back(), std::make_pair(70000u, 70000u));
}

// The camera interface's transfer calls on a device opened through the
// simulated transport.
TEST_F(Transfer, CameraInterfaceForwarders) {
    kavro_dev_t none{};
    char name[64];
    snprintf(name, sizeof name, "%s", file_.c_str());
    write_file(file_, pattern(5000));
    EXPECT_EQ(kavro_data_download(&none, name, DATA_TYPE, 1, 0x40), KAVRO_XFER_FAILED);
    EXPECT_EQ(kavro_data_upload(nullptr, DATA_TYPE, out_.c_str()), KAVRO_XFER_FAILED);
    EXPECT_EQ(kavro_firmware_upgrade(&none, DATA_TYPE, 1, name), KAVRO_XFER_FAILED);
    EXPECT_TRUE(log_.has("[kavro_data_download] Wrong params\n"));
    EXPECT_TRUE(link_.calls.empty());

    kavro_dev_t dev{};
    sim_bind_dev(&dev, &link_);
    ASSERT_EQ(kavro_dev_open(&dev), &dev);
    link_.calls.clear();
    EXPECT_EQ(kavro_data_download(&dev, name, DATA_TYPE, 6, 0x40), KAVRO_XFER_DONE);
    EXPECT_EQ(fw_.image(DATA_TYPE)->addr, 0x40u);
    EXPECT_EQ(kavro_data_upload(&dev, DATA_TYPE, out_.c_str()), KAVRO_XFER_DONE);
    EXPECT_EQ(read_file(out_), pattern(5000));
    EXPECT_EQ(kavro_firmware_upgrade(&dev, DATA_TYPE, 7, name), KAVRO_XFER_DONE);
    EXPECT_EQ(fw_.image(DATA_TYPE)->addr, 0u);
    EXPECT_EQ(fw_.image(DATA_TYPE)->version, 7u);
    kavro_dev_close(&dev);
    EXPECT_EQ(kavro_data_upload(&dev, DATA_TYPE, out_.c_str()), KAVRO_XFER_FAILED);
}

}  // namespace
