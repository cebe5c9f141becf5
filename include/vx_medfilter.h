/*
 * Median filters and depth clean-up filters for 16-bit single-channel images
 * (distance images in millimetres, gray images).
 *
 * Images are row-major arrays of w * h uint16_t without gaps between rows.
 * dst and src must be different buffers of w * h pixels. Window samples that
 * fall outside the image take the value of the nearest edge pixel.
 *
 * None of the filters returns a status: bad sizes are logged at error level
 * ("ERR") and dst is then left untouched. No filter keeps state between
 * calls, so any thread may call them concurrently on different buffers.
 */
#ifndef VX_MEDFILTER_H
#define VX_MEDFILTER_H

#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/* ---- Median filters: a zero pixel is an ordinary value here. ---- */

/** Exact 3x3 median. Needs w >= 2 and h >= 2. */
KAVRO_API void vx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
/** Exact 5x5 median. Needs w >= 2 and h >= 2. */
KAVRO_API void vx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h);
/**
 * Exact k x k median. Kernel sizes 3 and 5 go to the fixed filters above;
 * any other kernel_size must be odd, >= 3 and smaller than both 2 * w and
 * 2 * h. Allocates a window of k * k nodes and a (w + k - 1) * (h + k - 1)
 * grid of node references for the duration of the call; the process exits
 * with status -3 when that memory cannot be had.
 */
KAVRO_API void vx_median2d_u16(uint16_t *dst, const uint16_t *src, int w, int h, int kernel_size);

/* ---- Depth clean-up filters. All need w >= 2 and h >= 2. ----
 *
 * The hole fillers read pixels as signed 16-bit numbers: a pixel is a hole
 * when that value is <= 0, i.e. 0 and every value from 0x8000 up (the
 * driver's markers for rejected and saturated pixels included). Their
 * maxima use the same signed order, so any valid value beats every hole.
 */

/** dst = mean of the 8 neighbours of each pixel (centre excluded), sum >> 3. */
KAVRO_API void vx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
/**
 * dst = src, except that pixels on steep depth edges become 0: a Sobel pair
 * on the quartered 3x3 window gives gx, gy, and a pixel is cleared when
 * gx * gx + gy * gy > (threshold >> 4).
 */
KAVRO_API void vx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t threshold);
/**
 * dst = src, with each hole replaced by the largest (signed) of its 8
 * neighbours. With global_fill non-zero the filter works in place on dst
 * after copying src there, so values filled above and to the left spread
 * right and down within the same call.
 */
KAVRO_API void vx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h, int global_fill);
/** As vx_fhole_u16_k3 over the 24 neighbours of the 5x5 window. src is only read. */
KAVRO_API void vx_fhole_u16_k5(uint16_t *dst, uint16_t *src, int w, int h, int global_fill);
/**
 * dst = src, with holes filled from a nearest valid pixel found by a single
 * top-down, left-to-right distance propagation. Allocates a w * h array of
 * distances for the call; the process exits with status -3 when that
 * memory cannot be had.
 */
KAVRO_API void vx_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int w, int h);

KAVRO_END_DECLS

#endif /* VX_MEDFILTER_H */
