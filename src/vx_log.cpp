// Levelled logger writing to the console (standard error) and an optional
// log file.
#include "vx_log.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "vx_port.h"

namespace {

vx_log_t h_log_default;

constexpr vx_log_level_e _log_level_default[VX_LOG_TARGET_CNT] = {
    VX_LOG_LEVEL_WARN, VX_LOG_LEVEL_DEBUG, VX_LOG_LEVEL_NONE};

// The prefix is formatted into a buffer of this size and cut there.
constexpr size_t LOG_PREFIX_SIZE = 128;

vx_log_t *resolve(vx_log_t *h_log) { return h_log ? h_log : &h_log_default; }

void format_prefix(char (&prefix)[LOG_PREFIX_SIZE], const vx_log_t *log, const char *user_tag) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm_local;
    localtime_r(&now.tv_sec, &tm_local);
    snprintf(prefix, sizeof prefix, "%04u%02u%02u %02u:%02u:%02u.%03u[%u][%s][%s]",
             static_cast<unsigned>(tm_local.tm_year + 1900), static_cast<unsigned>(tm_local.tm_mon + 1),
             static_cast<unsigned>(tm_local.tm_mday), static_cast<unsigned>(tm_local.tm_hour),
             static_cast<unsigned>(tm_local.tm_min), static_cast<unsigned>(tm_local.tm_sec),
             static_cast<unsigned>(now.tv_nsec / 1000000), vx_port::thread_id(), log->log_tag,
             user_tag ? user_tag : "");
}

}  // namespace

extern "C" {

vx_log_t *vx_log_default(void) { return &h_log_default; }

vx_log_t *vx_log_init(vx_log_t *h_log, const char *log_fname, const char *log_tagname) {
    vx_log_t *log = resolve(h_log);
    // A logger set up a second time first lets go of its file, name copy and
    // mutex; clearing the record alone would leak them.
    if (log->inited) vx_log_uninit(log);
    memset(log, 0, sizeof *log);
    memcpy(log->log_level, _log_level_default, sizeof log->log_level);

    auto fail = [log](bool mutex_created) -> vx_log_t * {
        if (log->log_fh) fclose(log->log_fh);
        free(log->log_fname);
        if (mutex_created) pthread_mutex_destroy(&log->mutex);
        memset(log, 0, sizeof *log);
        return nullptr;
    };

    if (log_fname) {
        log->log_fh = fopen(log_fname, "ab");
        if (!log->log_fh) {
            fprintf(stderr, "cannot open file %s for write\n", log_fname);
            return fail(false);
        }
        log->log_fname = strdup(log_fname);
        if (!log->log_fname) {
            fprintf(stderr, "malloc failed\n");
            return fail(false);
        }
    } else {
        log->log_level[VX_LOG_TARGET_FILE] = VX_LOG_LEVEL_NONE;
    }

    snprintf(log->log_tag, sizeof log->log_tag, "%s", log_tagname ? log_tagname : "NONE");

    if (pthread_mutex_init(&log->mutex, nullptr) != 0) {
        fprintf(stderr, "mutex create failed\n");
        return fail(false);
    }
    log->inited = true;
    return log;
}

void vx_log_uninit(vx_log_t *h_log) {
    vx_log_t *log = resolve(h_log);
    if (!log->inited) {
        memset(log, 0, sizeof *log);
        return;
    }
    if (log->log_fh) fclose(log->log_fh);
    free(log->log_fname);
    pthread_mutex_destroy(&log->mutex);
    memset(log, 0, sizeof *log);
}

bool vx_log_cfg(vx_log_t *h_log, vx_log_target_e target, vx_log_level_e level, bool flush) {
    vx_log_t *log = resolve(h_log);
    switch (target) {
    case VX_LOG_TARGET_CONSOLE:
    case VX_LOG_TARGET_GUI:
        log->log_flush[target] = flush;
        log->log_level[target] = level;
        return true;
    case VX_LOG_TARGET_FILE:
        log->log_flush[target] = flush;
        if (!log->log_fh) return false;
        log->log_level[target] = level;
        return true;
    default:
        return false;
    }
}

void vx_log_ex(vx_log_t *h_log, vx_log_level_e level, bool raw_mode, const char *user_tag,
               const char *format, va_list args) {
    vx_log_t *log = resolve(h_log);
    if (!log->inited) return;
    const bool console_due = level >= log->log_level[VX_LOG_TARGET_CONSOLE];
    const bool file_due = level >= log->log_level[VX_LOG_TARGET_FILE] && log->log_fh;
    if (!console_due && !file_due) return;
    if (!format) format = "";

    char prefix[LOG_PREFIX_SIZE] = "";
    if (!raw_mode) format_prefix(prefix, log, user_tag);

    // A prefixed message is one line: one that does not end with a line feed
    // gets one, so the next line does not run into it. A raw message is
    // written as it is (it may continue a line).
    const char *line_end = "";
    if (!raw_mode) {
        va_list copy;
        va_copy(copy, args);
        char probe[LOG_PREFIX_SIZE * 4];
        const int n = vsnprintf(probe, sizeof probe, format, copy);
        va_end(copy);
        if (n <= 0) {
            line_end = "\n";
        } else if (static_cast<size_t>(n) < sizeof probe) {
            if (probe[n - 1] != '\n') line_end = "\n";
        } else {
            std::string whole(static_cast<size_t>(n) + 1, '\0');
            va_copy(copy, args);
            vsnprintf(whole.data(), whole.size(), format, copy);
            va_end(copy);
            if (whole[static_cast<size_t>(n) - 1] != '\n') line_end = "\n";
        }
    }

    // The console is the standard error stream: the log is diagnostics, and
    // a program's own output on standard output stays clean of it.
    if (console_due) {
        va_list copy;
        va_copy(copy, args);
        fputs(prefix, stderr);
        vfprintf(stderr, format, copy);
        fputs(line_end, stderr);
        va_end(copy);
        if (log->log_flush[VX_LOG_TARGET_CONSOLE]) fflush(stderr);
    }
    if (file_due) {
        va_list copy;
        va_copy(copy, args);
        pthread_mutex_lock(&log->mutex);
        fputs(prefix, log->log_fh);
        vfprintf(log->log_fh, format, copy);
        fputs(line_end, log->log_fh);
        if (log->log_flush[VX_LOG_TARGET_FILE]) fflush(log->log_fh);
        pthread_mutex_unlock(&log->mutex);
        va_end(copy);
    }
}

void vx_log(vx_log_t *h_log, vx_log_level_e level, const char *user_tag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vx_log_ex(h_log, level, false, user_tag, format, args);
    va_end(args);
}

void vx_log_raw(vx_log_t *h_log, vx_log_level_e level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vx_log_ex(h_log, level, true, nullptr, format, args);
    va_end(args);
}

}  // extern "C"
