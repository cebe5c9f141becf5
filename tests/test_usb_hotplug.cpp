// ctest-labels: unit
// Hot-plug notification through the public camera API on the emulated bus:
// a camera plugged in, unplugged and plugged in again (under a new address)
// is reported arrived, left, arrived, with its place on the bus, once each;
// cameras present at registration are reported only when asked for. Both
// ways of watching run: libusb's hot-plug events (fed by the bed's uevents)
// and the comparison of camera lists.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "kavro.h"
#include "sim_usb_bed.h"

namespace {

using namespace kavro_sim;

struct event {
    kavro_hotplug_event_e what;
    int bus, port, addr;
};

// The events a registration delivered, in order.
struct event_log {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<event> events;

    static void on_event(const kavro_dev_t *dev, kavro_hotplug_event_e what, void *arg) {
        auto *self = static_cast<event_log *>(arg);
        std::lock_guard<std::mutex> g(self->mu);
        self->events.push_back({what, dev->if_info.info.usb.usb_bus_num, dev->if_info.info.usb.usb_port_num,
                                dev->if_info.info.usb.usb_dev_addr});
        self->cv.notify_all();
    }

    // The next event. The bound only keeps a broken build from hanging: the
    // event itself is what the wait is for.
    bool next(event *out) {
        std::unique_lock<std::mutex> g(mu);
        if (!cv.wait_for(g, std::chrono::seconds(60), [this] { return !events.empty(); })) return false;
        *out = events.front();
        events.pop_front();
        return true;
    }
    size_t pending() {
        std::lock_guard<std::mutex> g(mu);
        return events.size();
    }
};

usb_cam_opts cam_at(int port, int addr) {
    usb_cam_opts o;
    o.port = port;
    o.addr = addr;
    return o;
}

struct mode {
    const char *name;
    unsigned flags;
    bool native;
};

class UsbHotplug : public ::testing::TestWithParam<mode> {
protected:
    static void SetUpTestSuite() { kavro_init("usb_hotplug.log"); }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        if (!usb_bed_available()) GTEST_SKIP() << "not running under umockdev";
        bed_ = std::make_unique<usb_bed>();
    }
    void TearDown() override {
        kavro_hotplug_deregister(hp_);
        bed_.reset();
    }
    void watch(unsigned extra_flags) {
        // A short poll interval keeps the list comparison quick; the
        // assertions never depend on it.
        hp_ = kavro_hotplug_register(event_log::on_event, &log_, GetParam().flags | extra_flags, 20);
        ASSERT_NE(hp_, nullptr);
        ASSERT_EQ(kavro_hotplug_is_native(hp_), GetParam().native);
    }
    void expect_next(kavro_hotplug_event_e what, int port, int addr) {
        event e{};
        ASSERT_TRUE(log_.next(&e)) << "no event came";
        EXPECT_EQ(e.what, what);
        EXPECT_EQ(e.bus, 1);
        EXPECT_EQ(e.port, port);
        EXPECT_EQ(e.addr, addr);
    }

    std::unique_ptr<usb_bed> bed_;
    event_log log_;
    kavro_hotplug_t *hp_ = nullptr;
};

// The emulated bus keeps an unplugged camera's sysfs entry until it is
// plugged in again (replug), so a list comparison sees the camera leave
// only then; libusb's events report it at the unplug. Either way the order
// is the same, so the test waits after each replug.
TEST_P(UsbHotplug, PlugUnplugPlugIsReportedOnceEach) {
    watch(0);
    const int cam = bed_->add_camera(cam_at(3, 5));
    expect_next(KAVRO_HOTPLUG_ARRIVED, 3, 5);
    bed_->unplug(cam);
    // Plugged in again: the same port, the next address.
    const int again = bed_->replug(cam);
    expect_next(KAVRO_HOTPLUG_LEFT, 3, 5);
    expect_next(KAVRO_HOTPLUG_ARRIVED, 3, 6);
    // The reported camera is the one that opens.
    kavro_dev_t rec{};
    rec.if_info.type = DEV_IF_USB;
    rec.if_info.info.usb.usb_bus_num = 1;
    rec.if_info.info.usb.usb_port_num = 3;
    rec.init_flag = true;
    ASSERT_EQ(kavro_dev_open(&rec), &rec);
    EXPECT_EQ(rec.if_info.info.usb.usb_dev_addr, 6);
    kavro_dev_close(&rec);
    bed_->replug(again);
    expect_next(KAVRO_HOTPLUG_LEFT, 3, 6);
    expect_next(KAVRO_HOTPLUG_ARRIVED, 3, 7);
    kavro_hotplug_deregister(hp_);
    hp_ = nullptr;
    EXPECT_EQ(log_.pending(), 0u) << "an event was reported twice";
}

TEST_P(UsbHotplug, PresentCamerasAreReportedOnlyWhenAsked) {
    const int first = bed_->add_camera(cam_at(1, 2));
    {
        // Without ENUMERATE the camera present is no news: the first event
        // is the next plug-in. It is still known, so its departure is
        // reported.
        watch(0);
        bed_->add_camera(cam_at(2, 4));
        expect_next(KAVRO_HOTPLUG_ARRIVED, 2, 4);
        bed_->replug(first);
        expect_next(KAVRO_HOTPLUG_LEFT, 1, 2);
        expect_next(KAVRO_HOTPLUG_ARRIVED, 1, 3);
        kavro_hotplug_deregister(hp_);
        hp_ = nullptr;
        EXPECT_EQ(log_.pending(), 0u);
    }
    watch(KAVRO_HOTPLUG_ENUMERATE);
    event a{}, b{};
    ASSERT_TRUE(log_.next(&a));
    ASSERT_TRUE(log_.next(&b));
    EXPECT_EQ(a.what, KAVRO_HOTPLUG_ARRIVED);
    EXPECT_EQ(b.what, KAVRO_HOTPLUG_ARRIVED);
    EXPECT_EQ((a.port == 1 && a.addr == 3 && b.port == 2 && b.addr == 4) ||
                  (a.port == 2 && a.addr == 4 && b.port == 1 && b.addr == 3),
              true)
        << "reported " << a.port << ":" << a.addr << " and " << b.port << ":" << b.addr;
}

INSTANTIATE_TEST_SUITE_P(Watch, UsbHotplug,
                         ::testing::Values(mode{"libusb_events", 0, true},
                                           mode{"list_comparison", KAVRO_HOTPLUG_POLL, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(UsbHotplugArgs, NullCallbackIsRefused) {
    EXPECT_EQ(kavro_hotplug_register(nullptr, nullptr, 0, 0), nullptr);
    kavro_hotplug_deregister(nullptr);  // ignored
    EXPECT_FALSE(kavro_hotplug_is_native(nullptr));
}

}  // namespace
