/*
 * libkavro camera interface.
 *
 * Call kavro_init() once before anything else and kavro_uninit() after every
 * device is closed. Set-up calls (kavro_init, kavro_uninit, kavro_log_cfg,
 * kavro_path_cfg) are not thread-safe: make them from one thread.
 */

/*
 * Where this library deliberately differs from older behaviour (the results
 * change on purpose; code that relied on the old values must adapt):
 *
 * - Point clouds (kavro_frame_get_pcl, kavro_frame_get_pcl_xyzd,
 *   kavro_frame_get_pcl_organized) place each point at the pixel's measured
 *   distance along the pixel's unit ray, after undistortion: with the
 *   driver's lens the ray is the one the lens model gives the pixel (the lens
 *   distortion inverted per pixel, or the pinhole ray of the undistorted view
 *   while the driver undistorts images); with caller values it is the
 *   normalised pinhole ray ((x - cx) / fx, (y - cy) / fy, 1). The distance is
 *   the length of the point's vector, not its depth Z: |P| = d, and
 *   Z = d / sqrt(1 + u^2 + v^2) for the undistorted ray (u, v, 1), so off
 *   the optical axis Z is smaller than d.
 *
 * - A recording whose raw frame file holds one image per frame (its header
 *   names one sub-frame: the camera's one-image mode, alternating row pairs
 *   of two phases) replays with device frame format 4, the one-image format,
 *   and is decoded as such; a recording with four images per frame replays
 *   with format 2. PARAM_FRAME_FORMAT of such a replay reads 4, and the
 *   frames it delivers carry frame_format 4. A side file that records the
 *   frame format (see "recordings" below) overrides this guess.
 */
#ifndef KAVRO_H
#define KAVRO_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro_export.h"

/*
 * Version of this header. kavro_version() gives the version of the library
 * actually loaded; the two differ when a program runs with another build of
 * the shared library than the one it was compiled against.
 */
#define KAVRO_VERSION_MAJOR 1
#define KAVRO_VERSION_MINOR 56
#define KAVRO_VERSION_PATCH 0

KAVRO_BEGIN_DECLS

/* ---- enumerations -------------------------------------------------------- */

/** Kind of interface a device sits on. */
typedef enum {
    DEV_IF_USB = 0,
    DEV_IF_ETH = 1,
    DEV_IF_FILE = 2,
    DEV_IF_NONE = 99
} kavro_dev_if_e;

/** Log levels; same numbering as vx_log_level_e. */
typedef enum {
    LOG_LEVEL_TRACE = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_ERROR = 4,
    LOG_LEVEL_NONE = 5
} kavro_log_level_e;

/** Reset targets; 6 and 7 are unassigned but still passed to the device. */
typedef enum {
    DEV_RST_DEV = 0,
    DEV_RST_CAM0 = 1,
    DEV_RST_CAM1 = 2,
    DEV_RST_USB = 3,
    DEV_RST_IR1 = 4,
    DEV_RST_IR2 = 5,
    DEV_RST_MCU = 8,
    DEV_RST_CNT = 9
} kavro_dev_rst_e;

/** Register targets. */
typedef enum {
    DEV_REG_RESERVED = 0,
    DEV_REG_CAM0 = 1,
    DEV_REG_CAM1 = 2,
    DEV_REG_IR_0 = 4,
    DEV_REG_IR_1 = 5,
    DEV_REG_MCU = 8
} kavro_dev_reg_e;

/** Parameter identifiers; the comment names the kavro_param_val_u member. */
typedef enum {
    PARAM_DEV_MODE = 0,        /* dev_mode */
    PARAM_MOD_FREQ = 1,        /* mod_freq */
    PARAM_INFO_VENDOR = 2,     /* info_vendor */
    PARAM_INFO_PRODUCT = 3,    /* info_product */
    PARAM_INFO_CAPABILITY = 4, /* info_capability */
    PARAM_INFO_SERIAL = 5,     /* info_serial */
    PARAM_INFO_VERSION = 6,    /* info_version */
    PARAM_INFO_SENSOR = 7,     /* chip_info */
    PARAM_INFO_CALIB = 8,      /* cinfo */
    PARAM_ROI = 9,             /* roi */
    PARAM_FRAME_FORMAT = 10,   /* frame_format */
    PARAM_ILLUM_POWER = 11,    /* illum_power */
    PARAM_FRAME_RATE = 12,     /* frame_rate */
    PARAM_INTG_TIME = 13,      /* intg */
    PARAM_PHASE_CORR = 14,     /* phase_corr */
    PARAM_TEMP = 15,           /* temp */
    PARAM_HDR_INTG_TIME = 16,  /* intg_hdr */
    PARAM_SYNC_DELAY = 17,     /* sync_delay */
    PARAM_ENUM_COUNT = 18
} kavro_dev_param_e;

/** Frame formats. */
typedef enum {
    VX_FRAME_FMT_RAW = 0,
    VX_FRAME_FMT_DISTANCE = 1,
    VX_FRAME_FMT_GRAY = 2,
    VX_FRAME_FMT_PCLOUD = 3,
    VX_FRAME_FMT_RGB = 4
} kavro_frame_fmt_e;

/** Filters a driver may offer. */
typedef enum {
    KAVRO_FILTER_ID_LEN_CALIB = 0,
    KAVRO_FILTER_ID_PIXEL_CALIB = 1,
    KAVRO_FILTER_ID_MEDIAN = 2,
    KAVRO_FILTER_ID_RESERVED = 3,
    KAVRO_FILTER_ID_AMP = 4,
    KAVRO_FILTER_ID_AUTO_INTG = 5,
    KAVRO_FILTER_ID_SYNC_DELAY = 6,
    KAVRO_FILTER_ID_TEMP_MONITOR = 7,
    KAVRO_FILTER_ID_HDR = 8,
    KAVRO_FILTER_ID_OFFSET = 9,
    KAVRO_FILTER_ID_SPORT_MODE = 10,
    KAVRO_FILTER_CNT = 11
} kavro_filter_id_e;

/** Pixel layouts of colour-mapped output. */
typedef enum {
    KAVRO_CMAP_OUTFMT_RGB = 0,
    KAVRO_CMAP_OUTFMT_RGBA = 1,
    KAVRO_CMAP_OUTFMT_BGR = 2
} kavro_cmap_outfmt_e;

/** Sample types of frame files. */
typedef enum {
    KAVRO_FRAME_SAVE_FLOAT32 = 0,
    KAVRO_FRAME_SAVE_UINT32 = 1,
    KAVRO_FRAME_SAVE_UINT16 = 2,
    KAVRO_FRAME_SAVE_UINT8 = 3,
    KAVRO_FRAME_SAVE_PCL = 4
} kavro_frame_save_fmt_t;

/* ---- capture error codes ------------------------------------------------- */

/** The frame stream dropped frames as damaged. */
#define KAVRO_ERR_CAP_FRAME_DISCARD 3
/** The transport timed out more than 32 times. */
#define KAVRO_ERR_CAP_TIMEOUT (-5)
/** The transport stalled more than 16 times in a row. */
#define KAVRO_ERR_CAP_STALL (-7)
/** The transport reported a failure (a replay could not load a frame). */
#define KAVRO_ERR_CAP_ERROR (-8)
/** The transport reported another failure. */
#define KAVRO_ERR_CAP_UNKNOWN (-10)

/* ---- records ------------------------------------------------------------- */

/** Where a device sits. Same layout as kavro_ll_info_t. */
typedef struct {
    kavro_dev_if_e type;
    union {
        struct {
            uint8_t usb_bus_num;
            uint8_t usb_port_num;
            uint8_t usb_dev_addr;
            uint8_t usb_speed; /* 0 unknown, 1 low, 2 full, 3 high, 4 super */
        } usb;
        struct {
            uint8_t addr[16];
            uint8_t reserved[16];
            uint32_t token;
            uint32_t cid;
        } eth;
        struct {
            void *fd; /* the open FILE of a recording; the caller owns it */
        } fil;
    } info;
} kavro_dev_if_info_t;

typedef union {
    uint16_t version[4];
    struct {
        uint16_t hw_ver;
        uint16_t sw_ver;
        uint16_t sw2_ver;
        uint16_t hw2_ver;
    } ver;
} kavro_dev_ver_u;

/**
 * The application's handle of one camera. The application owns it (or uses
 * the library's default record). `handler` is non-null while the device is
 * open; after kavro_dev_close() it is null again.
 */
typedef struct {
    void *handler;
    kavro_dev_if_info_t if_info;
    char product[32];
    char vendor[32];
    char serial[32]; /* raw bytes of the serial (three u32), not text */
    kavro_dev_ver_u version;
    const char *expath; /* library path prefix, set at open */
    void *lock;         /* the device's read-write lock, set at open */
    void *user_data0;
    void *user_data1;
    bool init_flag;
    bool alloc_flag; /* the library frees the record at close or failed open */
    uint8_t api_flag; /* count of public calls running on this device */
} kavro_dev_t;

/** Pinhole intrinsics for the point-cloud calls; scale multiplies distances. */
typedef struct {
    float cx;
    float cy;
    float fx;
    float fy;
    float scale;
} kavro_camera_para_t;

#pragma pack(push, 1)

typedef struct {
    uint16_t srow;
    uint16_t erow;
    uint16_t scol;
    uint16_t ecol;
    uint32_t cur_fsize;
    uint32_t max_fsize;
} kavro_param_roi_t;

/** Value of one parameter: 18 bytes, byte-packed (members are unaligned). */
typedef union {
    uint8_t raw[18];
    uint32_t dev_mode;
    uint32_t mod_freq;
    char info_vendor[18];
    char info_product[18];
    struct {
        uint16_t max_frame_width;
        uint16_t max_frame_height;
        uint16_t max_frame_depth;
        uint16_t max_fps;
        uint16_t max_intg_us;
    } info_capability;
    struct {
        uint32_t serial[3];
    } info_serial;
    struct {
        uint16_t hw_ver;
        uint16_t sw_ver;
        uint16_t sw2_ver;
        uint16_t hw2_ver;
    } info_version;
    struct {
        uint32_t format;
    } frame_format;
    struct {
        uint32_t fps;
    } frame_rate;
    struct {
        uint8_t random_delay_en;
        uint16_t delay;
    } sync_delay;
    kavro_param_roi_t roi;
    struct {
        uint8_t percent;
    } illum_power;
    struct {
        uint16_t intg_us;
    } intg;
    struct {
        uint16_t intg_3dhdr;
    } intg_hdr;
    struct {
        uint16_t corr1;
        uint16_t corr2;
    } phase_corr;
    struct {
        int16_t tl_cal;
        int16_t tr_cal;
        int16_t bl_cal;
        int16_t br_cal;
        int16_t ib_cal;
    } temp;
    struct {
        uint8_t valid;
        uint8_t flag;
        uint32_t ID;
        uint32_t timestamp;
        uint32_t fsize;
        uint32_t datasize;
    } cinfo;
    struct {
        uint16_t part_ver;
        uint16_t chip_id;
        uint16_t wafer_id;
    } chip_info;
} kavro_param_val_u;

/** One parameter of a batch: 23 bytes, byte-packed. */
typedef struct {
    uint32_t param_id; /* kavro_dev_param_e */
    uint8_t param_val_len; /* number of meaningful bytes in param_val */
    kavro_param_val_u param_val;
} kavro_param_item_t;

#pragma pack(pop)

/** Description of one frame as the chip driver reports it. */
typedef struct {
    uint32_t frame_size;   /* bytes of frame data */
    uint16_t frame_format; /* kavro_frame_fmt_e */
    uint16_t frame_idx;    /* frame counter from the device */
    uint32_t width;
    uint32_t height;
    uint8_t depth;        /* driver-defined */
    uint8_t pixel_format; /* driver-defined */
    uint16_t priv_code;   /* driver-defined */
    int16_t temp0;        /* sensor temperature, 0.1 degC, as reported */
    int16_t temp1;        /* second (IB) temperature, 0.1 degC */
    uint32_t flags;       /* KAVRO_FRAME_FLAG_* and KAVRO_FRAME_CALIB_* bits */
    uint32_t reserved;
} kavro_frame_info_t;

/*
 * Invalid-pixel codes of distance images. The driver's 16-bit images (mm)
 * hold exactly KAVRO_DIST_REJECTED_MM for a pixel removed by a filter (or
 * left without a source by lens undistortion) and KAVRO_DIST_SATURATED_MM
 * for a pixel whose raw samples are saturated or empty; the float images of
 * kavro_frame_get_distance (metres) hold exactly KAVRO_DIST_REJECTED and
 * KAVRO_DIST_SATURATED there, so `d == KAVRO_DIST_REJECTED` finds them.
 * Valid distances are below 60 m.
 */
#define KAVRO_DIST_REJECTED_MM 65300
#define KAVRO_DIST_SATURATED_MM 65500
#define KAVRO_DIST_REJECTED 65.3f
#define KAVRO_DIST_SATURATED 65.5f

/*
 * Bits of kavro_frame_info_t.flags, set by the driver when it describes a
 * frame. Without KAVRO_FRAME_FLAG_TEMP_MEASURED the camera reported no
 * plausible temperature (both values 0, or the sensor value outside
 * -40.0 ... 125.0 degC): the frame is decoded without temperature
 * compensation, as if at the calibration temperature.
 */
#define KAVRO_FRAME_FLAG_TEMP_MEASURED 0x1u /* the camera reported a plausible temperature */
#define KAVRO_FRAME_CALIB_MASK 0x6u         /* which calibration decodes the frame: */
#define KAVRO_FRAME_CALIB_NONE 0x0u         /*   none (built-in constants) */
#define KAVRO_FRAME_CALIB_SIMPLE 0x2u       /*   simple: the calibration file's scale and offset */
#define KAVRO_FRAME_CALIB_PIXEL 0x4u        /*   per-pixel (DRNU) references */

typedef struct {
    kavro_frame_info_t frame_info;
    void *frame_data;
} kavro_frame_t;

/** 4-byte argument of a filter; which member a filter reads is the driver's. */
typedef union {
    uint8_t case_idx;
    uint32_t lens_id;
    uint16_t min_amp;
    uint16_t sat_ratio;
    uint16_t sync_delay;
    int16_t temp_threshold;
    struct {
        uint16_t intg_3d;
        uint16_t intg_3dhdr;
    } intg;
    uint8_t median_ksize;
    int32_t offset_mm;
    uint8_t sport_mode;
} kavro_filter_args_u;

/** Called once per ready frame, on the application thread that waits. */
typedef void (*kavro_cap_frdy_f)(kavro_dev_t *dev, kavro_frame_t *frame);
/** Called on capture errors, on the application thread; false stops capture. */
typedef bool (*kavro_cap_err_f)(kavro_dev_t *dev, int err, void *err_arg);

/* ---- library set-up ------------------------------------------------------ */

/**
 * Initialise the library: the logger (file `log_fname`, or
 * "kavro_YYYYMMDD.log" when null or empty), the transports, the colour map
 * and the calibration module. A second call does nothing.
 */
KAVRO_API void kavro_init(const char *log_fname);
/** Release what kavro_init set up. Close every device first. */
KAVRO_API void kavro_uninit(void);
/** Set the console (standard error) and file log levels and the USB
 * transport's debug level. */
KAVRO_API void kavro_log_cfg(kavro_log_level_e console_level, kavro_log_level_e file_level,
                             kavro_log_level_e usb_level);
/**
 * Set the folder for the files the library creates and make it exist. The
 * prefix is put in front of file names as it is, so end it with '/'.
 */
KAVRO_API void kavro_path_cfg(const char *path);
/** The folder prefix; owned by the library. */
KAVRO_API const char *kavro_path_get(void);
/** Name of a capture error code; "**UNKNOWN**" for codes without a name. */
KAVRO_API const char *kavro_error_name(int error_code);
/**
 * Version of the loaded library as "MAJOR.MINOR.PATCH" (static storage, never
 * null). Any thread, also before kavro_init().
 */
KAVRO_API const char *kavro_version(void);
/** The loaded library's version as MAJOR * 10000 + MINOR * 100 + PATCH. */
KAVRO_API int kavro_version_number(void);

/* ---- devices --------------------------------------------------------------
 *
 * A device record is closed (`handler` null) or open. Get an open record from
 * kavro_dev_open() or kavro_dev_open_replay(); after kavro_dev_close() it is
 * closed again (and freed, when `alloc_flag` is set). Open and close are made
 * by application threads, never from a callback. Every other call on an open
 * device may come from any application thread; a close waits (at most 20 s)
 * for the calls still running on other threads.
 */

/**
 * Fill up to `dev_list_num` records with the cameras the transports see
 * (interface information and `init_flag`; `handler` stays null). Returns the
 * number found, 0 on error.
 */
KAVRO_API int kavro_dev_list(kavro_dev_t *dev_list, int dev_list_num);
/**
 * Open a camera: transport, identity (vendor, product, serial, version),
 * chip driver, frame stream and calibration. With a null record the library's
 * default record opens the first camera found. An open record is closed
 * first. Returns the opened record, or null (the record is then closed).
 */
KAVRO_API kavro_dev_t *kavro_dev_open(kavro_dev_t *dev);
/**
 * Open a recorded raw frame file as a device, on the library's default
 * record (which must be closed). The library closes the file at
 * kavro_dev_close(). Returns the default record, or null (also for a
 * recording whose frames are 1 MiB or larger: the frame stream cannot carry
 * them).
 *
 * With the side file filename.info (see "recordings" below) the replay
 * answers the recorded identity and settings and decodes with the recorded
 * lens values and calibration copy. Frames are delivered at the recorded
 * frame rate (30 fps for a recording without side file); PARAM_FRAME_RATE
 * sets another rate, 0 as fast as the reader takes them. A replay never
 * overruns its reader: each frame waits until the previous one was taken,
 * so a reader that keeps calling the frame calls gets every frame.
 */
KAVRO_API kavro_dev_t *kavro_dev_open_replay(const char *filename);
/** Not supported on this platform: always null. */
KAVRO_API kavro_dev_t *kavro_dev_open_by_fd(int fd);

/** Bytes of the serial text "XXXXXXXX-XXXXXXXX-XXXXXXXX" with its terminator. */
#define KAVRO_SERIAL_TEXT_SIZE 27
/**
 * As kavro_dev_list, and each camera found is asked for its identity: the
 * records' `vendor`, `product`, `serial` and `version` are filled as an open
 * fills them. Asking opens the camera's transport for a moment (no driver,
 * no calibration); a camera this program has open answers from its open
 * record instead. A camera that cannot be asked (open in another program, or
 * gone meanwhile) is still listed with those fields zeroed (`product[0]` is
 * then 0). Returns the number found, 0 on error.
 * Application threads; not while the listed cameras are being opened.
 */
KAVRO_API int kavro_dev_list_ident(kavro_dev_t *dev_list, int dev_list_num);
/**
 * The serial of a record (listed with identity, or open) as text: its three
 * 32-bit words in upper-case hexadecimal, "XXXXXXXX-XXXXXXXX-XXXXXXXX", as
 * the tool shows it. `buf` must hold KAVRO_SERIAL_TEXT_SIZE bytes. False
 * (buf untouched) for a null record or a short buffer.
 */
KAVRO_API bool kavro_dev_serial_text(const kavro_dev_t *dev, char *buf, int buf_len);
/**
 * Open the camera whose serial text is `serial` (as kavro_dev_serial_text
 * writes it; letter case and surrounding blanks do not matter). With `dev`
 * the caller's closed record is used; with null the library allocates one
 * (alloc_flag set: kavro_dev_close frees it). Returns the open record, or
 * null when no camera has that serial, the text is not a serial, or the open
 * failed (a library-allocated record is then freed).
 */
KAVRO_API kavro_dev_t *kavro_dev_open_by_serial(kavro_dev_t *dev, const char *serial);

/* ---- hot-plug -------------------------------------------------------------
 * Notification when a camera arrives on or leaves the bus. The USB
 * transport's hot-plug support is used where the platform has it; otherwise
 * (or with KAVRO_HOTPLUG_POLL) the camera list is read every poll interval
 * and compared with the last one, so an event comes up to one interval late.
 */
typedef enum {
    KAVRO_HOTPLUG_ARRIVED = 1, /* a camera appeared (or was there at registration, see below) */
    KAVRO_HOTPLUG_LEFT = 2     /* a camera left the bus */
} kavro_hotplug_event_e;

/** Register flags. */
#define KAVRO_HOTPLUG_ENUMERATE 0x1u /* report the cameras present now as ARRIVED first */
#define KAVRO_HOTPLUG_POLL 0x2u      /* compare camera lists even where hot-plug support exists */

/**
 * Hot-plug callback. `dev` is a listed record (interface information and
 * `init_flag`; no identity: the camera is not asked), valid during the call
 * only: copy it to open the camera later. Runs on the registration's own
 * thread, one event at a time, in bus order. Do not open, close or register
 * from inside the callback: hand the record to another thread.
 */
typedef void (*kavro_hotplug_f)(const kavro_dev_t *dev, kavro_hotplug_event_e event, void *arg);

typedef struct kavro_hotplug kavro_hotplug_t;

/**
 * Watch the bus for cameras until kavro_hotplug_deregister(). `poll_ms` is
 * the interval of the list comparison (0: 500 ms); with the transport's
 * hot-plug support it is not used. Returns the registration, or null (null
 * callback, or the watching thread could not start). Any application thread,
 * after kavro_init().
 */
KAVRO_API kavro_hotplug_t *kavro_hotplug_register(kavro_hotplug_f cb, void *arg, unsigned flags, unsigned poll_ms);
/** True when the registration uses the transport's hot-plug support, false when it compares lists. */
KAVRO_API bool kavro_hotplug_is_native(const kavro_hotplug_t *hp);
/**
 * Stop watching and free `hp` (null is ignored). Waits for a callback that
 * is running; no callback comes after the return. Not from the callback.
 */
KAVRO_API void kavro_hotplug_deregister(kavro_hotplug_t *hp);
/** Stop capture, close the transport, wait for running calls and free. A
 *  closed or null record is ignored. */
KAVRO_API void kavro_dev_close(kavro_dev_t *dev);
/** Reset a part of the device (targets up to DEV_RST_MCU); false on error. */
KAVRO_API bool kavro_dev_reset(kavro_dev_t *dev, kavro_dev_rst_e target);

/* ---- parameters and registers -------------------------------------------- */

/**
 * Write a batch of parameters. On success the library's frame rate and the
 * chip driver follow the new values; on failure nothing changes.
 */
KAVRO_API bool kavro_param_batch_set(kavro_dev_t *dev, const kavro_param_item_t *param_items, int item_cnt);
/**
 * Read a batch of parameters named by `param_id` (and `param_val_len`). On
 * success each item's length and value are filled in; on failure the items
 * are untouched.
 */
KAVRO_API bool kavro_param_batch_get(kavro_dev_t *dev, kavro_param_item_t *param_items, int item_cnt);
/** Write `reg_cnt` consecutive registers of a register target. */
KAVRO_API bool kavro_reg_batch_write(kavro_dev_t *dev, kavro_dev_reg_e target, uint32_t reg_base,
                                     const uint32_t *reg_vals, uint16_t reg_cnt);
/** Read `reg_cnt` consecutive registers of a register target. */
KAVRO_API bool kavro_reg_batch_read(kavro_dev_t *dev, kavro_dev_reg_e target, uint32_t reg_base,
                                    uint32_t *reg_vals, uint16_t reg_cnt);

/* ---- capture --------------------------------------------------------------
 *
 * Frames arrive on the transport's thread and wait in the device's frame
 * buffer until an application thread takes them. The frame-ready and error
 * callbacks run on the application thread that is inside a frame call, never
 * on the transport's thread.
 */

/** Keep `frame_buf_size` / 307200 frames (`frame_buf` is not used). Not while capturing. */
KAVRO_API bool kavro_cap_set_frame_buffer(kavro_dev_t *dev, uint8_t *frame_buf, uint32_t frame_buf_size);
/** `*frame_buf` becomes null, `*frame_buf_size` the kept frames x 307200; always true. */
KAVRO_API bool kavro_cap_get_frame_buffer(kavro_dev_t *dev, uint8_t **frame_buf, uint32_t *frame_buf_size);
/** Set (null: remove) the callback that receives every ready frame. */
KAVRO_API void kavro_cap_set_callback_on_frame_ready(kavro_dev_t *dev, kavro_cap_frdy_f on_cap_frdy);
/** Set (null: remove) the callback that receives capture errors. */
KAVRO_API void kavro_cap_set_callback_on_error(kavro_dev_t *dev, kavro_cap_err_f on_cap_err);
/** Start capture (a running capture is restarted). Needs a buffer of more than one frame. */
KAVRO_API bool kavro_cap_start(kavro_dev_t *dev);
/** Stop capture and wake every reader waiting for frames. */
KAVRO_API bool kavro_cap_stop(kavro_dev_t *dev);
/** True while the device captures. */
KAVRO_API bool kavro_cap_is_ongoing(kavro_dev_t *dev);
/**
 * Wait for `frame_num` frames and copy them one after another into
 * `frame_data` (`frame_dlen` bytes); `first_frame_info` (if given) describes
 * the first. Waits at most frame_num x (100 ms + frame period) + 2 s. Returns
 * the frames delivered (0 when the time ran out), -1 for wrong parameters,
 * -2 when the device is not capturing, or the capture error code that stopped
 * the capture. One thread per device at a time may wait for frames.
 */
KAVRO_API int kavro_cap_get_frames(kavro_dev_t *dev, uint32_t frame_num, uint8_t *frame_data, uint32_t frame_dlen,
                                   kavro_frame_t *first_frame_info);
/**
 * The host's monotonic clock (CLOCK_MONOTONIC, ns) when the last byte of a
 * frame arrived from the transport, for a frame of this device described by
 * `finfo` (as the capture calls or the frame-ready callback give it). The
 * library keeps the arrival times of the last 256 frames it delivered and
 * finds the frame by its `frame_idx` (the newest delivered frame with that
 * index). A replay's frames carry the time the replay delivered them. False
 * (out untouched) when the device is not open or the frame is not among
 * them. Any application thread.
 */
KAVRO_API bool kavro_frame_get_host_time(kavro_dev_t *dev, const kavro_frame_info_t *finfo, uint64_t *host_ns);
/** Take one frame if one is ready, without waiting: 1, 0 or a negative code as above. */
KAVRO_API int kavro_cap_get_frame(kavro_dev_t *dev, uint8_t *frame_data, uint32_t frame_dlen,
                                  kavro_frame_t *frame_info);
/** One frame; starts and stops capture around it when the device is not capturing. */
KAVRO_API bool kavro_cap_snapshot(kavro_dev_t *dev, uint8_t *frame_data, uint32_t frame_dlen,
                                  kavro_frame_t *frame_info);
/**
 * Hand every frame to the frame-ready callback until capture stops (true) or
 * `timeout_msec` passes (false; 0 waits without limit). A close on another
 * thread is not held up by this wait.
 */
KAVRO_API bool kavro_cap_wait(kavro_dev_t *dev, int timeout_msec);

/* ---- frame files ---------------------------------------------------------- */
/*
 * Single frames saved to and loaded from files of one text header line
 * ("VX_RAW,...", "VX_DIST,...", "VX_GRAY,...") followed by the samples of one
 * or more frames, little-endian, back to back. Every call works on a file
 * descriptor the caller opened (binary mode) and positioned: at offset 0 a
 * save writes the header first and a load parses it; at any other offset
 * only samples are written or read.
 *
 * Each loader remembers the geometry of the last header it parsed (one set
 * per kind, process-wide) and uses it for loads at later offsets. So read
 * one file of a kind at a time, from one thread at a time. Output pointers
 * may be NULL; they are written only when a frame was loaded.
 */

/**
 * Append `raw_len` raw samples (whole frames of img_w x img_h x dcs_cnt) as
 * KAVRO_FRAME_SAVE_UINT16 or KAVRO_FRAME_SAVE_UINT32. The tag (no blanks, at
 * most 32 characters are kept; NULL means empty) goes into the header.
 */
KAVRO_API bool kavro_frame_save_raw(int fd, kavro_frame_save_fmt_t save_fmt, const uint16_t *raw,
                                    int raw_len, int img_w, int img_h, int dcs_cnt,
                                    const char *raw_tag);
/**
 * Append the whole frames contained in `dist_len` distances (metres) as
 * FLOAT32 metres, or UINT32 / UINT16 millimetres (UINT16 wraps from 65.536 m).
 */
KAVRO_API bool kavro_frame_save_distance(int fd, kavro_frame_save_fmt_t save_fmt, const float *dist,
                                         int dist_len, int img_w, int img_h);
/** Append at most one frame of gray values as UINT8 or UINT16 (low bits kept). */
KAVRO_API bool kavro_frame_save_gray(int fd, kavro_frame_save_fmt_t save_fmt, const float *src,
                                     int src_len, int img_w, int img_h);
/**
 * Load one raw frame into `dst` (at most `dst_len` samples, U32 files cut to
 * 16 bits). The tag is copied NUL-terminated into `dst_tag` (a buffer of
 * `dst_tag_len` bytes) when this call read the header, else "" is stored.
 * Returns the samples stored; 0 at the end of the file or on failure.
 */
KAVRO_API int kavro_frame_load_raw(int fd, uint16_t *dst, int dst_len, int *dst_w, int *dst_h,
                                   int *dst_dcsn, char *dst_tag, int dst_tag_len);
/** Load one distance frame in metres; returns the values stored (0: end or failure). */
KAVRO_API int kavro_frame_load_distance(int fd, float *dst, int dst_len, int *dst_w, int *dst_h);
/** Load one gray frame; returns the values stored (0: end or failure). */
KAVRO_API int kavro_frame_load_gray(int fd, float *dst, int dst_len, int *dst_w, int *dst_h);

/* ---- recordings -----------------------------------------------------------
 * A recording is a raw frame file R (as kavro_frame_save_raw writes it) and
 * a side file R.info beside it: the camera's identity (product, vendor,
 * serial, sensor, version), modulation frequency, integration time, frame
 * rate, frame format, the lens values and the calibration the frames were
 * decoded with, and per frame its two temperatures, the host's monotonic
 * arrival time and flags. The calibration parameter file in use is copied to
 * R.calib (checked by size and crc32 when replayed). kavro_dev_open_replay
 * reads the side file, so the replay reports the recorded identity and
 * settings and decodes bit-identically to the live frames (same filters,
 * same order). R alone stays an ordinary raw frame file; a recording
 * without R.info replays as before.
 */
typedef struct kavro_rec kavro_rec_t;

/**
 * Start a recording of the open device `dev` at `path` (created or
 * truncated, as are path.info and path.calib). Gathers the identity, the
 * settings and the calibration in use now. The device must stay open until
 * kavro_rec_close(). Returns null (nothing left behind) on failure; errno
 * then holds the cause when a file could not be created.
 */
KAVRO_API kavro_rec_t *kavro_rec_open(kavro_dev_t *dev, const char *path);
/**
 * Append one raw frame as the capture calls deliver it (frame_data holds
 * frame_info.frame_size bytes of 16-bit samples) and its frame line, both
 * flushed to the files. Every frame must have the size of the first. False
 * on a wrong frame or a write error (errno holds the write's cause).
 */
KAVRO_API bool kavro_rec_add(kavro_rec_t *rec, const kavro_frame_t *frame);
/**
 * Finish the recording and free `rec` (null is ignored). False when a write
 * failed (errno holds the cause when it was this call's write).
 */
KAVRO_API bool kavro_rec_close(kavro_rec_t *rec);

/* ---- data and firmware transfer ------------------------------------------
 * Images kept in the device's flash, by image type. The calls block the
 * calling thread for the whole transfer (a firmware image: seconds to
 * minutes); the device must be open and not capturing. Results:
 *   KAVRO_XFER_DONE          the image was transferred (and, for a write,
 *                            the finishing step for its type has run)
 *   KAVRO_XFER_FAILED        wrong parameters, device not open or capturing,
 *                            a file that cannot be read or written, or a
 *                            failed command on the device's control channel
 *   KAVRO_XFER_REFUSED       the device refused the image before any packet
 *                            was sent (announcement not acknowledged, or its
 *                            erase ended in another state); nothing changed
 *   KAVRO_XFER_NACKED        a packet was not acknowledged with the next
 *                            index; the stored image is incomplete
 *   KAVRO_XFER_TX_SHORT      the bulk channel took fewer bytes than a packet
 *   KAVRO_XFER_ERASE_TIMEOUT the device was still erasing after the poll bound
 *   other negative values    the bulk channel's own error code
 * Only KAVRO_XFER_DONE runs the finishing step (device reset and logging
 * switched off for image types 0 and 1, logging off for types 2 and 3).
 */
#define KAVRO_XFER_DONE 1
#define KAVRO_XFER_FAILED (-1)
#define KAVRO_XFER_REFUSED (-100)
#define KAVRO_XFER_NACKED (-101)
#define KAVRO_XFER_TX_SHORT (-102)
#define KAVRO_XFER_ERASE_TIMEOUT (-103)

/**
 * Progress of a transfer, on the calling thread: `done` of `total` image
 * bytes, after each acknowledged packet (write) or each stored piece (read).
 */
typedef void (*kavro_xfer_progress_f)(uint32_t done, uint32_t total, void *arg);

/** Result of a transfer the cancel callback stopped. */
#define KAVRO_XFER_STOPPED (-104)

/**
 * Asked on the calling thread before each packet (write) or piece (read)
 * once an image is under way: true stops the transfer there with
 * KAVRO_XFER_STOPPED. A write stopped so leaves the device's image
 * incomplete (write it again); a read removes its file.
 */
typedef bool (*kavro_xfer_cancel_f)(void *arg);

/**
 * Write the file `file_name` into the open device `dev` as an image of
 * `type` at flash address `addr` (0 for firmware), reporting through
 * `progress` and asking `cancel` (each may be null; both get `arg`).
 * Results as above, and KAVRO_XFER_STOPPED.
 */
KAVRO_API int kavro_dev_data_write(kavro_dev_t *dev, uint8_t type, uint16_t version, uint32_t addr,
                                   const char *file_name, kavro_xfer_progress_f progress,
                                   kavro_xfer_cancel_f cancel, void *arg);
/** Read the device's image of `type` into `file_name` (null: "calib.bin"), as kavro_dev_data_write. */
KAVRO_API int kavro_dev_data_read(kavro_dev_t *dev, uint8_t type, const char *file_name,
                                  kavro_xfer_progress_f progress, kavro_xfer_cancel_f cancel, void *arg);

/** Write the file `name` into the device as an image of `type` at `addr`. */
KAVRO_API int kavro_data_download(kavro_dev_t *dev, char *name, uint8_t type, uint16_t version,
                                  uint32_t addr);
/** Read the device's image of `type` into `file_name` (NULL: "calib.bin"). */
KAVRO_API int kavro_data_upload(kavro_dev_t *dev, uint8_t type, const char *file_name);
/** Write a firmware image file: kavro_data_download at address 0. */
KAVRO_API int kavro_firmware_upgrade(kavro_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *file_name);

/* ---- frame decoding, point clouds, colour maps and filters -------------- */

/**
 * Decode the raw frame src (src_len bytes, described by finfo) into a
 * distance image in metres (0 ... range; rejected or saturated pixels hold
 * exactly KAVRO_DIST_REJECTED (65.3f) and KAVRO_DIST_SATURATED (65.5f)). dst must hold finfo->width * finfo->height floats
 * (dst_len); its second half serves as the decoder's 16-bit buffer. Returns
 * the pixels written, 0 on failure. Any application thread; the device
 * must be open.
 */
KAVRO_API int kavro_frame_get_distance(kavro_dev_t *dev, float *dst, int dst_len, uint8_t *src, int src_len,
                                       const kavro_frame_info_t *finfo);
/** The same for the gray (amplitude) image. */
KAVRO_API int kavro_frame_get_gray(kavro_dev_t *dev, float *dst, int dst_len, uint8_t *src, int src_len,
                                   const kavro_frame_info_t *finfo);
/**
 * Turn the img_w x img_h distance image dist (metres) into points X, Y, Z
 * (3 floats each) in pixel order, leaving out pixels outside 0 < d < 60.
 * Camera coordinates: +X towards higher columns, +Y towards higher rows, +Z
 * along the optical axis; each point is the pixel's distance along the
 * pixel's unit ray.
 * - p_cam_param given: the image is taken as a pinhole view with those
 *   values, the ray of pixel (x, y) being ((x - cx) / fx, (y - cy) / fy, 1)
 *   normalised, and distances are multiplied by scale first. No lens
 *   distortion is applied: give the values of an undistorted image.
 * - p_cam_param null: the rays of the lens the device's driver decodes
 *   with (those kavro_dev_get_intrinsics reports for img_w x img_h), taken
 *   as the driver's images are at the time of the call: with the lens
 *   distortion inverted per pixel while images are not undistorted, the
 *   pinhole of the undistorted view while they are. Pass a distance image
 *   decoded under the same lens switch. The rays are kept per device and
 *   rebuilt when the lens values or the size change; pixels the lens model
 *   gives no ray are left out like rejected pixels.
 * Stops when pcl (pcl_len floats) is full. Returns the points written.
 */
KAVRO_API int kavro_frame_get_pcl(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist, int dist_len,
                                  int img_w, int img_h, const kavro_camera_para_t *p_cam_param);
/**
 * As kavro_frame_get_pcl with 4 floats per point: X, Y, Z and the distance,
 * or with pseudo_color the colour of the library colour map for the
 * distance in mm, as a float of that integer value.
 */
KAVRO_API int kavro_frame_get_pcl_xyzd(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int img_w, int img_h, bool pseudo_color,
                                       const kavro_camera_para_t *p_cam_param);
/**
 * The organised point cloud of the img_w x img_h distance image dist: X, Y,
 * Z of pixel i at pcl[3 i] (pcl must hold 3 x img_w x img_h floats), computed
 * as kavro_frame_get_pcl does (with p_cam_param or the driver's lens), and
 * NaN in all three for a pixel kavro_frame_get_pcl leaves out (outside
 * 0 < d < 60: rejected, saturated, or without a ray). Returns the number of
 * valid points, -1 for wrong parameters (pcl or dist too small, a size <= 0,
 * device not open, no lens values); pcl is then untouched.
 */
KAVRO_API int kavro_frame_get_pcl_organized(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                            int dist_len, int img_w, int img_h,
                                            const kavro_camera_para_t *p_cam_param);
/**
 * Colour-map src (src_len floats, metres) into dst (dst_len bytes) with the
 * library colour map spread over min_val ... max_val. Returns the pixels
 * written; 0 for an unknown outfmt. Not thread-safe: it changes the library
 * colour map's range.
 */
KAVRO_API int kavro_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len,
                               kavro_cmap_outfmt_e outfmt, float min_val, float max_val);
/**
 * Switch a driver filter on with its argument (arg_len is not used) or off.
 * 1 when the driver accepted, 0 when it refused or has no filters, -1 when
 * the device has no driver or is not open.
 */
KAVRO_API int kavro_filter_enable(kavro_dev_t *dev, kavro_filter_id_e fid, kavro_filter_args_u *args,
                                  uint32_t arg_len);
KAVRO_API int kavro_filter_disable(kavro_dev_t *dev, kavro_filter_id_e fid);

/* ---- lens intrinsics ----------------------------------------------------- */

/**
 * The lens model of a device's decoded images at one image size, in the
 * layout of the common pinhole-plus-distortion camera model: camera matrix
 * (fx, 0, cx / 0, fy, cy / 0, 0, 1) and distortion coefficients
 * (k1, k2, p1, p2, k3). Pixel centres are at integer coordinates (column
 * x, row y). A camera-space point (X, Y, Z), Z > 0, is seen at
 *   x' = X / Z, y' = Y / Z, r2 = x'^2 + y'^2,
 *   radial = 1 + k1 r2 + k2 r2^2 + k3 r2^3,
 *   xd = x' radial + 2 p1 x' y' + p2 (r2 + 2 x'^2),
 *   yd = y' radial + p1 (r2 + 2 y'^2) + 2 p2 x' y',
 *   column = fx xd + cx, row = fy yd + cy.
 */
typedef struct {
    int32_t img_w;    /* image size the values belong to */
    int32_t img_h;
    double cx;        /* principal point, pixels */
    double cy;
    double fx;        /* focal lengths, pixels */
    double fy;
    double dist[5];   /* k1, k2, p1, p2, k3; all 0 when undistorted */
    bool undistorted; /* the driver undistorts images of this size: the
                         values are the pinhole of the undistorted view */
} kavro_intrinsics_t;

/**
 * The intrinsics of the images the device's driver decodes at img_w x
 * img_h, as its lens switch (KAVRO_FILTER_ID_LEN_CALIB) stands now: while
 * images are decoded as the sensor sees them, the lens values (from the
 * device's lens file, else the built-in ones) scaled to that size with their
 * distortion; while the driver undistorts images of that size, the pinhole
 * of the undistorted view with zero distortion and `undistorted` set. These
 * are the values kavro_frame_get_pcl uses without caller values. False (out
 * untouched) when the device is not open, out is null, a size is <= 0, the
 * driver has no lens values, or they do not scale to that size (the lens
 * size must be a whole multiple of it). Any application thread.
 */
KAVRO_API bool kavro_dev_get_intrinsics(kavro_dev_t *dev, int img_w, int img_h, kavro_intrinsics_t *out);

KAVRO_END_DECLS

#endif /* KAVRO_H */
