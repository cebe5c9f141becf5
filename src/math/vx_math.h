// Inline integer arctangent and fast square root of the distance
// calculation. Both are pure and may run on any thread.
#pragma once

#include <cstdint>
#include <cstring>

#include "math/vx_math_lut.h"

// Phase of the vector (x, y) in 1/32768 of a full turn, 0 ... 32767:
// (atan2(y, x) + pi) * 32768 / 2pi through the arctangent table. The vector
// is folded into the octant 0 ... 45 degrees (a half turn for y < 0, a
// quarter turn for x <= 0, an eighth for y >= x), so one table lookup of the
// slope y / x finishes it. |x| and |y| must stay below 2^18 (y * 4096 and
// x + y fit in 32 bits); the DCS differences are below 2^13.
static inline int vx_math_atan2_i32(int y, int x) {
    if (y == 0) return x >= 0 ? 16384 : 0;
    int base = 0, alt = 8192;
    if (y < 0) {
        x = -x;
        y = -y;
        alt = 24576;
        base = 16384;
    }
    if (x <= 0) {
        base = alt;
        const int t = x;
        x = y;
        y = -t;
    }
    if (y >= x) {
        base += 4096;
        const int nx = x + y;
        y = y - x;
        x = nx;
    }
    // Here 0 <= y < x, so the index is 0 ... 4095.
    return (base + g_atan2_LUT[(y * 4096) / x] + 16384) & 32767;
}

// Square root of v >= 0 in single precision: a first guess from the bit
// pattern (halved exponent) and two Newton steps, each computed in double
// and rounded to float. Newton steps approach the root from above: the
// result is at most a relative 2e-6 above sqrt(v) for the integers the
// amplitudes use (0 ... 2^23), so its integer part can exceed the exact
// integer square root just below a perfect square. vx_math_sqrtf(0) is a
// tiny positive number whose integer part is 0; no step divides by zero.
static inline float vx_math_sqrtf(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits = bits / 2 + 0x1FBFFB72u;
    float g0;
    std::memcpy(&g0, &bits, sizeof g0);
    const float g1 = static_cast<float>(0.5 * g0 + 0.5 * v / g0);
    return static_cast<float>(0.5 * v / g1 + 0.5 * g1);
}
