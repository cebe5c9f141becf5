// Library-wide state of the camera interface, shared by the camera-layer
// sources. Set-up calls change it from one thread; nothing here is locked.
#pragma once

#include "kavro.h"
#include "vx_cmap.h"
#include "vx_log.h"

constexpr size_t KAVRO_PATH_PREFIX_SIZE = 256;

extern bool g_lib_inited;
extern vx_log_t *g_vx_log;
extern char g_path_prefix[KAVRO_PATH_PREFIX_SIZE];
extern vx_cmap_t g_vx_cmap;
extern kavro_dev_t default_dev;
