/*
 * Math helpers: the printer of the arctangent table that the distance
 * calculation reads, and a least-squares line fit of 16-bit samples.
 * Both are pure functions and may run on any thread (the printer writes to
 * standard output, which the C runtime serialises per call).
 */
#ifndef VX_MATH_BASIC_H
#define VX_MATH_BASIC_H

#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/**
 * Print to standard output, as C source text, a table of lut_num entries
 * where entry i = round(atan2(i, lut_num - 1) * 32768 / 2pi): the angle of
 * the slope i / (lut_num - 1) in units of 1/32768 of a full turn. With
 * lut_num 4096 the text is the library's built-in table, 16 values a line.
 * A lut_num of 0 or less prints an empty table.
 */
KAVRO_API void vx_math_lut_print_arctan2(int lut_num);

/**
 * Fit y = slope * x + offset to cnt samples by ordinary least squares.
 * slope and offset are always written; r_square (the coefficient of
 * determination) is written when not NULL. With cnt < 1 all three are NaN;
 * when every x is equal the divisions by zero give NaN or infinity.
 */
KAVRO_API void vx_math_linear_LSR_u16(const uint16_t *x, const uint16_t *y, int cnt, float *slope,
                                      float *offset, float *r_square);

KAVRO_END_DECLS

#endif /* VX_MATH_BASIC_H */
