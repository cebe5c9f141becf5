// ctest-labels: unit
// The C++ layer's camera calls on the emulated bus: the listing with
// identity and the open by serial, data transfer with lambdas for progress
// and cancel, and the hot-plug watch with a lambda (plug, unplug, plug).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kavro.hpp"
#include "sim_usb_bed.h"

namespace {

using namespace kavro_sim;

usb_cam_opts cam(int port, int addr, uint32_t serial0) {
    usb_cam_opts o;
    o.port = port;
    o.addr = addr;
    o.fw.serial[0] = serial0;
    o.fw.erase_polls = 2;
    return o;
}

class UsbKavroHpp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usb_bed_available()) GTEST_SKIP() << "not running under umockdev";
        bed_ = std::make_unique<usb_bed>();
        lib_ = std::make_unique<kavro::library>("usb_kavro_hpp.log");
    }
    void TearDown() override {
        lib_.reset();
        bed_.reset();
    }
    std::unique_ptr<usb_bed> bed_;
    std::unique_ptr<kavro::library> lib_;
};

TEST_F(UsbKavroHpp, OpenBySerialFromTheListing) {
    bed_->add_camera(cam(1, 2, 0x11));
    bed_->add_camera(cam(2, 3, 0x22));
    const std::vector<kavro_dev_t> list = kavro::list_devices_with_identity();
    ASSERT_EQ(list.size(), 2u);
    for (const kavro_dev_t &rec : list) {
        const std::string serial = kavro::serial_text(rec);
        SCOPED_TRACE(serial);
        kavro::device dev = kavro::device::open_serial(serial);
        EXPECT_EQ(dev.serial_text(), serial);
        EXPECT_EQ(dev.get()->if_info.info.usb.usb_port_num, rec.if_info.info.usb.usb_port_num);
    }
    EXPECT_THROW(kavro::device::open_serial("00000033-20240601-00000007"), kavro::error);
}

TEST_F(UsbKavroHpp, TransferWithLambdas) {
    bed_->add_camera(cam(1, 2, 0x11));
    kavro::device dev = kavro::device::open_first();
    const std::string file = "hpp_xfer_" + std::to_string(getpid()) + ".bin";
    std::vector<char> img(150000);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<char>(i * 7 + 1);
    std::ofstream(file, std::ios::binary).write(img.data(), (std::streamsize)img.size());

    std::vector<uint32_t> done;
    EXPECT_EQ(dev.data_write(5, 1, 0x1000, file, [&](uint32_t d, uint32_t t) {
        EXPECT_EQ(t, img.size());
        done.push_back(d);
    }),
              KAVRO_XFER_DONE);
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back(), img.size());
    // Without callbacks, and stopped by a cancel after the first piece.
    EXPECT_EQ(dev.data_read(5, file + ".back"), KAVRO_XFER_DONE);
    int pieces = 0;
    EXPECT_EQ(dev.data_read(5, file + ".back2", [&](uint32_t, uint32_t) { ++pieces; }, [&] { return pieces > 0; }),
              KAVRO_XFER_STOPPED);
    EXPECT_EQ(pieces, 1);
    std::ifstream back(file + ".back", std::ios::binary);
    const std::vector<char> got((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, img);
    for (const std::string &f : {file, file + ".back", file + ".back2"}) std::remove(f.c_str());
}

TEST_F(UsbKavroHpp, HotplugWatchWithALambda) {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::pair<kavro_hotplug_event_e, int>> events;  // event, address
    kavro::hotplug watch([&](const kavro_dev_t &rec, kavro_hotplug_event_e e) {
        std::lock_guard<std::mutex> g(mu);
        events.emplace_back(e, rec.if_info.info.usb.usb_dev_addr);
        cv.notify_all();
    });
    EXPECT_TRUE(watch.native());
    // Waits for the next event (the bound only keeps a broken build from hanging).
    auto next = [&] {
        std::unique_lock<std::mutex> g(mu);
        if (!cv.wait_for(g, std::chrono::seconds(60), [&] { return !events.empty(); }))
            return std::make_pair(static_cast<kavro_hotplug_event_e>(0), 0);
        const auto e = events.front();
        events.pop_front();
        return e;
    };
    const int c = bed_->add_camera(cam(4, 9, 0x11));
    EXPECT_EQ(next(), std::make_pair(KAVRO_HOTPLUG_ARRIVED, 9));
    bed_->unplug(c);
    EXPECT_EQ(next(), std::make_pair(KAVRO_HOTPLUG_LEFT, 9));
    bed_->replug(c);
    EXPECT_EQ(next(), std::make_pair(KAVRO_HOTPLUG_ARRIVED, 10));
}

}  // namespace
