/*
 * Levelled logger: console (the standard error stream) and an optional log
 * file behind a time-stamped prefix
 * "YYYYMMDD hh:mm:ss.mmm[thread][logger tag][caller tag]". A prefixed message
 * is one line: a message without a final line feed gets one. Raw messages
 * (vx_log_raw) are written exactly as given.
 *
 * Every function taking a vx_log_t* uses the process-wide default logger
 * when given NULL. Any thread may log; set-up (init, uninit) is not
 * thread-safe against logging on the same logger.
 */
#ifndef VX_LOG_H
#define VX_LOG_H

#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

typedef enum {
    VX_LOG_LEVEL_TRACE = 0,
    VX_LOG_LEVEL_DEBUG = 1,
    VX_LOG_LEVEL_INFO = 2,
    VX_LOG_LEVEL_WARN = 3,
    VX_LOG_LEVEL_ERROR = 4,
    VX_LOG_LEVEL_NONE = 5
} vx_log_level_e;

typedef enum {
    VX_LOG_TARGET_CONSOLE = 0,
    VX_LOG_TARGET_FILE = 1,
    VX_LOG_TARGET_GUI = 2, /* keeps a level, nothing is written to it */
    VX_LOG_TARGET_CNT = 3
} vx_log_target_e;

/** One logger. Treat as opaque; the layout is public so it can live on the stack. */
typedef struct {
    FILE *log_fh;
    char *log_fname;
    char log_tag[32];
    vx_log_level_e log_level[VX_LOG_TARGET_CNT];
    bool log_flush[VX_LOG_TARGET_CNT];
    bool inited;
    pthread_mutex_t mutex; /* serialises file writes */
} vx_log_t;

/** The process-wide default logger. */
KAVRO_API vx_log_t *vx_log_default(void);
/**
 * Initialise a logger (the default one when h_log is NULL). With a file name
 * the file is opened for appending. Returns the logger, or NULL on failure
 * (the logger then stays uninitialised and drops every message).
 */
KAVRO_API vx_log_t *vx_log_init(vx_log_t *h_log, const char *log_fname, const char *log_tagname);
/** Close the file and clear the logger; later messages are dropped. */
KAVRO_API void vx_log_uninit(vx_log_t *h_log);
/**
 * Set a target's level and flush flag. The file target keeps its level and
 * returns false while no file is open.
 */
KAVRO_API bool vx_log_cfg(vx_log_t *h_log, vx_log_target_e target, vx_log_level_e level, bool flush);
KAVRO_API void vx_log(vx_log_t *h_log, vx_log_level_e level, const char *user_tag, const char *format,
                      ...) __attribute__((format(printf, 4, 5)));
/** A message without the prefix. */
KAVRO_API void vx_log_raw(vx_log_t *h_log, vx_log_level_e level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
KAVRO_API void vx_log_ex(vx_log_t *h_log, vx_log_level_e level, bool raw_mode, const char *user_tag,
                         const char *format, va_list args);

KAVRO_END_DECLS

#endif /* VX_LOG_H */
