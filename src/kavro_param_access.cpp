// Parameter and register access: translation of public parameter items to
// the device items of the transport, and keeping the library's view of the
// device (frame rate, driver state) in step with what the device accepted.
#include <cstring>
#include <memory>
#include <new>

#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "vx_log_internal.h"

static_assert(sizeof(vxif_param_item_t) == 20);
static_assert(sizeof(vxif_param_item_t::param_val) == sizeof(kavro_param_val_u::raw));

namespace {

std::unique_ptr<vxif_param_item_t[]> alloc_items(int n) {
    return std::unique_ptr<vxif_param_item_t[]>(new (std::nothrow) vxif_param_item_t[n]{});
}

uint16_t value_u16(const kavro_param_val_u &v) {
    uint16_t x;
    memcpy(&x, v.raw, sizeof x);
    return x;
}

uint32_t value_u32(const kavro_param_val_u &v) {
    uint32_t x;
    memcpy(&x, v.raw, sizeof x);
    return x;
}

}  // namespace

bool _kavro_param_batch_set(_kavro_handler_t *h, const kavro_param_item_t *param_items, int item_cnt) {
    if (!param_items || item_cnt <= 0) return false;
    auto items = alloc_items(item_cnt);
    if (!items) return false;
    for (int i = 0; i < item_cnt; ++i) {
        items[i].param_id = static_cast<uint8_t>(param_items[i].param_id);
        items[i].param_val_len = param_items[i].param_val_len;
        memcpy(&items[i].param_val, param_items[i].param_val.raw, sizeof items[i].param_val);
    }
    LOG_TRC("set %d param\n", item_cnt);
    const bool ok = kavro_ll_param_set(&h->ll_dev, items.get(), item_cnt);
    items.reset();
    if (!ok) return false;

    // The device accepted the whole batch: bring the library's frame rate and
    // the driver in step, item by item in order.
    kavro_drv_t *drv = h->driver;
    const kavro_drv_op_t *op = drv ? drv->op : nullptr;
    for (int i = 0; i < item_cnt; ++i) {
        const kavro_param_val_u &v = param_items[i].param_val;
        switch (param_items[i].param_id) {
        case PARAM_FRAME_RATE: {
            const uint32_t fps = value_u32(v);
            LOG_DBG("Set FPS:%d\n", static_cast<int>(fps));
            h->cap_fps = static_cast<int>(fps);
            break;
        }
        case PARAM_INTG_TIME:
            if (op && op->on_update_intg_time) op->on_update_intg_time(drv, value_u16(v), false);
            break;
        case PARAM_HDR_INTG_TIME:
            if (op && op->on_update_intg_time) op->on_update_intg_time(drv, value_u16(v), true);
            break;
        case PARAM_FRAME_FORMAT:
            if (op && op->on_update_frame_format) op->on_update_frame_format(drv, value_u32(v));
            break;
        case PARAM_MOD_FREQ:
            if (op && op->on_update_mod_freq) op->on_update_mod_freq(drv, value_u32(v), 0);
            break;
        default:
            break;
        }
    }
    return true;
}

bool _kavro_param_batch_get(_kavro_handler_t *h, kavro_param_item_t *param_items, int item_cnt) {
    if (!param_items || item_cnt <= 0) return false;
    auto items = alloc_items(item_cnt);
    if (!items) return false;
    for (int i = 0; i < item_cnt; ++i) {
        items[i].param_id = static_cast<uint8_t>(param_items[i].param_id);
        items[i].param_val_len = param_items[i].param_val_len;
    }
    LOG_TRC("get %d param\n", item_cnt);
    if (!kavro_ll_param_get(&h->ll_dev, items.get(), item_cnt)) return false;
    for (int i = 0; i < item_cnt; ++i) {
        param_items[i].param_val_len = items[i].param_val_len;
        memcpy(param_items[i].param_val.raw, &items[i].param_val, sizeof param_items[i].param_val.raw);
    }
    return true;
}

extern "C" {

bool kavro_param_batch_set(kavro_dev_t *dev, const kavro_param_item_t *param_items, int item_cnt) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    return _kavro_param_batch_set(guard.handler(), param_items, item_cnt);
}

bool kavro_param_batch_get(kavro_dev_t *dev, kavro_param_item_t *param_items, int item_cnt) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    return _kavro_param_batch_get(guard.handler(), param_items, item_cnt);
}

bool kavro_reg_batch_write(kavro_dev_t *dev, kavro_dev_reg_e target, uint32_t reg_base, const uint32_t *reg_vals,
                           uint16_t reg_cnt) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    LOG_TRC("target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", static_cast<int>(target), static_cast<int>(reg_base),
            static_cast<int>(reg_cnt), static_cast<const void *>(reg_vals));
    return kavro_ll_reg_write(&guard.handler()->ll_dev, static_cast<uint8_t>(target), reg_base, reg_vals, reg_cnt);
}

bool kavro_reg_batch_read(kavro_dev_t *dev, kavro_dev_reg_e target, uint32_t reg_base, uint32_t *reg_vals,
                          uint16_t reg_cnt) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR(" Device handler Is NULL!\r\n");
        return false;
    }
    LOG_TRC("target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", static_cast<int>(target), static_cast<int>(reg_base),
            static_cast<int>(reg_cnt), static_cast<void *>(reg_vals));
    return kavro_ll_reg_read(&guard.handler()->ll_dev, static_cast<uint8_t>(target), reg_base, reg_vals, reg_cnt);
}

}  // extern "C"
