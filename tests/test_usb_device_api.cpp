// ctest-labels: unit
// Calls an application makes on cameras, through the public camera API over
// the USB transport and simulated cameras on the emulated bus: the listing
// with each camera's identity and the open by serial, data transfer with
// progress and cancel on an open device, the host arrival time of each
// frame, and the organised point cloud of a live frame.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kavro.h"
#include "sim_usb_bed.h"

namespace {

using namespace kavro_sim;

constexpr uint32_t SERIAL_A[3] = {0x00000001, 0x00000002, 0x0000000A};
constexpr uint32_t SERIAL_B[3] = {0xABCDEF01, 0x20240601, 0x00000007};

usb_cam_opts cam(int port, int addr, const uint32_t serial[3]) {
    usb_cam_opts o;
    o.port = port;
    o.addr = addr;
    std::memcpy(o.fw.serial, serial, sizeof o.fw.serial);
    o.fw.sensor.fps = 30;
    o.fw.max_fps = 1000;
    o.fw.fifo_bytes = 64u << 20;
    o.fw.erase_polls = 2;
    return o;
}

uint64_t steady_ns() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class UsbDeviceApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kavro_init("usb_device_api.log"); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        if (!usb_bed_available()) GTEST_SKIP() << "not running under umockdev";
        bed_ = std::make_unique<usb_bed>();
    }
    void TearDown() override {
        if (dev_.handler) kavro_dev_close(&dev_);
        bed_.reset();
    }
    void open_one() {
        bed_->add_camera(cam(1, 2, SERIAL_A));
        dev_ = kavro_dev_t{};
        dev_.if_info.type = DEV_IF_NONE;
        ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
    }

    std::unique_ptr<usb_bed> bed_;
    kavro_dev_t dev_{};
};

// ---- identity and serial ---------------------------------------------------

TEST_F(UsbDeviceApi, ListingCarriesEachCamerasIdentity) {
    bed_->add_camera(cam(1, 2, SERIAL_A));
    bed_->add_camera(cam(2, 3, SERIAL_B));
    kavro_dev_t list[4];
    ASSERT_EQ(kavro_dev_list_ident(list, 4), 2);
    for (const kavro_dev_t &d : list) {
        if (&d == list + 2) break;
        SCOPED_TRACE(d.if_info.info.usb.usb_port_num);
        const uint32_t *want = d.if_info.info.usb.usb_port_num == 1 ? SERIAL_A : SERIAL_B;
        EXPECT_EQ(std::memcmp(d.serial, want, 12), 0);
        EXPECT_STRNE(d.product, "");
        EXPECT_EQ(d.handler, nullptr);
    }
    char text[KAVRO_SERIAL_TEXT_SIZE];
    const kavro_dev_t &b = list[0].if_info.info.usb.usb_port_num == 2 ? list[0] : list[1];
    ASSERT_TRUE(kavro_dev_serial_text(&b, text, sizeof text));
    EXPECT_STREQ(text, "ABCDEF01-20240601-00000007");
    EXPECT_FALSE(kavro_dev_serial_text(&b, text, sizeof text - 1));
}

TEST_F(UsbDeviceApi, OpenBySerialPicksThatCamera) {
    bed_->add_camera(cam(1, 2, SERIAL_A));
    bed_->add_camera(cam(2, 3, SERIAL_B));
    struct {
        const char *text;
        int port;  // 0: no camera opens
    } cases[] = {
        {"ABCDEF01-20240601-00000007", 2},
        {"  abcdef01-20240601-00000007\n", 2},  // letter case and blanks do not matter
        {"00000001-00000002-0000000A", 1},
        {"00000001-00000002-0000000B", 0},  // no such camera
        {"00000001-00000002", 0},           // not a serial
        {"0000000G-00000002-0000000A", 0},
        {nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        kavro_dev_t *d = kavro_dev_open_by_serial(nullptr, c.text);
        if (c.port == 0) {
            EXPECT_EQ(d, nullptr);
            continue;
        }
        ASSERT_NE(d, nullptr);
        EXPECT_TRUE(d->alloc_flag);
        EXPECT_EQ(d->if_info.info.usb.usb_port_num, c.port);
        const uint32_t *want = c.port == 1 ? SERIAL_A : SERIAL_B;
        EXPECT_EQ(std::memcmp(d->serial, want, 12), 0);
        kavro_dev_close(d);  // frees the library's record
    }
    // Into the caller's record.
    ASSERT_EQ(kavro_dev_open_by_serial(&dev_, "00000001-00000002-0000000A"), &dev_);
    EXPECT_FALSE(dev_.alloc_flag);
    // An open record is not taken over.
    EXPECT_EQ(kavro_dev_open_by_serial(&dev_, "ABCDEF01-20240601-00000007"), nullptr);
    EXPECT_NE(dev_.handler, nullptr);
    // A camera open here is not opened a second time.
    EXPECT_EQ(kavro_dev_open_by_serial(nullptr, "00000001-00000002-0000000A"), nullptr);
    // The camera open here answers from its record (it is not opened a
    // second time under the running device); the other one is asked.
    kavro_dev_t list[4];
    ASSERT_EQ(kavro_dev_list_ident(list, 4), 2);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const bool open_one = list[i].if_info.info.usb.usb_port_num == 1;
        EXPECT_EQ(std::memcmp(list[i].serial, open_one ? SERIAL_A : SERIAL_B, 12), 0);
        EXPECT_STREQ(list[i].product, dev_.product);
    }
    EXPECT_TRUE(kavro_cap_start(&dev_));  // the open camera is undisturbed
    std::vector<uint8_t> buf(2u << 20);
    EXPECT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), (uint32_t)buf.size(), nullptr), 1);
}

// ---- data transfer on the device --------------------------------------------

struct progress_log {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    int cancel_after = -1;  // cancel once this many progress calls came (-1: never)
    int cancel_asks = 0;
    static void on_progress(uint32_t done, uint32_t total, void *arg) {
        static_cast<progress_log *>(arg)->calls.emplace_back(done, total);
    }
    static bool on_cancel(void *arg) {
        auto *p = static_cast<progress_log *>(arg);
        ++p->cancel_asks;
        return p->cancel_after >= 0 && static_cast<int>(p->calls.size()) >= p->cancel_after;
    }
};

constexpr uint8_t DATA_TYPE = 5;  // an image type without a finishing step

TEST_F(UsbDeviceApi, TransferReportsProgressAndStopsWhenCancelled) {
    open_one();
    const std::string file = "dev_xfer_" + std::to_string(getpid()) + ".bin";
    const std::string back = file + ".back";
    std::vector<uint8_t> img(200000);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 131 + 7);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(img.data()), (std::streamsize)img.size());

    progress_log w;
    ASSERT_EQ(kavro_dev_data_write(&dev_, DATA_TYPE, 3, 0x2000, file.c_str(), progress_log::on_progress,
                                   progress_log::on_cancel, &w),
              KAVRO_XFER_DONE);
    ASSERT_GE(w.calls.size(), 2u);  // more than one packet
    for (size_t i = 0; i < w.calls.size(); ++i) {
        EXPECT_EQ(w.calls[i].second, img.size());
        if (i) {
            EXPECT_GT(w.calls[i].first, w.calls[i - 1].first);
        }
    }
    EXPECT_EQ(w.calls.back().first, img.size());
    EXPECT_GE(w.cancel_asks, static_cast<int>(w.calls.size()));
    ASSERT_NE(bed_->fw(0).image(DATA_TYPE), nullptr);
    EXPECT_EQ(bed_->fw(0).image(DATA_TYPE)->data, img);

    progress_log r;
    ASSERT_EQ(kavro_dev_data_read(&dev_, DATA_TYPE, back.c_str(), progress_log::on_progress, nullptr, &r),
              KAVRO_XFER_DONE);
    EXPECT_EQ(read_file(back), img);
    ASSERT_FALSE(r.calls.empty());
    EXPECT_EQ(r.calls.back(), std::make_pair((uint32_t)img.size(), (uint32_t)img.size()));

    // Cancelled after the first piece: the read stops and leaves no file.
    std::remove(back.c_str());
    progress_log rc;
    rc.cancel_after = 1;
    EXPECT_EQ(kavro_dev_data_read(&dev_, DATA_TYPE, back.c_str(), progress_log::on_progress,
                                  progress_log::on_cancel, &rc),
              KAVRO_XFER_STOPPED);
    EXPECT_EQ(rc.calls.size(), 1u);
    struct stat st;
    EXPECT_NE(stat(back.c_str(), &st), 0);
    // Cancelled after the first packet: the write stops there.
    progress_log wc;
    wc.cancel_after = 1;
    EXPECT_EQ(kavro_dev_data_write(&dev_, DATA_TYPE, 3, 0x2000, file.c_str(), progress_log::on_progress,
                                   progress_log::on_cancel, &wc),
              KAVRO_XFER_STOPPED);
    EXPECT_EQ(wc.calls.size(), 1u);

    // Refused while capturing, and on a closed record.
    ASSERT_TRUE(kavro_cap_start(&dev_));
    EXPECT_EQ(kavro_dev_data_read(&dev_, DATA_TYPE, back.c_str(), nullptr, nullptr, nullptr), KAVRO_XFER_FAILED);
    kavro_dev_close(&dev_);
    EXPECT_EQ(kavro_dev_data_write(&dev_, DATA_TYPE, 3, 0, file.c_str(), nullptr, nullptr, nullptr),
              KAVRO_XFER_FAILED);
    std::remove(file.c_str());
    std::remove(back.c_str());
}

// ---- frames: host arrival time, organised point cloud ---------------------

TEST_F(UsbDeviceApi, EachFrameCarriesItsHostArrivalTime) {
    open_one();
    // A recording made meanwhile carries the same arrival times.
    const std::string rec_path = "host_time_" + std::to_string(getpid()) + ".raw";
    kavro_rec_t *rec = kavro_rec_open(&dev_, rec_path.c_str());
    ASSERT_NE(rec, nullptr);
    std::vector<uint64_t> arrivals;
    const uint64_t before = steady_ns();
    ASSERT_TRUE(kavro_cap_start(&dev_));
    std::vector<uint8_t> buf(2u << 20);
    uint64_t prev = 0;
    kavro_frame_info_t last{};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        kavro_frame_t fr{};
        ASSERT_EQ(kavro_cap_get_frames(&dev_, 1, buf.data(), (uint32_t)buf.size(), &fr), 1);
        const uint64_t after = steady_ns();
        uint64_t t = 0;
        ASSERT_TRUE(kavro_frame_get_host_time(&dev_, &fr.frame_info, &t));
        // The frame arrived after the capture started and before the call
        // returned it, and after the frame before it.
        EXPECT_GE(t, before);
        EXPECT_LE(t, after);
        EXPECT_GT(t, prev);
        prev = t;
        last = fr.frame_info;
        fr.frame_data = buf.data();
        ASSERT_TRUE(kavro_rec_add(rec, &fr));
        arrivals.push_back(t);
    }
    ASSERT_TRUE(kavro_rec_close(rec));
    // Side file lines "frame N CB IB HOST_US FLAGS".
    std::ifstream info(rec_path + ".info");
    std::vector<uint64_t> recorded;
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("frame ", 0) != 0) continue;
        std::istringstream ls(line);
        std::string word;
        unsigned n = 0;
        int cb = 0, ib = 0;
        uint64_t us = 0;
        ASSERT_TRUE(ls >> word >> n >> cb >> ib >> us) << line;
        recorded.push_back(us);
    }
    ASSERT_EQ(recorded.size(), arrivals.size());
    for (size_t i = 0; i < arrivals.size(); ++i) EXPECT_EQ(recorded[i], arrivals[i] / 1000) << i;
    for (const char *ext : {"", ".info", ".calib"}) std::remove((rec_path + ext).c_str());
    // Still found later; a frame never delivered is not.
    uint64_t t = 0;
    EXPECT_TRUE(kavro_frame_get_host_time(&dev_, &last, &t));
    EXPECT_EQ(t, prev);
    kavro_frame_info_t other = last;
    other.frame_idx = static_cast<uint16_t>(last.frame_idx + 1000);
    t = 7;
    EXPECT_FALSE(kavro_frame_get_host_time(&dev_, &other, &t));
    EXPECT_EQ(t, 7u);
    kavro_dev_close(&dev_);
    EXPECT_FALSE(kavro_frame_get_host_time(&dev_, &last, &t));
}

TEST_F(UsbDeviceApi, OrganisedCloudHoldsEveryPixelInPlace) {
    open_one();
    std::vector<uint8_t> buf(2u << 20);
    kavro_frame_t fr{};
    ASSERT_TRUE(kavro_cap_snapshot(&dev_, buf.data(), (uint32_t)buf.size(), &fr));
    const int w = (int)fr.frame_info.width, h = (int)fr.frame_info.height;
    const int px = w * h;
    std::vector<float> dist(static_cast<size_t>(px));
    ASSERT_EQ(kavro_frame_get_distance(&dev_, dist.data(), px, buf.data(), (int)buf.size(), &fr.frame_info), px);
    // Some pixels are left out whatever the scene: a rejected border and one
    // pixel made invalid here.
    dist[0] = KAVRO_DIST_REJECTED;
    dist[1] = 0.0f;

    const kavro_camera_para_t pinhole{(w - 1) / 2.0f, (h - 1) / 2.0f, 200.0f, 200.0f, 1.0f};
    const kavro_camera_para_t *lens[] = {nullptr, &pinhole};
    for (const kavro_camera_para_t *cam : lens) {
        SCOPED_TRACE(cam ? "caller's pinhole" : "driver's lens");
        std::vector<float> flat(static_cast<size_t>(px) * 3);
        const int n = kavro_frame_get_pcl(&dev_, flat.data(), (int)flat.size(), dist.data(), px, w, h, cam);
        ASSERT_GT(n, 0);
        std::vector<float> org(static_cast<size_t>(px) * 3, 123.0f);
        ASSERT_EQ(kavro_frame_get_pcl_organized(&dev_, org.data(), (int)org.size(), dist.data(), px, w, h, cam), n);
        // The valid points, in pixel order, are the flat cloud's; every
        // other pixel is NaN in all three, and pixel i is at slot i.
        int k = 0;
        for (int i = 0; i < px; ++i) {
            const float *p = &org[static_cast<size_t>(i) * 3];
            const float d = dist[static_cast<size_t>(i)];
            if (std::isnan(p[0])) {
                ASSERT_TRUE(std::isnan(p[1]) && std::isnan(p[2])) << i;
                continue;
            }
            ASSERT_TRUE(d > 0.0f && d < 60.0f) << "pixel " << i << " has a point for distance " << d;
            ASSERT_LT(k, n);
            ASSERT_EQ(std::memcmp(p, &flat[static_cast<size_t>(k) * 3], 3 * sizeof(float)), 0) << i;
            // The point lies at the pixel's distance.
            EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), d, 1e-4f * d + 1e-5f);
            ++k;
        }
        EXPECT_EQ(k, n);
        EXPECT_TRUE(std::isnan(org[0]) && std::isnan(org[3]));
    }
    // Too small an output: refused, untouched.
    std::vector<float> small(static_cast<size_t>(px) * 3 - 1, 5.0f);
    EXPECT_EQ(kavro_frame_get_pcl_organized(&dev_, small.data(), (int)small.size(), dist.data(), px, w, h, nullptr),
              -1);
    EXPECT_EQ(small[0], 5.0f);
    EXPECT_EQ(kavro_frame_get_pcl_organized(&dev_, small.data(), (int)small.size(), dist.data(), px - 1, w, h,
                                            nullptr),
              -1);
}

}  // namespace
