/*
 * Element-wise pixel format conversions between 16-bit images, float images
 * and 8/32-bit buffers. Each call converts cnt consecutive elements; element
 * i of dst is computed from element i of src only. A cnt of 0 or less writes
 * nothing.
 *
 * Float to integer: the product src[i] * scale is formed in single precision
 * and truncated toward zero to a 32-bit signed integer (no rounding, no
 * clamping); 8- and 16-bit destinations keep the low bits of that integer.
 * A product outside the 32-bit signed range, or NaN, becomes 0x80000000,
 * whose low 8 and 16 bits are 0.
 *
 * Buffers: the conversions run front to back and read each group of source
 * elements before writing the matching destination elements, so
 *  - vx_conv_u16_u8 and vx_conv_f32_u8 may convert in place (dst == src) or
 *    between any overlapping buffers whose dst starts at or before src;
 *  - vx_conv_u16_u32 and vx_conv_u16_f32 may widen 16-bit data that sits in
 *    the second half of the destination buffer into that buffer
 *    (src == (uint16_t *)dst + cnt);
 *  other overlaps are not supported.
 *
 * All calls are pure functions of their arguments and may run on any thread.
 */
#ifndef VX_CONV_H
#define VX_CONV_H

#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** dst[i] = low 8 bits of (src[i] >> shr_bit); shr_bit 16...31 gives 0. */
KAVRO_API void vx_conv_u16_u8(uint8_t *dst, const uint16_t *src, int cnt, uint8_t shr_bit);
/** dst[i] = (float)src[i] * scale, one single-precision multiplication. */
KAVRO_API void vx_conv_u16_f32(float *dst, const uint16_t *src, int cnt, float scale);
/** dst[i] = src[i] * scale as an unsigned 32-bit product (cannot overflow). */
KAVRO_API void vx_conv_u16_u32(uint32_t *dst, const uint16_t *src, int cnt, uint16_t scale);
/** dst[i] = low 8 bits of trunc(src[i] * scale). */
KAVRO_API void vx_conv_f32_u8(uint8_t *dst, const float *src, int cnt, float scale);
/** dst[i] = low 16 bits of trunc(src[i] * scale); 70000.0 gives 4464. */
KAVRO_API void vx_conv_f32_u16(uint16_t *dst, const float *src, int cnt, float scale);
/**
 * dst[i] = low 16 bits of trunc(src[i] * scale), widened to 32 bits: the same
 * reduction as vx_conv_f32_u16, so 70000.0 gives 4464.
 */
KAVRO_API void vx_conv_f32_u32(uint32_t *dst, const float *src, int cnt, float scale);

KAVRO_END_DECLS

#endif /* VX_CONV_H */
