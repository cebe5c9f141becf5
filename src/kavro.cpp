// Library set-up: logger, transports, colour map, calibration module, the
// folder for files the library creates, and capture error names.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kavro.h"
#include "kavro_globals.h"
#include "kavro_ll.h"
#include "kavro_param.h"
#include "vx_cmap.h"
#include "vx_log_internal.h"
#include "vx_port.h"

// The public records cross the wire and the ABI with these exact layouts.
static_assert(sizeof(kavro_param_val_u) == 18);
static_assert(sizeof(kavro_param_item_t) == 23);
static_assert(offsetof(kavro_param_item_t, param_val) == 5);
static_assert(sizeof(kavro_dev_if_info_t::info) == 40);
static_assert(sizeof(kavro_param_roi_t) == 16);
static_assert(sizeof(kavro_frame_info_t) == 32);
static_assert(offsetof(kavro_frame_info_t, flags) == 24);
static_assert(offsetof(kavro_frame_info_t, reserved) == 28);
static_assert(sizeof(kavro_filter_args_u) == 4);
// One set of invalid-pixel codes for the driver, the colour map and the
// public constants; the float values are what the mm-to-m conversion gives.
static_assert(VX_CMAP_VAL_REJECTED == KAVRO_DIST_REJECTED_MM);
static_assert(VX_CMAP_VAL_SATURATED == KAVRO_DIST_SATURATED_MM);
static_assert(KAVRO_DIST_REJECTED_MM * 0.001f == KAVRO_DIST_REJECTED);
static_assert(KAVRO_DIST_SATURATED_MM * 0.001f == KAVRO_DIST_SATURATED);

bool g_lib_inited = false;
vx_log_t *g_vx_log = nullptr;
char g_path_prefix[KAVRO_PATH_PREFIX_SIZE] = "./";
vx_cmap_t g_vx_cmap;
kavro_dev_t default_dev;

namespace {

constexpr const char *KAVRO_VERSION = KAVRO_VERSION_STRING;
constexpr int CMAP_COLOR_NUM = 30000;
// The current folder. Windows builds used ".\\"; on POSIX that would make a
// file literally named ".\name", so the prefix uses the POSIX separator.
constexpr const char *DEFAULT_PATH_PREFIX = "./";

// Capture error names, indexed by code + 10.
constexpr const char *ERROR_NAMES[14] = {
    "KAVRO_ERR_CAP_UNKNOWN",       // -10
    "**UNKNOWN**",                 // -9
    "KAVRO_ERR_CAP_ERROR",         // -8
    "KAVRO_ERR_CAP_STALL",         // -7
    "**UNKNOWN**",                 // -6
    "KAVRO_ERR_CAP_TIMEOUT",       // -5
    "**UNKNOWN**",                 // -4
    "**UNKNOWN**",                 // -3
    "**UNKNOWN**",                 // -2
    "**UNKNOWN**",                 // -1
    "OK",                          // 0
    "**UNKNOWN**",                 // 1
    "**UNKNOWN**",                 // 2
    "KAVRO_ERR_CAP_FRAME_DISCARD", // 3
};

// Create every folder along `path`, '/' or '\\' separated. Failures are
// ignored: the later file operation reports them.
void make_path(const char *path) {
    char buf[KAVRO_PATH_PREFIX_SIZE];
    snprintf(buf, sizeof buf, "%s", path);
    size_t len = strlen(buf);
    if (len > 0 && (buf[len - 1] == '/' || buf[len - 1] == '\\')) buf[--len] = '\0';
    for (size_t i = 1; i < len; ++i) {
        if (buf[i] != '/' && buf[i] != '\\') continue;
        buf[i] = '\0';
        if (!vx_port::dir_exists(buf)) vx_port::make_dir(buf);
        buf[i] = '/';
    }
    if (len > 0 && !vx_port::dir_exists(buf)) vx_port::make_dir(buf);
}

}  // namespace

extern "C" {

void kavro_init(const char *log_fname) {
    if (g_lib_inited) return;
    g_lib_inited = true;
    memset(g_path_prefix, 0, sizeof g_path_prefix);
    snprintf(g_path_prefix, sizeof g_path_prefix, "%s", DEFAULT_PATH_PREFIX);

    char default_name[65];
    if (!log_fname || !*log_fname) {
        time_t now = time(nullptr);
        struct tm tm_local;
        localtime_r(&now, &tm_local);
        snprintf(default_name, sizeof default_name, "kavro_%04u%02u%02u.log",
                 static_cast<unsigned>(tm_local.tm_year + 1900),
                 static_cast<unsigned>(tm_local.tm_mon + 1), static_cast<unsigned>(tm_local.tm_mday));
        log_fname = default_name;
    }

    g_vx_log = vx_log_init(vx_log_default(), log_fname, "VX");
    if (!g_vx_log) return;
    vx_log_cfg(g_vx_log, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_WARN, false);
    vx_log_cfg(g_vx_log, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_DEBUG, true);
    vx_log_raw(g_vx_log, VX_LOG_LEVEL_DEBUG, "\n---- %s %s(compile at %s %s) log start -----\n", "KAVRO",
               KAVRO_VERSION, __DATE__, __TIME__);

    kavro_ll_init();
    vx_cmap_init(&g_vx_cmap, CMAP_COLOR_NUM);
    kavro_param_init();
}

void kavro_uninit(void) {
    if (!g_lib_inited) return;
    g_lib_inited = false;
    vx_cmap_uninit(&g_vx_cmap);
    kavro_ll_uninit();
    kavro_param_uninit();
    vx_log_raw(g_vx_log, VX_LOG_LEVEL_DEBUG, "---- KAVRO log END ----\n\n");
    if (g_vx_log) {
        vx_log_uninit(g_vx_log);
        g_vx_log = nullptr;
    }
}

void kavro_log_cfg(kavro_log_level_e console_level, kavro_log_level_e file_level,
                   kavro_log_level_e usb_level) {
    vx_log_cfg(g_vx_log, VX_LOG_TARGET_CONSOLE, static_cast<vx_log_level_e>(console_level), false);
    vx_log_cfg(g_vx_log, VX_LOG_TARGET_FILE, static_cast<vx_log_level_e>(file_level), true);
    kavro_ll_set_debug(usb_level);
}

void kavro_path_cfg(const char *path) {
    if (!path) return;
    // At most 255 characters are kept; the last byte is always the terminator.
    snprintf(g_path_prefix, sizeof g_path_prefix, "%s", path);
    LOG_DBG("PATH_PREIFX: %s\n", g_path_prefix);
    make_path(g_path_prefix);
}

const char *kavro_path_get(void) { return g_path_prefix; }

const char *kavro_error_name(int error_code) {
    if (error_code < -10 || error_code > 3) return "**UNKNOWN**";
    return ERROR_NAMES[error_code + 10];
}

// The header's version is the build's (CMake takes the project version from
// it), so the loaded library answers what it was built as.
#define KAVRO_STR2(x) #x
#define KAVRO_STR(x) KAVRO_STR2(x)
const char *kavro_version(void) {
    return KAVRO_STR(KAVRO_VERSION_MAJOR) "." KAVRO_STR(KAVRO_VERSION_MINOR) "." KAVRO_STR(KAVRO_VERSION_PATCH);
}

int kavro_version_number(void) {
    return KAVRO_VERSION_MAJOR * 10000 + KAVRO_VERSION_MINOR * 100 + KAVRO_VERSION_PATCH;
}

}  // extern "C"
