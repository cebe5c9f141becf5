// Transport dispatch: every kavro_ll_* call goes through the operation table
// of the transport that listed or opened the record. The functions hold no
// lock and keep no state; transports log their own failures.
#include "kavro_ll.h"

#include "ll/ll_imp.h"
#include "vx_log_internal.h"

static_assert(sizeof(vxif_param_item_t) == 20, "parameter items are 20 bytes on the wire");
static_assert(LL_TRANS_CANCELLED == -3 && LL_TRANS_TIMEOUT == KAVRO_ERR_CAP_TIMEOUT &&
                  LL_TRANS_STALL == KAVRO_ERR_CAP_STALL &&
                  LL_TRANS_LOAD_FAILED == KAVRO_ERR_CAP_ERROR &&
                  LL_TRANS_ERROR == KAVRO_ERR_CAP_UNKNOWN,
              "transport statuses double as capture error codes");

const kavro_ll_op *const g_ll_imps[LL_IMP_COUNT] = {&ll_op_usb, &ll_op_fil};

int _kavro_ll_init(const kavro_ll_op *const *imps, int imp_cnt) {
    for (int i = 0; i < imp_cnt; ++i)
        if (imps[i]->init && !imps[i]->init()) return i;
    return -1;
}

int _kavro_ll_dev_list(const kavro_ll_op *const *imps, int imp_cnt, kavro_ll_dev_t *dev_list,
                       int dev_list_num) {
    if (!dev_list || dev_list_num <= 0) return 0;
    int found = 0;
    // Each transport lists into the slots the ones before it left free.
    for (int i = 0; i < imp_cnt && found < dev_list_num; ++i) {
        if (!imps[i]->dev_list) continue;
        const int n = imps[i]->dev_list(dev_list + found, dev_list_num - found);
        if (n > 0) found += n < dev_list_num - found ? n : dev_list_num - found;
    }
    return found;
}

kavro_ll_dev_t *_kavro_ll_dev_open(const kavro_ll_op *const *imps, int imp_cnt,
                                   kavro_ll_dev_t *dev) {
    if (!dev) return nullptr;
    if (dev->ll_op) return dev->ll_op->dev_open ? dev->ll_op->dev_open(dev) : nullptr;
    // Transports refuse records of another kind, so the first that accepts wins.
    for (int i = 0; i < imp_cnt; ++i) {
        if (!imps[i]->dev_open) continue;
        if (kavro_ll_dev_t *opened = imps[i]->dev_open(dev)) return opened;
    }
    return nullptr;
}

kavro_ll_dev_t *_kavro_ll_dev_open_by_fd(const kavro_ll_op *const *imps, int imp_cnt,
                                         kavro_ll_dev_t *dev, int fd) {
    if (!dev) return nullptr;
    if (dev->ll_op) return dev->ll_op->dev_open_by_fd ? dev->ll_op->dev_open_by_fd(dev, fd) : nullptr;
    for (int i = 0; i < imp_cnt; ++i) {
        if (!imps[i]->dev_open_by_fd) continue;
        if (kavro_ll_dev_t *opened = imps[i]->dev_open_by_fd(dev, fd)) return opened;
    }
    return nullptr;
}

namespace {

/// The table slot `slot` of the record's transport, or null when the record,
/// its table or the slot is missing.
template <typename Slot>
auto op_of(const kavro_ll_dev_t *dev, Slot kavro_ll_op::*slot) -> Slot {
    if (!dev || !dev->ll_op) return nullptr;
    return dev->ll_op->*slot;
}

}  // namespace

extern "C" {

bool kavro_ll_init(void) {
    const int failed = _kavro_ll_init(g_ll_imps, LL_IMP_COUNT);
    if (failed >= 0) {
        LOG_ERR("ll_init failed: ll[%d]\n", failed);
        return false;
    }
    return true;
}

void kavro_ll_uninit(void) {
    for (const kavro_ll_op *imp : g_ll_imps)
        if (imp->uninit) imp->uninit();
}

void kavro_ll_set_debug(int level) {
    for (const kavro_ll_op *imp : g_ll_imps)
        if (imp->set_debug) imp->set_debug(level);
}

int kavro_ll_dev_list(kavro_ll_dev_t *dev_list, int dev_list_num) {
    return _kavro_ll_dev_list(g_ll_imps, LL_IMP_COUNT, dev_list, dev_list_num);
}

kavro_ll_dev_t *kavro_ll_dev_open(kavro_ll_dev_t *dev) {
    return _kavro_ll_dev_open(g_ll_imps, LL_IMP_COUNT, dev);
}

kavro_ll_dev_t *kavro_ll_dev_open_by_fd(kavro_ll_dev_t *dev, int fd) {
    return _kavro_ll_dev_open_by_fd(g_ll_imps, LL_IMP_COUNT, dev, fd);
}

void kavro_ll_dev_close(kavro_ll_dev_t *dev) {
    if (auto op = op_of(dev, &kavro_ll_op::dev_close)) op(dev);
}

bool kavro_ll_dev_reset(kavro_ll_dev_t *dev, uint8_t target) {
    auto op = op_of(dev, &kavro_ll_op::dev_reset);
    return op ? op(dev, target) : false;
}

bool kavro_ll_exe_cmd(kavro_ll_dev_t *dev, bool wr_nrd, uint8_t cmd_type, uint16_t cmd_val,
                      void *buf, int buf_len, uint32_t timeout_ms) {
    auto op = op_of(dev, &kavro_ll_op::exe_cmd);
    return op ? op(dev, wr_nrd, cmd_type, cmd_val, buf, buf_len, timeout_ms) : false;
}

int kavro_ll_tx_data(kavro_ll_dev_t *dev, const void *buf, uint32_t len) {
    auto op = op_of(dev, &kavro_ll_op::tx_data);
    return op ? op(dev, buf, len) : 0;
}

void kavro_ll_cap_abort(kavro_ll_dev_t *dev) {
    if (auto op = op_of(dev, &kavro_ll_op::cap_abort)) op(dev);
}

bool kavro_ll_cap_start(kavro_ll_dev_t *dev, uint32_t fr_cnt, kavro_ll_trans_notify_f cb,
                        void *cb_arg) {
    auto op = op_of(dev, &kavro_ll_op::cap_start);
    return op ? op(dev, fr_cnt, cb, cb_arg) : false;
}

bool kavro_ll_cap_stop(kavro_ll_dev_t *dev) {
    auto op = op_of(dev, &kavro_ll_op::cap_stop);
    return op ? op(dev) : false;
}

bool kavro_ll_reg_write(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                        const uint32_t *reg_vals, uint16_t reg_cnt) {
    auto op = op_of(dev, &kavro_ll_op::dev_reg_write);
    return op ? op(dev, target, reg_base, reg_vals, reg_cnt) : false;
}

bool kavro_ll_reg_read(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *reg_vals,
                       uint16_t reg_cnt) {
    auto op = op_of(dev, &kavro_ll_op::dev_reg_read);
    return op ? op(dev, target, reg_base, reg_vals, reg_cnt) : false;
}

bool kavro_ll_param_set(kavro_ll_dev_t *dev, const vxif_param_item_t *param_items, int item_cnt) {
    auto op = op_of(dev, &kavro_ll_op::dev_param_set);
    return op ? op(dev, param_items, item_cnt) : false;
}

bool kavro_ll_param_get(kavro_ll_dev_t *dev, vxif_param_item_t *param_items, int item_cnt) {
    auto op = op_of(dev, &kavro_ll_op::dev_param_get);
    return op ? op(dev, param_items, item_cnt) : false;
}

}  // extern "C"
