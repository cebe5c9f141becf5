// Simulated cameras on an emulated USB bus; see sim_usb_bed.h.
#include "sim_usb_bed.h"

#include <errno.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "sim_tsan.h"

// What ThreadSanitizer cannot see on this bed (sim_tsan.h).
extern "C" const char* __tsan_default_suppressions()
{
    return KAVRO_SIM_TSAN_SUPPRESSIONS;
}

#if defined(KAVRO_SIM_TSAN)
// The runtime's annotations (usb_bed::cam::deliver).
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace kavro_sim {

namespace {

std::string hex(const std::vector<uint8_t>& v)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// The process-wide testbed and the hubs already on it.
std::mutex g_tb_mu;
UMockdevTestbed* g_tb = nullptr;
std::set<int> g_hubs;

UMockdevTestbed* testbed()
{
    std::lock_guard<std::mutex> g(g_tb_mu);
    if (!g_tb)
        g_tb = umockdev_testbed_new();  // sets UMOCKDEV_DIR for this process
    return g_tb;
}

void add_hub(int bus)
{
    std::lock_guard<std::mutex> g(g_tb_mu);
    if (g_hubs.count(bus))
        return;
    const std::vector<uint8_t> hub = {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x06, 0x06, 3, 2, 1, 1,
                                      9, 2, 25, 0, 1, 1, 0, 0xe0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0,
                                      7, 5, 0x81, 3, 4, 0, 12};
    char buf[2048];
    std::snprintf(buf, sizeof buf,
                  "P: /devices/usb%d\nN: bus/usb/%03d/001\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=%03d\nE: DEVNUM=001\n"
                  "E: DEVNAME=/dev/bus/usb/%03d/001\n"
                  "A: busnum=%d\\n\nA: devnum=1\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
                  "H: descriptors=%s\n",
                  bus, bus, bus, bus, bus, hex(hub).c_str());
    GError* e = nullptr;
    if (!umockdev_testbed_add_from_string(g_tb, buf, &e))
        throw std::runtime_error(std::string("usb bed: add hub: ") + (e ? e->message : "?"));
    g_hubs.insert(bus);
}

UMockdevIoctlData* resolve(UMockdevIoctlData* d, size_t off, size_t len)
{
    GError* e = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(d, off, len, &e);
    if (!r) {
        std::fprintf(stderr, "usb bed: resolve failed: %s\n", e ? e->message : "?");
        g_clear_error(&e);
    }
    return r;
}

void finish(UMockdevIoctlClient* c, long res, int err) { umockdev_ioctl_client_complete(c, res, err); }

usbdevfs_urb* urb(UMockdevIoctlData* d) { return reinterpret_cast<usbdevfs_urb*>(d->data); }

}  // namespace

bool usb_bed_available()
{
    const char* pre = std::getenv("LD_PRELOAD");
    return pre && std::strstr(pre, "libumockdev-preload");
}

struct usb_bed::cam {
    usb_cam_opts opt;
    std::unique_ptr<firmware> fw;
    UMockdevTestbed* tb = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string devnode, syspath;

    std::mutex mu;
    std::condition_variable pump_cv;
    std::deque<UMockdevIoctlData*> done;  // completed URBs waiting to be reaped
    std::deque<UMockdevIoctlData*> in_q;  // bulk IN URBs in order
    std::deque<UMockdevIoctlData*> hung;  // control URBs that never complete
    // Cancelled bulk IN URBs whose cancellation is reported later.
    struct cancelling_t {
        UMockdevIoctlData* ud;
        std::chrono::steady_clock::time_point due;
    };
    std::deque<cancelling_t> cancelling;
    std::set<UMockdevIoctlData*> slow_cancel;  // URBs whose cancellation is reported late
    int cancel_delay_ms = 0;
    std::vector<usb_ctrl_record> ctrl_log;
    // Bytes that already left the device's FIFO for the endpoint: read for
    // a URB that was discarded meanwhile, or put there by a test. They go
    // out first, with the next bulk IN URBs, whatever the firmware does in
    // between (a capture stop empties the FIFO, not the endpoint).
    std::vector<uint8_t> carry;
    // The URB the pump is reading the firmware for with the lock released.
    // A discard of it waits until the read is over, so whatever the device
    // sent meanwhile is in the URB or in `carry` when the cancellation
    // returns, as it would be in a host controller, not still on its way.
    UMockdevIoctlData* fetching = nullptr;
    std::atomic<int> handover_ms{0};  // see usb_bed::slow_handover
    std::condition_variable fetch_cv;
    int discards_waiting = 0;  // discards waiting for a read to end; no new read starts meanwhile
    // A halt or an injected time-out that the endpoint produced while the
    // URB it was read for was discarded meanwhile (the host cancelled it):
    // it hits the next URB in the queue, as the next token on the wire
    // would, instead of being lost. A lost halt would leave the endpoint
    // halted with no completion telling the host to clear it, and the stream
    // would stop for good.
    bool stall_pending = false;
    bool hold_pending = false;
    UMockdevIoctlData* held = nullptr;    // URB waiting for the host's time-out
    uint8_t ovr_type = 0, ovr_val = 0;    // status answers rewritten for tests
    int out_damage_at = -1;               // bulk OUT packets until the damaged one
    int ovr_count = 0;
    bool ep_halted = false;
    bool unplugged = false;
    bool left_bus = false;  // leave_bus() ran
    bool quit = false;
    usb_cam_stats st;

    // Parked empty reaps: the emulated node always polls writable, so an
    // empty REAPURBNDELAY is held briefly (released early on any completion)
    // instead of letting the event loop spin.
    struct parked_t {
        UMockdevIoctlClient* c;
        std::chrono::steady_clock::time_point deadline;
    };
    std::deque<parked_t> parked;
    bool release_all = false;
    std::condition_variable park_cv;
    std::thread waker, pump;

    // Requests being handled on umockdev's thread: the camera is torn down
    // only after the last one has left (and none starts once detached).
    std::mutex live_mu;
    std::condition_variable live_cv;
    int in_ioctl = 0;
    bool detached = false;

    void kick()  // mu held
    {
        if (!parked.empty()) {
            release_all = true;
            park_cv.notify_one();
        }
    }

    void waker_loop()
    {
        std::unique_lock<std::mutex> g(mu);
        while (!quit) {
            if (parked.empty()) {
                park_cv.wait(g);
                continue;
            }
            if (!release_all && park_cv.wait_until(g, parked.front().deadline) == std::cv_status::no_timeout)
                continue;
            const auto now = std::chrono::steady_clock::now();
            std::vector<UMockdevIoctlClient*> out;
            while (!parked.empty() && (release_all || parked.front().deadline <= now)) {
                out.push_back(parked.front().c);
                parked.pop_front();
            }
            release_all = false;
            g.unlock();
            for (auto* c : out) {
                finish(c, -1, EAGAIN);
                g_object_unref(c);
            }
            g.lock();
        }
    }

    // The bytes of a bulk IN transfer go straight into the host's buffer
    // (the bed runs in the host's process), before complete() queues the
    // URB for reaping under `mu`. The host reads them only after it reaped
    // the URB, whose answer reaches it over umockdev's socket: a hand-off
    // ThreadSanitizer does not take as synchronisation. It is told to leave
    // these writes out (a suppression would not do: the writer's stack is
    // often gone from its history by the time the host reads).
    static void deliver(UMockdevIoctlData* ud, const uint8_t* data, size_t n)
    {
#if defined(KAVRO_SIM_TSAN)
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
        std::memcpy(reinterpret_cast<void*>(urb(ud)->buffer), data, n);
#if defined(KAVRO_SIM_TSAN)
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    }

    void complete(UMockdevIoctlData* ud, int status, int len)  // mu held
    {
        slow_cancel.erase(ud);
        urb(ud)->status = status;
        urb(ud)->actual_length = len;
        done.push_back(ud);
        kick();
    }

    // Every queued transfer ends: the device left the bus.
    void drop_all(int status)  // mu held
    {
        for (auto* ud : in_q)
            complete(ud, status, 0);
        in_q.clear();
        for (auto& cx : cancelling)
            complete(cx.ud, -ENOENT, 0);
        cancelling.clear();
        held = nullptr;
        stall_pending = hold_pending = false;
        for (auto* ud : hung)
            complete(ud, status, 0);
        hung.clear();
    }

    void do_unplug()
    {
        {
            std::lock_guard<std::mutex> g(mu);
            if (unplugged)
                return;
            unplugged = true;
            st.unplugged = true;
            drop_all(-ESHUTDOWN);
        }
        umockdev_testbed_uevent(tb, syspath.c_str(), "remove");
    }

    // Bytes already waiting in the endpoint (an earlier stream's tail) go into
    // a bulk IN URB the moment it is submitted, as a host controller takes
    // what the device's FIFO holds. Leaving them to the pump thread would let
    // a busy machine time out a short read of bytes that were there all along.
    bool take_waiting_bytes(UMockdevIoctlData* ud)  // mu held
    {
        if (carry.empty() || !in_q.empty() || unplugged || ep_halted || held || stall_pending || hold_pending)
            return false;
        const size_t n = std::min(carry.size(), (size_t)urb(ud)->buffer_length);
        deliver(ud, carry.data(), n);
        carry.erase(carry.begin(), carry.begin() + (long)n);
        ++st.bulk_in_urbs;
        st.bulk_in_bytes += (uint64_t)n;
        complete(ud, 0, (int)n);
        return true;
    }

    // Moves the byte stream into the queued bulk IN URBs, in order.
    void pump_loop()
    {
        std::vector<uint8_t> stage;
        std::unique_lock<std::mutex> g(mu);
        while (!quit) {
            const auto now = std::chrono::steady_clock::now();
            while (!cancelling.empty() && cancelling.front().due <= now) {
                complete(cancelling.front().ud, -ENOENT, 0);
                cancelling.pop_front();
                ++st.late_cancels;
            }
            if (!in_q.empty() && !unplugged && stall_pending) {
                UMockdevIoctlData* ud = in_q.front();
                in_q.pop_front();
                stall_pending = false;
                complete(ud, -EPIPE, 0);
                continue;
            }
            if (!in_q.empty() && !unplugged && !ep_halted && !held && hold_pending) {
                held = in_q.front();
                hold_pending = false;
                continue;
            }
            if (in_q.empty() || ep_halted || unplugged || held) {
                pump_cv.wait_for(g, std::chrono::milliseconds(20));
                continue;
            }
            if (discards_waiting > 0) {  // let the cancellation in before the next read
                pump_cv.wait_for(g, std::chrono::milliseconds(20));
                continue;
            }
            UMockdevIoctlData* ud = in_q.front();
            const int cap = urb(ud)->buffer_length;
            xfer_result r{xfer_status::ok, 0};
            bool injected_timeout = false;
            if (!carry.empty()) {
                const size_t n = std::min(carry.size(), (size_t)cap);
                stage.assign(carry.begin(), carry.begin() + (long)n);
                carry.erase(carry.begin(), carry.begin() + (long)n);
                r.len = (int)n;
            } else {
                fetching = ud;
                g.unlock();
                stage.resize((size_t)cap);
                const uint32_t before = fw->counts().bulk_timeout;
                r = fw->bulk_in(stage.data(), cap, 10);
                injected_timeout = r.status == xfer_status::timeout && fw->counts().bulk_timeout != before;
                if (const int lag = handover_ms.load(); lag > 0 && r.len > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(lag));
                g.lock();
                fetching = nullptr;
                // Woken only once this round is done (below), with the bytes
                // already in the URB or in `carry`.
            }
            struct fetch_done_t {
                std::condition_variable& cv;
                ~fetch_done_t() { cv.notify_all(); }
            } fetch_done{fetch_cv};
            const bool still_head = !in_q.empty() && in_q.front() == ud;
            if (r.status == xfer_status::ok && r.len > 0) {
                if (!still_head) {  // cancelled meanwhile: the bytes go to the next URB
                    carry.insert(carry.begin(), stage.begin(), stage.begin() + r.len);
                    continue;
                }
                in_q.pop_front();
                deliver(ud, stage.data(), (size_t)r.len);
                ++st.bulk_in_urbs;
                st.bulk_in_bytes += (uint64_t)r.len;
                complete(ud, 0, r.len);
            } else if (r.status == xfer_status::stall) {
                if (still_head) {
                    in_q.pop_front();
                    complete(ud, -EPIPE, 0);
                } else {
                    stall_pending = true;
                }
                ep_halted = true;
            } else if (r.status == xfer_status::timeout && injected_timeout) {
                if (still_head)
                    held = ud;  // no data for this one until the host gives up on it
                else
                    hold_pending = true;
            } else if (r.status == xfer_status::no_device) {
                if (fw->state() == usb_state::gone) {
                    g.unlock();
                    do_unplug();
                    g.lock();
                } else {
                    drop_all(-ESHUTDOWN);  // reset: off the bus for a while
                }
            }
        }
    }

    bool device_off()  // the device does not answer (gone or resetting)
    {
        return unplugged || fw->state() != usb_state::attached;
    }

    gboolean on_ioctl(UMockdevIoctlClient* client)
    {
        const unsigned long req = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        if (req != USBDEVFS_REAPURB && req != USBDEVFS_REAPURBNDELAY && req != USBDEVFS_DISCARDURB &&
            req != USBDEVFS_GET_CAPABILITIES && req != USBDEVFS_SUBMITURB) {
            bool off;
            {
                std::lock_guard<std::mutex> g(mu);
                off = unplugged;
            }
            if (off || fw->state() != usb_state::attached) {
                finish(client, -1, ENODEV);
                return TRUE;
            }
        }
        switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(uint32_t));
            // Scatter-gather, as an xHCI host offers: libusb then sends each
            // bulk transfer as one URB. Without it, libusb cuts a transfer
            // into 16 KiB URBs and discards the rest after a short one; a
            // halt met by one of those discarded URBs is swallowed by libusb
            // (the transfer reports success) and the stream stops for good.
            *(uint32_t*)d->data = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_BULK_SCATTER_GATHER;
            g_object_unref(d);
            finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GET_SPEED:
            finish(client, opt.speed_mbps >= 480 ? 3 : 2, 0);
            return TRUE;
        case USBDEVFS_SETCONFIGURATION: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(int));
            const int cfg = *(int*)d->data;
            g_object_unref(d);
            if (cfg != 1 && cfg != 0 && cfg != -1) {
                finish(client, -1, EINVAL);
                return TRUE;
            }
            {
                std::lock_guard<std::mutex> g(mu);
                st.configuration = cfg < 0 ? 0 : cfg;
            }
            finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(unsigned));
            const unsigned ifc = *(unsigned*)d->data;
            g_object_unref(d);
            std::lock_guard<std::mutex> g(mu);
            if (ifc > 1 || st.configuration != 1) {
                finish(client, -1, ifc > 1 ? ENOENT : EINVAL);
                return TRUE;
            }
            if (req == USBDEVFS_RELEASEINTERFACE)
                st.claimed_mask &= ~(1u << ifc);
            else
                st.claimed_mask |= 1u << ifc;
            finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER:
            finish(client, -1, ENODATA);  // no system driver bound
            return TRUE;
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_ioctl));
            const int code = ((usbdevfs_ioctl*)d->data)->ioctl_code;
            g_object_unref(d);
            if (code == USBDEVFS_DISCONNECT)
                finish(client, -1, ENODATA);
            else
                finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(unsigned));
            const unsigned ep = *(unsigned*)d->data;
            g_object_unref(d);
            if (ep != VXIF_EP_BULK_IN && ep != VXIF_EP_BULK_OUT) {
                finish(client, -1, ENOENT);
                return TRUE;
            }
            if (req == USBDEVFS_CLEAR_HALT && ep == VXIF_EP_BULK_IN) {
                fw->clear_halt();
                std::lock_guard<std::mutex> g(mu);
                ++st.clear_halts;
                ep_halted = false;
                stall_pending = false;
                pump_cv.notify_all();
            }
            finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_RESET:
            finish(client, 0, 0);
            return TRUE;
        case USBDEVFS_CONTROL: {  // synchronous control transfer
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
            auto* ct = (usbdevfs_ctrltransfer*)d->data;
            uint8_t s[8] = {ct->bRequestType, ct->bRequest, (uint8_t)ct->wValue, (uint8_t)(ct->wValue >> 8),
                            (uint8_t)ct->wIndex, (uint8_t)(ct->wIndex >> 8), (uint8_t)ct->wLength,
                            (uint8_t)(ct->wLength >> 8)};
            UMockdevIoctlData* b =
                ct->wLength ? resolve(d, offsetof(usbdevfs_ctrltransfer, data), ct->wLength) : nullptr;
            std::vector<uint8_t> tmp(ct->wLength + 1u);
            if (b)
                std::memcpy(tmp.data(), b->data, ct->wLength);
            const xfer_result r = fw->control(s, tmp.data());
            if (b) {
                if (s[0] & USB_DIR_IN)
                    std::memcpy(b->data, tmp.data(), ct->wLength);
                g_object_unref(b);
            }
            g_object_unref(d);
            if (r.status == xfer_status::ok)
                finish(client, r.len, 0);
            else
                finish(client, -1, r.status == xfer_status::no_device ? ENODEV : EPIPE);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        default:
            finish(client, -1, ENOTTY);
            return TRUE;
        }
    }

    gboolean discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        const unsigned long addr = *(unsigned long*)arg->data;
        std::unique_lock<std::mutex> g(mu);
        ++discards_waiting;
        fetch_cv.wait(g, [&] { return !fetching || fetching->client_addr != addr; });
        --discards_waiting;
        pump_cv.notify_all();
        ++st.discards;
        for (auto it = in_q.begin(); it != in_q.end(); ++it) {
            if ((*it)->client_addr != addr)
                continue;
            UMockdevIoctlData* ud = *it;
            in_q.erase(it);
            if (held == ud)
                held = nullptr;
            if (slow_cancel.erase(ud)) {
                cancelling.push_back(
                    {ud, std::chrono::steady_clock::now() + std::chrono::milliseconds(cancel_delay_ms)});
            } else
                complete(ud, -ENOENT, 0);
            pump_cv.notify_all();
            finish(client, 0, 0);
            return TRUE;
        }
        for (auto it = hung.begin(); it != hung.end(); ++it) {
            if ((*it)->client_addr != addr)
                continue;
            if (!opt.hang_ignores_cancel) {
                UMockdevIoctlData* ud = *it;
                hung.erase(it);
                complete(ud, -ENOENT, 0);
            }
            finish(client, 0, 0);  // accepted (and, for a hanging device, ignored)
            return TRUE;
        }
        finish(client, -1, EINVAL);  // already completed
        return TRUE;
    }

    gboolean submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* ud = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!ud) {
            finish(client, -1, EFAULT);
            return TRUE;
        }
        usbdevfs_urb* u = urb(ud);
        u->status = 0;
        u->actual_length = 0;
        {
            std::lock_guard<std::mutex> g(mu);
            if (unplugged) {
                g_object_unref(ud);
                finish(client, -1, ENODEV);
                return TRUE;
            }
        }
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (u->buffer_length < 8) {
                g_object_unref(ud);
                finish(client, -1, EINVAL);
                return TRUE;
            }
            UMockdevIoctlData* b = resolve(ud, offsetof(usbdevfs_urb, buffer), (size_t)u->buffer_length);
            uint8_t s[8];
            std::memcpy(s, b->data, 8);
            const int wlen = s[6] | s[7] << 8;
            if (u->buffer_length < 8 + wlen) {
                g_object_unref(b);
                g_object_unref(ud);
                finish(client, -1, EINVAL);
                return TRUE;
            }
            const xfer_result r = fw->control(s, b->data + 8);
            if (s[1] == VXIF_REQ_STATUS && r.status == xfer_status::ok && wlen >= 3) {
                std::lock_guard<std::mutex> g(mu);
                if (ovr_count > 0) {
                    --ovr_count;
                    b->data[8 + 1] = ovr_type;
                    b->data[8 + 2] = ovr_val;
                }
            }
            usb_ctrl_record rec;
            std::memcpy(rec.setup.data(), s, 8);
            rec.data.assign(b->data + 8, b->data + 8 + (r.status == xfer_status::ok ? r.len : 0));
            g_object_unref(b);
            std::lock_guard<std::mutex> g(mu);
            ++st.submits;
            ctrl_log.push_back(std::move(rec));
            switch (r.status) {
            case xfer_status::ok: complete(ud, 0, (s[0] & USB_DIR_IN) ? r.len : wlen); break;
            case xfer_status::pending:
                ++st.hung_ctrl;
                hung.push_back(ud);
                break;
            case xfer_status::no_device: complete(ud, -ESHUTDOWN, 0); break;
            default: complete(ud, -EPIPE, 0); break;
            }
        } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == VXIF_EP_BULK_IN) {
            // Bytes already waiting fill the URB in the submission itself
            // (a host controller takes what the endpoint holds at once).
            // The submission is answered with `mu` held: answering copies
            // `ud` back to the host, and once queued the pump thread may
            // complete it at any moment, writing its status and length into
            // `ud`.
            std::lock_guard<std::mutex> g(mu);
            ++st.submits;
            if (!take_waiting_bytes(ud)) {
                in_q.push_back(ud);
                pump_cv.notify_all();
            }
            finish(client, 0, 0);
            return TRUE;
        } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == VXIF_EP_BULK_OUT) {
            UMockdevIoctlData* b = resolve(ud, offsetof(usbdevfs_urb, buffer), (size_t)u->buffer_length);
            bool damage;
            {
                std::lock_guard<std::mutex> g(mu);
                damage = out_damage_at == 0;
                if (out_damage_at >= 0)
                    --out_damage_at;
            }
            xfer_result r;
            if (damage && u->buffer_length > 0) {  // a bit flipped on the line
                std::vector<uint8_t> pk(b->data, b->data + u->buffer_length);
                pk.back() ^= 0x01;
                r = fw->bulk_out(pk.data(), u->buffer_length);
            } else {
                r = fw->bulk_out(b->data, u->buffer_length);
            }
            g_object_unref(b);
            std::lock_guard<std::mutex> g(mu);
            ++st.submits;
            if (r.status == xfer_status::ok) {
                st.bulk_out_bytes += (uint64_t)r.len;
                complete(ud, 0, r.len);
            } else {
                complete(ud, r.status == xfer_status::no_device ? -ESHUTDOWN : -EPIPE, 0);
            }
        } else {
            g_object_unref(ud);
            finish(client, -1, ENOENT);
            return TRUE;
        }
        finish(client, 0, 0);
        return TRUE;
    }

    gboolean reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* ud = nullptr;
        {
            std::lock_guard<std::mutex> g(mu);
            if (!done.empty()) {
                ud = done.front();
                done.pop_front();
                ++st.reaps;
            } else {
                ++st.reaps_empty;
                if (unplugged) {
                    finish(client, -1, ENODEV);
                    return TRUE;
                }
                if (opt.park_us > 0) {
                    parked.push_back({(UMockdevIoctlClient*)g_object_ref(client),
                                      std::chrono::steady_clock::now() + std::chrono::microseconds(opt.park_us)});
                    park_cv.notify_one();
                    return TRUE;  // answered by waker_loop()
                }
            }
        }
        if (!ud) {
            finish(client, -1, EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
        umockdev_ioctl_data_set_ptr(slot, 0, ud);
        finish(client, 0, 0);
        g_object_unref(slot);
        g_object_unref(ud);
        return TRUE;
    }

    // The device's entry leaves the emulated bus for good: no request
    // reaches the handler any more (the last one in progress is waited for)
    // and the sysfs device and its node are removed, so an enumeration no
    // longer finds it. Once only.
    void leave_bus()
    {
        if (!tb || left_bus)
            return;
        left_bus = true;
        umockdev_testbed_detach_ioctl(tb, devnode.c_str(), nullptr);
        {
            std::unique_lock<std::mutex> g(live_mu);
            detached = true;
            live_cv.wait(g, [this] { return in_ioctl == 0; });
        }
        umockdev_testbed_remove_device(tb, syspath.c_str());
    }

    ~cam()
    {
        {
            std::lock_guard<std::mutex> g(mu);
            quit = true;
            park_cv.notify_all();
            pump_cv.notify_all();
        }
        if (pump.joinable())
            pump.join();
        if (waker.joinable())
            waker.join();
        for (auto& p : parked) {
            finish(p.c, -1, EAGAIN);
            g_object_unref(p.c);
        }
        leave_bus();
        if (handler)
            g_object_unref(handler);
        for (auto* u : done)
            g_object_unref(u);
        for (auto* u : in_q)
            g_object_unref(u);
        for (auto* u : hung)
            g_object_unref(u);
        for (auto& cx : cancelling)
            g_object_unref(cx.ud);
    }
};

static gboolean on_ioctl_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* c = static_cast<usb_bed::cam*>(self);
    {
        std::lock_guard<std::mutex> g(c->live_mu);
        if (c->detached)
            return FALSE;
        ++c->in_ioctl;
    }
    const gboolean r = c->on_ioctl(client);
    std::lock_guard<std::mutex> g(c->live_mu);
    if (--c->in_ioctl == 0)
        c->live_cv.notify_all();
    return r;
}

usb_bed::usb_bed()
{
    if (!usb_bed_available())
        throw std::runtime_error("usb bed: not running under libumockdev-preload");
    testbed();
}

usb_bed::~usb_bed() = default;

int usb_bed::add_camera(const usb_cam_opts& o)
{
    auto c = std::make_unique<cam>();
    c->opt = o;
    c->opt.fw.virtual_time = false;
    c->fw = std::make_unique<firmware>(c->opt.fw);
    c->st.configuration = 1;
    c->tb = testbed();
    add_hub(o.bus);
    char node[64], sys[64], name[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", o.bus, o.addr);
    std::snprintf(name, sizeof name, "%d-%d", o.bus, o.port);
    std::snprintf(sys, sizeof sys, "/sys/devices/usb%d/%s", o.bus, name);
    c->devnode = node;
    c->syspath = sys;
    const uint16_t bcd_usb = o.speed_mbps >= 480 ? 0x0200 : 0x0110;
    const std::vector<uint8_t> dev_desc = {18, USB_DT_DEVICE, (uint8_t)bcd_usb, (uint8_t)(bcd_usb >> 8), 0, 0, 0, 64,
                                           (uint8_t)(KAVRO_USB_VID & 0xff), (uint8_t)(KAVRO_USB_VID >> 8),
                                           (uint8_t)(KAVRO_USB_PID & 0xff), (uint8_t)(KAVRO_USB_PID >> 8),
                                           0x00, 0x01, 0, 0, 0, 1};
    const uint8_t mps_lo = o.speed_mbps >= 480 ? 0x00 : 0x40, mps_hi = o.speed_mbps >= 480 ? 0x02 : 0x00;
    const std::vector<uint8_t> cfg_desc = {9, USB_DT_CONFIG, 41, 0, 2, 1, 0, 0x80, 250,
                                           9, USB_DT_INTERFACE, 0, 0, 2, 0xff, 0x00, 0x00, 0,
                                           7, USB_DT_ENDPOINT, VXIF_EP_BULK_IN, USB_ENDPOINT_XFER_BULK, mps_lo, mps_hi, 0,
                                           7, USB_DT_ENDPOINT, VXIF_EP_BULK_OUT, USB_ENDPOINT_XFER_BULK, mps_lo, mps_hi, 0,
                                           9, USB_DT_INTERFACE, 1, 0, 0, 0xff, 0x01, 0x00, 0};
    std::vector<uint8_t> desc = dev_desc;
    desc.insert(desc.end(), cfg_desc.begin(), cfg_desc.end());

    cam* raw = c.get();
    c->waker = std::thread([raw] { raw->waker_loop(); });
    c->pump = std::thread([raw] { raw->pump_loop(); });
    c->handler = umockdev_ioctl_base_new();
    g_signal_connect_after(c->handler, "handle-ioctl", G_CALLBACK(on_ioctl_cb), raw);
    GError* e = nullptr;
    if (!umockdev_testbed_attach_ioctl(c->tb, node, c->handler, &e))
        throw std::runtime_error(std::string("usb bed: attach_ioctl: ") + (e ? e->message : "?"));
    char buf[4096];
    std::snprintf(buf, sizeof buf,
                  "P: /devices/usb%d/%s\nN: bus/usb/%03d/%03d\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n"
                  "E: DEVNAME=%s\n"
                  "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=%d\\n\nA: bConfigurationValue=1\\n\n"
                  "A: devpath=%d\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\nH: descriptors=%s\n",
                  o.bus, name, o.bus, o.addr, o.bus, o.addr, node, o.bus, o.addr, o.speed_mbps, o.port,
                  KAVRO_USB_VID, KAVRO_USB_PID, hex(desc).c_str());
    if (!umockdev_testbed_add_from_string(c->tb, buf, &e))
        throw std::runtime_error(std::string("usb bed: add camera: ") + (e ? e->message : "?"));
    cams_.push_back(std::move(c));
    return (int)cams_.size() - 1;
}

firmware& usb_bed::fw(int i) { return *cams_.at((size_t)i)->fw; }

usb_cam_stats usb_bed::stats(int i)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    usb_cam_stats s = c.st;
    s.cancels_waiting = (uint32_t)c.cancelling.size();
    s.hung_ctrl = c.st.hung_ctrl;
    return s;
}

std::vector<usb_ctrl_record> usb_bed::take_ctrl_log(int i)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    std::vector<usb_ctrl_record> out;
    out.swap(c.ctrl_log);
    return out;
}

void usb_bed::override_status(int i, uint8_t type, uint8_t val, int count)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    c.ovr_type = type;
    c.ovr_val = val;
    c.ovr_count = count;
}

void usb_bed::damage_bulk_out(int i, int nth)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    c.out_damage_at = nth;
}

void usb_bed::unplug(int i) { cams_.at((size_t)i)->do_unplug(); }

int usb_bed::replug(int i)
{
    cam& c = *cams_.at((size_t)i);
    c.do_unplug();
    c.leave_bus();
    usb_cam_opts o = c.opt;
    o.addr = c.opt.addr >= 127 ? 2 : c.opt.addr + 1;  // the bus gives a new address
    return add_camera(o);
}

void usb_bed::delay_cancels(int i, int ms)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    c.slow_cancel.insert(c.in_q.begin(), c.in_q.end());
    c.cancel_delay_ms = ms;
}

void usb_bed::slow_handover(int i, int ms) { cams_.at((size_t)i)->handover_ms.store(ms); }

void usb_bed::stale_in(int i, const std::vector<uint8_t>& bytes)
{
    cam& c = *cams_.at((size_t)i);
    std::lock_guard<std::mutex> g(c.mu);
    c.carry.insert(c.carry.end(), bytes.begin(), bytes.end());
    c.pump_cv.notify_all();
}

}  // namespace kavro_sim
