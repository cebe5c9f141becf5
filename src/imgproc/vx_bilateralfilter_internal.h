// Internal passes of the recursive bilateral filter, reachable by the tests.
#pragma once

#include <cstdint>

#include "vx_bilateralfilter.h"

// Row pass: fills bpf->img_a and bpf->fac_a from src, eight rows at a time,
// the rows left over two at a time.
void _bpf2d_horizontal(vx_bpf2d_iir_t *bpf, const uint16_t *src);
// Column pass: four columns at a time with vectors, the last w mod 4 columns
// one at a time; writes bpf->dst.
void _bpf2d_vertical(vx_bpf2d_iir_t *bpf, const uint16_t *src);
// Columns x_begin ... x_end - 1 (x_end - x_begin a multiple of 4), sixteen
// at a time, the rest four at a time.
void _bpf2d_vertical_simd(vx_bpf2d_iir_t *bpf, const uint16_t *src, int x_begin, int x_end);
// Columns x_begin ... x_end - 1, one at a time; same values as the vector path.
void _bpf2d_vertical_norm(vx_bpf2d_iir_t *bpf, const uint16_t *src, int x_begin, int x_end);
