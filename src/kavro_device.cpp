// Devices: listing, open (transport, identity, driver, frame stream,
// calibration), replay open, reset and a close that never frees a device
// under a running call.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_globals.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "kavro_rec_info.h"
#include "kavro_replay.h"
#include "vx_log_internal.h"
#include "vx_port.h"
#include "vx_stream.h"

// The camera layer copies these records into each other as a whole.
static_assert(sizeof(kavro_dev_if_info_t) == sizeof(kavro_ll_info_t));
static_assert(offsetof(_kavro_handler_t, ll_dev) == 0);

namespace {

constexpr uint32_t OPEN_FRBUF_CNT = 10;    // frames the stream keeps after open
constexpr unsigned CLOSE_WAIT_STEP_MS = 100;
constexpr uint8_t API_FLAG_MAX = UINT8_MAX;
constexpr int RESET_TARGET_MAX = 8;
constexpr int OPEN_CALIB_USE_CASE = 2;

// Serialises entering and leaving the guard with the close's state changes,
// so a call can never pick up a handler (or its lock) that a close is about
// to free. It outlives every device; the per-device read-write lock still
// guards the counter itself.
std::mutex g_api_mutex;

// Handlers of the devices open now (their open finished), under
// g_api_mutex: an identity listing answers for them from their records
// instead of reaching for a camera this program is using.
std::vector<_kavro_handler_t *> g_open_handlers;

void forget_open_locked(_kavro_handler_t *h) {
    g_open_handlers.erase(std::remove(g_open_handlers.begin(), g_open_handlers.end(), h), g_open_handlers.end());
}

uint8_t read_api_flag(kavro_dev_t *dev, pthread_rwlock_t *lock) {
    pthread_rwlock_rdlock(lock);
    uint8_t n = dev->api_flag;
    pthread_rwlock_unlock(lock);
    return n;
}

void destroy_lock(pthread_rwlock_t *lock) {
    if (!lock) return;
    pthread_rwlock_destroy(lock);
    delete lock;
}

// Free everything the open created for the device. The transport is closed
// already. Runs once per handler.
void teardown_handler(_kavro_handler_t *h) {
    if (h->sync_inited) {
        pthread_cond_destroy(&h->cap_cond);
        pthread_mutex_destroy(&h->cap_mutex);
        h->sync_inited = false;
    }
    if (h->driver && h->driver->op && h->driver->op->uninit) h->driver->op->uninit(h->driver);
    h->driver = nullptr;
    if (h->cap_str) {
        vx_stream_destroy(h->cap_str);
        h->cap_str = nullptr;
    }
    destroy_lock(h->api_lock);
    h->api_lock = nullptr;
    if (h->replay) {
        if (h->replay->calib_fd >= 0) close(h->replay->calib_fd);
        delete h->replay;
        h->replay = nullptr;
    }
}

// Undo a failed open: the handler goes, the record is closed (and freed when
// the library owns it).
kavro_dev_t *fail_open(kavro_dev_t *dev, _kavro_handler_t *h) {
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        h->is_opened = false;
        forget_open_locked(h);
        dev->handler = nullptr;
        dev->lock = nullptr;
    }
    teardown_handler(h);
    _kavro_handler_free(h);
    // A replay record that could not be opened (again) gives its file back:
    // no close will come for it.
    if (dev->if_info.type == DEV_IF_FILE && dev->if_info.info.fil.fd) {
        fclose(static_cast<FILE *>(dev->if_info.info.fil.fd));
        dev->if_info.info.fil.fd = nullptr;
    }
    if (dev->alloc_flag) free(dev);
    return nullptr;
}

// The replay context kavro_dev_open_replay hands to the kavro_dev_open it
// calls (the open's signature is public and has no room for it).
thread_local std::unique_ptr<kavro_replay_ctx_t> t_pending_replay;

// What a replay of the recording `filename` with side file `info` gives the
// decode: the lens, and the calibration copy after its size and crc32 were
// checked (a copy that fails the check is not used: a warning, and the
// replay decodes uncalibrated).
std::unique_ptr<kavro_replay_ctx_t> make_replay_ctx(const std::string &filename, const kavro_rec_info_t &info) {
    auto ctx = std::make_unique<kavro_replay_ctx_t>();
    ctx->has_lens = info.has_lens;
    ctx->lens = info.lens;
    ctx->mod_freq = info.mod_freq;
    ctx->has_frame_format = info.has_frame_format;
    ctx->frame_format = info.frame_format;
    if (info.calib_kind == "none" || info.calib_file == "-") return ctx;
    const std::string path = _kavro_rec_dir_of(filename) + info.calib_file;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    uint64_t bytes = 0;
    uint32_t crc = 0;
    if (fd < 0 || !_kavro_rec_fd_crc(fd, &bytes, &crc)) {
        LOG_WRN("recording calibration %s cannot be read: replay decodes without calibration\n", path.c_str());
    } else if (bytes != info.calib_bytes || crc != info.calib_crc) {
        LOG_WRN("recording calibration %s does not match its side file (%llu bytes, crc %08x; recorded %llu, "
                "%08x): replay decodes without calibration\n",
                path.c_str(), static_cast<unsigned long long>(bytes), crc,
                static_cast<unsigned long long>(info.calib_bytes), info.calib_crc);
    } else {
        ctx->calib_fd = fd;
        // The parameter file keeps at most KAVRO_PARAM_FILENAME_MAX
        // characters of its name; a longer path is reached through the
        // descriptor held open for the replay (the file checked above).
        if (path.size() <= KAVRO_PARAM_FILENAME_MAX)
            snprintf(ctx->calib_path, sizeof ctx->calib_path, "%s", path.c_str());
        else
            snprintf(ctx->calib_path, sizeof ctx->calib_path, "/proc/self/fd/%d", fd);
        LOG_DBG("replay calibration: %s (%s, %llu bytes)\n", ctx->calib_path, info.calib_kind.c_str(),
                static_cast<unsigned long long>(bytes));
        return ctx;
    }
    if (fd >= 0) close(fd);
    return ctx;
}

// Text values end at their terminator or after their 18 bytes.
void copy_text(char *dst, size_t dst_size, const kavro_param_val_u &val) {
    const auto *text = reinterpret_cast<const char *>(val.raw);
    const size_t n = std::min(strnlen(text, sizeof val.raw), dst_size - 1);
    memset(dst, 0, dst_size);
    memcpy(dst, text, n);
}

void copy_bytes(void *dst, size_t dst_size, const kavro_param_item_t &item) {
    const size_t n = std::min({static_cast<size_t>(item.param_val_len), sizeof item.param_val.raw, dst_size});
    memcpy(dst, item.param_val.raw, n);
}

}  // namespace

int g_kavro_close_wait_tries = 200;  // 200 x 100 ms = 20 s

void _kavro_dev_fill_ident(kavro_dev_t *dev, const kavro_param_item_t id[4]) {
    copy_text(dev->vendor, sizeof dev->vendor, id[0].param_val);
    copy_text(dev->product, sizeof dev->product, id[1].param_val);
    memset(dev->serial, 0, sizeof dev->serial);
    copy_bytes(dev->serial, sizeof dev->serial, id[2]);
    copy_bytes(&dev->version, sizeof dev->version, id[3]);
}

bool _kavro_dev_ident_of_open(const kavro_dev_if_info_t &where, kavro_dev_t *out) {
    if (where.type != DEV_IF_USB) return false;
    std::lock_guard<std::mutex> g(g_api_mutex);
    for (const _kavro_handler_t *h : g_open_handlers) {
        const kavro_dev_t *d = h->dev;
        if (!d || d->if_info.type != DEV_IF_USB ||
            d->if_info.info.usb.usb_bus_num != where.info.usb.usb_bus_num ||
            d->if_info.info.usb.usb_port_num != where.info.usb.usb_port_num ||
            d->if_info.info.usb.usb_dev_addr != where.info.usb.usb_dev_addr)
            continue;
        memcpy(out->vendor, d->vendor, sizeof out->vendor);
        memcpy(out->product, d->product, sizeof out->product);
        memcpy(out->serial, d->serial, sizeof out->serial);
        out->version = d->version;
        return true;
    }
    return false;
}

_kavro_handler_t *_kavro_handler_alloc() { return new (std::nothrow) _kavro_handler_t{}; }

void _kavro_handler_free(_kavro_handler_t *h) { delete h; }

_kavro_handler_t *_kavro_dev_handler(const kavro_dev_t *dev) {
    if (!dev) return nullptr;
    std::lock_guard<std::mutex> g(g_api_mutex);
    auto *h = static_cast<_kavro_handler_t *>(dev->handler);
    return h && h->is_opened ? h : nullptr;
}

_kavro_handler_t *_kavro_api_enter(kavro_dev_t *dev) {
    if (!dev) return nullptr;
    std::lock_guard<std::mutex> g(g_api_mutex);
    auto *h = static_cast<_kavro_handler_t *>(dev->handler);
    if (!h || !h->api_ready || !h->is_opened || h->closing || !h->api_lock) return nullptr;
    pthread_rwlock_wrlock(h->api_lock);
    const bool full = dev->api_flag == API_FLAG_MAX;
    if (!full) ++dev->api_flag;
    pthread_rwlock_unlock(h->api_lock);
    return full ? nullptr : h;
}

namespace {

// With g_api_mutex held: true when the caller has just released the last
// use of an orphaned handler and must free it (after unlocking: the driver's
// uninit may call back into the library).
bool orphan_done_locked(_kavro_handler_t *h) {
    return h->orphaned && h->orphan_users == 0 && h->cap_waiters == 0;
}

// Free an orphaned handler nobody can reach any more (and the record, when
// the library owns it).
void reap_orphan(_kavro_handler_t *h) {
    kavro_dev_t *record = h->orphan_free_record ? h->dev : nullptr;
    teardown_handler(h);
    _kavro_handler_free(h);
    free(record);
}

// With g_api_mutex held: give up one count of the call.
void drop_count_locked(_kavro_handler_t *h) {
    if (h->orphaned) {
        --h->orphan_users;
        return;
    }
    pthread_rwlock_wrlock(h->api_lock);
    if (h->dev->api_flag > 0) --h->dev->api_flag;
    pthread_rwlock_unlock(h->api_lock);
}

}  // namespace

void _kavro_api_leave(_kavro_handler_t *h) {
    bool reap;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        drop_count_locked(h);
        reap = orphan_done_locked(h);
    }
    if (reap) reap_orphan(h);
}

void _kavro_api_wait_begin(_kavro_handler_t *h) {
    std::lock_guard<std::mutex> g(g_api_mutex);
    ++h->cap_waiters;
    drop_count_locked(h);
}

bool _kavro_api_wait_resume(_kavro_handler_t *h) {
    std::lock_guard<std::mutex> g(g_api_mutex);
    if (h->closing || h->orphaned) return false;
    pthread_rwlock_wrlock(h->api_lock);
    ++h->dev->api_flag;
    pthread_rwlock_unlock(h->api_lock);
    return true;
}

void _kavro_api_wait_end(_kavro_handler_t *h) {
    bool reap;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        --h->cap_waiters;
        reap = orphan_done_locked(h);
    }
    if (reap) reap_orphan(h);
}

void _kavro_dev_close(kavro_dev_t *dev, bool keep_record, kavro_ll_dev_t *ll_after) {
    LOG_DBG("close kavro device @ %p\n", static_cast<void *>(dev));
    if (!dev) return;
    _kavro_handler_t *h;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        h = static_cast<_kavro_handler_t *>(dev->handler);
        // No handler: closed already. Closing: another close owns it.
        if (!h || h->closing) return;
        h->closing = true;
    }

    if (h->is_capturing && !_kavro_cap_stop(h)) LOG_ERR("stop capture failed!\n");
    kavro_ll_dev_close(&h->ll_dev);
    if (ll_after) *ll_after = h->ll_dev;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        h->is_opened = false;
        forget_open_locked(h);
    }

    // Calls in progress (and woken frame waits) finish on their own now: the
    // capture is stopped and the transport closed.
    int tries = 0;
    for (;; ++tries) {
        bool idle;
        {
            std::lock_guard<std::mutex> g(g_api_mutex);
            idle = (!h->api_lock || read_api_flag(dev, h->api_lock) == 0) && h->cap_waiters == 0;
        }
        if (idle || tries >= g_kavro_close_wait_tries) break;
        vx_port::sleep_ms(CLOSE_WAIT_STEP_MS);
    }

    const bool is_file = dev->if_info.type == DEV_IF_FILE;
    bool handed_over = false;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        const int users = h->api_lock ? read_api_flag(dev, h->api_lock) : 0;
        if (users > 0 || h->cap_waiters > 0) {
            LOG_WRN(" api wait timeout\n");
            // Detach: the record is closed for the application, and the last
            // running call frees the handler (and the record, when the
            // library owns it).
            h->orphaned = true;
            h->orphan_users = users;
            h->orphan_free_record = dev->alloc_flag && !keep_record;
            handed_over = true;
        }
        dev->handler = nullptr;
        dev->lock = nullptr;
        dev->api_flag = 0;
    }
    if (!handed_over) {
        teardown_handler(h);
        _kavro_handler_free(h);
    }

    // An open that closes its own record first goes on with the same replay
    // file, so only a real close releases it.
    if (keep_record) return;
    if (is_file && dev->if_info.info.fil.fd) {
        fclose(static_cast<FILE *>(dev->if_info.info.fil.fd));
        dev->if_info.info.fil.fd = nullptr;
    }
    if (dev->alloc_flag && !handed_over) free(dev);
}

extern "C" {

int kavro_dev_list(kavro_dev_t *dev_list, int dev_list_num) {
    if (!dev_list || dev_list_num <= 0) {
        LOG_ERR("  wrong params: dev_list=%p, dev_list_num=%d \n", static_cast<void *>(dev_list), dev_list_num);
        return 0;
    }
    memset(dev_list, 0, sizeof(kavro_dev_t) * static_cast<size_t>(dev_list_num));
    std::unique_ptr<kavro_ll_dev_t[]> ll(new (std::nothrow) kavro_ll_dev_t[dev_list_num]{});
    if (!ll) return 0;
    int n = kavro_ll_dev_list(ll.get(), dev_list_num);
    n = std::clamp(n, 0, dev_list_num);
    for (int i = 0; i < n; ++i) {
        memcpy(&dev_list[i].if_info, &ll[i].ll_info, sizeof dev_list[i].if_info);
        dev_list[i].init_flag = ll[i].init_flag;
    }
    return n;
}

kavro_dev_t *kavro_dev_open(kavro_dev_t *dev) {
    if (!dev) {
        if (default_dev.handler) {
            LOG_ERR("default device may not close properly!");
            return nullptr;
        }
        memset(&default_dev, 0, sizeof default_dev);
        default_dev.if_info.type = DEV_IF_NONE;
        dev = &default_dev;
    }

    auto *h = static_cast<_kavro_handler_t *>(dev->handler);
    kavro_ll_dev_t prev_ll{};
    if (h && h->is_opened) {
        LOG_WRN("device not close correctly. close it..\n");
        // The transport record as its close leaves it: a copy taken before
        // would keep the state pointer the close frees.
        _kavro_dev_close(dev, true, &prev_ll);
        h = nullptr;
    }
    if (!h) {
        h = _kavro_handler_alloc();
        if (!h) {
            LOG_ERR("malloc failed\n");
            if (dev->alloc_flag) free(dev);
            return nullptr;
        }
        memcpy(&h->ll_dev.ll_info, &dev->if_info, sizeof h->ll_dev.ll_info);
        h->ll_dev.init_flag = dev->init_flag;
        // Reopening an open record goes back to the transport that served
        // it: a closed transport record keeps its table (and its state
        // pointer, null after a transport's close that freed the state).
        h->ll_dev.ll_op = prev_ll.ll_op;
        h->ll_dev.h = prev_ll.h;
        std::lock_guard<std::mutex> g(g_api_mutex);
        dev->handler = h;
    }
    h->dev = dev;
    // What kavro_dev_open_replay prepared for this open, on this thread.
    h->replay = t_pending_replay.release();

    auto *lock = new (std::nothrow) pthread_rwlock_t;
    if (!lock || pthread_rwlock_init(lock, nullptr) != 0) {
        delete lock;
        LOG_ERR("pthread_rwlock_init failed\n");
        exit(-1);
    }
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        destroy_lock(h->api_lock);  // a reused handler may carry one
        h->api_lock = lock;
        dev->lock = lock;
        dev->api_flag = 0;
    }
    LOG_DBG("open kavro device @ %p\n", static_cast<void *>(dev));

    if (!kavro_ll_dev_open(&h->ll_dev)) {
        LOG_ERR("open device failed!\n");
        return fail_open(dev, h);
    }
    memcpy(&dev->if_info, &h->ll_dev.ll_info, sizeof dev->if_info);
    dev->init_flag = h->ll_dev.init_flag;
    // A replay waits for its reader instead of overrunning it.
    _kavro_ll_file_set_flow(&h->ll_dev, _kavro_cap_replay_may_send, h);
    dev->expath = g_path_prefix;
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        h->is_opened = true;
    }

    kavro_param_item_t id[4] = {};
    id[0].param_id = PARAM_INFO_VENDOR;
    id[1].param_id = PARAM_INFO_PRODUCT;
    id[2].param_id = PARAM_INFO_SERIAL;
    id[3].param_id = PARAM_INFO_VERSION;
    if (!_kavro_param_batch_get(h, id, 4)) {
        LOG_WRN(" cannot get info of device\n");
        kavro_ll_dev_close(&h->ll_dev);
        return fail_open(dev, h);
    }
    _kavro_dev_fill_ident(dev, id);

    kavro_drv_t *entry = kavro_drv_find(dev);
    if (!entry) {
        LOG_ERR("cannot find driver for device: product=%s\n", dev->product);
        kavro_ll_dev_close(&h->ll_dev);
        return fail_open(dev, h);
    }
    // Bind a per-device copy: the registry entry stays a template.
    h->drv_inst = *entry;
    h->drv_inst.dev = nullptr;
    h->drv_inst.priv_data = nullptr;
    h->driver = &h->drv_inst;

    if (pthread_cond_init(&h->cap_cond, nullptr) != 0) {
        LOG_ERR("pthread_cond_init failed\n");
        exit(-1);
    }
    if (pthread_mutex_init(&h->cap_mutex, nullptr) != 0) {
        LOG_ERR("pthread_mutex_init failed\n");
        exit(-1);
    }
    h->sync_inited = true;
    vx_stream_cfg_t cfg{};
    cfg.max_frbuf_cnt = OPEN_FRBUF_CNT;
    h->cap_str = vx_stream_create(&cfg);
    if (!h->cap_str) {
        LOG_ERR("vx_stream_create failed\n");
        exit(-1);
    }

    h->is_capturing = false;
    h->cap_thread_stop = 1;
    {
        // The device takes public calls from here on: the driver's init and
        // calibration routine reach the camera through them.
        std::lock_guard<std::mutex> g(g_api_mutex);
        h->api_ready = true;
    }
    const kavro_drv_op_t *op = h->driver->op;
    if (op && op->init) op->init(h->driver, dev);
    if (op && op->calib_save && op->calib_save(h->driver, nullptr, 0, OPEN_CALIB_USE_CASE) < 0)
        LOG_ERR("Load calibration data failed\n");
    if (const kavro_replay_ctx_t *r = h->replay) {
        // The recorded settings, as the driver saw them live.
        if (r->mod_freq != 0 && op && op->on_update_mod_freq) op->on_update_mod_freq(h->driver, r->mod_freq, 0);
        if (r->has_frame_format && op && op->on_update_frame_format)
            op->on_update_frame_format(h->driver, r->frame_format);
    }
    {
        std::lock_guard<std::mutex> g(g_api_mutex);
        if (h->is_opened && !h->closing) g_open_handlers.push_back(h);
    }
    return dev;
}

}  // extern "C"

const char *_kavro_dev_calib_override(kavro_dev_t *dev) {
    _kavro_handler_t *h = _kavro_dev_handler(dev);
    return h && h->replay ? h->replay->calib_path : nullptr;
}

bool _kavro_dev_lens_override(kavro_dev_t *dev, vx_len_param_t *lens) {
    _kavro_handler_t *h = _kavro_dev_handler(dev);
    if (!h || !h->replay || !h->replay->has_lens) return false;
    *lens = h->replay->lens;
    return true;
}

extern "C" {

kavro_dev_t *kavro_dev_open_replay(const char *filename) {
    FILE *f = filename ? fopen(filename, "rb") : nullptr;
    if (!f) {
        LOG_ERR("open file failed: %s\n", filename ? filename : "(null)");
        return nullptr;
    }
    if (default_dev.handler) {
        // Taking the record over would lose the open device's handler.
        LOG_ERR("default device may not close properly!");
        fclose(f);
        return nullptr;
    }
    memset(&default_dev, 0, sizeof default_dev);
    default_dev.if_info.type = DEV_IF_FILE;
    default_dev.if_info.info.fil.fd = f;
    LOG_DBG("open replay file: %s\n", filename);
    // The side file, when there is one, makes the replay answer and decode
    // like the camera that made the recording.
    std::unique_ptr<kavro_replay_ctx_t> ctx;
    const kavro_rec_info_t *attached = nullptr;
    kavro_rec_info_t info;
    const std::string info_path = _kavro_rec_info_path(filename);
    struct stat st {};
    if (stat(info_path.c_str(), &st) == 0) {
        std::string why;
        if (_kavro_rec_info_read(info_path, &info, &why)) {
            ctx = make_replay_ctx(filename, info);
            attached = &info;
        } else {
            LOG_WRN("side file %s ignored: %s\n", info_path.c_str(), why.c_str());
        }
    }
    _kavro_ll_file_attach_info(f, attached);
    t_pending_replay = std::move(ctx);
    // A failed open has closed the file.
    kavro_dev_t *dev = kavro_dev_open(&default_dev);
    t_pending_replay.reset();       // not taken when the open failed early
    _kavro_ll_file_detach_info(f);  // likewise (the pointer is only a key)
    return dev;
}

kavro_dev_t *kavro_dev_open_by_fd(int) {
    LOG_ERR("kavro_dev_open_by_fd currently only support in android!\n");
    return nullptr;
}

void kavro_dev_close(kavro_dev_t *dev) { _kavro_dev_close(dev, false); }

bool kavro_dev_reset(kavro_dev_t *dev, kavro_dev_rst_e target) {
    LOG_DBG("rest device (target=%d)\n", static_cast<int>(target));
    if (!_kavro_dev_handler(dev)) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    if (static_cast<int>(target) > RESET_TARGET_MAX || static_cast<int>(target) < 0) {
        LOG_ERR("wrong reset target: %d\n", static_cast<int>(target));
        return false;
    }
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    return kavro_ll_dev_reset(&guard.handler()->ll_dev, static_cast<uint8_t>(target));
}

}  // extern "C"
