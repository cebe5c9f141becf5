// Capture engine, start and stop: the transport's notify callback feeds the
// device's frame stream on the event thread and wakes the waiting reader;
// application threads start and stop capture and size the frame buffer.
#include <pthread.h>

#include <type_traits>

#include "kavro.h"
#include "kavro_capture.h"
#include "kavro_driver.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "vx_log_internal.h"
#include "vx_stream.h"

static_assert(std::is_standard_layout_v<_kavro_handler_t>);

namespace {

constexpr int CAP_TIMEOUT_LIMIT = 32;  // timeouts since the start before capture stops
constexpr int CAP_STALL_LIMIT = 16;    // stalls in a row before capture stops

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
    pthread_mutex_lock(&h->cap_mutex);
    pthread_cond_broadcast(&h->cap_cond);
    pthread_mutex_unlock(&h->cap_mutex);
    if (ok) h->is_capturing = false;
    LOG_TRC("Exit\n");
    return ok;
}

namespace {

bool _kavro_cap_start(kavro_dev_t *dev, _kavro_handler_t *h) {
    LOG_TRC("Enter ... \n");
    h->cap_err_force_stop = false;
    h->cap_errno = 0;
    h->cap_errargs = nullptr;
    h->cap_thread_stop = 0;
    h->cap_timeout_cnt = 0;
    h->cap_stall_cnt = 0;
    h->cap_missing_cnt = 0;
    vx_stream_reset(h->cap_str);
    h->cap_last_state = vx_stream_state_t{};
    LOG_DBG("issue start cmd\n");
    const bool ok = kavro_ll_cap_start(&h->ll_dev, h->cap_fr_cnt, on_capture_event, dev);
    if (ok) h->is_capturing = true;
    return ok;
}

}  // namespace

extern "C" {

bool kavro_cap_set_frame_buffer(kavro_dev_t *dev, uint8_t *, uint32_t frame_buf_size) {
    if (!dev) return false;
    KavroApiGuard guard(dev);
    if (!guard || guard.handler()->is_capturing) {
        LOG_ERR(" Set frame buffer is not allowed when device is not open or is capturing\n");
        return false;
    }
    _kavro_handler_t *h = guard.handler();
    vx_stream_cfg_t cfg{};
    cfg.max_frbuf_cnt = frame_buf_size / KAVRO_CAP_FRAME_UNIT;
    vx_stream_set_cfg(h->cap_str, &cfg);
    LOG_DBG("frame buffer: %d frames\n", static_cast<int>(cfg.max_frbuf_cnt));
    h->cap_fr_cnt = 0;
    return true;
}

bool kavro_cap_get_frame_buffer(kavro_dev_t *dev, uint8_t **frame_buf, uint32_t *frame_buf_size) {
    KavroApiGuard guard(dev);
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
    KavroApiGuard guard(dev);
    if (!guard) return;
    LOG_DBG("set on_cap_frdy to %p\n", reinterpret_cast<void *>(on_cap_frdy));
    guard.handler()->on_cap_frdy = on_cap_frdy;
}

void kavro_cap_set_callback_on_error(kavro_dev_t *dev, kavro_cap_err_f on_cap_err) {
    KavroApiGuard guard(dev);
    if (!guard) return;
    LOG_DBG("set on_cap_err to %p\n", reinterpret_cast<void *>(on_cap_err));
    guard.handler()->on_cap_err = on_cap_err;
}

bool kavro_cap_start(kavro_dev_t *dev) {
    KavroApiGuard guard(dev);
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
    KavroApiGuard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    if (guard.handler()->is_capturing) _kavro_cap_stop(guard.handler());
    return true;
}

bool kavro_cap_is_ongoing(kavro_dev_t *dev) {
    KavroApiGuard guard(dev);
    return guard && guard.handler()->is_capturing;
}

}  // extern "C"
