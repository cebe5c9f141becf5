#include "sim_decode.h"

#include <cmath>
#include <cstring>

namespace sim_decode {

namespace {

struct atan_lut {
    int v[4096];
    atan_lut()
    {
        for (int i = 0; i < 4096; ++i)
            v[i] = (int)std::lround(std::atan2((double)i, 4095.0) * 32768.0 / (2 * M_PI));
    }
};
const atan_lut g_lut;

float fast_sqrtf(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    bits = bits / 2 + 0x1FBFFB72u;
    float g0;
    std::memcpy(&g0, &bits, 4);
    float g1 = (float)(0.5 * g0 + 0.5 * v / g0);
    return (float)(0.5 * v / g1 + 0.5 * g1);
}

uint16_t amplitude(int x, int y)
{
    return (uint16_t)fast_sqrtf((float)((x * x + y * y) >> 2));
}

}  // namespace

int atan_lut_entry(int i) { return g_lut.v[i]; }

int atan2_i32(int y, int x)
{
    if (y == 0)
        return x >= 0 ? 16384 : 0;
    int base = 0, alt = 8192;
    if (y < 0) {
        x = -x;
        y = -y;
        alt = 24576;
        base = 16384;
    }
    if (x <= 0) {
        base = alt;
        int t = x;
        x = y;
        y = -t;
    }
    if (y >= x) {
        base += 4096;
        int nx = x + y, ny = y - x;
        x = nx;
        y = ny;
    }
    return (base + g_lut.v[(y * 4096) / x] + 16384) & 32767;
}

uint32_t range_mm(uint32_t mod_freq) { return (uint32_t)(149896216576.0f / (float)mod_freq); }

void decode(const std::vector<uint16_t>& raw, int w, int h, int n_dcs, const params& p,
            std::vector<uint16_t>* dist, std::vector<uint16_t>* gray)
{
    const int n = w * h;
    const int dmax = (int)range_mm(p.mod_freq);
    float c = roundf((float)(((float)p.temp_cb * p.tcoef_cb_mm / 10) +
                             ((float)p.temp_ib * p.tcoef_ib_mm) / 10));
    const int offset = p.offset_mm - (int)c;
    std::vector<uint16_t> d(n), g(n);
    for (int i = 0; i < n; ++i) {
        int s[4];
        int cnt;
        int x, y;
        if (n_dcs == 1) {
            int row = i / w, col = i % w;
            int pair = row / 2;
            int prow = row + 2 < h ? row + 2 : row - 2;  // partner pair
            int a = raw[i] & 0xFFF, b = raw[prow * w + col] & 0xFFF;
            int sx = (pair % 2 == 0) ? a : b, sy = (pair % 2 == 0) ? b : a;
            s[0] = sx;
            s[1] = sy;
            cnt = 2;
            x = 2048 - sx;
            y = 2048 - sy;
        } else {
            cnt = n_dcs == 4 ? 4 : 2;
            for (int k = 0; k < cnt; ++k)
                s[k] = raw[(size_t)k * n + i] & 0xFFF;
            if (cnt == 4) {
                x = s[2] - s[0];
                y = s[3] - s[1];
            } else {
                x = 2048 - s[0];
                y = 2048 - s[1];
            }
        }
        int lo = 4095, hi = 0;
        for (int k = 0; k < cnt; ++k) {
            lo = s[k] < lo ? s[k] : lo;
            hi = s[k] > hi ? s[k] : hi;
        }
        if (lo == 0 || hi == 4095) {
            g[i] = 0;
            d[i] = 65500;
            continue;
        }
        g[i] = amplitude(x, y);
        int phase = atan2_i32(y, x);
        int v = offset + (p.scale * ((phase * dmax) / 32768)) / 1000;
        if (v < 0)
            v += dmax;
        else if (v > dmax)
            v -= dmax;
        d[i] = (uint16_t)v;
    }
    *dist = dcs_sort(d, w, h);
    if (gray)
        *gray = dcs_sort(g, w, h);
}

std::vector<uint16_t> dcs_sort(const std::vector<uint16_t>& src, int w, int h)
{
    std::vector<uint16_t> dst(src.size());
    for (int k = 0; k < h / 2; ++k) {
        std::memcpy(&dst[(size_t)(h / 2 - 1 - k) * w], &src[(size_t)(2 * k) * w], w * 2);
        std::memcpy(&dst[(size_t)(h / 2 + k) * w], &src[(size_t)(2 * k + 1) * w], w * 2);
    }
    return dst;
}

}  // namespace sim_decode
