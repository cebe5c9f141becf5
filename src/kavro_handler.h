// The per-device handler record behind kavro_dev_t.handler, and the API
// guard that keeps it alive while calls are running on it.
//
// Lifecycle: kavro_dev_open allocates the record and publishes it once the
// device is usable; kavro_dev_close marks it closing (no new call gets in),
// stops capture, closes the transport, waits for the calls in progress and
// frees it. If calls are still running when the wait runs out, the record is
// detached from the device and the last of those calls frees it on its way
// out, so nothing is ever freed under a running call.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_ll.h"
#include "vx_stream.h"

struct _kavro_cap_req_t;
struct vx_ray_table;

struct _kavro_handler_t {
    // First member: a pointer to the handler is also the transport device
    // pointer handed to every kavro_ll_* call.
    kavro_ll_dev_t ll_dev;
    kavro_drv_t *driver;  // points at drv_inst while the device is open
    kavro_dev_if_info_t if_info;
    bool is_opened;
    std::atomic<bool> is_capturing;

    // Capture engine state (see kavro_capture.cpp). Fields the transport's
    // event thread and application threads share are atomic.
    vx_stream_t cap_str;
    vx_stream_state_t cap_last_state;
    kavro_frame_info_t cap_last_finfo;
    uint32_t cap_fr_cnt;
    std::atomic<int> cap_thread_stop;
    std::atomic<int> cap_timeout_cnt;
    std::atomic<int> cap_stall_cnt;
    std::atomic<int> cap_missing_cnt;
    std::atomic<int> cap_errno;
    // The transport error that stopped the capture (the camera left the
    // bus), 0 while none did. Kept until the next start: cap_errno is cleared
    // once the error callback has seen it, but every later frame call must
    // still learn that no frame will come.
    std::atomic<int> cap_stop_errno;
    std::atomic<bool> cap_err_force_stop;
    std::atomic<void *> cap_errargs;
    std::atomic<int> cap_fps;
    std::atomic<kavro_cap_frdy_f> on_cap_frdy;
    std::atomic<kavro_cap_err_f> on_cap_err;
    pthread_cond_t cap_cond;
    pthread_mutex_t cap_mutex;
    std::atomic<_kavro_cap_req_t *> cap_req;
    // Counts the capture starts of this device, so the driver can say a
    // thing once per capture rather than once per frame.
    std::atomic<uint32_t> cap_generation;
    // Held by the notify callback for each event, and by a capture start
    // while it resets the stream and the counters: a transport's stop does
    // not wait for a callback already running, so a restart must.
    std::mutex cap_evt_mutex;
    // Ready-frame passes running (application threads). A replay sends its
    // next frame only when none runs and the stream is empty, so a pass that
    // drains the stream never takes a frame the reader has not asked for.
    std::atomic<int> cap_pass_busy;
    // Held for a driver's frame decode and for a filter switch: the decodes of
    // one device share the driver's filter state (working buffers of the
    // recursive bilateral filter, the amplitude filter's per-pixel hysteresis
    // flags carried from frame to frame), and a switch may free some of it.
    std::mutex decode_mutex;

    // Arrival times (steady clock, ns) of the last frames handed out, by
    // their frame index: a ring written by the ready-frame pass and read by
    // kavro_frame_get_host_time, both under host_ts_mutex.
    static constexpr uint32_t HOST_TS_KEEP = 256;
    struct host_ts_t {
        uint16_t frame_idx;
        uint64_t ns;
    };
    std::mutex host_ts_mutex;
    host_ts_t host_ts[HOST_TS_KEEP];
    uint32_t host_ts_count;  // frames recorded since the open

    // This device's own driver instance: a copy of the registry entry, so two
    // open cameras with the same product code keep separate state.
    kavro_drv_t drv_inst;

    // A replayed recording with a side file: lens and calibration for the
    // driver (kavro_replay.h). Owned; null for cameras and old recordings.
    struct kavro_replay_ctx_t *replay;

    // Pixel rays of the driver's lens for the last image size a point cloud
    // asked for (see kavro_frame.cpp): rebuilt when the lens values or the
    // size change. The mutex guards only the pointer; a table is immutable,
    // and each call keeps the one it took alive while it reads it.
    std::mutex pcl_rays_mutex;
    std::shared_ptr<const vx_ray_table> pcl_rays;

    // Guard bookkeeping, changed only under the library's guard mutex.
    kavro_dev_t *dev;             // the record this handler belongs to
    pthread_rwlock_t *api_lock;   // the device's read-write lock (also dev->lock)
    bool api_ready;               // open finished: public calls may enter
    bool closing;                 // close started: no new call may enter
    bool sync_inited;             // cap_cond and cap_mutex exist
    int cap_waiters;              // frame waits that left the guard while blocked
    bool orphaned;                // close gave up waiting; the last call frees
    int orphan_users;             // calls still running on an orphaned handler
    bool orphan_free_record;      // ...and the record goes with it (alloc_flag)
};

// Allocate a zero-filled handler record, null when memory runs out.
_kavro_handler_t *_kavro_handler_alloc();
// Free a handler record allocated by _kavro_handler_alloc (null is ignored).
void _kavro_handler_free(_kavro_handler_t *h);

// Enter the API guard of an open device: counts the call in dev->api_flag
// under the device's read-write lock. Returns the handler, or null when the
// device is not open, not yet usable or closing (nothing counted then).
_kavro_handler_t *_kavro_api_enter(kavro_dev_t *dev);
// Leave the guard entered by _kavro_api_enter. May free the handler when a
// close gave up waiting for this call; do not touch it afterwards.
void _kavro_api_leave(_kavro_handler_t *h);

// A frame wait that blocks leaves the guard so a close is not held up, but
// stays registered as a waiter: the close does not free the handler until
// every waiter has called _kavro_api_wait_end. _kavro_api_wait_begin is
// called inside the guard and leaves it; _kavro_api_wait_resume re-enters the
// guard (false when the device is closing: then the caller must not enter,
// only release what it holds and call _kavro_api_wait_end). After a true
// resume, _kavro_api_wait_end must also be called (before leaving).
void _kavro_api_wait_begin(_kavro_handler_t *h);
bool _kavro_api_wait_resume(_kavro_handler_t *h);
void _kavro_api_wait_end(_kavro_handler_t *h);

// Scoped guard: enters on construction, leaves on destruction.
class _kavro_api_guard {
public:
    explicit _kavro_api_guard(kavro_dev_t *dev) : h_(_kavro_api_enter(dev)) {}
    ~_kavro_api_guard() {
        if (h_) _kavro_api_leave(h_);
    }
    _kavro_api_guard(const _kavro_api_guard &) = delete;
    _kavro_api_guard &operator=(const _kavro_api_guard &) = delete;
    _kavro_handler_t *handler() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    _kavro_handler_t *h_;
};

// The handler of an open device, or null. Only a first check: calls use the
// handler returned by the guard.
_kavro_handler_t *_kavro_dev_handler(const kavro_dev_t *dev);

// Internal parameter workers (translation to device items and the transport
// call). Used by the public parameter calls and by the open, which reads the
// identity before the device accepts public calls.
bool _kavro_param_batch_set(_kavro_handler_t *h, const kavro_param_item_t *param_items, int item_cnt);
bool _kavro_param_batch_get(_kavro_handler_t *h, kavro_param_item_t *param_items, int item_cnt);

// Fill a record's vendor, product, serial and version from the answers to
// PARAM_INFO_VENDOR, _PRODUCT, _SERIAL and _VERSION, in this order.
void _kavro_dev_fill_ident(kavro_dev_t *dev, const kavro_param_item_t id[4]);

// For a camera this program has open at `where`: copy its identity from
// the open record into `out` (vendor, product, serial, version). False when
// no open device sits there.
bool _kavro_dev_ident_of_open(const kavro_dev_if_info_t &where, kavro_dev_t *out);

// Stop capture on a device the caller holds (inside the guard, or the close).
bool _kavro_cap_stop(_kavro_handler_t *h);

// Flow predicate of a replay (kavro_replay.h) for the handler `h`: true when
// the reader has taken every frame and no ready-frame pass is running, or
// when capture is stopping (nobody will read: do not hold the replay).
bool _kavro_cap_replay_may_send(void *h);

// How many times (100 ms apart) a close checks for calls still running
// before it hands the handler over to them. Tests shorten it.
extern int g_kavro_close_wait_tries;

// Close a device; with keep_record the record itself is never freed and a
// replay file stays open (an open that finds its record still open).
// With ll_after, the transport record as the transport's close left it is
// copied there (its table, and its state pointer: null once the transport
// freed its state).
void _kavro_dev_close(kavro_dev_t *dev, bool keep_record, kavro_ll_dev_t *ll_after = nullptr);
