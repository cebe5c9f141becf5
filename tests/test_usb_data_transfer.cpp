// Data and firmware transfer over the real USB path: the transfer code runs
// through libusb against a simulated camera on an emulated bus, so image
// packets travel as bulk OUT transfers on endpoint 0x01 and every action as
// control transfers on endpoint 0. The protocol's details are checked on the
// in-process transport (test_data_transfer); here the question is whether
// the same operations work through the USB transport.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro.h"
#include "kavro_bin_data_handle.h"
#include "kavro_ll.h"
#include "ll/ll_usb_proto.h"
#include "sim_usb_bed.h"

using namespace kavro_sim;

namespace {

constexpr uint8_t DATA_TYPE = 5;  // an image type without a finishing step
constexpr uint16_t VERSION = 0x0107;

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 99;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t)(x >> 24);
    }
    return v;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

class UsbDataTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!usb_bed_available())
            GTEST_SKIP() << "not running under umockdev";
        bed_ = std::make_unique<usb_bed>();
        usb_cam_opts o;
        o.fw.product = "KVSIM-T0-320";
        o.fw.erase_polls = 3;
        o.fw.usb_reset_ms = 50;
        bed_->add_camera(o);
        dev_.ll_info.type = LL_IF_NONE;
        ASSERT_EQ(kavro_ll_dev_open(&dev_), &dev_);
        opts_.sleep = [this](uint32_t ms) { sleeps_.push_back(ms); };
        opts_.erase_poll_pause_ms = 0;
        file_ = "usb_xfer_" + std::to_string(getpid()) + ".bin";
        out_ = "usb_xfer_out_" + std::to_string(getpid()) + ".bin";
    }
    void TearDown() override
    {
        if (dev_.h)
            kavro_ll_dev_close(&dev_);
        bed_.reset();
        std::remove(file_.c_str());
        std::remove(out_.c_str());
    }
    int write(const std::vector<uint8_t> &img, uint8_t type = DATA_TYPE, uint32_t addr = 0x2000)
    {
        std::ofstream(file_, std::ios::binary).write((const char *)img.data(), (std::streamsize)img.size());
        return _kavro_bin_data_write(&dev_, type, VERSION, addr, file_.c_str(), opts_);
    }
    std::vector<uint8_t> stored(uint8_t type)
    {
        const flash_image *img = bed_->fw(0).image(type);
        return img ? img->data : std::vector<uint8_t>{};
    }
    // Control transfers with request 0xCC and this action, by direction.
    std::vector<usb_ctrl_record> actions(const std::vector<usb_ctrl_record> &log, uint16_t action, bool in)
    {
        std::vector<usb_ctrl_record> out;
        for (const auto &r : log)
            if (r.setup[1] == VXIF_REQ_DATA && r.setup[2] == action && ((r.setup[0] & 0x80) != 0) == in)
                out.push_back(r);
        return out;
    }

    CapturedLog log_;
    std::unique_ptr<usb_bed> bed_;
    kavro_ll_dev_t dev_{};
    _kavro_xfer_opts_t opts_;
    std::vector<uint32_t> sleeps_;
    std::string file_, out_;
};

// On each side of the packet size: one bulk OUT packet, or two with the
// second carrying one byte; the device stores exactly the file.
TEST_F(UsbDataTransfer, ImagesOnEitherSideOfThePacketSize)
{
    struct {
        size_t size;
        uint64_t wire_bytes;  // bulk OUT bytes: 6-byte packet header and payload per packet
    } cases[] = {
        {65530, 6 + 65530},
        {65531, 6 + 65530 + 6 + 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        const uint64_t out0 = bed_->stats(0).bulk_out_bytes;
        const auto img = pattern(c.size, (uint32_t)c.size);
        ASSERT_EQ(write(img), KAVRO_XFER_DONE);
        EXPECT_EQ(bed_->stats(0).bulk_out_bytes - out0, c.wire_bytes);
        EXPECT_EQ(stored(DATA_TYPE), img);
        EXPECT_EQ(bed_->fw(0).image(DATA_TYPE)->version, VERSION);
        EXPECT_EQ(bed_->fw(0).image(DATA_TYPE)->addr, 0x2000u);
        EXPECT_EQ(bed_->fw(0).crc_errors(), 0u);
    }
}

// A firmware image of 1 MB: the device erases (three "ongoing" answers before
// "ok"), takes 17 packets, and the camera is reset at the end.
TEST_F(UsbDataTransfer, OneMegabyteFirmwareWithErasePolling)
{
    const auto img = pattern(1u << 20, 3);
    bed_->take_ctrl_log(0);
    ASSERT_EQ(write(img, 0, 0), KAVRO_XFER_DONE);
    const auto log = bed_->take_ctrl_log(0);
    log_.clear();  // the finishing step switched logging off

    EXPECT_EQ(stored(0), img);
    EXPECT_EQ(bed_->fw(0).crc_errors(), 0u);
    EXPECT_EQ(bed_->stats(0).bulk_out_bytes, 16u * (6 + 65530) + 6 + 96);  // 16 full packets and 96 bytes
    const auto cfm = actions(log, DATA_ACTION_CFM, false);
    ASSERT_EQ(cfm.size(), 1u);
    EXPECT_EQ(u32_at(cfm[0].data, 1), 1u << 20);
    // Acknowledgements read back after the confirmation: three while
    // erasing, the "ok" to start, and one per packet.
    size_t acks_after_cfm = 0;
    bool seen_cfm = false;
    for (const auto &r : log) {
        if (r.setup[1] == VXIF_REQ_DATA && r.setup[2] == DATA_ACTION_CFM)
            seen_cfm = true;
        else if (seen_cfm && r.setup[0] == VXIF_SETUP_IN && r.setup[1] == VXIF_REQ_DATA &&
                 r.setup[2] == DATA_ACTION_ACK)
            ++acks_after_cfm;
    }
    EXPECT_EQ(acks_after_cfm, 3u + 1u + 17u);
    // The finishing step of a firmware image: a system reset and its wait.
    bool reset_sent = false;
    for (const auto &r : log)
        if (r.setup[0] == VXIF_SETUP_OUT && r.setup[1] == VXIF_REQ_DEV && r.setup[2] == VXIF_DEV_RESET)
            reset_sent = u32_at(r.data, 0) == RESET_TARGET_SYS;
    EXPECT_TRUE(reset_sent);
    EXPECT_EQ(sleeps_, std::vector<uint32_t>{10000u});
}

// A packet damaged on the line: the device answers with the same index
// again, and the transfer stops without sending anything more.
TEST_F(UsbDataTransfer, RepeatedAcknowledgementIndexStopsTheTransfer)
{
    bed_->damage_bulk_out(0, 1);  // the second packet
    const uint64_t out0 = bed_->stats(0).bulk_out_bytes;
    EXPECT_EQ(write(pattern(3 * 65530, 5)), KAVRO_XFER_NACKED);
    EXPECT_TRUE(log_.has("[kavro_bin_data_write] Data transfer failed A.indx1, 1\n")) << log_.text();
    EXPECT_EQ(bed_->stats(0).bulk_out_bytes - out0, 2u * (6 + 65530));
    EXPECT_EQ(bed_->fw(0).crc_errors(), 1u);
    EXPECT_EQ(bed_->fw(0).image(DATA_TYPE), nullptr);
    // The device is still usable for a clean transfer.
    const auto img = pattern(1000, 6);
    EXPECT_EQ(write(img), KAVRO_XFER_DONE);
    EXPECT_EQ(stored(DATA_TYPE), img);
}

TEST_F(UsbDataTransfer, ReadsAnImageBackInPieces)
{
    flash_image img;
    img.version = 4;
    img.data = pattern(1000, 9);
    bed_->fw(0).put_image(DATA_TYPE, img);
    bed_->take_ctrl_log(0);
    ASSERT_EQ(_kavro_bin_data_read(&dev_, DATA_TYPE, out_.c_str(), opts_), KAVRO_XFER_DONE);
    EXPECT_EQ(read_file(out_), img.data);
    std::vector<uint32_t> asked;
    for (const auto &r : actions(bed_->take_ctrl_log(0), DATA_ACTION_PAYLOAD, false))
        asked.push_back(u32_at(r.data, 4));
    EXPECT_EQ(asked, (std::vector<uint32_t>{450, 450, 100}));
}

TEST_F(UsbDataTransfer, ReadOfAnImageTheDeviceDoesNotHold)
{
    bed_->take_ctrl_log(0);
    EXPECT_EQ(kavro_bin_data_read(&dev_, 42, out_.c_str()), KAVRO_XFER_FAILED);
    EXPECT_TRUE(log_.has("No valid data to read, please check\n"));
    struct stat st;
    EXPECT_NE(stat(out_.c_str(), &st), 0);
    EXPECT_TRUE(actions(bed_->take_ctrl_log(0), DATA_ACTION_PAYLOAD, false).empty());
}

}  // namespace
