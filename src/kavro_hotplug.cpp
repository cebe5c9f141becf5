// Hot-plug notification for applications: one thread per registration
// watches the bus and calls the application back when a camera arrives or
// leaves. Where libusb has hot-plug support its events are used (see
// ll/ll_usb_hotplug.h); otherwise the thread lists the cameras every poll
// interval and reports the difference to the previous list.
//
// Both ways feed the same bookkeeping: the thread keeps the cameras known
// to be present (those reported, and without ENUMERATE those present at
// registration), so an arrival is reported once and a departure only for a
// camera known to be there.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "kavro.h"
#include "kavro_ll.h"
#include "ll/ll_usb_hotplug.h"
#include "vx_log_internal.h"

namespace {

constexpr unsigned DEFAULT_POLL_MS = 500;
constexpr int NATIVE_WAKE_MS = 200;  // how long one libusb event wait lasts at most
constexpr int POLL_LIST_MAX = 64;

// The same camera: same interface and place on it (the speed may be
// unknown when it leaves).
bool same_place(const kavro_ll_info_t &a, const kavro_ll_info_t &b) {
    if (a.type != b.type) return false;
    if (a.type == LL_IF_USB)
        return a.info.usb.usb_bus_num == b.info.usb.usb_bus_num && a.info.usb.usb_port_num == b.info.usb.usb_port_num &&
               a.info.usb.usb_dev_addr == b.info.usb.usb_dev_addr;
    return memcmp(&a.info, &b.info, sizeof a.info) == 0;
}

}  // namespace

struct kavro_hotplug {
    kavro_hotplug_f cb = nullptr;
    void *arg = nullptr;
    unsigned flags = 0;
    unsigned poll_ms = DEFAULT_POLL_MS;
    bool native = false;

    std::thread thread;
    std::mutex mutex;  // guards stop for the poll wait
    std::condition_variable wake;
    std::atomic<bool> stop{false};
    std::unique_ptr<_kavro_usb_hotplug> watch;  // native only; used by the thread
    std::vector<kavro_ll_info_t> present;       // reported as present; the thread's own

    void deliver(const kavro_ll_info_t &info, bool arrived) {
        const auto it = std::find_if(present.begin(), present.end(),
                                     [&](const kavro_ll_info_t &p) { return same_place(p, info); });
        if (arrived == (it != present.end())) return;  // already known that way
        if (arrived)
            present.push_back(info);
        else
            present.erase(it);
        kavro_dev_t rec{};
        static_assert(sizeof rec.if_info == sizeof info);
        memcpy(&rec.if_info, &info, sizeof rec.if_info);
        rec.init_flag = true;
        LOG_DBG("hot-plug: camera %s at %d:%d:%d\n", arrived ? "arrived" : "left", info.info.usb.usb_bus_num,
                info.info.usb.usb_port_num, info.info.usb.usb_dev_addr);
        cb(&rec, arrived ? KAVRO_HOTPLUG_ARRIVED : KAVRO_HOTPLUG_LEFT, arg);
    }

    void run_native() {
        std::vector<_kavro_usb_hotplug_evt> evts;
        while (!stop.load()) {
            evts.clear();
            watch->poll(NATIVE_WAKE_MS, &evts);
            for (const auto &e : evts) {
                if (stop.load()) return;
                deliver(e.info, e.arrived);
            }
        }
    }

    // One comparison of the camera list with the cameras reported.
    void poll_once(kavro_ll_dev_t *list) {
        const int n = std::clamp(kavro_ll_dev_list(list, POLL_LIST_MAX), 0, POLL_LIST_MAX);
        const std::vector<kavro_ll_info_t> before = present;
        for (const auto &p : before) {
            const bool still = std::any_of(list, list + n, [&](const kavro_ll_dev_t &d) {
                return same_place(d.ll_info, p);
            });
            if (!still) deliver(p, false);
        }
        for (int i = 0; i < n; ++i) deliver(list[i].ll_info, true);
    }

    // Without ENUMERATE the cameras present at registration are the
    // baseline, not news. Taken by the registration itself, before it
    // returns: a camera plugged in after the return is always news.
    bool take_baseline() {
        if (flags & KAVRO_HOTPLUG_ENUMERATE) return true;
        std::unique_ptr<kavro_ll_dev_t[]> list(new (std::nothrow) kavro_ll_dev_t[POLL_LIST_MAX]{});
        if (!list) return false;
        const int n = std::clamp(kavro_ll_dev_list(list.get(), POLL_LIST_MAX), 0, POLL_LIST_MAX);
        for (int i = 0; i < n; ++i) present.push_back(list[i].ll_info);
        return true;
    }

    void run_poll() {
        std::unique_ptr<kavro_ll_dev_t[]> list(new (std::nothrow) kavro_ll_dev_t[POLL_LIST_MAX]{});
        if (!list) return;
        for (;;) {
            if (stop.load()) return;
            poll_once(list.get());
            std::unique_lock<std::mutex> lk(mutex);
            wake.wait_for(lk, std::chrono::milliseconds(poll_ms), [this] { return stop.load(); });
        }
    }
};

extern "C" {

kavro_hotplug_t *kavro_hotplug_register(kavro_hotplug_f cb, void *arg, unsigned flags, unsigned poll_ms) {
    if (!cb) {
        LOG_ERR("no hot-plug callback given\n");
        return nullptr;
    }
    std::unique_ptr<kavro_hotplug> hp(new (std::nothrow) kavro_hotplug);
    if (!hp) return nullptr;
    hp->cb = cb;
    hp->arg = arg;
    hp->flags = flags;
    hp->poll_ms = poll_ms ? poll_ms : DEFAULT_POLL_MS;
    if (!(flags & KAVRO_HOTPLUG_POLL)) hp->watch = _kavro_usb_hotplug_open((flags & KAVRO_HOTPLUG_ENUMERATE) != 0);
    hp->native = hp->watch != nullptr;
    LOG_DBG("hot-plug watch: %s\n", hp->native ? "libusb hot-plug events" : "camera list comparison");
    // After the hot-plug registration: a camera plugged in meanwhile is in
    // the baseline and its queued arrival is dropped as known, never lost
    // between the two.
    if (!hp->take_baseline()) return nullptr;
    try {
        kavro_hotplug *p = hp.get();
        hp->thread = std::thread([p] {
            if (p->native)
                p->run_native();
            else
                p->run_poll();
        });
    } catch (...) {
        LOG_ERR("cannot start the hot-plug thread\n");
        return nullptr;
    }
    return hp.release();
}

bool kavro_hotplug_is_native(const kavro_hotplug_t *hp) { return hp && hp->native; }

void kavro_hotplug_deregister(kavro_hotplug_t *hp) {
    if (!hp) return;
    if (hp->thread.get_id() == std::this_thread::get_id()) {
        LOG_ERR("kavro_hotplug_deregister called from its own callback: not done\n");
        return;
    }
    {
        std::lock_guard<std::mutex> g(hp->mutex);
        hp->stop = true;
    }
    hp->wake.notify_all();
    if (hp->watch) hp->watch->interrupt();
    if (hp->thread.joinable()) hp->thread.join();
    delete hp;
}

}  // extern "C"
