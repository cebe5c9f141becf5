// Calibration parameter files.
#include "kavro_param.h"

#include <cstddef>

// The file layout is fixed: the records must have exactly these sizes.
static_assert(sizeof(kavro_param_len_t) == 144);
static_assert(sizeof(kavro_param_fix_t) == 1188);
static_assert(offsetof(kavro_param_fix_t, ck_sum) == 18);
static_assert(offsetof(kavro_param_fix_t, lens) == 20);
static_assert(sizeof(kavro_param_blk_t) == 14);
static_assert(sizeof(kavro_param_t) == 1202);
static_assert(offsetof(kavro_param_t, p_blks) == 1188);
static_assert(sizeof(kavro_param_blk_unit_t) == 5);
static_assert(sizeof(kavro_param_blk_unit_old_t) == 42);
static_assert(offsetof(kavro_param_blk_unit_old_t, size) == 22);

extern "C" {

bool kavro_param_init(void) { return true; }
void kavro_param_uninit(void) {}

}  // extern "C"
