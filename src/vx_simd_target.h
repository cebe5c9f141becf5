// Compile a region of code for AVX2 without raising the baseline of the
// whole file. Code inside the region may only run after a run-time CPU check
// (__builtin_cpu_supports("avx2")). GCC and clang spell this differently.
#pragma once

#if defined(__clang__)
#define VX_TARGET_AVX2_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define VX_TARGET_AVX2_END _Pragma("clang attribute pop")
#else
#define VX_TARGET_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define VX_TARGET_AVX2_END _Pragma("GCC pop_options")
#endif
