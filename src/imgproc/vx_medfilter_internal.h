// Internal entry points of the fixed median filters, one per instruction
// set, so that tests can run every path on the same data and compare.
#pragma once

#include <cstdint>

enum vx_med_isa_e {
    VX_MED_ISA_SCALAR = 0,  // plain C++, one pixel at a time
    VX_MED_ISA_SSE = 1,     // 8 lanes of u16 (baseline x86-64-v2)
    VX_MED_ISA_AVX2 = 2,    // 16 lanes of u16, only where the CPU has AVX2
};

// True when the running CPU can execute the given path.
bool _median2d_isa_supported(vx_med_isa_e isa);
// The path the exported filters use on this CPU.
vx_med_isa_e _median2d_isa_best();

// Unchecked kernels: w >= 2, h >= 2, dst and src distinct buffers of w * h
// pixels, isa supported.
void _median2d_u16_k3_isa(uint16_t *dst, const uint16_t *src, int w, int h, vx_med_isa_e isa);
void _median2d_u16_k5_isa(uint16_t *dst, const uint16_t *src, int w, int h, vx_med_isa_e isa);

// The AVX2 builds of the kernels (vx_medfilter_avx2.cpp).
void _median2d_u16_k3_avx2(uint16_t *dst, const uint16_t *src, int w, int h);
void _median2d_u16_k5_avx2(uint16_t *dst, const uint16_t *src, int w, int h);
