// USB transport on libusb-1.0: listing cameras, opening one with its own
// context and event thread, the command channel on endpoint 0 (each command
// checked by asking the device for the status of its last command), resets,
// the ring of bulk IN transfers that carries the camera byte stream, and bulk
// OUT blocks for the data transfer.
#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "ll/ll_imp.h"
#include "ll/ll_usb_proto.h"
#include "vx_log_internal.h"
#include "vx_port.h"

namespace {

struct ll_dev_usb_t;

// One control (or bulk OUT) transfer waited on by a command. The waiter
// owns it until it gives up; a transfer that neither completes nor reacts
// to cancellation is then handed over (abandoned) and freed by its
// completion handler, or at close once libusb can no longer complete it.
struct ctrl_wait_t {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    int status = 0;
    int actual = 0;
    libusb_transfer *xfer = nullptr;
    ll_dev_usb_t *owner = nullptr;
    uint8_t *own_buf = nullptr;  // a buffer of the transfer's that goes with it (delete[])
};

struct ll_dev_usb_t {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h_usb = nullptr;
    libusb_transfer *cap_trans[VXIF_CAP_TRANS_CNT] = {};
    uint8_t *cap_trans_buffer[VXIF_CAP_TRANS_CNT] = {};
    bool cap_thread_stop = true;  // accessed atomically: read on the event thread
    kavro_ll_trans_notify_f trans_cb = nullptr;
    void *trans_cb_arg = nullptr;
    pthread_t evt_thread{};
    int evt_thread_stop = 0;  // libusb's completion flag of the event loop
    bool evt_loop_running = false;
    pthread_mutex_t usb_mutex;
    // Set on the event thread when a transfer reports that the device left
    // the bus: commands then fail at once and the event loop slows down (a
    // vanished device may keep its node readable without anything to reap).
    bool dev_gone = false;
    // Calls that reach this state (guarded by g_life_mu) and whether a close
    // has begun; the close frees the state only once no call uses it.
    int users = 0;
    bool closing = false;
    // Control transfers given up on while libusb may still complete them.
    std::mutex abandoned_mu;
    std::vector<ctrl_wait_t *> abandoned;
    // The ring's bookkeeping across captures. Each capture start opens a new
    // session; a ring transfer carries the session it was submitted for, and
    // a completion of an earlier session (a transfer that came back only
    // after the capture it belonged to had ended) is dropped instead of
    // reaching the new capture. ring_busy tells which transfers libusb still
    // owns: a stop waits for them to come back, and a start refills only
    // those that did.
    uint32_t cap_session = 0;  // accessed atomically
    uint32_t slot_session[VXIF_CAP_TRANS_CNT] = {};
    std::mutex ring_mu;
    std::condition_variable ring_cv;
    bool ring_busy[VXIF_CAP_TRANS_CNT] = {};  // guarded by ring_mu
};

int g_usb_debug_level = 0;

// Lifetime of the state behind kavro_ll_dev_t.h. The device layer may close
// the transport while calls that entered earlier still run on other threads
// (for instance one waiting for usb_mutex), so the state, and the mutex in
// it, must outlive them: each call holds a reference (state_ref) for its
// whole run, and the close, after shutting the device down, waits for the
// count to drop to zero before it frees the state. The lock is held only to
// take or drop a reference, never while waiting for the device, so a close
// of one camera does not wait for calls on another.
std::mutex g_life_mu;
std::condition_variable g_life_cv;

template <typename T> T ld(const T &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); }
template <typename T> void st(T &v, T x) { __atomic_store_n(&v, x, __ATOMIC_RELEASE); }

ll_dev_usb_t *priv(kavro_ll_dev_t *dev) { return dev ? static_cast<ll_dev_usb_t *>(dev->h) : nullptr; }

// Open, not gone, and with its event loop running: without the loop no
// transfer would ever complete, and a call waiting for one would wait for
// good (the loop ends on a signal that interrupts it, or on a libusb error).
bool usable(ll_dev_usb_t *u) {
    return u && u->ctx && u->h_usb && ld(u->evt_thread_stop) == 0 && !ld(u->dev_gone) && ld(u->evt_loop_running);
}

// A reference to the device state for the length of one call. A call that
// starts once a close has begun gets none (the device is going away), unless
// it only raises a flag (the abort, which the event thread may call while
// the close joins it).
class state_ref {
public:
    explicit state_ref(kavro_ll_dev_t *dev, bool even_closing = false) {
        if (!dev) return;
        std::lock_guard<std::mutex> g(g_life_mu);
        auto *u = static_cast<ll_dev_usb_t *>(dev->h);
        if (u && (even_closing || !u->closing)) {
            ++u->users;
            u_ = u;
        }
    }
    ~state_ref() { release(); }
    state_ref(const state_ref &) = delete;
    state_ref &operator=(const state_ref &) = delete;
    void release() {
        if (!u_) return;
        std::lock_guard<std::mutex> g(g_life_mu);
        if (--u_->users == 0) g_life_cv.notify_all();
        u_ = nullptr;
    }
    ll_dev_usb_t *get() const { return u_; }

private:
    ll_dev_usb_t *u_ = nullptr;
};

// One call on an open device: holds a reference to the state and usb_mutex,
// and is true only when the device is usable.
class usb_call {
public:
    explicit usb_call(kavro_ll_dev_t *dev) : ref_(dev) {
        ll_dev_usb_t *u = ref_.get();
        if (!u) return;
        pthread_mutex_lock(&u->usb_mutex);
        if (usable(u))
            u_ = u;
        else
            pthread_mutex_unlock(&u->usb_mutex);
    }
    ~usb_call() { unlock(); }
    usb_call(const usb_call &) = delete;
    usb_call &operator=(const usb_call &) = delete;
    void unlock() {
        if (u_) pthread_mutex_unlock(&u_->usb_mutex);
        u_ = nullptr;
    }
    // Drops the mutex and the reference (before a call closes the device).
    void release() {
        unlock();
        ref_.release();
    }
    explicit operator bool() const { return u_ != nullptr; }
    ll_dev_usb_t *get() const { return u_; }

private:
    state_ref ref_;
    ll_dev_usb_t *u_ = nullptr;
};

ll_dev_usb_t *_usb_ll_dev_priv_alloc() {
    auto *u = new (std::nothrow) ll_dev_usb_t;
    if (!u) {
        LOG_ERR("malloc failed\n");
        exit(-2);
    }
    for (int i = 0; i < VXIF_CAP_TRANS_CNT; ++i) {
        u->cap_trans[i] = libusb_alloc_transfer(0);
        u->cap_trans_buffer[i] = static_cast<uint8_t *>(malloc(VXIF_CAP_TRANS_SIZE));
        if (!u->cap_trans[i] || !u->cap_trans_buffer[i]) {
            LOG_ERR("malloc failed!\n");
            exit(-1);
        }
    }
    if (pthread_mutex_init(&u->usb_mutex, nullptr) != 0) {
        LOG_ERR("pthread_mutex_init failed\n");
        exit(-1);
    }
    return u;
}

void free_abandoned(ll_dev_usb_t *u) {
    std::lock_guard<std::mutex> g(u->abandoned_mu);
    for (ctrl_wait_t *w : u->abandoned) {
        libusb_free_transfer(w->xfer);
        delete[] w->own_buf;
        delete w;
    }
    u->abandoned.clear();
}

// Frees the state once no call holds a reference to it any more.
void priv_free(kavro_ll_dev_t *dev) {
    ll_dev_usb_t *u;
    {
        std::unique_lock<std::mutex> g(g_life_mu);
        u = priv(dev);
        if (!u) return;
        u->closing = true;
        g_life_cv.wait(g, [u] { return u->users == 0; });
        dev->h = nullptr;
    }
    for (int i = 0; i < VXIF_CAP_TRANS_CNT; ++i) {
        libusb_free_transfer(u->cap_trans[i]);
        free(u->cap_trans_buffer[i]);
    }
    free_abandoned(u);
    pthread_mutex_destroy(&u->usb_mutex);
    delete u;
}

// ---- event thread -------------------------------------------------------------

void _ll_event_loop(ll_dev_usb_t *u) {
    LOG_TRC("Enter ll event loop...\n");
    for (;;) {
        timeval tv{0, 200000};
        const int r = libusb_handle_events_timeout_completed(u->ctx, &tv, &u->evt_thread_stop);
        if (r >= 0) {
            if (ld(u->evt_thread_stop)) break;
            // A camera that left the bus may leave its node always ready
            // with nothing to reap; waiting here keeps the loop from
            // spinning until the device is closed.
            if (ld(u->dev_gone)) vx_port::sleep_ms(VXIF_CTRL_POLL_MS);
            continue;
        }
        LOG_ERR("libusb reports error: %s\n", libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            LOG_WRN("libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            LOG_WRN("libusb_handle_events timeout \n");
            break;
        }
        if ((r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_OVERFLOW) && !ld(u->evt_thread_stop)) continue;
        break;
    }
    st(u->evt_loop_running, false);
    LOG_TRC("Exit ll event loop...\n");
}

void *_usb_ll_evt_thread(void *arg) {
    auto *dev = static_cast<kavro_ll_dev_t *>(arg);
    ll_dev_usb_t *u = priv(dev);
    LOG_DBG("enter\n");
    // A name to find the thread by in /proc (profiling, leak checks).
    pthread_setname_np(pthread_self(), "kavro-usb-evt");
    st(u->evt_loop_running, true);
    _ll_event_loop(u);
    LOG_DBG("exit\n");
    return nullptr;
}

// ---- command channel ----------------------------------------------------------

void LIBUSB_CALL _usb_cmd_trans_cb(libusb_transfer *t) {
    LOG_TRC("tx actual_len = %d, status  = %d\n", t->actual_length, static_cast<int>(t->status));
    auto *w = static_cast<ctrl_wait_t *>(t->user_data);
    std::unique_lock<std::mutex> g(w->mu);
    w->status = t->status;
    w->actual = t->actual_length;
    if (w->abandoned) {
        g.unlock();
        ll_dev_usb_t *u = w->owner;
        {
            std::lock_guard<std::mutex> ag(u->abandoned_mu);
            for (auto it = u->abandoned.begin(); it != u->abandoned.end(); ++it)
                if (*it == w) {
                    u->abandoned.erase(it);
                    break;
                }
        }
        libusb_free_transfer(t);
        delete[] w->own_buf;
        delete w;
        return;
    }
    w->done = true;
    w->cv.notify_all();
}

int map_status(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED: return -1;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_OTHER;
    }
}

// Waits for a submitted command transfer: the completion is looked at at
// least every 10 ms; after 1 s the transfer is cancelled, after 2 s it is
// abandoned. Returns the transfer's status, or -1 when it was abandoned (the
// wait record then belongs to the completion handler or to close).
// *timed_out tells whether the host limit ran out.
bool wait_transfer(ll_dev_usb_t *u, ctrl_wait_t *w, bool host_limits, bool *timed_out) {
    using clk = std::chrono::steady_clock;
    const auto t0 = clk::now();
    bool cancelled = false;
    std::unique_lock<std::mutex> g(w->mu);
    auto abandon = [&] {
        w->abandoned = true;
        std::lock_guard<std::mutex> ag(u->abandoned_mu);
        u->abandoned.push_back(w);
        return false;
    };
    while (!w->done) {
        w->cv.wait_for(g, std::chrono::milliseconds(VXIF_CTRL_POLL_MS));
        if (w->done) continue;
        if (!ld(u->evt_loop_running)) {
            // Nothing will complete it any more.
            LOG_ERR("transfer abandoned: the USB event loop has ended\n");
            return abandon();
        }
        if (!host_limits) continue;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count();
        if (!cancelled && ms >= VXIF_CTRL_CANCEL_MS) {
            LOG_WRN("control trans timeout , cancel it\n");
            cancelled = true;
            *timed_out = true;
            g.unlock();
            libusb_cancel_transfer(w->xfer);
            g.lock();
        } else if (ms >= VXIF_CTRL_ABANDON_MS && !w->done) {
            LOG_ERR("control transfer timeout !\n");
            return abandon();
        }
    }
    return true;
}

// One phase of a command: a control transfer on endpoint 0 that sends buf
// (wr_nrd) or reads buf_len bytes into it.
bool raw_phase(kavro_ll_dev_t *dev, bool wr_nrd, uint8_t cmd_type, uint16_t cmd_val, void *buf, int buf_len,
               uint32_t timeout_ms) {
    ll_dev_usb_t *u = priv(dev);
    if (!u || !u->h_usb) {
        LOG_ERR(" USB handler Is NULL!\r\n");
        return false;
    }
    // The setup packet's length field has 16 bits: a longer request would go
    // out with its length cut.
    if (buf_len < 0 || buf_len > 0xFFFF) {
        LOG_ERR("request of %d bytes refused: a control transfer carries at most 65535\n", buf_len);
        return false;
    }
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) {
        LOG_ERR("no memory\n");
        return false;
    }
    auto *data = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(buf_len) + LIBUSB_CONTROL_SETUP_SIZE));
    if (!data) {
        LOG_ERR("no memory\n");
        libusb_free_transfer(t);
        return false;
    }
    libusb_fill_control_setup(data, wr_nrd ? VXIF_SETUP_OUT : VXIF_SETUP_IN, cmd_type, cmd_val, 0,
                              static_cast<uint16_t>(buf_len));
    if (wr_nrd && buf_len > 0) memcpy(data + LIBUSB_CONTROL_SETUP_SIZE, buf, static_cast<size_t>(buf_len));
    auto *w = new ctrl_wait_t;
    w->xfer = t;
    w->owner = u;
    libusb_fill_control_transfer(t, u->h_usb, data, _usb_cmd_trans_cb, w, timeout_ms);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    if (libusb_submit_transfer(t) != 0) {
        LOG_ERR("libusb_submit_transfer failed\n");
        libusb_free_transfer(t);
        delete w;
        return false;
    }
    bool timed_out = false;
    int result;
    if (!wait_transfer(u, w, true, &timed_out)) {
        result = LIBUSB_ERROR_TIMEOUT;  // the transfer now belongs to its handler
    } else {
        if (w->status == LIBUSB_TRANSFER_COMPLETED) {
            result = w->actual;
            if (!wr_nrd && buf_len > 0)
                memcpy(buf, libusb_control_transfer_get_data(t), static_cast<size_t>(std::min(w->actual, buf_len)));
        } else if (timed_out && w->status == LIBUSB_TRANSFER_CANCELLED) {
            result = LIBUSB_ERROR_TIMEOUT;  // cancelled by the host limit
        } else {
            result = map_status(w->status);
            if (result == LIBUSB_ERROR_OTHER) LOG_WRN("unrecognised status code %d", w->status);
        }
        libusb_free_transfer(t);
        delete w;
    }
    if (result != buf_len) {
        LOG_ERR("exe usb cmd failed: %s\n", libusb_error_name(result));
        return false;
    }
    return true;
}

// Asks the device how its last command ended; asks again while it answers
// that the command is still running.
bool cmd_check(kavro_ll_dev_t *dev, uint8_t cmd_type, uint8_t cmd_val) {
    for (;;) {
        vxif_cmd_status_t s{};
        if (!raw_phase(dev, false, VXIF_REQ_STATUS, VXIF_STATUS_LAST_CMD, &s, sizeof s, VXIF_CMD_TIMEOUT_MS))
            return false;
        if (s.cmd_req_type != cmd_type || s.cmd_req_val != cmd_val) {
            LOG_WRN(" last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", s.cmd_req_type, s.cmd_req_val, cmd_type,
                    cmd_val);
            return false;
        }
        if (s.cmd_status == VXIF_CMD_FAILED) {
            s.msg[VXIF_CMD_MSG_LEN - 1] = '\0';
            LOG_ERR("%s\n", s.msg);
            return false;
        }
        if (s.cmd_status != VXIF_CMD_RUNNING) return true;
    }
}

bool send_checked(kavro_ll_dev_t *dev, uint8_t type, uint16_t val, const void *buf, int len, uint32_t tmo) {
    return raw_phase(dev, true, type, val, const_cast<void *>(buf), len, tmo) && cmd_check(dev, type, (uint8_t)val);
}

// ---- operations -----------------------------------------------------------------

bool usb_init() { return true; }
void usb_uninit() {}

void usb_set_debug(int level) {
    switch (level) {
    case 0:
    case 1: g_usb_debug_level = LIBUSB_LOG_LEVEL_DEBUG; break;
    case 2: g_usb_debug_level = LIBUSB_LOG_LEVEL_INFO; break;
    case 3: g_usb_debug_level = LIBUSB_LOG_LEVEL_WARNING; break;
    case 4: g_usb_debug_level = LIBUSB_LOG_LEVEL_ERROR; break;
    default: g_usb_debug_level = LIBUSB_LOG_LEVEL_NONE; break;
    }
}

bool is_camera(const libusb_device_descriptor &d) {
    return d.idVendor == KAVRO_USB_VID && d.idProduct == KAVRO_USB_PID;
}

void fill_info(kavro_ll_dev_t *dev, libusb_device *d) {
    dev->ll_info.type = LL_IF_USB;
    dev->ll_info.info.usb.usb_bus_num = libusb_get_bus_number(d);
    dev->ll_info.info.usb.usb_port_num = libusb_get_port_number(d);
    dev->ll_info.info.usb.usb_dev_addr = libusb_get_device_address(d);
    dev->ll_info.info.usb.usb_speed = static_cast<uint8_t>(libusb_get_device_speed(d));
}

int usb_dev_list(kavro_ll_dev_t *list, int num) {
    if (!list || num <= 0) return 0;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 0;
    memset(static_cast<void *>(list), 0, sizeof(*list) * static_cast<size_t>(num));
    libusb_device **devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    if (n < 0) {
        LOG_ERR("  enum usb device failed: %d \n", static_cast<int>(n));
        libusb_exit(ctx);
        return 0;
    }
    LOG_DBG("probe kavro device (max=%d) in %d usb device\n", num, static_cast<int>(n));
    int cnt = 0;
    for (ssize_t i = 0; i < n && cnt < num; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(devs[i], &d) != 0) {
            LOG_ERR("  Failed to get device desc of device %d\n", static_cast<int>(i));
            continue;
        }
        LOG_TRC("[%02d] %04x:%04x @ %03d:%03d:%03d\n", static_cast<int>(i), d.idVendor, d.idProduct,
                libusb_get_port_number(devs[i]), libusb_get_bus_number(devs[i]), libusb_get_device_address(devs[i]));
        if (!is_camera(d)) continue;
        kavro_ll_dev_t *r = &list[cnt++];
        r->h = nullptr;
        fill_info(r, devs[i]);
        r->init_flag = true;
        r->ll_op = &ll_op_usb;
        LOG_DBG("  KAVRO device (speed=%d) found @ %03d:%03d:%03d, %p\n", r->ll_info.info.usb.usb_speed,
                r->ll_info.info.usb.usb_port_num, r->ll_info.info.usb.usb_bus_num, r->ll_info.info.usb.usb_dev_addr,
                static_cast<void *>(r));
    }
    libusb_free_device_list(devs, 1);
    libusb_exit(ctx);
    return cnt;
}

void usb_dev_close(kavro_ll_dev_t *dev);

// Releases the device and the context: the event thread is joined first, so
// no completion handler runs any more; transfers libusb still counted as in
// flight are freed after the handle is closed and before the context ends.
void close_locked(ll_dev_usb_t *u) {
    if (ld(u->evt_thread_stop) == 0) {
        LOG_DBG("stop evt thread...\n");
        st(u->evt_thread_stop, 1);
        libusb_interrupt_event_handler(u->ctx);
        pthread_join(u->evt_thread, nullptr);
    }
    libusb_release_interface(u->h_usb, 0);
    libusb_release_interface(u->h_usb, 1);
    libusb_close(u->h_usb);
    free_abandoned(u);
    // A ring transfer left in flight (device gone mid-stream) is no longer
    // known to libusb once the handle is closed; its object is released
    // before the context ends (the state is freed right after closing).
    for (int i = 0; i < VXIF_CAP_TRANS_CNT; ++i) {
        libusb_free_transfer(u->cap_trans[i]);
        u->cap_trans[i] = nullptr;
    }
    libusb_exit(u->ctx);
    u->ctx = nullptr;
    u->h_usb = nullptr;
}

kavro_ll_dev_t *usb_dev_open(kavro_ll_dev_t *dev) {
    if (!dev || (dev->ll_info.type != LL_IF_USB && dev->ll_info.type != LL_IF_NONE)) return nullptr;
    if (dev->h && priv(dev)->h_usb) {
        // Opening twice would claim the interface again and start a second
        // event thread over the first one's handle.
        LOG_WRN("device already opened\n");
        return nullptr;
    }
    if (!dev->h) dev->h = _usb_ll_dev_priv_alloc();
    ll_dev_usb_t *u = priv(dev);
    if (!u->ctx) {
        LOG_DBG(" create usb context\n");
        const int r = libusb_init(&u->ctx);
        if (r != 0) {
            LOG_ERR(" create usb context failed: %s\n", libusb_error_name(r));
            u->ctx = nullptr;
            priv_free(dev);
            return nullptr;
        }
        libusb_set_option(u->ctx, LIBUSB_OPTION_LOG_LEVEL, g_usb_debug_level);
    }
    libusb_device **devs = nullptr;
    const ssize_t n = libusb_get_device_list(u->ctx, &devs);
    if (n < 0) {
        LOG_ERR("  enum libusb device failed: %d \n", static_cast<int>(n));
        libusb_exit(u->ctx);
        u->ctx = nullptr;
        priv_free(dev);
        return nullptr;
    }
    LOG_TRC("  %d usb device found \n", static_cast<int>(n));
    for (ssize_t i = 0; i < n && !u->h_usb; ++i) {
        libusb_device *d = devs[i];
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(d, &dd) != 0) {
            LOG_ERR("  Failed to get device desc of device %d\n", static_cast<int>(i));
            continue;
        }
        const int speed = libusb_get_device_speed(d);
        const int port = libusb_get_port_number(d), bus = libusb_get_bus_number(d),
                  addr = libusb_get_device_address(d);
        if (dev->init_flag) {
            LOG_TRC("[%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", static_cast<int>(i), dd.idVendor, dd.idProduct,
                    speed, port, bus, addr);
            if (!is_camera(dd) || bus != dev->ll_info.info.usb.usb_bus_num ||
                port != dev->ll_info.info.usb.usb_port_num)
                continue;
            LOG_DBG("open kavro device @ %03d:%03d:%03d\n", port, bus, addr);
            const int r = libusb_open(d, &u->h_usb);
            if (r != 0) {
                u->h_usb = nullptr;
                LOG_WRN("failed to open this device: %s\n", libusb_error_name(r));
                continue;
            }
            fill_info(dev, d);
        } else {
            if (!is_camera(dd)) continue;
            LOG_DBG("found kavro device (speed=%d) @ %03d:%03d:%03d\n", speed, port, bus, addr);
            if (speed < KAVRO_USB_SPEED_HIGH)
                LOG_WRN("found kavro device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", speed, port, bus, addr);
            const int r = libusb_open(d, &u->h_usb);
            if (r != 0) {
                u->h_usb = nullptr;
                LOG_WRN("  failed to open this device: %s, try next ...\n", libusb_error_name(r));
                continue;
            }
            dev->init_flag = true;
            fill_info(dev, d);
        }
    }
    libusb_free_device_list(devs, 1);
    if (!u->h_usb) {
        libusb_exit(u->ctx);
        u->ctx = nullptr;
        priv_free(dev);
        return nullptr;
    }
    dev->ll_info.type = LL_IF_USB;
    bool ok = true;
    int r = libusb_set_configuration(u->h_usb, 1);
    if (r != 0) {
        LOG_ERR("libusb_set_configuration failed: %s\n", libusb_error_name(r));
        ok = false;
    }
    if (ok) {
        libusb_set_auto_detach_kernel_driver(u->h_usb, 1);
        r = libusb_claim_interface(u->h_usb, 0);
        if (r != 0) r = libusb_claim_interface(u->h_usb, 1);
        if (r != 0) {
            LOG_ERR("libusb_claim_interface failed: %s\n", libusb_error_name(r));
            ok = false;
        }
    }
    if (ok) {
        // Running from here: calls made before the thread got going are
        // served once it does.
        st(u->evt_loop_running, true);
        st(u->evt_thread_stop, 0);
        st(u->cap_thread_stop, true);
        if (pthread_create(&u->evt_thread, nullptr, _usb_ll_evt_thread, dev) != 0) {
            LOG_ERR(" create evt thread failed\n");
            st(u->evt_loop_running, false);
            st(u->evt_thread_stop, 1);  // nothing to join
            ok = false;
        }
    }
    if (!ok) {
        if (ld(u->evt_thread_stop) == 0) st(u->evt_thread_stop, 1);  // no thread was started
        pthread_mutex_lock(&u->usb_mutex);
        close_locked(u);
        pthread_mutex_unlock(&u->usb_mutex);
        priv_free(dev);
        return nullptr;
    }
    dev->ll_op = &ll_op_usb;
    return dev;
}

kavro_ll_dev_t *usb_dev_open_by_fd(kavro_ll_dev_t *dev, int) {
    if (dev && !dev->h && (dev->ll_info.type == LL_IF_USB || dev->ll_info.type == LL_IF_NONE))
        dev->h = _usb_ll_dev_priv_alloc();
    return usb_dev_open(dev);
}

void usb_dev_close(kavro_ll_dev_t *dev) {
    if (!dev || dev->ll_info.type != LL_IF_USB) return;
    ll_dev_usb_t *u;
    {
        // Only one close goes on; calls that start from now on get no state.
        std::lock_guard<std::mutex> g(g_life_mu);
        u = priv(dev);
        const bool open = u && !u->closing && u->ctx && u->h_usb;
        if (open) u->closing = true;
        if (!open) u = nullptr;
    }
    if (!u) {
        LOG_WRN("device no need to closed!\n");
        return;
    }
    // Waits for a command sequence in progress; the calls waiting behind it
    // then find the device unusable and return.
    pthread_mutex_lock(&u->usb_mutex);
    close_locked(u);
    pthread_mutex_unlock(&u->usb_mutex);
    priv_free(dev);
}

bool usb_exe_cmd(kavro_ll_dev_t *dev, bool wr_nrd, uint8_t cmd_type, uint16_t cmd_val, void *buf, int buf_len,
                 uint32_t timeout_ms) {
    usb_call call(dev);
    if (!call) return false;
    bool ok = raw_phase(dev, true, cmd_type, cmd_val, buf, buf_len, timeout_ms) &&
              cmd_check(dev, cmd_type, static_cast<uint8_t>(cmd_val));
    if (ok && !wr_nrd)
        ok = raw_phase(dev, false, cmd_type, cmd_val, buf, buf_len, timeout_ms) &&
             cmd_check(dev, cmd_type, static_cast<uint8_t>(cmd_val));
    return ok;
}

bool usb_reg_write(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *reg_vals,
                   uint16_t reg_cnt) {
    if (!reg_vals && reg_cnt) return false;
    const size_t len = sizeof(vxif_reg_rw_t) + 4u * reg_cnt;
    // The request's byte count has 16 bits, and so has the setup packet's.
    if (4u * reg_cnt > 0xFFFFu || len > 0xFFFFu) {
        LOG_ERR("write of %u registers refused: one request carries at most %u\n", static_cast<unsigned>(reg_cnt),
                static_cast<unsigned>((0xFFFFu - sizeof(vxif_reg_rw_t)) / 4u));
        return false;
    }
    std::vector<uint8_t> msg;
    try {
        msg.resize(len);
    } catch (...) {
        LOG_ERR("malloc failed\n");
        return false;
    }
    vxif_reg_rw_t hdr{target, reg_base, static_cast<uint16_t>(reg_cnt * 4u)};
    memcpy(msg.data(), &hdr, sizeof hdr);
    if (reg_cnt) memcpy(msg.data() + sizeof hdr, reg_vals, 4u * reg_cnt);
    usb_call call(dev);
    if (!call) return false;
    return send_checked(dev, VXIF_REQ_CTRL, VXIF_CTRL_REG_WRITE, msg.data(), static_cast<int>(len),
                        VXIF_CMD_TIMEOUT_MS);
}

bool usb_reg_read(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *reg_vals, uint16_t reg_cnt) {
    if (reg_cnt == 0) return true;
    if (!reg_vals) return false;
    for (int done = 0; done < reg_cnt;) {
        const int chunk = std::min<int>(VXIF_REG_READ_CHUNK, reg_cnt - done);
        usb_call call(dev);
        if (!call) return false;
        vxif_reg_rw_t hdr{target, reg_base, static_cast<uint16_t>(chunk * 4)};
        bool ok = raw_phase(dev, true, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, &hdr, sizeof hdr, VXIF_CMD_TIMEOUT_MS) &&
                  cmd_check(dev, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ);
        if (!ok) {
            LOG_ERR("write phase failed\n");
        } else {
            ok = raw_phase(dev, false, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, reg_vals + done, chunk * 4,
                           VXIF_CMD_TIMEOUT_MS) &&
                 cmd_check(dev, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ);
            if (!ok) LOG_ERR("read phase failed\n");
        }
        if (!ok) return false;
        reg_base += static_cast<uint32_t>(chunk);
        done += chunk;
    }
    return true;
}

bool usb_param_set(kavro_ll_dev_t *dev, const vxif_param_item_t *items, int item_cnt) {
    if (!items || item_cnt <= 0) return false;
    if (item_cnt > 0xFFFF / VXIF_PARAM_ITEM_SIZE) {
        LOG_ERR("batch of %d parameters refused: one request carries at most %d\n", item_cnt,
                0xFFFF / VXIF_PARAM_ITEM_SIZE);
        return false;
    }
    usb_call call(dev);
    if (!call) return false;
    return send_checked(dev, VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, items, item_cnt * VXIF_PARAM_ITEM_SIZE,
                        VXIF_CMD_TIMEOUT_MS);
}

bool usb_param_get(kavro_ll_dev_t *dev, vxif_param_item_t *items, int item_cnt) {
    if (item_cnt <= 0) return true;
    if (!items) return false;
    for (int i = 0; i < item_cnt; ++i) {
        items[i].param_val_len = 0;
        memset(&items[i].param_val, 0, sizeof items[i].param_val);
    }
    for (int done = 0; done < item_cnt;) {
        const int chunk = std::min(VXIF_PARAM_GET_CHUNK, item_cnt - done);
        const int len = chunk * VXIF_PARAM_ITEM_SIZE;
        usb_call call(dev);
        if (!call) return false;
        bool ok = raw_phase(dev, true, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, items + done, len, VXIF_CMD_TIMEOUT_MS);
        if (!ok) {
            LOG_ERR("write phase failed\n");
        } else {
            ok = cmd_check(dev, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET) &&
                 raw_phase(dev, false, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, items + done, len, VXIF_CMD_TIMEOUT_MS) &&
                 cmd_check(dev, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET);
            if (!ok) LOG_ERR("read phase failed\n");
        }
        if (!ok) return false;
        done += chunk;
    }
    return true;
}

bool usb_dev_reset(kavro_ll_dev_t *dev, uint8_t target) {
    usb_call call(dev);
    if (!call) return false;
    LOG_TRC("rest device (target=%d)\n", target);
    const uint32_t t32 = target;
    if (target != RESET_TARGET_USB) {
        return send_checked(dev, VXIF_REQ_DEV, VXIF_DEV_RESET, &t32, 4, VXIF_CMD_TIMEOUT_MS);
    }
    LOG_TRC("Reset usb if (timeout = %d ms) ...\n", static_cast<int>(VXIF_USB_RESET_TIMEOUT_MS));
    raw_phase(dev, true, VXIF_REQ_DEV, VXIF_DEV_RESET, const_cast<uint32_t *>(&t32), 4, VXIF_CMD_TIMEOUT_MS);
    call.release();  // the close below waits for every reference
    usb_dev_close(dev);
    bool reopened = false;
    for (int i = 0; i < VXIF_USB_REOPEN_TRIES && !reopened; ++i) {
        vx_port::sleep_ms(VXIF_USB_REOPEN_WAIT_MS);
        reopened = kavro_ll_dev_open(dev) != nullptr;
    }
    if (!reopened) LOG_WRN("reopen device failed!\n");
    LOG_TRC("Reset usb if end. \n");
    return false;
}

// ---- streaming ------------------------------------------------------------------

void ring_slot_set(ll_dev_usb_t *u, int slot, bool busy) {
    std::lock_guard<std::mutex> g(u->ring_mu);
    u->ring_busy[slot] = busy;
    if (!busy) u->ring_cv.notify_all();
}

// Waits until libusb has handed back every ring transfer (each one's
// completion has run), at most `ms` milliseconds. Gives up at once when no
// event thread is there to run the completions (or when called on it).
bool ring_wait_idle(ll_dev_usb_t *u, int ms) {
    const bool on_evt_thread = ld(u->evt_loop_running) && pthread_equal(pthread_self(), u->evt_thread);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> g(u->ring_mu);
    for (;;) {
        bool idle = true;
        for (bool b : u->ring_busy) idle = idle && !b;
        if (idle) return true;
        if (on_evt_thread || !ld(u->evt_loop_running) || std::chrono::steady_clock::now() >= end) return false;
        u->ring_cv.wait_for(g, std::chrono::milliseconds(VXIF_CTRL_POLL_MS));
    }
}

void LIBUSB_CALL _usb_cap_trans_cb(libusb_transfer *t) {
    auto *dev = static_cast<kavro_ll_dev_t *>(t->user_data);
    ll_dev_usb_t *u = priv(dev);
    const int slot = static_cast<int>(libusb_transfer_get_stream_id(t));
    LOG_TRC("trans[%d]: txlen=%d, status = %d\n", slot, t->actual_length, static_cast<int>(t->status));
    const uint32_t session = ld(u->cap_session);
    if (ld(u->slot_session[slot]) != session) {
        // Submitted for a capture that has ended since: its bytes (and its
        // status) belong to that capture, not to the one running now. The
        // start skipped this slot while libusb still had it; it joins the
        // running capture now.
        LOG_DBG("trans[%d] of an ended capture dropped (status=%d, last_tx=%d)\n", slot, static_cast<int>(t->status),
                t->actual_length);
        if (t->status == LIBUSB_TRANSFER_NO_DEVICE) st(u->dev_gone, true);
        bool requeued = false;
        if (!ld(u->cap_thread_stop) && !ld(u->dev_gone)) {
            st(u->slot_session[slot], session);
            t->timeout = VXIF_BULK_TIMEOUT_MS;
            requeued = libusb_submit_transfer(t) == 0;
            if (requeued) LOG_TRC("trans[%d] issue: size=%d \n", slot, t->length);
        }
        if (!requeued) ring_slot_set(u, slot, false);
        return;
    }
    int ns;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED: ns = LL_TRANS_OK; break;
    case LIBUSB_TRANSFER_CANCELLED:
        LOG_TRC("trans[%d] cancelled (last_tx=%d)\n", slot, t->actual_length);
        ns = LL_TRANS_CANCELLED;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        LOG_DBG("trans[%d] timeout (last_tx=%d)\n", slot, t->actual_length);
        ns = LL_TRANS_TIMEOUT;
        break;
    case LIBUSB_TRANSFER_STALL:
        LOG_WRN("trans[%d] stall (last_tx=%d)\n", slot, t->actual_length);
        if (libusb_clear_halt(t->dev_handle, VXIF_EP_BULK_IN) != 0)
            LOG_ERR(" Clear halt failed on EP: %0x!\r\n", VXIF_EP_BULK_IN);
        ns = LL_TRANS_STALL;
        break;
    default:
        LOG_WRN("trans[%d] error (%d) (last_tx=%d)\n", slot, static_cast<int>(t->status), t->actual_length);
        if (t->status == LIBUSB_TRANSFER_NO_DEVICE) st(u->dev_gone, true);
        ns = LL_TRANS_ERROR;
        break;
    }
    const kavro_ll_trans_notify_f cb = ld(u->trans_cb);
    if (cb) cb(dev, ns, t->buffer, t->actual_length, ld(u->trans_cb_arg));
    bool requeued = false;
    if (t->length > 0 && !ld(u->cap_thread_stop) && !ld(u->dev_gone)) {
        LOG_TRC("trans[%d] issue: size=%d \n", slot, t->length);
        t->timeout = VXIF_BULK_TIMEOUT_MS;
        const int r = libusb_submit_transfer(t);
        requeued = r == 0;
        if (r != 0) LOG_ERR("Unable to submit URB. libusb error code: %d\n", r);
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            // The camera left the bus between this completion and the
            // resubmission. The transfer itself may have ended normally (its
            // bytes arrived before the removal), so without this report a
            // ring whose every slot ends this way would go quiet and the
            // capture would wait forever instead of failing.
            st(u->dev_gone, true);
            if (cb) cb(dev, LL_TRANS_ERROR, t->buffer, 0, ld(u->trans_cb_arg));
        }
    }
    if (!requeued) ring_slot_set(u, slot, false);
}

void cancel_ring(ll_dev_usb_t *u) {
    for (int i = 0; i < VXIF_CAP_TRANS_CNT; ++i) {
        LOG_TRC("trans[%d] cancel: status=%d\n", i, static_cast<int>(u->cap_trans[i]->status));
        libusb_cancel_transfer(u->cap_trans[i]);
    }
}

// Reads and drops what the camera still holds on its bulk IN endpoint from
// before this capture: the tail of an earlier stream that was on its way
// when that capture stopped, or a stream a previous user never stopped.
// Those bytes would otherwise fill the first transfers of the new capture
// and come out as frames of the earlier one. Reading ends at the first
// short read that finds the endpoint quiet, and after a bounded number of
// reads (a camera that never stops sending is left to the capture).
void drain_bulk_in(ll_dev_usb_t *u) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[VXIF_CAP_TRANS_SIZE]);
    if (!buf) {
        LOG_ERR("malloc failed\n");
        return;
    }
    long dropped = 0;
    for (int i = 0; i < VXIF_DRAIN_MAX_READS; ++i) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        if (!t) {
            LOG_ERR("no memory\n");
            break;
        }
        auto *w = new ctrl_wait_t;
        w->xfer = t;
        w->owner = u;
        libusb_fill_bulk_transfer(t, u->h_usb, VXIF_EP_BULK_IN, buf.get(), VXIF_CAP_TRANS_SIZE, _usb_cmd_trans_cb, w,
                                  VXIF_DRAIN_TIMEOUT_MS);
        const int r = libusb_submit_transfer(t);
        int status = LIBUSB_TRANSFER_ERROR, actual = 0;
        if (r == 0) {
            bool timed_out = false;
            // The transfer's own time-out ends it, or the end of the event
            // loop: the transfer then belongs to the abandoned list, with
            // the buffer it may still fill.
            if (!wait_transfer(u, w, false, &timed_out)) {
                w->own_buf = buf.release();
                break;
            }
            status = w->status;
            actual = w->actual;
        }
        libusb_free_transfer(t);
        delete w;
        dropped += actual;
        if (status == LIBUSB_TRANSFER_STALL && libusb_clear_halt(u->h_usb, VXIF_EP_BULK_IN) != 0)
            LOG_ERR(" Clear halt failed on EP: %0x!\r\n", VXIF_EP_BULK_IN);
        // Data (even a partial read that timed out) means there may be more.
        const bool more = actual > 0 && (status == LIBUSB_TRANSFER_COMPLETED || status == LIBUSB_TRANSFER_TIMED_OUT);
        if (!more) break;
        if (i + 1 == VXIF_DRAIN_MAX_READS) LOG_WRN("EP %0x still sending after %d reads\n", VXIF_EP_BULK_IN, i + 1);
    }
    if (dropped > 0) LOG_DBG("dropped %ld stale bytes from EP %0x\n", dropped, VXIF_EP_BULK_IN);
}

bool usb_cap_start(kavro_ll_dev_t *dev, uint32_t fr_cnt, kavro_ll_trans_notify_f cb, void *cb_arg) {
    usb_call call(dev);
    if (!call) return false;
    ll_dev_usb_t *u = call.get();
    // Transfers of an earlier capture that have not come back yet cannot be
    // refilled; give them a moment (their completions are dropped below).
    if (!ring_wait_idle(u, VXIF_RING_IDLE_MS)) LOG_WRN("ring transfers of the last capture still pending\n");
    // From here on every completion of an earlier capture is dropped; the
    // ring is let loose only once the endpoint is drained and the new
    // callback is in place.
    const uint32_t session = ld(u->cap_session) + 1;
    st(u->cap_session, session);
    if (libusb_clear_halt(u->h_usb, VXIF_EP_BULK_IN) != 0) LOG_ERR(" Clear halt failed on EP: %0x!\r\n", VXIF_EP_BULK_IN);
    drain_bulk_in(u);
    st(u->trans_cb, cb);
    st(u->trans_cb_arg, cb_arg);
    st(u->cap_thread_stop, false);
    for (int i = 0; i < VXIF_CAP_TRANS_CNT; ++i) {
        {
            std::lock_guard<std::mutex> g(u->ring_mu);
            if (u->ring_busy[i]) {
                // Still owned by libusb: it joins when its completion comes.
                LOG_WRN("trans[%d] still pending from the last capture\n", i);
                continue;
            }
            u->ring_busy[i] = true;
        }
        libusb_transfer *t = u->cap_trans[i];
        libusb_fill_bulk_transfer(t, u->h_usb, VXIF_EP_BULK_IN, u->cap_trans_buffer[i], VXIF_CAP_TRANS_SIZE,
                                  _usb_cap_trans_cb, dev, VXIF_BULK_TIMEOUT_MS);
        t->flags = 0;
        libusb_transfer_set_stream_id(t, static_cast<uint32_t>(i));
        st(u->slot_session[i], session);
        if (libusb_submit_transfer(t) == 0) {
            LOG_TRC("trans[%d] issue: txlen=%d\n", i, VXIF_CAP_TRANS_SIZE);
        } else {
            LOG_ERR("trans[%d] issue failed\n", i);
            ring_slot_set(u, i, false);
        }
    }
    LOG_TRC("Enter\n");
    vxif_frame_cnt_t fc{fr_cnt};
    const bool ok = send_checked(dev, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START, &fc, sizeof fc, VXIF_CMD_TIMEOUT_MS);
    if (!ok) {
        LOG_WRN("kavro_ll_cap_start failed\n");
        cancel_ring(u);
    }
    return ok;
}

bool usb_cap_stop(kavro_ll_dev_t *dev) {
    usb_call call(dev);
    if (!call) {
        // A camera that left the bus cannot be told to stop, but nothing is
        // resubmitted any more either.
        state_ref ref(dev, true);
        if (ref.get()) st(ref.get()->cap_thread_stop, true);
        return false;
    }
    ll_dev_usb_t *u = call.get();
    st(u->cap_thread_stop, true);
    cancel_ring(u);
    const uint8_t b = VXIF_CAP_STOP_BYTE;
    const bool ok = send_checked(dev, VXIF_REQ_CTRL, VXIF_CTRL_CAP_STOP, &b, 1, VXIF_CMD_TIMEOUT_MS);
    // Every cancelled transfer reports (through the callback) before the
    // stop returns, so none of them is left to complete into a later capture.
    if (!ring_wait_idle(u, VXIF_RING_IDLE_MS)) LOG_WRN("ring transfers still pending after stop\n");
    return ok;
}

// Only raises a flag; the notify callback calls it on the event thread, also
// while a close joins that thread.
void usb_cap_abort(kavro_ll_dev_t *dev) {
    state_ref ref(dev, true);
    if (ref.get()) st(ref.get()->cap_thread_stop, true);
}

int usb_tx_data(kavro_ll_dev_t *dev, const void *buf, uint32_t len) {
    usb_call call(dev);
    if (!call) return LIBUSB_ERROR_NO_DEVICE;
    ll_dev_usb_t *u = call.get();
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) {
        LOG_ERR("no memory\n");
        return 0;
    }
    auto *w = new ctrl_wait_t;
    w->xfer = t;
    w->owner = u;
    libusb_fill_bulk_transfer(t, u->h_usb, VXIF_EP_BULK_OUT, static_cast<unsigned char *>(const_cast<void *>(buf)),
                              static_cast<int>(len), _usb_cmd_trans_cb, w, VXIF_BULK_TIMEOUT_MS);
    const int r = libusb_submit_transfer(t);
    if (r != 0) {
        LOG_ERR("trans[%d] issue failed\n", 0);
        libusb_free_transfer(t);
        delete w;
        return r;
    }
    LOG_TRC("trans[%d] issue: txlen=%d\n", 0, static_cast<int>(len));
    bool timed_out = false;
    // The transfer's own time-out ends it, or the end of the event loop (the
    // transfer then belongs to the abandoned list).
    if (!wait_transfer(u, w, false, &timed_out)) return LIBUSB_ERROR_NO_DEVICE;
    int result = w->status == LIBUSB_TRANSFER_COMPLETED ? w->actual : map_status(w->status);
    if (w->status != LIBUSB_TRANSFER_COMPLETED && result == LIBUSB_ERROR_OTHER)
        LOG_WRN("unrecognised status code %d", w->status);
    libusb_free_transfer(t);
    delete w;
    return result;
}

}  // namespace

const kavro_ll_op ll_op_usb = {
    .init = usb_init,
    .uninit = usb_uninit,
    .set_debug = usb_set_debug,
    .dev_open = usb_dev_open,
    .dev_open_by_fd = usb_dev_open_by_fd,
    .dev_close = usb_dev_close,
    .dev_list = usb_dev_list,
    .exe_cmd = usb_exe_cmd,
    .tx_data = usb_tx_data,
    .cap_abort = usb_cap_abort,
    .cap_start = usb_cap_start,
    .cap_stop = usb_cap_stop,
    .dev_reset = usb_dev_reset,
    .dev_reg_write = usb_reg_write,
    .dev_reg_read = usb_reg_read,
    .dev_param_set = usb_param_set,
    .dev_param_get = usb_param_get,
};
