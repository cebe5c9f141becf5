/*
 * Gaussian smoothing of single-channel images (row-major, w columns by h
 * rows, no gap between rows).
 *
 * - vx_gauss2d_u16_k3: fixed 3x3 binomial kernel (1 2 1)^T (1 2 1) / 16 with
 *   edge pixels repeated outside the image and the sum truncated.
 * - vx_gauss2d_iir_*: recursive (IIR) third-order Gaussian of any sigma whose
 *   cost per pixel does not depend on sigma: a forward and a backward pass
 *   along every row, then along every column. The 16-bit variant converts to
 *   float, filters and converts back truncating toward zero.
 *
 * Out of memory in the recursive filters ends the process with status -3.
 * No shared state: calls on different images may run concurrently.
 */
#ifndef VX_GAUSFILTER_H
#define VX_GAUSFILTER_H

#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** 3x3 binomial smoothing; needs w >= 2 and h >= 2 (else logs, dst untouched). dst != src. */
KAVRO_API void vx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
/** Recursive Gaussian of src into dst (dst may equal src); w <= 0 or h <= 0 does nothing. */
KAVRO_API void vx_gauss2d_iir_f32(float *dst, float *src, int w, int h, float sigma);
/** The same for 16-bit images through float; results are truncated toward zero. */
KAVRO_API void vx_gauss2d_iir_u16(uint16_t *dst, uint16_t *src, int w, int h, float sigma);
/** Checks that both images have the same size (height first), then vx_gauss2d_iir_f32. */
KAVRO_API void vxalgo_gauss2d_iir_f32(float *dst, int dst_h, int dst_w, float *src, int src_h, int src_w,
                                      float sigma);
/** Checks that both images have the same size (height first), then vx_gauss2d_iir_u16. */
KAVRO_API void vxalgo_gauss2d_iir_u16(uint16_t *dst, int dst_h, int dst_w, uint16_t *src, int src_h,
                                      int src_w, float sigma);

KAVRO_END_DECLS

#endif /* VX_GAUSFILTER_H */
