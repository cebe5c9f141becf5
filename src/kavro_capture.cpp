// Capture engine, start and stop: the transport's notify callback feeds the
// device's frame stream on the event thread and wakes the waiting reader;
// application threads start and stop capture and size the frame buffer.
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "kavro.h"
#include "kavro_capture.h"
#include "kavro_driver.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "kavro_replay.h"
#include "vx_log_internal.h"
#include "vx_stream.h"
#include "vx_stream_internal.h"

static_assert(std::is_standard_layout_v<_kavro_handler_t>);

namespace {

constexpr int CAP_TIMEOUT_LIMIT = 32;  // timeouts since the start before capture stops
constexpr int CAP_STALL_LIMIT = 16;    // stalls in a row before capture stops
constexpr uint32_t CAP_SCRATCH_SIZE = 0x400000;  // frames for the callback without a request
constexpr int CAP_DEFAULT_FPS = 20;
constexpr int CAP_FRAME_MAX_ALL = 0x7FFFFFFF;

void wake_reader(_kavro_handler_t *h) {
    pthread_mutex_lock(&h->cap_mutex);
    pthread_cond_signal(&h->cap_cond);
    pthread_mutex_unlock(&h->cap_mutex);
}

// Stop capture from the event thread: flag it and ask the transport to stop
// delivering (the abort only raises a flag, so it is safe in the callback).
void stop_from_event(_kavro_handler_t *h, int err) {
    h->cap_thread_stop = 1;
    if (err) {
        h->cap_errno = err;
        h->cap_errargs = nullptr;
    }
    kavro_ll_cap_abort(&h->ll_dev);
}

}  // namespace

void on_capture_event(kavro_ll_dev_t *ll_dev, int trans_status, void *buf, int len, void *) {
    // The handler begins with its transport record.
    auto *h = reinterpret_cast<_kavro_handler_t *>(ll_dev);
    std::lock_guard<std::mutex> evt(h->cap_evt_mutex);
    switch (trans_status) {
    case LL_TRANS_OK:
        h->cap_stall_cnt = 0;
        if (vx_stream_feed_input(h->cap_str, buf, len)) wake_reader(h);
        break;
    case LL_TRANS_CANCELLED:
        h->cap_thread_stop = 1;
        kavro_ll_cap_abort(&h->ll_dev);
        break;
    case LL_TRANS_TIMEOUT:
        if (++h->cap_timeout_cnt > CAP_TIMEOUT_LIMIT && !h->cap_thread_stop) {
            LOG_WRN("trans timeout -> stop\n");
            stop_from_event(h, KAVRO_ERR_CAP_TIMEOUT);
        }
        break;
    case LL_TRANS_STALL:
        if (++h->cap_stall_cnt > CAP_STALL_LIMIT && !h->cap_thread_stop) {
            LOG_WRN("trans stall -> stop\n");
            stop_from_event(h, KAVRO_ERR_CAP_STALL);
        }
        break;
    default:
        h->cap_errno = trans_status;
        h->cap_errargs = nullptr;
        // A failed transport (the camera left the bus) will not come back:
        // every later frame call says so. (A recording that failed to load
        // reports once, like a time-out or stall stop.)
        if (trans_status == LL_TRANS_ERROR) h->cap_stop_errno = trans_status;
        if (!h->cap_thread_stop) stop_from_event(h, 0);
        // A reader blocked without time limit must still learn that capture
        // stopped, so this status wakes it like the others.
        wake_reader(h);
        return;
    }

    vx_stream_state_t st{};
    vx_stream_get_state(h->cap_str, &st);
    if (st.frcnt_err_discard > h->cap_last_state.frcnt_err_discard) {
        LOG_DBG("trans discard %d frames\n", static_cast<int>(st.frcnt_err_discard - h->cap_last_state.frcnt_err_discard));
        h->cap_errno = KAVRO_ERR_CAP_FRAME_DISCARD;
        h->cap_missing_cnt = static_cast<int>(st.frcnt_err_discard);
        // The argument carries the count itself, not a pointer to it.
        h->cap_errargs = reinterpret_cast<void *>(static_cast<uintptr_t>(st.frcnt_err_discard));
    }
    h->cap_last_state = st;
    if (trans_status != LL_TRANS_OK) wake_reader(h);
}

bool _kavro_cap_stop(_kavro_handler_t *h) {
    LOG_TRC("Enter\n");
    h->cap_thread_stop = 1;
    const bool ok = kavro_ll_cap_stop(&h->ll_dev);
    // Settle the state before waking the readers, so a reader woken by this
    // stop reports that the device no longer captures.
    if (ok) h->is_capturing = false;
    pthread_mutex_lock(&h->cap_mutex);
    pthread_cond_broadcast(&h->cap_cond);
    pthread_mutex_unlock(&h->cap_mutex);
    LOG_TRC("Exit\n");
    return ok;
}

uint32_t _kavro_cap_generation(const kavro_dev_t *dev) {
    const auto *h = dev ? static_cast<const _kavro_handler_t *>(dev->handler) : nullptr;
    return h ? h->cap_generation.load(std::memory_order_relaxed) : 0;
}

namespace {

bool _kavro_cap_start(kavro_dev_t *dev, _kavro_handler_t *h) {
    LOG_TRC("Enter ... \n");
    {
        std::lock_guard<std::mutex> evt(h->cap_evt_mutex);
        h->cap_err_force_stop = false;
        h->cap_errno = 0;
        h->cap_stop_errno = 0;
        h->cap_errargs = nullptr;
        h->cap_thread_stop = 0;
        h->cap_timeout_cnt = 0;
        h->cap_stall_cnt = 0;
        h->cap_missing_cnt = 0;
        vx_stream_reset(h->cap_str);
        h->cap_last_state = vx_stream_state_t{};
        h->cap_generation.fetch_add(1, std::memory_order_relaxed);
    }
    LOG_DBG("issue start cmd\n");
    const bool ok = kavro_ll_cap_start(&h->ll_dev, h->cap_fr_cnt, on_capture_event, dev);
    if (ok) h->is_capturing = true;
    return ok;
}

}  // namespace

extern "C" {

bool kavro_cap_set_frame_buffer(kavro_dev_t *dev, uint8_t *, uint32_t frame_buf_size) {
    if (!dev) return false;
    _kavro_api_guard guard(dev);
    if (!guard || guard.handler()->is_capturing) {
        LOG_ERR(" Set frame buffer is not allowed when device is not open or is capturing\n");
        return false;
    }
    _kavro_handler_t *h = guard.handler();
    vx_stream_cfg_t cfg{};
    cfg.max_frbuf_cnt = frame_buf_size / KAVRO_CAP_FRAME_UNIT;
    {
        std::lock_guard<std::mutex> evt(h->cap_evt_mutex);  // no feed runs meanwhile
        vx_stream_set_cfg(h->cap_str, &cfg);
    }
    LOG_DBG("frame buffer: %d frames\n", static_cast<int>(cfg.max_frbuf_cnt));
    h->cap_fr_cnt = 0;
    return true;
}

bool kavro_cap_get_frame_buffer(kavro_dev_t *dev, uint8_t **frame_buf, uint32_t *frame_buf_size) {
    _kavro_api_guard guard(dev);
    uint32_t frames = 0;
    if (guard) {
        vx_stream_cfg_t cfg{};
        vx_stream_get_cfg(guard.handler()->cap_str, &cfg);
        frames = cfg.max_frbuf_cnt;
    }
    if (frame_buf) *frame_buf = nullptr;
    if (frame_buf_size) *frame_buf_size = frames * KAVRO_CAP_FRAME_UNIT;
    return true;
}

void kavro_cap_set_callback_on_frame_ready(kavro_dev_t *dev, kavro_cap_frdy_f on_cap_frdy) {
    _kavro_api_guard guard(dev);
    if (!guard) return;
    LOG_DBG("set on_cap_frdy to %p\n", reinterpret_cast<void *>(on_cap_frdy));
    guard.handler()->on_cap_frdy = on_cap_frdy;
}

void kavro_cap_set_callback_on_error(kavro_dev_t *dev, kavro_cap_err_f on_cap_err) {
    _kavro_api_guard guard(dev);
    if (!guard) return;
    LOG_DBG("set on_cap_err to %p\n", reinterpret_cast<void *>(on_cap_err));
    guard.handler()->on_cap_err = on_cap_err;
}

bool kavro_cap_start(kavro_dev_t *dev) {
    _kavro_api_guard guard(dev);
    if (!guard || !guard.handler()->ll_dev.h) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    _kavro_handler_t *h = guard.handler();
    if (h->is_capturing) _kavro_cap_stop(h);

    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    if (_kavro_param_batch_get(h, &rate, 1)) h->cap_fps = static_cast<int>(rate.param_val.frame_rate.fps);

    vx_stream_cfg_t cfg{};
    vx_stream_get_cfg(h->cap_str, &cfg);
    if (cfg.max_frbuf_cnt <= 1) {
        LOG_ERR(" capture buffer not set or size is not correct \n");
        return false;
    }
    return _kavro_cap_start(dev, h);
}

bool kavro_cap_stop(kavro_dev_t *dev) {
    LOG_DBG("Enter\n");
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    if (guard.handler()->is_capturing) _kavro_cap_stop(guard.handler());
    return true;
}

bool kavro_cap_is_ongoing(kavro_dev_t *dev) {
    _kavro_api_guard guard(dev);
    return guard && guard.handler()->is_capturing;
}

}  // extern "C"

namespace {

bool stream_has_frame(_kavro_handler_t *h) {
    vx_stream_state_t st{};
    vx_stream_get_state(h->cap_str, &st);
    return st.frcnt_in_list > 0;
}

// Absolute CLOCK_REALTIME deadline `ms` from now, for the timed waits.
timespec deadline_after(int64_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// A frame count as the pass's int limit.
int as_frame_max(uint32_t n) { return static_cast<int>(std::min<uint32_t>(n, CAP_FRAME_MAX_ALL)); }

}  // namespace

bool _kavro_cap_replay_may_send(void *arg) {
    auto *h = static_cast<_kavro_handler_t *>(arg);
    if (h->cap_thread_stop || h->cap_err_force_stop) return true;
    return h->cap_pass_busy.load() == 0 && !stream_has_frame(h);
}

namespace {

// Marks a ready-frame pass as running; at its end a replay waiting for the
// reader is told to look again.
class pass_mark {
public:
    explicit pass_mark(_kavro_handler_t *h) : h_(h) { ++h_->cap_pass_busy; }
    ~pass_mark() {
        --h_->cap_pass_busy;
        _kavro_ll_file_flow_kick(&h_->ll_dev);
    }
    pass_mark(const pass_mark &) = delete;
    pass_mark &operator=(const pass_mark &) = delete;

private:
    _kavro_handler_t *h_;
};

}  // namespace

// Hand out ready frames on the calling application thread: deliver a pending
// error to the error callback, then take up to frame_max frames (all of them
// with flush) off the stream into the request's buffer, the frame-ready
// callback, or nowhere.
void _cap_handle_rdy_data(kavro_dev_t *dev, _kavro_handler_t *h, int frame_max, bool flush) {
    const pass_mark mark(h);
    const kavro_cap_err_f on_err = h->on_cap_err;
    const int err = h->cap_errno;
    if (on_err && err != 0) {
        LOG_TRC("error cb invoke: %s\n", kavro_error_name(err));
        if (!on_err(dev, err, h->cap_errargs)) {
            LOG_DBG("error cb return false to stop capture\n");
            h->cap_thread_stop = 1;
            h->cap_err_force_stop = true;
            h->cap_errno = 0;
            LOG_TRC("error callback force cap to stop\n");
            return;
        }
        h->cap_errno = 0;
    }
    if (h->cap_err_force_stop) {
        LOG_TRC("error callback force cap to stop\n");
        return;
    }
    if (frame_max == 0 || !stream_has_frame(h)) return;

    const kavro_cap_frdy_f on_frdy = h->on_cap_frdy;
    _kavro_cap_req_t *req = h->cap_req;
    std::unique_ptr<uint8_t[]> scratch;
    int taken = 0;
    while (flush || taken < frame_max) {
        // The place is chosen per frame: once the request is complete, frames
        // drained after it never land in (and overwrite) the caller's buffer.
        uint8_t *dst = nullptr;
        uint32_t dst_len = 0;
        if (req && req->req_frames_remain > 0 && req->req_curbuf) {
            dst = req->req_curbuf;
            dst_len = req->req_curbuf_len;
        } else if (on_frdy) {
            if (!scratch) {
                scratch.reset(new (std::nothrow) uint8_t[CAP_SCRATCH_SIZE]);
                if (!scratch) {
                    LOG_ERR("malloc failed\n");
                    return;
                }
            }
            dst = scratch.get();
            dst_len = CAP_SCRATCH_SIZE;
        }
        vx_frinfo_t fi{};
        uint64_t host_ns = 0;
        const int n = _vx_stream_fetch_frames_ts(
            h->cap_str, dst, static_cast<int>(std::min<uint32_t>(dst_len, INT32_MAX)), 1, &fi, false, &host_ns);
        if (n <= 0) break;
        ++taken;

        kavro_drv_t *drv = h->driver;
        if (!drv || !drv->op || !drv->op->frame_get_info || !drv->op->frame_get_info(drv, &h->cap_last_finfo, &fi)) {
            LOG_ERR(" driver frame_get_info failed!\n");
            h->cap_last_finfo = kavro_frame_info_t{};
        }
        {
            std::lock_guard<std::mutex> ts(h->host_ts_mutex);
            h->host_ts[h->host_ts_count % _kavro_handler_t::HOST_TS_KEEP] = {h->cap_last_finfo.frame_idx, host_ns};
            ++h->host_ts_count;
        }

        if (req && req->req_frames_remain > 0) {
            if (req->req_frames_remain == req->req_frames_total && req->req_first_finfo)
                *req->req_first_finfo = h->cap_last_finfo;
            if (req->req_curbuf && req->req_curbuf_len >= fi.frame_size) {
                req->req_curbuf += fi.frame_size;
                req->req_curbuf_len -= fi.frame_size;
            }
            --req->req_frames_remain;
        }

        if (on_frdy) {
            kavro_frame_t frame{};
            frame.frame_info = h->cap_last_finfo;
            frame.frame_data = dst;
            const unsigned idx = frame.frame_info.frame_idx;
            LOG_TRC("frdy cb invoke: %u,%u\n", idx, idx);
            const auto t0 = std::chrono::steady_clock::now();
            on_frdy(dev, &frame);
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
                                .count();
            LOG_DBG("frdy cb (%u,%u) spends: %d.%03u ms\n", idx, idx, static_cast<int>(us / 1000),
                    static_cast<unsigned>(us % 1000));
        }
    }
    LOG_TRC("handle %u ready frames (reqmax: %d, rem: %d)\n", static_cast<unsigned>(taken), frame_max,
            req ? static_cast<int>(req->req_frames_remain) : frame_max);
}

namespace {

// One blocking (or, with `wait` false, single-pass) frame request.
int _kavro_cap_get_frames(kavro_dev_t *dev, uint32_t frame_num, uint8_t *frame_data, uint32_t frame_dlen,
                          kavro_frame_t *first_frame_info, bool wait) {
    _kavro_api_guard guard(dev);
    if (!guard || frame_num == 0) {
        LOG_DBG("Wrong params\n");
        return -1;
    }
    _kavro_handler_t *h = guard.handler();
    // The frame rate is read once: a parameter call on another thread may set
    // it to 0 between a check and the division.
    int fps = h->cap_fps;
    if (fps == 0) {
        fps = CAP_DEFAULT_FPS;
        h->cap_fps = fps;
    }
    const int period_ms = 1000 / fps;

    kavro_frame_info_t finfo{};
    kavro_drv_t *drv = h->driver;
    const kavro_drv_op_t *op = drv ? drv->op : nullptr;
    int drv_result = 0;
    if (op && op->frame_raw_proc && op->frame_raw_get) {
        drv_result = op->frame_raw_get(drv, frame_data, static_cast<int>(frame_num), &finfo);
        if (drv_result > 0) {
            if (first_frame_info) first_frame_info->frame_info = finfo;
            return drv_result;
        }
    }

    const int64_t timeout_ms =
        wait ? static_cast<int64_t>(frame_num) * 100 + static_cast<int64_t>(frame_num) * period_ms + 2000 : 0;
    const timespec deadline = deadline_after(timeout_ms);
    LOG_TRC("frame_num = %d, timeout_msec=%d\n", static_cast<int>(frame_num), static_cast<int>(timeout_ms));

    _kavro_cap_req_t req{frame_num, frame_num, frame_data, frame_dlen, &finfo};
    h->cap_req = &req;
    int err = 0;
    const bool flush = wait;
    // Read once: the event thread may replace a pending error meanwhile (a
    // frame-discard report, 3, must not become this call's result).
    const int pending = h->cap_errno;
    if (pending < 0) {
        err = pending;
        _cap_handle_rdy_data(dev, h, as_frame_max(frame_num), flush);
    } else {
        if (wait) {
            while (!h->cap_thread_stop) {
                pthread_mutex_lock(&h->cap_mutex);
                if (stream_has_frame(h) || h->cap_thread_stop) {
                    pthread_mutex_unlock(&h->cap_mutex);
                    break;
                }
                const int rc = pthread_cond_timedwait(&h->cap_cond, &h->cap_mutex, &deadline);
                pthread_mutex_unlock(&h->cap_mutex);
                if (rc != 0) {
                    LOG_INF(" timeout ... (%s)\n", strerror(rc));
                    break;
                }
                _cap_handle_rdy_data(dev, h, as_frame_max(req.req_frames_remain), false);
                if (req.req_frames_remain == 0 || h->cap_thread_stop) break;
            }
        }
        // A single frame without waiting only looks at the stream once.
        bool ready = true;
        if (!wait) {
            pthread_mutex_lock(&h->cap_mutex);
            ready = stream_has_frame(h);
            pthread_mutex_unlock(&h->cap_mutex);
        }
        if (!h->is_capturing) {
            LOG_TRC("device is not capturing\n");
            err = -2;
        }
        if (ready) _cap_handle_rdy_data(dev, h, as_frame_max(req.req_frames_remain), flush);
    }

    h->cap_req = nullptr;
    const uint32_t delivered = req.req_frames_total - req.req_frames_remain;
    if (delivered > 0) {
        if (first_frame_info) first_frame_info->frame_info = finfo;
        if (frame_data && static_cast<uint64_t>(frame_dlen) >= static_cast<uint64_t>(delivered) * finfo.frame_size &&
            op && op->frame_raw_proc)
            op->frame_raw_proc(drv, frame_data, static_cast<int>(delivered), &finfo);
    }
    if (err != 0) return err;
    if (drv_result != 0) return drv_result;
    // The capture was stopped by a transport error the error callback has
    // already seen (during this call's wait, or an earlier call's): no frame
    // will come, and the call says why instead of timing out for good.
    if (delivered == 0 && h->cap_thread_stop) {
        const int stopped = h->cap_stop_errno;
        if (stopped < 0) return stopped;
    }
    return static_cast<int>(delivered);
}

}  // namespace

extern "C" {

int kavro_cap_get_frames(kavro_dev_t *dev, uint32_t frame_num, uint8_t *frame_data, uint32_t frame_dlen,
                         kavro_frame_t *first_frame_info) {
    return _kavro_cap_get_frames(dev, frame_num, frame_data, frame_dlen, first_frame_info, true);
}

int kavro_cap_get_frame(kavro_dev_t *dev, uint8_t *frame_data, uint32_t frame_dlen, kavro_frame_t *frame_info) {
    return _kavro_cap_get_frames(dev, 1, frame_data, frame_dlen, frame_info, false);
}

bool kavro_frame_get_host_time(kavro_dev_t *dev, const kavro_frame_info_t *finfo, uint64_t *host_ns) {
    if (!finfo || !host_ns) return false;
    _kavro_api_guard guard(dev);
    if (!guard) return false;
    _kavro_handler_t *h = guard.handler();
    std::lock_guard<std::mutex> ts(h->host_ts_mutex);
    const uint32_t kept = std::min(h->host_ts_count, _kavro_handler_t::HOST_TS_KEEP);
    // Newest first: a frame index seen again (the device counter wrapped, a
    // replay looped) names the latest frame.
    for (uint32_t k = 1; k <= kept; ++k) {
        const auto &e = h->host_ts[(h->host_ts_count - k) % _kavro_handler_t::HOST_TS_KEEP];
        if (e.frame_idx == finfo->frame_idx) {
            *host_ns = e.ns;
            return true;
        }
    }
    return false;
}

bool kavro_cap_snapshot(kavro_dev_t *dev, uint8_t *frame_data, uint32_t frame_dlen, kavro_frame_t *frame_info) {
    if (!_kavro_dev_handler(dev)) {
        LOG_ERR("wrong parameters\n");
        return false;
    }
    // Success means a frame was delivered; an error code is a failure.
    if (kavro_cap_is_ongoing(dev)) return kavro_cap_get_frames(dev, 1, frame_data, frame_dlen, frame_info) > 0;
    if (!kavro_cap_start(dev)) return false;
    const bool ok = kavro_cap_get_frames(dev, 1, frame_data, frame_dlen, frame_info) > 0;
    kavro_cap_stop(dev);
    return ok;
}

bool kavro_cap_wait(kavro_dev_t *dev, int timeout_msec) {
    LOG_DBG("timeout_msec=%d\n", timeout_msec);
    _kavro_handler_t *h = _kavro_api_enter(dev);
    if (!h) {
        LOG_DBG("Wrong params\n");
        return false;
    }
    if (!h->is_capturing) {
        LOG_DBG("device is not capturing\n");
        _kavro_api_leave(h);
        return false;
    }
    const timespec deadline = deadline_after(timeout_msec);
    bool result = true;
    // While blocked the call is not counted in the guard, so a close is not
    // held up; it stays registered as a waiter, which keeps the handler alive
    // until this call has returned. After waking during a close it is not let
    // back into the guard and finishes as a waiter.
    bool counted = true;
    if (h->cap_errno >= 0 && !h->cap_thread_stop) {
        for (;;) {
            pthread_mutex_lock(&h->cap_mutex);
            _kavro_api_wait_begin(h);
            int rc = 0;
            // Sleep only when there is nothing to do: the event thread signals
            // under this mutex, so no wake-up is lost.
            if (!stream_has_frame(h) && !h->cap_thread_stop) {
                rc = timeout_msec != 0 ? pthread_cond_timedwait(&h->cap_cond, &h->cap_mutex, &deadline)
                                       : pthread_cond_wait(&h->cap_cond, &h->cap_mutex);
            }
            counted = _kavro_api_wait_resume(h);
            pthread_mutex_unlock(&h->cap_mutex);
            if (counted) _kavro_api_wait_end(h);
            if (rc != 0) {
                LOG_INF(" timeout ...\n");
                result = false;
                break;
            }
            _cap_handle_rdy_data(dev, h, CAP_FRAME_MAX_ALL, false);
            if (h->cap_thread_stop || !counted) {
                result = true;
                break;
            }
        }
    }
    _cap_handle_rdy_data(dev, h, CAP_FRAME_MAX_ALL, false);
    if (counted)
        _kavro_api_leave(h);
    else
        _kavro_api_wait_end(h);  // last touch: the close may free the handler now
    return result;
}

}  // extern "C"
