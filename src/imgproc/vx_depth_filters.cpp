// Depth clean-up filters: box average, flying-pixel removal and three hole
// fillers for 16-bit distance images. Window positions outside the image
// are clamped to the nearest edge pixel.
//
// The flying-pixel filter and the hole filler without global fill run on
// the decoder's every frame: their inner columns go eight pixels at a time
// with SSE4.1 (the build's baseline), the border columns through the same
// per-pixel functions as before; both give the same result bit for bit.
#include <smmintrin.h>

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


// ---- flying pixels -------------------------------------------------------------
// One pixel x of a row: t, m, b are the clamped rows above, at and below.
inline void flypix_px(uint16_t *d, const uint16_t *t, const uint16_t *m, const uint16_t *b, int x, int w,
                      uint32_t limit) {
    const int l = x > 0 ? x - 1 : 0;
    const int r = x + 1 < w ? x + 1 : w - 1;
    // Quarter each sample first (a Sobel pair on the quartered window).
    const int32_t tl = t[l] >> 2, tc = t[x] >> 2, tr = t[r] >> 2;
    const int32_t ml = m[l] >> 2, mr = m[r] >> 2;
    const int32_t bl = b[l] >> 2, bc = b[x] >> 2, br = b[r] >> 2;
    const int32_t gx = tr + br + 2 * (mr - ml) - tl - bl;
    const int32_t gy = bl + br + 2 * (bc - tc) - tl - tr;
    // |gx|, |gy| <= 65532, so each square fits 32 bits but their sum may
    // not: add in 64 bits so a steep edge never wraps to a small energy.
    const uint64_t e = static_cast<uint64_t>(static_cast<int64_t>(gx) * gx) +
                       static_cast<uint64_t>(static_cast<int64_t>(gy) * gy);
    d[x] = e > limit ? 0 : m[x];
}

inline __m128i ld8(const uint16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m128i q8(const uint16_t *p) { return _mm_srli_epi16(ld8(p), 2); }

// Pixels x ... x + 7 of a row, all with both horizontal neighbours inside
// the row. The quartered samples fit 14 bits, so each difference of two and
// the sum of two differences are exact in i16 lanes; the last addition
// saturates, which keeps every |g| >= 2^14 at or above 2^14. Such a pixel
// has an energy of at least 2^28, above any limit (threshold >> 4 < 2^28),
// and is cleared whatever the other gradient; the others have |g| < 2^14
// and their exact energy, below 2^29, comes from one i16 multiply-add.
inline void flypix_x8(uint16_t *d, const uint16_t *t, const uint16_t *m, const uint16_t *b, int x,
                      uint32_t limit) {
    const __m128i tl = q8(t + x - 1), tc = q8(t + x), tr = q8(t + x + 1);
    const __m128i ml = q8(m + x - 1), mr = q8(m + x + 1);
    const __m128i bl = q8(b + x - 1), bc = q8(b + x), br = q8(b + x + 1);
    const __m128i dm = _mm_sub_epi16(mr, ml), dc = _mm_sub_epi16(bc, tc);
    const __m128i gx = _mm_adds_epi16(_mm_add_epi16(_mm_sub_epi16(tr, tl), _mm_sub_epi16(br, bl)), _mm_add_epi16(dm, dm));
    const __m128i gy = _mm_adds_epi16(_mm_add_epi16(_mm_sub_epi16(bl, tl), _mm_sub_epi16(br, tr)), _mm_add_epi16(dc, dc));
    const __m128i hi = _mm_set1_epi16(16383), lo = _mm_set1_epi16(-16383);
    const __m128i big = _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(gx, hi), _mm_cmpgt_epi16(lo, gx)),
                                     _mm_or_si128(_mm_cmpgt_epi16(gy, hi), _mm_cmpgt_epi16(lo, gy)));
    const __m128i cx = _mm_min_epi16(_mm_max_epi16(gx, lo), hi), cy = _mm_min_epi16(_mm_max_epi16(gy, lo), hi);
    const __m128i p0 = _mm_unpacklo_epi16(cx, cy), p1 = _mm_unpackhi_epi16(cx, cy);
    const __m128i lim = _mm_set1_epi32(static_cast<int32_t>(limit));
    const __m128i over = _mm_packs_epi32(_mm_cmpgt_epi32(_mm_madd_epi16(p0, p0), lim),
                                         _mm_cmpgt_epi32(_mm_madd_epi16(p1, p1), lim));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + x), _mm_andnot_si128(_mm_or_si128(over, big), ld8(m + x)));
}

// ---- hole filling ----------------------------------------------------------------
// Without global fill every output depends on src alone: the inner columns
// of a row take eight pixels at a time, the centre where it is valid, else
// the signed maximum of its eight neighbours.
void fill_holes_k3_local(uint16_t *out, const uint16_t *in, int w, int h) {
    for (int y = 0; y < h; ++y) {
        const uint16_t *t = in + at(0, clampi(y - 1, 0, h - 1), w);
        const uint16_t *m = in + at(0, y, w);
        const uint16_t *b = in + at(0, clampi(y + 1, 0, h - 1), w);
        uint16_t *o = out + at(0, y, w);
        auto px = [&](int x) {
            if (sval(m[x]) > 0) {
                o[x] = m[x];
                return;
            }
            const int l = x > 0 ? x - 1 : 0;
            const int r = x + 1 < w ? x + 1 : w - 1;
            int16_t best = sval(t[l]);
            for (int16_t v : {sval(t[x]), sval(t[r]), sval(m[l]), sval(m[r]), sval(b[l]), sval(b[x]), sval(b[r])})
                best = v > best ? v : best;
            o[x] = static_cast<uint16_t>(best);
        };
        px(0);
        int x = 1;
        for (; x + 8 <= w - 1; x += 8) {
            const __m128i c = ld8(m + x);
            __m128i best = _mm_max_epi16(_mm_max_epi16(ld8(t + x - 1), ld8(t + x)), ld8(t + x + 1));
            best = _mm_max_epi16(best, _mm_max_epi16(ld8(m + x - 1), ld8(m + x + 1)));
            best = _mm_max_epi16(best, _mm_max_epi16(_mm_max_epi16(ld8(b + x - 1), ld8(b + x)), ld8(b + x + 1)));
            const __m128i valid = _mm_cmpgt_epi16(c, _mm_setzero_si128());
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + x), _mm_blendv_epi8(best, c, valid));
        }
        for (; x < w; ++x) px(x);
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
    const uint32_t limit = threshold >> 4;
    for (int y = 0; y < h; ++y) {
        const uint16_t *t = src + at(0, clampi(y - 1, 0, h - 1), w);
        const uint16_t *m = src + at(0, y, w);
        const uint16_t *b = src + at(0, clampi(y + 1, 0, h - 1), w);
        uint16_t *d = dst + at(0, y, w);
        flypix_px(d, t, m, b, 0, w, limit);
        int x = 1;
        for (; x + 8 <= w - 1; x += 8) flypix_x8(d, t, m, b, x, limit);
        for (; x < w; ++x) flypix_px(d, t, m, b, x, w, limit);
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
        fill_holes_k3_local(dst, src, w, h);
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
