// Arctangent table printer and least-squares line fit.
#include "vx_math_basic.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

extern "C" {

void vx_math_lut_print_arctan2(int lut_num) {
    printf("#define ARCTAN2_LUT_NUM %d\n", lut_num);
    printf("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n");
    if (lut_num <= 0) {
        printf("};\n");
        fflush(stdout);
        return;
    }
    // A table of one entry has the slope 0 / 0; atan2(0, 0) is 0, which is
    // what that degenerate table holds.
    for (int i = 0; i < lut_num; ++i) {
        const double angle = std::atan2(static_cast<double>(i), static_cast<double>(lut_num - 1));
        // std::round rounds half away from zero.
        const auto v = static_cast<uint16_t>(static_cast<int>(std::round(angle * 32768.0 / 6.283185307179586)));
        printf("%u, ", static_cast<unsigned>(v));
        if (i % 16 == 15) printf("\n    ");
    }
    if (lut_num % 16 != 0) printf("\n");
    printf("};\n");
    fflush(stdout);
}

void vx_math_linear_LSR_u16(const uint16_t *x, const uint16_t *y, int cnt, float *slope, float *offset,
                            float *r_square) {
    if (cnt < 1) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        *slope = nan;
        *offset = nan;
        if (r_square) *r_square = nan;
        return;
    }
    // Exact sums: every product of two 16-bit values fits in 32 bits and the
    // sums of up to 2^31 of them in 64 bits.
    int64_t sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int i = 0; i < cnt; ++i) {
        const int64_t xi = x[i], yi = y[i];
        sx += xi;
        sy += yi;
        sxx += static_cast<int64_t>(static_cast<uint32_t>(x[i]) * x[i]);
        sxy += static_cast<int64_t>(static_cast<uint32_t>(x[i]) * y[i]);
    }
    // The products of the sums are formed in 128 bits: for large counts
    // cnt * Sxx and Sxx * Sy no longer fit in 64 bits. Where they do, the
    // integers, and so the floats they convert to, are the same.
    using i128 = __int128;
    const i128 n = cnt;
    const float d = static_cast<float>(n * sxx - static_cast<i128>(sx) * sx);
    const float num_slope = static_cast<float>(n * sxy - static_cast<i128>(sx) * sy);
    const float num_offset = static_cast<float>(static_cast<i128>(sxx) * sy - static_cast<i128>(sx) * sxy);
    const float k = num_slope / d;
    const float b = num_offset / d;
    *slope = k;
    *offset = b;
    if (!r_square) return;

    const float mean = static_cast<float>(sy) / static_cast<float>(cnt);
    float ss_tot = 0.0f, ss_res = 0.0f;
    for (int i = 0; i < cnt; ++i) {
        const float yi = y[i];
        const float dev = yi - mean;
        const float res = yi - (static_cast<float>(x[i]) * k + b);
        ss_tot += dev * dev;
        ss_res += res * res;
    }
    *r_square = 1.0f - ss_res / ss_tot;
}

}  // extern "C"
