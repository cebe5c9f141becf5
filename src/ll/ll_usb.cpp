// USB transport. Its operations are not built yet: every slot is empty, so
// dispatch treats USB as offering nothing (no devices listed, every open
// passed on to the next transport). The table keeps its first place in the
// transport list.
#include "ll/ll_imp.h"

const kavro_ll_op ll_op_usb = {
    .init = nullptr,
    .uninit = nullptr,
    .set_debug = nullptr,
    .dev_open = nullptr,
    .dev_open_by_fd = nullptr,
    .dev_close = nullptr,
    .dev_list = nullptr,
    .exe_cmd = nullptr,
    .tx_data = nullptr,
    .cap_abort = nullptr,
    .cap_start = nullptr,
    .cap_stop = nullptr,
    .dev_reset = nullptr,
    .dev_reg_write = nullptr,
    .dev_reg_read = nullptr,
    .dev_param_set = nullptr,
    .dev_param_get = nullptr,
};
