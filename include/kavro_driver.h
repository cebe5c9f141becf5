/*
 * libkavro chip driver interface and registry.
 *
 * The camera layer knows nothing about the sensor chip: everything
 * chip-specific sits behind the operations of kavro_drv_op. The
 * registry maps the product string a camera reports to one of the built-in
 * drivers; it is the only place that lists them.
 */
#ifndef KAVRO_DRIVER_H
#define KAVRO_DRIVER_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro.h"
#include "kavro_export.h"
#include "vx_imgproc.h" /* vx_len_param_t */
#include "vx_stream.h"   /* vx_frinfo_t */

KAVRO_BEGIN_DECLS

struct kavro_drv_op;

/**
 * One driver instance. The registry holds one entry per product code; an
 * open device works on its own copy of the entry, so two open cameras of
 * the same product code never share `dev` or `priv_data`.
 */
typedef struct kavro_drv {
    const char *name;               /* human-readable driver name */
    const char *id_str;             /* product (chip) code this entry answers to */
    const struct kavro_drv_op *op;  /* operation table */
    kavro_dev_t *dev;               /* device served; set by init */
    void *priv_data;                /* driver state; allocated by init, freed by uninit */
} kavro_drv_t;

/*
 * The operation table. A null slot means the driver does not provide the
 * operation; the camera layer checks a slot before calling it. No operation
 * blocks on the device for longer than the parameter and register calls it
 * makes; none is called on the transport's event thread.
 */
typedef struct kavro_drv_op {
    /* Bind the instance to `dev` (set drv->dev) and allocate priv_data. Called
     * once at device open; the result is only logged. */
    bool (*init)(kavro_drv_t *drv, kavro_dev_t *dev);
    /* Free everything init and later calls allocated. Called once at close. */
    void (*uninit)(kavro_drv_t *drv);
    /* Describe the frame whose stream header info is src_hdr into *frinfo;
     * false when the frame cannot be described (the caller clears *frinfo). */
    bool (*frame_get_info)(kavro_drv_t *drv, kavro_frame_info_t *frinfo, const vx_frinfo_t *src_hdr);
    /* Turn the raw frame src (src_len bytes, described by src_frinfo) into the
     * image format dst_frfmt in dst (dst_len bytes); bytes written, negative
     * on failure. */
    int (*frame_decode)(kavro_drv_t *drv, void *dst, int dst_len, kavro_frame_fmt_e dst_frfmt,
                        const void *src, int src_len, const kavro_frame_info_t *src_frinfo);
    /* Optional: supply up to fr_cnt frames from the driver itself into
     * fr_data; frames supplied, 0 for none. Only asked when frame_raw_proc is
     * provided. */
    int (*frame_raw_get)(kavro_drv_t *drv, void *fr_data, int fr_cnt, kavro_frame_info_t *fr_info);
    /* Optional: post-process fr_cnt frames just delivered into fr_data;
     * result ignored by the camera layer. */
    int (*frame_raw_proc)(kavro_drv_t *drv, void *fr_data, int fr_cnt, const kavro_frame_info_t *fr_info);
    /* Optional: lens parameters scaled to img_w x img_h into *param; false
     * when none fit that size. */
    bool (*lens_param_get)(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h);
    /* Number of use cases the driver's calibration offers. */
    int (*use_case_get_count)(kavro_drv_t *drv);
    /* Optional: the device accepted a new integration time (second_intg: the
     * HDR one). Must not fail. */
    void (*on_update_intg_time)(kavro_drv_t *drv, uint32_t intg_us, bool second_intg);
    /* Optional: the device accepted a new frame format. */
    void (*on_update_frame_format)(kavro_drv_t *drv, uint32_t frfmt);
    /* Optional: the device accepted a new modulation frequency (Hz). */
    void (*on_update_mod_freq)(kavro_drv_t *drv, uint32_t mod_freq, uint8_t type);
    /* Load calibration data from calib_buf (buf_len bytes) for a use case. */
    int (*calib_load)(kavro_drv_t *drv, void *calib_buf, int buf_len, uint32_t user_case_idx);
    /* Bring the calibration data in; at open it is called with no buffer,
     * length 0 and use case 2. >= 0 success, negative failure (only logged). */
    int (*calib_save)(kavro_drv_t *drv, void *calib_buf, int buf_len, uint32_t user_case_idx);
    /* Apply calibration data to a frame; true on success. */
    bool (*calib_apply)(kavro_drv_t *drv, void *data, int data_len, const kavro_frame_info_t *frinfo,
                        uint32_t user_case_idx);
    /* Optional: switch a filter on with its argument; false when unknown or
     * refused. */
    bool (*filter_enable)(kavro_drv_t *drv, kavro_filter_id_e fid, kavro_filter_args_u *args);
    /* Optional: switch a filter off; false when unknown. */
    bool (*filter_disable)(kavro_drv_t *drv, kavro_filter_id_e fid);
    /* Optional: the lens model of the images frame_decode makes at img_w x
     * img_h into *param: the lens record scaled to that size while images
     * are decoded as the sensor sees them (*undistorted false), or the pinhole
     * of the undistorted view with zero distortion while the driver
     * undistorts images of that size (*undistorted true). False when no lens
     * values fit that size. Any thread. */
    bool (*lens_view_get)(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h, bool *undistorted);
} kavro_drv_op_t;

/** Number of entries in the driver table. */
#define KAVRO_DRIVER_COUNT 4

/** The driver table, in search order. Its entries are templates: see kavro_drv_find. */
extern kavro_drv_t g_kavro_drivers[KAVRO_DRIVER_COUNT];
/** The operation tables of the built-in drivers. */
extern const kavro_drv_op_t g_kavro_driver_op_epc;
extern const kavro_drv_op_t g_kavro_driver_op_ti;

/**
 * Pick the driver for an opened device from its product string
 * "<field>-<chip code>-<field>". Returns the table entry (not a copy), or
 * null when the string has fewer than three '-'-separated fields or no entry
 * lists the chip code. The camera layer binds a per-device copy of the entry,
 * never the entry itself. Any thread.
 */
KAVRO_API kavro_drv_t *kavro_drv_find(kavro_dev_t *dev);

KAVRO_END_DECLS

#endif /* KAVRO_DRIVER_H */
