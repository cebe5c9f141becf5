// Logging macros for library code. Every library message goes through the
// default logger, carries the level tag ("TRC", "DBG", "INF", "WRN", "ERR")
// and begins with "[function] ".
#pragma once

#include "vx_log.h"

#define VX_LOG_AT(level, tag, fmt, ...) \
    vx_log(nullptr, level, tag, "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)

#define LOG_TRC(fmt, ...) VX_LOG_AT(VX_LOG_LEVEL_TRACE, "TRC", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_DBG(fmt, ...) VX_LOG_AT(VX_LOG_LEVEL_DEBUG, "DBG", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_INF(fmt, ...) VX_LOG_AT(VX_LOG_LEVEL_INFO, "INF", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_WRN(fmt, ...) VX_LOG_AT(VX_LOG_LEVEL_WARN, "WRN", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERR(fmt, ...) VX_LOG_AT(VX_LOG_LEVEL_ERROR, "ERR", fmt __VA_OPT__(, ) __VA_ARGS__)

// For a shared body that logs in the name of the exported call that reached
// it, so the message names the function the caller used.
#define LOG_ERR_AS(fn, fmt, ...) \
    vx_log(nullptr, VX_LOG_LEVEL_ERROR, "ERR", "[%s] " fmt, fn __VA_OPT__(, ) __VA_ARGS__)
