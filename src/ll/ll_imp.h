// Transports, internal side: the operation table of each built transport and
// the list dispatch walks. The list is the one place that names transports;
// its order is the order in which listing and opening try them.
#pragma once

#include "kavro_ll.h"

/// USB transport (ll_usb).
extern const kavro_ll_op ll_op_usb;
/// File replay transport (ll_file).
extern const kavro_ll_op ll_op_fil;

/// Built transports: USB first, then file replay.
constexpr int LL_IMP_COUNT = 2;
extern const kavro_ll_op *const g_ll_imps[LL_IMP_COUNT];

// The list-walking dispatch rules, on any list of tables, so they can be
// exercised with tables made for the purpose. The exported calls pass
// g_ll_imps.
/// Calls init of each table in order; the index of the first that failed, or
/// -1 when all succeeded (an empty init slot counts as success).
int _kavro_ll_init(const kavro_ll_op *const *imps, int imp_cnt);
int _kavro_ll_dev_list(const kavro_ll_op *const *imps, int imp_cnt, kavro_ll_dev_t *dev_list,
                       int dev_list_num);
kavro_ll_dev_t *_kavro_ll_dev_open(const kavro_ll_op *const *imps, int imp_cnt,
                                   kavro_ll_dev_t *dev);
kavro_ll_dev_t *_kavro_ll_dev_open_by_fd(const kavro_ll_op *const *imps, int imp_cnt,
                                         kavro_ll_dev_t *dev, int fd);
