// EPC sensor driver. Its operations are added with the frame pipeline; until
// then the table is registered with every slot empty, so the camera layer
// opens EPC cameras and skips each operation.
#include "kavro_driver.h"

const kavro_drv_op_t g_kavro_driver_op_epc = {
    .init = nullptr,
    .uninit = nullptr,
    .frame_get_info = nullptr,
    .frame_decode = nullptr,
    .frame_raw_get = nullptr,
    .frame_raw_proc = nullptr,
    .lens_param_get = nullptr,
    .use_case_get_count = nullptr,
    .on_update_intg_time = nullptr,
    .on_update_frame_format = nullptr,
    .on_update_mod_freq = nullptr,
    .calib_load = nullptr,
    .calib_save = nullptr,
    .calib_apply = nullptr,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
};
