/*
 * Lens undistortion by a precomputed per-pixel lookup.
 *
 * From a set of lens parameters the library builds, once, an index map that
 * tells for every pixel of the corrected image which raw pixel it shows
 * (nearest neighbour), or that it shows none. Applying the map to a frame is
 * then one table lookup per pixel. The corrected view is widened just enough
 * that every raw pixel stays inside it; the rectangle in which every corrected
 * pixel has a source is kept as the valid region.
 *
 * Lifecycle: a vx_len_calib_t starts zeroed (no map). vx_calib_len_init_map
 * builds a map into it, vx_calib_len_update_map rebuilds it from new
 * parameters, vx_calib_len_uninit_map releases it.
 *
 * Threads: no locking. A built map is only read, so any number of threads may
 * apply it at once; rebuilding or releasing it while another thread applies
 * it is the caller's to prevent.
 */
#ifndef VX_IMGPROC_H
#define VX_IMGPROC_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/**
 * Lens intrinsics and distortion for one image size. This is the one
 * definition of the record; the driver interface reuses it.
 */
typedef struct {
    double cx;        /* principal point, pixels */
    double cy;
    double fx;        /* focal lengths, pixels */
    double fy;
    double dcoeff[5]; /* distortion k1, k2, p1, p2, k3 (k radial, p tangential) */
    int img_w;        /* image size these values belong to */
    int img_h;
} vx_len_param_t;

/** Map entry of a corrected pixel that shows no raw pixel. */
#define VX_LEN_MAP_NO_SOURCE 0xFFFFFFFFu

/** Correction map. Owned by the caller; mapi is owned by the record. */
typedef struct {
    uint32_t *mapi; /* img_w*img_h raw pixel indices (y*img_w + x), row-major
                       over the corrected image, or VX_LEN_MAP_NO_SOURCE */
    int mapsz;      /* number of entries, img_w*img_h */
    int img_w;      /* image size the map was built for */
    int img_h;
    int roi[4];     /* valid region of the corrected image: x, y, width, height */
    bool init_flag; /* true while mapi holds a built map */
} vx_len_calib_t;

/**
 * Build the map, valid region and size in h from len_param and set
 * init_flag. Returns img_w*img_h. Does not release a map that h already
 * holds: use vx_calib_len_update_map to change parameters. Returns 0 and
 * leaves h untouched for an unusable parameter set (null pointers, a size
 * <= 0 or too large, a zero or non-finite focal length, non-finite values)
 * or when memory cannot be had.
 */
KAVRO_API int vx_calib_len_init_map(vx_len_calib_t *h, const vx_len_param_t *len_param);

/** Release the map if h holds one (init_flag set); otherwise do nothing. */
KAVRO_API void vx_calib_len_uninit_map(vx_len_calib_t *h);

/** vx_calib_len_uninit_map then vx_calib_len_init_map; returns the latter's result. */
KAVRO_API int vx_calib_len_update_map(vx_len_calib_t *h, const vx_len_param_t *len_param);

/**
 * Apply the map to a 16-bit image: for the first min(dst_len, img_w*img_h)
 * pixels, dst[i] = src[mapi[i]], or val_for_hole where the pixel has no
 * source; nothing beyond is written. src must be src_w x src_h pixels and
 * match the map's size, else false is returned and dst is untouched; false
 * also for a record without a map or null images.
 */
KAVRO_API bool vx_calib_len_undistort_u16(vx_len_calib_t *h, uint16_t *dst, int dst_len, uint16_t *src,
                                          int src_w, int src_h, uint16_t val_for_hole);

/** The same as vx_calib_len_undistort_u16 for float images. */
KAVRO_API bool vx_calib_len_undistort_f32(vx_len_calib_t *h, float *dst, int dst_len, float *src, int src_w,
                                          int src_h, float val_for_hole);

KAVRO_END_DECLS

#endif /* VX_IMGPROC_H */
