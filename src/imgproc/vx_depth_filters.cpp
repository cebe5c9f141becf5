// Depth clean-up filters: box average, flying-pixel removal and three hole
// fillers for 16-bit distance images. Window positions outside the image
// are clamped to the nearest edge pixel.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "vx_log_internal.h"
#include "vx_medfilter.h"

namespace {

inline int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline size_t at(int x, int y, int w) {
    return static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
}

// Hole fillers compare pixels as signed 16-bit numbers: 0 and every value
// from 0x8000 up are holes, and any valid value beats every hole.
inline int16_t sval(uint16_t v) { return static_cast<int16_t>(v); }

// One pass of the fixed-window hole filler. in and out may be the same
// buffer (global fill): then values written above and to the left are seen
// by later pixels.
void fill_holes(uint16_t *out, const uint16_t *in, int w, int h, int pad) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint16_t c = in[at(x, y, w)];
            if (sval(c) > 0) {
                out[at(x, y, w)] = c;
                continue;
            }
            int16_t best = INT16_MIN;
            bool any = false;
            for (int dy = -pad; dy <= pad; ++dy) {
                const int yy = clampi(y + dy, 0, h - 1);
                for (int dx = -pad; dx <= pad; ++dx) {
                    if (dx == 0 && dy == 0) continue;
                    const int16_t v = sval(in[at(clampi(x + dx, 0, w - 1), yy, w)]);
                    if (!any || v > best) best = v;
                    any = true;
                }
            }
            out[at(x, y, w)] = static_cast<uint16_t>(best);
        }
    }
}

}  // namespace

extern "C" {

void vx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    for (int y = 0; y < h; ++y) {
        const uint16_t *t = src + at(0, clampi(y - 1, 0, h - 1), w);
        const uint16_t *m = src + at(0, y, w);
        const uint16_t *b = src + at(0, clampi(y + 1, 0, h - 1), w);
        for (int x = 0; x < w; ++x) {
            const int l = x > 0 ? x - 1 : 0;
            const int r = x + 1 < w ? x + 1 : w - 1;
            const uint32_t sum = uint32_t{t[l]} + t[x] + t[r] + m[l] + m[r] + b[l] + b[x] + b[r];
            dst[at(x, y, w)] = static_cast<uint16_t>(sum >> 3);
        }
    }
}

void vx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t threshold) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    const uint64_t limit = threshold >> 4;
    for (int y = 0; y < h; ++y) {
        const uint16_t *t = src + at(0, clampi(y - 1, 0, h - 1), w);
        const uint16_t *m = src + at(0, y, w);
        const uint16_t *b = src + at(0, clampi(y + 1, 0, h - 1), w);
        for (int x = 0; x < w; ++x) {
            const int l = x > 0 ? x - 1 : 0;
            const int r = x + 1 < w ? x + 1 : w - 1;
            // Quarter each sample first (a Sobel pair on the quartered window).
            const int32_t tl = t[l] >> 2, tc = t[x] >> 2, tr = t[r] >> 2;
            const int32_t ml = m[l] >> 2, mr = m[r] >> 2;
            const int32_t bl = b[l] >> 2, bc = b[x] >> 2, br = b[r] >> 2;
            const int32_t gx = tr + br + 2 * (mr - ml) - tl - bl;
            const int32_t gy = bl + br + 2 * (bc - tc) - tl - tr;
            // |gx|, |gy| <= 65532, so each square fits 32 bits but their sum
            // may not: add in 64 bits so a steep edge never wraps to a small
            // energy.
            const uint64_t e = static_cast<uint64_t>(static_cast<int64_t>(gx) * gx) +
                               static_cast<uint64_t>(static_cast<int64_t>(gy) * gy);
            dst[at(x, y, w)] = e > limit ? 0 : m[x];
        }
    }
}

void vx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h, int global_fill) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    if (global_fill) {
        memcpy(dst, src, static_cast<size_t>(w) * static_cast<size_t>(h) * sizeof *dst);
        fill_holes(dst, dst, w, h, 1);
    } else {
        fill_holes(dst, src, w, h, 1);
    }
}

void vx_fhole_u16_k5(uint16_t *dst, uint16_t *src, int w, int h, int global_fill) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    if (global_fill) {
        memcpy(dst, src, static_cast<size_t>(w) * static_cast<size_t>(h) * sizeof *dst);
        fill_holes(dst, dst, w, h, 2);
    } else {
        fill_holes(dst, src, w, h, 2);
    }
}

void vx_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    memcpy(dst, src, n * sizeof *dst);
    std::unique_ptr<uint16_t[]> dist(new (std::nothrow) uint16_t[n]);
    if (!dist) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }
    constexpr uint16_t UNREACHED = 999;
    for (size_t i = 0; i < n; ++i) dist[i] = sval(dst[i]) > 0 ? 1 : UNREACHED;

    // Neighbour order decides ties: upper diagonals, horizontal pair, lower
    // diagonals, then straight above and below.
    static constexpr int OFF[8][2] = {{-1, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {1, 1}, {0, -1}, {0, 1}};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (dist[at(x, y, w)] != UNREACHED) continue;
            size_t best = 0;
            int best_d = 0x10000;
            int step = 0;
            for (const auto &o : OFF) {
                const int nx = clampi(x + o[0], 0, w - 1);
                const int ny = clampi(y + o[1], 0, h - 1);
                const size_t ni = at(nx, ny, w);
                if (dist[ni] < best_d) {
                    best_d = dist[ni];
                    best = ni;
                    step = abs(ny - y) + abs(nx - x);
                }
            }
            dst[at(x, y, w)] = dst[best];
            // Saturate rather than wrap on very large images.
            const int d = best_d + step;
            dist[at(x, y, w)] = static_cast<uint16_t>(d > 0xFFFF ? 0xFFFF : d);
        }
    }
}

}  // extern "C"
