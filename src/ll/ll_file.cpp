// File replay transport: plays a recorded VX_RAW frame file as if it were a
// streaming camera. While capture runs, the replay thread reads one frame
// after another, puts a stream header of its own making in front of each and
// hands both to the notify callback, so the capture engine, the frame stream
// and the chip driver work unchanged. It answers the frame rate and product
// string parameters and accepts every command and register access as done.
//
// When the device layer attached the recording's side file (R.info) to the
// FILE before the open, the replay answers like the camera that made it:
// its identity, modulation frequency, integration time, frame rate, frame
// format and a calibration state that never invites a download, and each
// frame's header carries the temperatures recorded with it.
//
// Pacing: frames go out at the recorded frame rate (30 fps for a recording
// without a side file) unless PARAM_FRAME_RATE sets another rate (0: as fast
// as possible). With a flow predicate set (the device layer sets one), the
// replay also waits before each frame until the reader has taken the
// previous ones, so a reader that keeps up never loses a frame.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "kavro_frame_file.h"
#include "kavro_replay.h"
#include "ll/ll_imp.h"
#include "vx_log_internal.h"
#include "vx_stream.h"

namespace {

/// Private state behind kavro_ll_dev_t.h, allocated at open, freed at close.
///
/// Locking: file_mutex serialises cap_start, cap_stop and close. The replay
/// thread never takes it (close joins the thread while holding it); it waits
/// on evt_cond under evt_mutex instead, which guards the fields marked so.
/// Flags the thread polls between frames are atomics.
struct ll_dev_file_t {
    FILE *h_file = nullptr;  // the caller's; never closed here
    int fd = -1;             // descriptor of h_file, used for all reads
    std::atomic<uint32_t> fps{0};        // frame rate answered for PARAM_FRAME_RATE
    std::atomic<uint32_t> period_us{0};  // pause after each frame; 0 = no pacing
    // The recording's side file, when the device layer attached one. Set at
    // open, read-only afterwards, except for the settable values below.
    bool has_info = false;
    kavro_rec_info_t info;
    std::atomic<uint32_t> mod_freq{0};
    std::atomic<uint32_t> intg_time{0};
    std::unique_ptr<uint16_t[]> frame;  // one frame of samples, the replay thread's
    uint32_t next_frame = 0;            // replay thread: file frame number of the next read
    kavro_ll_file_may_send_f may_send = nullptr;  // evt_mutex
    void *may_send_arg = nullptr;                 // evt_mutex
    uint32_t img_w = 0;
    uint32_t img_h = 0;
    uint32_t dcs_n = 0;
    char prod_str[32] = {};  // tag of the file header, NUL-terminated
    std::atomic<bool> cap_stop{true};
    kavro_ll_trans_notify_f trans_cb = nullptr;  // evt_mutex
    void *trans_cb_arg = nullptr;                // evt_mutex
    uint32_t start_gen = 0;                      // evt_mutex; bumped by every cap_start
    bool rewind_req = false;                     // evt_mutex; replay from the first frame
    // evt_mutex: the replay thread is handing a frame or a status to the
    // callback. A capture stop or start waits until it is false, so nothing
    // of a stopped capture reaches the stream after the stop returns.
    bool delivering = false;
    void (*delivery_hook)(void *) = nullptr;  // evt_mutex; tests: runs inside each delivery
    void *delivery_hook_arg = nullptr;
    pthread_t evt_thread{};
    bool evt_thread_created = false;
    std::atomic<int> evt_thread_stop{0};
    std::atomic<bool> evt_loop_running{false};
    pthread_mutex_t file_mutex;
    pthread_mutex_t evt_mutex;
    pthread_cond_t evt_cond;  // on CLOCK_MONOTONIC
    // The frame loader's remembered header for this recording, so that
    // several replays (and the application's own loads) do not share one.
    vx_frame_file_hdr_t file_hdr{};
};

// The device layer closes the transport while calls that entered before the
// close may still be running on other threads (it waits for them only
// afterwards), so the state must not be freed under such a call: every
// operation that reaches the state holds this lock shared, and the close
// frees the state holding it exclusively. No operation blocks on another
// while holding it (a capture stop or start waits only for the replay
// thread's hand-over in progress, which never takes it), and the close joins
// the replay thread (whose callback may abort) before taking it.
std::shared_mutex g_state_lock;

constexpr int OPEN_PROBE_SAMPLES = 16;
// Pacing of a recording without a side file (and of one whose rate is 0).
constexpr uint32_t DEFAULT_REPLAY_FPS = 30;
// Longest single wait for the reader: the flow predicate is checked again
// after it even without a wake-up, so the thread can never hang on a lost one.
constexpr uint32_t FLOW_POLL_MS = 100;

// Side files the device layer attached to recordings about to be opened.
std::mutex g_attach_mutex;
struct attached_t {
    bool has_info = false;
    kavro_rec_info_t info;
};
std::map<FILE *, attached_t> g_attached;
// Device frame formats of the recorded frames, told apart by the number of
// sub-frames in the file header: one image of alternating row pairs is the
// one-image format; anything else is replayed as four DCS images back to
// back, the camera's usual format.
constexpr uint16_t REPLAY_FRAME_FORMAT_DCS4 = 2;
constexpr uint16_t REPLAY_FRAME_FORMAT_DCS1 = 4;

uint16_t replay_frame_format(uint32_t dcs_n) {
    return dcs_n == 1 ? REPLAY_FRAME_FORMAT_DCS1 : REPLAY_FRAME_FORMAT_DCS4;
}

ll_dev_file_t *priv_of(kavro_ll_dev_t *dev) {
    return dev ? static_cast<ll_dev_file_t *>(dev->h) : nullptr;
}

/// Absolute CLOCK_MONOTONIC time `us` microseconds from now.
timespec deadline_after_us(uint64_t us) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(us / 1000000);
    t.tv_nsec += static_cast<long>(us % 1000000) * 1000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

timespec deadline_after_ms(uint32_t ms) { return deadline_after_us(static_cast<uint64_t>(ms) * 1000); }

// ---- state ------------------------------------------------------------------------

ll_dev_file_t *_file_ll_dev_priv_alloc() {
    auto *priv = new (std::nothrow) ll_dev_file_t{};
    if (!priv) {
        LOG_ERR("malloc failed\n");
        exit(-2);
    }
    pthread_condattr_t attr;
    if (pthread_mutex_init(&priv->file_mutex, nullptr) != 0 ||
        pthread_mutex_init(&priv->evt_mutex, nullptr) != 0) {
        LOG_ERR("pthread_mutex_init failed\n");
        exit(-1);
    }
    if (pthread_condattr_init(&attr) != 0 || pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&priv->evt_cond, &attr) != 0) {
        LOG_ERR("pthread_cond_init failed\n");
        exit(-1);
    }
    pthread_condattr_destroy(&attr);
    return priv;
}

void _file_ll_dev_priv_free(kavro_ll_dev_t *dev) {
    std::unique_lock<std::shared_mutex> lock(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    pthread_cond_destroy(&priv->evt_cond);
    pthread_mutex_destroy(&priv->evt_mutex);
    pthread_mutex_destroy(&priv->file_mutex);
    delete priv;
    dev->h = nullptr;
}

// ---- the replay thread ---------------------------------------------------------------

/// Stream header for one replayed frame: the frame is sent whole under one
/// header that marks a frame boundary, without a payload sum.
vx_stream_hdr_t _file_ll_make_hdr(const ll_dev_file_t *priv, uint32_t frame_bytes, uint16_t fr_idx) {
    vx_stream_hdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.sync_word = VX_STREAM_SYNC_WORD;
    hdr.idx = fr_idx;
    hdr.len = frame_bytes;
    hdr.finfo.frame_size = frame_bytes;
    hdr.finfo.frame_idx = fr_idx;
    hdr.finfo.frame_format = priv->has_info && priv->info.has_frame_format
                                 ? static_cast<uint16_t>(priv->info.frame_format)
                                 : replay_frame_format(priv->dcs_n);
    // The chip driver reads the image size from the first two words and the
    // temperatures (0.1 degC, sensor then IB) from the next two.
    const auto w = static_cast<uint16_t>(priv->img_w);
    const auto h = static_cast<uint16_t>(priv->img_h);
    memcpy(&hdr.finfo.frame_prop[0], &w, 2);
    memcpy(&hdr.finfo.frame_prop[2], &h, 2);
    if (priv->has_info && priv->next_frame < priv->info.frames.size()) {
        const kavro_rec_frame_t &f = priv->info.frames[priv->next_frame];
        memcpy(&hdr.finfo.frame_prop[4], &f.temp_cb, 2);
        memcpy(&hdr.finfo.frame_prop[6], &f.temp_ib, 2);
    }
    hdr.data_cksum = 0;
    hdr.flag = VX_STREAM_FLAG_FR_BOUND;
    hdr.cksum = vx_stream_hash16(&hdr, VX_STREAM_HDR_SIZE - 2, 0);  // all but cksum
    return hdr;
}


/// Sleep `us` between frames, cut short by close or a stop of capture.
void _file_ll_pace(ll_dev_file_t *priv, uint32_t us) {
    const timespec until = deadline_after_us(us);
    pthread_mutex_lock(&priv->evt_mutex);
    while (!priv->evt_thread_stop.load() && !priv->cap_stop.load()) {
        if (pthread_cond_timedwait(&priv->evt_cond, &priv->evt_mutex, &until) == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&priv->evt_mutex);
}

/// Begin handing something of capture `gen` to the callback: false when that
/// capture has been stopped or replaced meanwhile (`need_running`: a frame
/// goes only to a running capture; a status also to one that this thread
/// just stopped). Paired with _file_ll_end_delivery.
bool _file_ll_begin_delivery(ll_dev_file_t *priv, uint32_t gen, bool need_running) {
    pthread_mutex_lock(&priv->evt_mutex);
    const bool ok = priv->start_gen == gen && !priv->evt_thread_stop.load() &&
                    (!need_running || !priv->cap_stop.load());
    priv->delivering = ok;
    void (*const hook)(void *) = ok ? priv->delivery_hook : nullptr;
    void *const hook_arg = priv->delivery_hook_arg;
    pthread_mutex_unlock(&priv->evt_mutex);
    if (hook) hook(hook_arg);
    return ok;
}

void _file_ll_end_delivery(ll_dev_file_t *priv) {
    pthread_mutex_lock(&priv->evt_mutex);
    priv->delivering = false;
    pthread_cond_broadcast(&priv->evt_cond);
    pthread_mutex_unlock(&priv->evt_mutex);
}

/// Under evt_mutex: wait until the replay thread is not inside a delivery,
/// unless the caller is that delivery (the callback may stop or restart
/// capture in answer to what it was handed).
void _file_ll_wait_delivered(ll_dev_file_t *priv) {
    if (priv->evt_thread_created && pthread_equal(pthread_self(), priv->evt_thread)) return;
    while (priv->delivering) pthread_cond_wait(&priv->evt_cond, &priv->evt_mutex);
}

/// Wait until the reader has room for the next frame (the flow predicate
/// says so), capture stops or the device closes. The predicate is checked
/// under evt_mutex, and a reader's kick takes that mutex before it signals,
/// so no kick is lost; the poll interval is a second line of defence.
void _file_ll_wait_room(ll_dev_file_t *priv) {
    pthread_mutex_lock(&priv->evt_mutex);
    while (!priv->evt_thread_stop.load() && !priv->cap_stop.load() && priv->may_send &&
           !priv->may_send(priv->may_send_arg)) {
        const timespec until = deadline_after_ms(FLOW_POLL_MS);
        pthread_cond_timedwait(&priv->evt_cond, &priv->evt_mutex, &until);
    }
    pthread_mutex_unlock(&priv->evt_mutex);
}

uint32_t period_of(double fps) {
    if (!(fps > 0)) return 0;
    const double us = std::round(1e6 / fps);
    return us > 60e6 ? 60000000u : static_cast<uint32_t>(us);
}

void _ll_event_loop(kavro_ll_dev_t *dev, ll_dev_file_t *priv) {
    LOG_TRC("Enter ll event loop...\n");
    // The open checked the frame size and allocated the frame.
    const uint32_t samples = priv->img_w * priv->img_h * priv->dcs_n;
    const uint32_t frame_bytes = samples * 2;  // delivered as 16-bit samples
    uint16_t *const frame = priv->frame.get();
    do {
        // Idle until a capture runs or the device closes; both signal.
        pthread_mutex_lock(&priv->evt_mutex);
        while (priv->cap_stop.load() && !priv->evt_thread_stop.load())
            pthread_cond_wait(&priv->evt_cond, &priv->evt_mutex);
        if (priv->evt_thread_stop.load()) {
            pthread_mutex_unlock(&priv->evt_mutex);
            break;
        }
        const kavro_ll_trans_notify_f cb = priv->trans_cb;
        void *const cb_arg = priv->trans_cb_arg;
        const uint32_t gen = priv->start_gen;
        const bool rewind = priv->rewind_req;
        priv->rewind_req = false;
        pthread_mutex_unlock(&priv->evt_mutex);

        // The rewind a capture start asked for happens here, on the only
        // thread that reads the file, so it never lands inside a frame read.
        // From offset 0 the loader parses the header again first.
        if (rewind) {
            lseek(priv->fd, 0, SEEK_SET);
            priv->next_frame = 0;
        }
        _file_ll_wait_room(priv);
        if (priv->cap_stop.load() || priv->evt_thread_stop.load()) continue;
        const int got = _kavro_frame_load_raw(&priv->file_hdr, priv->fd, frame,
                                              static_cast<int>(samples), nullptr, nullptr, nullptr,
                                              nullptr, 0);
        if (got == static_cast<int>(samples)) {
            // A stop (and the start after it) may come while this thread reads:
            // the frame then goes nowhere, and a stop waits for a frame that is
            // being handed over, so none reaches the next capture's stream.
            if (cb && _file_ll_begin_delivery(priv, gen, true)) {
                // With a header shorter than one frame this counts from 1.
                const off_t pos = lseek(priv->fd, 0, SEEK_CUR);
                const auto fr_idx = static_cast<uint16_t>(static_cast<uint64_t>(pos) / frame_bytes);
                vx_stream_hdr_t hdr = _file_ll_make_hdr(priv, frame_bytes, fr_idx);
                cb(dev, LL_TRANS_OK, &hdr, static_cast<int>(sizeof hdr), cb_arg);
                cb(dev, LL_TRANS_OK, frame, static_cast<int>(frame_bytes), cb_arg);
                _file_ll_end_delivery(priv);
            }
            ++priv->next_frame;
            const uint32_t period = priv->period_us.load();
            if (period != 0) _file_ll_pace(priv, period);
            continue;
        }
        int status;
        if (got == 0) {
            LOG_DBG("stop capture: file EOF met\n");
            status = LL_TRANS_CANCELLED;
        } else {
            LOG_ERR("load frames from file failed: len=%u\n", static_cast<unsigned>(got));
            status = LL_TRANS_LOAD_FAILED;
        }
        // Go idle before reporting, so that a capture restarted in answer to
        // this status (even from inside the callback) is not stopped again.
        pthread_mutex_lock(&priv->evt_mutex);
        if (priv->start_gen == gen) priv->cap_stop.store(true);
        pthread_mutex_unlock(&priv->evt_mutex);
        // Only to the capture it belongs to: a capture started since must not
        // be told that an earlier one ended.
        if (cb && _file_ll_begin_delivery(priv, gen, false)) {
            cb(dev, status, frame, 0, cb_arg);
            _file_ll_end_delivery(priv);
        }
    } while (!priv->evt_thread_stop.load());
    LOG_TRC("Exit ll event loop...\n");
}

void *_file_ll_evt_thread(void *arg) {
    auto *dev = static_cast<kavro_ll_dev_t *>(arg);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return nullptr;  // open attaches the state before starting the thread
    LOG_DBG("enter\n");
    priv->evt_loop_running.store(true);
    _ll_event_loop(dev, priv);
    priv->evt_loop_running.store(false);
    LOG_DBG("exit\n");
    return nullptr;
}

// ---- operations ------------------------------------------------------------------

bool file_ll_init() { return true; }
void file_ll_uninit() {}
void file_ll_set_debug(int) {}

/// Read the recording's header and first samples; true when it is a usable
/// raw recording. Leaves the file at its start.
bool _file_ll_dev_open(kavro_ll_dev_t *dev, ll_dev_file_t *priv) {
    FILE *fp = static_cast<FILE *>(dev->ll_info.info.fil.fd);
    const int fd = fileno(fp);
    if (fd < 0) return false;
    uint16_t probe[OPEN_PROBE_SAMPLES];
    int w = 0, h = 0, n = 0;
    // The header is parsed only at offset 0.
    lseek(fd, 0, SEEK_SET);
    const int got = _kavro_frame_load_raw(&priv->file_hdr, fd, probe, OPEN_PROBE_SAMPLES, &w, &h, &n,
                                          priv->prod_str, static_cast<int>(sizeof priv->prod_str));
    // The first frame must hold at least the probe's samples.
    if (got != OPEN_PROBE_SAMPLES) return false;
    lseek(fd, 0, SEEK_SET);
    // A frame goes to the frame stream under one header, whose payload must
    // stay below VX_STREAM_MAX_LEN: a larger frame would be dropped by the
    // stream every time and the replay would end with no frame and no error.
    // Refused here, before anything is allocated for it.
    const uint64_t frame_bytes = uint64_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h) *
                                 static_cast<uint32_t>(n) * 2;
    if (frame_bytes >= VX_STREAM_MAX_LEN) {
        LOG_ERR("recording frames of %dx%dx%d samples (%llu bytes) are too large to replay (limit %u bytes)\n", w,
                h, n, static_cast<unsigned long long>(frame_bytes), VX_STREAM_MAX_LEN - 1);
        return false;
    }
    priv->frame.reset(new (std::nothrow) uint16_t[frame_bytes / 2]);
    if (!priv->frame) {
        LOG_ERR("malloc failed\n");
        return false;
    }

    priv->h_file = fp;
    priv->fd = fd;
    priv->img_w = static_cast<uint32_t>(w);
    priv->img_h = static_cast<uint32_t>(h);
    priv->dcs_n = static_cast<uint32_t>(n);
    LOG_DBG("open file dev: prod = %s, WxHxN = %dx%dx%d\n", priv->prod_str, w, h, n);
    bool as_device = false;
    {
        std::lock_guard<std::mutex> g(g_attach_mutex);
        auto it = g_attached.find(fp);
        if (it != g_attached.end()) {
            as_device = true;
            priv->has_info = it->second.has_info;
            priv->info = std::move(it->second.info);
            g_attached.erase(it);
        }
    }
    // Unpaced by default for callers of the transport itself.
    double fps = as_device ? DEFAULT_REPLAY_FPS : 0;
    if (priv->has_info) {
        if (priv->info.frame_rate > 0) fps = priv->info.frame_rate;
        priv->mod_freq.store(priv->info.mod_freq);
        priv->intg_time.store(priv->info.intg_time);
        LOG_DBG("replay with side file: %s, %zu frame records, %.3f fps\n", priv->info.product.c_str(),
                priv->info.frames.size(), fps);
    }
    priv->fps.store(static_cast<uint32_t>(std::lround(fps)));
    priv->period_us.store(period_of(fps));
    dev->ll_info.type = LL_IF_FILE;
    priv->evt_loop_running.store(false);
    priv->evt_thread_stop.store(0);
    return true;
}

void file_ll_dev_close(kavro_ll_dev_t *dev);

kavro_ll_dev_t *file_ll_dev_open(kavro_ll_dev_t *dev) {
    if (!dev || dev->ll_info.type != LL_IF_FILE) return nullptr;
    if (dev->h) {
        // Opening twice would start a second replay thread on the same state.
        LOG_WRN("device already opened\n");
        return nullptr;
    }
    if (!dev->ll_info.info.fil.fd) return nullptr;
    dev->h = _file_ll_dev_priv_alloc();
    ll_dev_file_t *priv = priv_of(dev);
    if (!_file_ll_dev_open(dev, priv)) {
        // Not a raw recording: nothing of this open stays behind.
        _file_ll_dev_priv_free(dev);
        return nullptr;
    }
    if (pthread_create(&priv->evt_thread, nullptr, _file_ll_evt_thread, dev) != 0) {
        LOG_ERR(" create evt thread failed\n");
        file_ll_dev_close(dev);
        return nullptr;
    }
    priv->evt_thread_created = true;
    dev->ll_op = &ll_op_fil;
    return dev;
}

kavro_ll_dev_t *file_ll_dev_open_by_fd(kavro_ll_dev_t *, int) { return nullptr; }

void file_ll_dev_close(kavro_ll_dev_t *dev) {
    if (!dev || dev->ll_info.type != LL_IF_FILE) return;
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) {
        LOG_WRN("device no need to closed!\n");
        return;
    }
    pthread_mutex_lock(&priv->file_mutex);
    if (!priv->evt_thread_stop.load()) {
        LOG_DBG("stop evt thread...\n");
        pthread_mutex_lock(&priv->evt_mutex);
        priv->evt_thread_stop.store(1);
        pthread_cond_broadcast(&priv->evt_cond);
        pthread_mutex_unlock(&priv->evt_mutex);
        if (priv->evt_thread_created) pthread_join(priv->evt_thread, nullptr);
    }
    pthread_mutex_unlock(&priv->file_mutex);
    _file_ll_dev_priv_free(dev);
}

int file_ll_dev_list(kavro_ll_dev_t *, int) { return 0; }

bool file_ll_exe_cmd(kavro_ll_dev_t *, bool, uint8_t, uint16_t, void *, int, uint32_t) { return true; }

int file_ll_tx_data(kavro_ll_dev_t *, const void *, uint32_t) { return 0; }

void file_ll_cap_abort(kavro_ll_dev_t *dev) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    if (ll_dev_file_t *priv = priv_of(dev)) priv->cap_stop.store(true);
}

bool file_ll_cap_start(kavro_ll_dev_t *dev, uint32_t, kavro_ll_trans_notify_f cb, void *cb_arg) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return false;
    pthread_mutex_lock(&priv->file_mutex);
    const bool ok = !priv->evt_thread_stop.load();
    if (ok) {
        // Every capture replays the file from its first frame.
        pthread_mutex_lock(&priv->evt_mutex);
        _file_ll_wait_delivered(priv);  // the last one of the capture before ends first
        priv->trans_cb = cb;
        priv->trans_cb_arg = cb_arg;
        priv->rewind_req = true;
        ++priv->start_gen;
        priv->cap_stop.store(false);
        pthread_cond_broadcast(&priv->evt_cond);
        pthread_mutex_unlock(&priv->evt_mutex);
    }
    pthread_mutex_unlock(&priv->file_mutex);
    return ok;
}

bool file_ll_cap_stop(kavro_ll_dev_t *dev) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return false;
    pthread_mutex_lock(&priv->file_mutex);
    const bool ok = !priv->evt_thread_stop.load();
    if (ok) {
        pthread_mutex_lock(&priv->evt_mutex);
        priv->cap_stop.store(true);
        pthread_cond_broadcast(&priv->evt_cond);  // cuts a pacing pause short
        _file_ll_wait_delivered(priv);             // and returns with nothing on its way
        pthread_mutex_unlock(&priv->evt_mutex);
    }
    pthread_mutex_unlock(&priv->file_mutex);
    return ok;
}

bool file_ll_dev_reset(kavro_ll_dev_t *dev, uint8_t) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return false;
    // Whatever the target: back to the first frame, done by the replay
    // thread before its next read.
    pthread_mutex_lock(&priv->evt_mutex);
    priv->rewind_req = true;
    pthread_mutex_unlock(&priv->evt_mutex);
    return true;
}

bool file_ll_dev_reg_write(kavro_ll_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) {
    return true;
}

bool file_ll_dev_reg_read(kavro_ll_dev_t *, uint8_t, uint32_t, uint32_t *, uint16_t) { return true; }

bool file_ll_dev_param_set(kavro_ll_dev_t *dev, const vxif_param_item_t *items, int item_cnt) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return false;
    for (int i = 0; items && i < item_cnt; ++i) {
        uint32_t v;
        memcpy(&v, &items[i].param_val, sizeof v);
        if (items[i].param_id == PARAM_MOD_FREQ && priv->has_info) {
            priv->mod_freq.store(v);
            continue;
        }
        if (items[i].param_id == PARAM_INTG_TIME && priv->has_info) {
            priv->intg_time.store(v & 0xFFFFu);
            continue;
        }
        if (items[i].param_id != PARAM_FRAME_RATE) continue;
        priv->fps.store(v);
        priv->period_us.store(period_of(v));
        LOG_DBG("file replay set fps to %d\n", static_cast<int>(v));
    }
    return true;
}

/// Answer a parameter from the side file; false for those it does not hold.
bool _file_ll_info_param(const ll_dev_file_t *priv, vxif_param_item_t &it) {
    const kavro_rec_info_t &r = priv->info;
    kavro_param_val_u &v = *reinterpret_cast<kavro_param_val_u *>(&it.param_val);
    memset(&v, 0, sizeof v);
    auto text = [&](const std::string &s) {
        const size_t n = s == "-" ? 0 : std::min(s.size(), sizeof v.raw);
        memcpy(v.raw, s.data(), n);
        it.param_val_len = static_cast<uint8_t>(n);
    };
    switch (it.param_id) {
    case PARAM_INFO_VENDOR: text(r.vendor); return true;
    case PARAM_INFO_SERIAL: {
        uint32_t s[3] = {0, 0, 0};
        if (sscanf(r.serial.c_str(), "%8x-%8x-%8x", &s[0], &s[1], &s[2]) != 3) LOG_WRN("recorded serial '%s' not understood\n", r.serial.c_str());
        memcpy(v.info_serial.serial, s, sizeof s);
        it.param_val_len = sizeof s;
        return true;
    }
    case PARAM_INFO_VERSION: {
        unsigned short x[4] = {0, 0, 0, 0};
        if (sscanf(r.version.c_str(), "hw_%hu,_sw_%hu,_sw2_%hu,_hw2_%hu", &x[0], &x[1], &x[2], &x[3]) != 4)
            LOG_WRN("recorded version '%s' not understood\n", r.version.c_str());
        v.info_version.hw_ver = x[0];
        v.info_version.sw_ver = x[1];
        v.info_version.sw2_ver = x[2];
        v.info_version.hw2_ver = x[3];
        it.param_val_len = 8;
        return true;
    }
    case PARAM_INFO_SENSOR:
        v.chip_info.part_ver = r.sensor[0];
        v.chip_info.chip_id = r.sensor[1];
        v.chip_info.wafer_id = r.sensor[2];
        it.param_val_len = 6;
        return true;
    case PARAM_INFO_CALIB:
        // Nothing on the device: valid 0, timestamp 0, so the calibration
        // routine never prefers a download to the recording's own copy.
        it.param_val_len = 18;
        return true;
    case PARAM_MOD_FREQ:
        v.mod_freq = priv->mod_freq.load();
        it.param_val_len = 4;
        return true;
    case PARAM_INTG_TIME:
        v.intg.intg_us = static_cast<uint16_t>(priv->intg_time.load());
        it.param_val_len = 2;
        return true;
    case PARAM_FRAME_FORMAT:
        v.frame_format.format = r.has_frame_format ? r.frame_format : replay_frame_format(priv->dcs_n);
        it.param_val_len = 4;
        return true;
    default:
        return false;
    }
}

bool file_ll_dev_param_get(kavro_ll_dev_t *dev, vxif_param_item_t *items, int item_cnt) {
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return false;
    for (int i = 0; items && i < item_cnt; ++i) {
        vxif_param_item_t &it = items[i];
        switch (it.param_id) {
        case PARAM_FRAME_RATE: {
            const uint32_t fps = priv->fps.load();
            memcpy(&it.param_val, &fps, sizeof fps);
            break;
        }
        case PARAM_INFO_PRODUCT: {
            const char *text = priv->has_info && priv->info.product != "-" ? priv->info.product.c_str()
                                                                           : priv->prod_str;
            const size_t n = strnlen(text, sizeof it.param_val);
            memset(&it.param_val, 0, sizeof it.param_val);
            memcpy(&it.param_val, text, n);
            it.param_val_len = static_cast<uint8_t>(n);
            break;
        }
        default:
            if (priv->has_info && _file_ll_info_param(priv, it)) break;
            memset(&it.param_val, 0, sizeof it.param_val);
            break;
        }
    }
    return true;
}

}  // namespace

void _kavro_ll_file_attach_info(FILE *f, const kavro_rec_info_t *info) {
    std::lock_guard<std::mutex> g(g_attach_mutex);
    attached_t &a = g_attached[f];
    a.has_info = info != nullptr;
    a.info = info ? *info : kavro_rec_info_t{};
}

void _kavro_ll_file_detach_info(FILE *f) {
    std::lock_guard<std::mutex> g(g_attach_mutex);
    g_attached.erase(f);
}

namespace {
// Runs fn(priv) under the event lock of dev, if dev is an open replay device;
// the state lock keeps the device from being closed meanwhile.
template <typename Fn>
void with_event_lock(kavro_ll_dev_t *dev, Fn fn) {
    if (!dev || dev->ll_op != &ll_op_fil) return;
    std::shared_lock<std::shared_mutex> state(g_state_lock);
    ll_dev_file_t *priv = priv_of(dev);
    if (!priv) return;
    pthread_mutex_lock(&priv->evt_mutex);
    fn(priv);
    pthread_mutex_unlock(&priv->evt_mutex);
}
}  // namespace

void _kavro_ll_file_set_flow(kavro_ll_dev_t *dev, kavro_ll_file_may_send_f may_send, void *arg) {
    with_event_lock(dev, [&](ll_dev_file_t *priv) {
        priv->may_send = may_send;
        priv->may_send_arg = arg;
        pthread_cond_broadcast(&priv->evt_cond);
    });
}

void _kavro_ll_file_set_delivery_hook(kavro_ll_dev_t *dev, void (*hook)(void *), void *arg) {
    with_event_lock(dev, [&](ll_dev_file_t *priv) {
        priv->delivery_hook = hook;
        priv->delivery_hook_arg = arg;
    });
}

void _kavro_ll_file_flow_kick(kavro_ll_dev_t *dev) {
    with_event_lock(dev, [](ll_dev_file_t *priv) { pthread_cond_broadcast(&priv->evt_cond); });
}

const kavro_ll_op ll_op_fil = {
    .init = file_ll_init,
    .uninit = file_ll_uninit,
    .set_debug = file_ll_set_debug,
    .dev_open = file_ll_dev_open,
    .dev_open_by_fd = file_ll_dev_open_by_fd,
    .dev_close = file_ll_dev_close,
    .dev_list = file_ll_dev_list,
    .exe_cmd = file_ll_exe_cmd,
    .tx_data = file_ll_tx_data,
    .cap_abort = file_ll_cap_abort,
    .cap_start = file_ll_cap_start,
    .cap_stop = file_ll_cap_stop,
    .dev_reset = file_ll_dev_reset,
    .dev_reg_write = file_ll_dev_reg_write,
    .dev_reg_read = file_ll_dev_reg_read,
    .dev_param_set = file_ll_dev_param_set,
    .dev_param_get = file_ll_dev_param_get,
};
