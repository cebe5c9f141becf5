// Recursive bilateral filter: a causal and an anti-causal first-order
// recursion along every row, then along every column, whose step weights
// fall off with the raw value difference between neighbours (range table)
// times a fixed spatial decay. The filter normalises by running the same
// recursions on a constant 1, so the result is a weighted average of inputs.
//
// All weights come from the raw input, all arithmetic is single precision
// and the vector paths perform exactly the scalar operations lane by lane
// (no fused multiply-add on the baseline target), so every path gives the
// same bits.
#include "vx_bilateralfilter.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "imgproc/vx_bilateralfilter_internal.h"
#include "vx_log_internal.h"

namespace {

float *alloc_floats(size_t n) { return static_cast<float *>(malloc(sizeof(float) * std::max<size_t>(n, 1))); }

// Range table index of the difference between two raw values: the absolute
// difference clamped to [range_min, range_max], counted from range_min.
inline int range_index(int a, int b, int rmin, int rmax) {
    const int d = std::abs(a - b);
    return std::max(std::min(d, rmax), rmin) - rmin;
}

inline float step_weight(const float *table, int a, int b, int rmin, int rmax, float alpha) {
    return table[range_index(a, b, rmin, rmax)] * alpha;
}

// Step weights between src[y][x] and src[y+1][x] for four columns.
inline __m128 column_weights4(const float *table, const uint16_t *row0, const uint16_t *row1,
                              __m128i rmin, __m128i rmax, __m128 alpha) {
    const __m128i a = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row0)));
    const __m128i b = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row1)));
    __m128i d = _mm_abs_epi32(_mm_sub_epi32(a, b));
    d = _mm_sub_epi32(_mm_max_epi32(_mm_min_epi32(d, rmax), rmin), rmin);
    alignas(16) int32_t idx[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(idx), d);
    const __m128 w = _mm_setr_ps(table[idx[0]], table[idx[1]], table[idx[2]], table[idx[3]]);
    return _mm_mul_ps(w, alpha);
}

// Truncate four floats toward zero and store the low 16 bits of each.
inline void store_trunc_u16x4(uint16_t *dst, __m128 v) {
    const __m128i i32 = _mm_cvttps_epi32(v);
    const __m128i low16 = _mm_shuffle_epi8(i32, _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1,
                                                                -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst), low16);
}

inline uint16_t trunc_u16(float v) { return static_cast<uint16_t>(static_cast<int32_t>(v)); }

}  // namespace

// Two rows r0 and r1 share one vector (Y0, Y1, F0, F1): responses and
// normalisation factors of both rows advance with one multiply and one add
// per step. With r0 == r1 (lone last row) both halves compute the same row.
static void bpf2d_row_pair(vx_bpf2d_iir_t *bpf, const uint16_t *src, int r0, int r1) {
    const int w = bpf->w;
    const int rmin = static_cast<int>(bpf->range_min);
    const int rmax = static_cast<int>(bpf->range_max);
    const float *table = bpf->range_table;
    const float alpha = bpf->alpha_w;
    const float k = 1.0f - alpha;
    const uint16_t *i0 = src + static_cast<size_t>(r0) * w;
    const uint16_t *i1 = src + static_cast<size_t>(r1) * w;
    float *causal = bpf->lbuf[0];
    float *sum = bpf->lbuf[2];
    float *wts = bpf->lbuf[4];

    for (int x = 0; x + 1 < w; ++x) {
        const float s0 = step_weight(table, i0[x], i0[x + 1], rmin, rmax, alpha);
        const float s1 = step_weight(table, i1[x], i1[x + 1], rmin, rmax, alpha);
        _mm_store_ps(wts + 4 * x, _mm_setr_ps(s0, s1, s0, s1));
    }
    auto input = [&](int x) {
        return _mm_setr_ps(k * static_cast<float>(i0[x]), k * static_cast<float>(i1[x]), k, k);
    };

    __m128 y = _mm_setr_ps(static_cast<float>(i0[0]), static_cast<float>(i1[0]), 1.0f, 1.0f);
    _mm_store_ps(causal, y);
    for (int x = 1; x < w; ++x) {
        y = _mm_add_ps(_mm_mul_ps(_mm_load_ps(wts + 4 * (x - 1)), y), input(x));
        _mm_store_ps(causal + 4 * x, y);
    }
    __m128 z = _mm_setr_ps(static_cast<float>(i0[w - 1]), static_cast<float>(i1[w - 1]), 1.0f, 1.0f);
    _mm_store_ps(sum + 4 * (w - 1), _mm_add_ps(_mm_load_ps(causal + 4 * (w - 1)), z));
    for (int x = w - 2; x >= 0; --x) {
        z = _mm_add_ps(_mm_mul_ps(_mm_load_ps(wts + 4 * x), z), input(x));
        _mm_store_ps(sum + 4 * x, _mm_add_ps(_mm_load_ps(causal + 4 * x), z));
    }

    float *a0 = bpf->img_a + static_cast<size_t>(r0) * w;
    float *a1 = bpf->img_a + static_cast<size_t>(r1) * w;
    float *f0 = bpf->fac_a + static_cast<size_t>(r0) * w;
    float *f1 = bpf->fac_a + static_cast<size_t>(r1) * w;
    for (int x = 0; x < w; ++x) {
        a0[x] = sum[4 * x];
        a1[x] = sum[4 * x + 1];
        f0[x] = sum[4 * x + 2];
        f1[x] = sum[4 * x + 3];
    }
}

// Transposes eight rows of eight u16 samples: column j of the block (rows
// 0 ... 7) ends up in c[j].
static inline void transpose8x8_u16(const __m128i a[8], __m128i c[8]) {
    __m128i t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm_unpacklo_epi16(a[2 * i], a[2 * i + 1]);
        t[2 * i + 1] = _mm_unpackhi_epi16(a[2 * i], a[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
        u[4 * i + 0] = _mm_unpacklo_epi32(t[4 * i + 0], t[4 * i + 2]);
        u[4 * i + 1] = _mm_unpackhi_epi32(t[4 * i + 0], t[4 * i + 2]);
        u[4 * i + 2] = _mm_unpacklo_epi32(t[4 * i + 1], t[4 * i + 3]);
        u[4 * i + 3] = _mm_unpackhi_epi32(t[4 * i + 1], t[4 * i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        c[2 * i] = _mm_unpacklo_epi64(u[i], u[4 + i]);
        c[2 * i + 1] = _mm_unpackhi_epi64(u[i], u[4 + i]);
    }
}

// Eight rows r ... r + 7 at once. A row's recursions are a chain of
// dependent multiply-adds; eight rows give four independent chains (the
// responses and the factors of rows 0-3 and 4-7), so the steps of one row
// overlap with those of the others instead of waiting for the previous
// step. Each lane does the operations of the two-row path, so the values
// are the same. Line buffers, eight floats per column: lbuf[1] the samples
// as floats, lbuf[4] the step weights, lbuf[0] the causal responses (first
// 8 w floats) and factors (next 8 w), then the sums.
static void bpf2d_rows8(vx_bpf2d_iir_t *bpf, const uint16_t *src, int r) {
    const int w = bpf->w;
    const float *table = bpf->range_table;
    const __m128 kv = _mm_set1_ps(1.0f - bpf->alpha_w);
    const __m128 alpha = _mm_set1_ps(bpf->alpha_w);
    const __m128 rminf = _mm_set1_ps(bpf->range_min), rmaxf = _mm_set1_ps(bpf->range_max);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 sign = _mm_set1_ps(-0.0f);
    float *yc = bpf->lbuf[0];
    float *fc = bpf->lbuf[0] + static_cast<size_t>(8) * w;
    float *iv = bpf->lbuf[1];
    float *wt = bpf->lbuf[4];
    const uint16_t *row[8];
    for (int j = 0; j < 8; ++j) row[j] = src + static_cast<size_t>(r + j) * w;

    // Samples, column by column.
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        __m128i a[8], c[8];
        for (int j = 0; j < 8; ++j) a[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row[j] + x));
        transpose8x8_u16(a, c);
        for (int j = 0; j < 8; ++j) {
            float *o = iv + 8 * static_cast<size_t>(x + j);
            _mm_store_ps(o, _mm_cvtepi32_ps(_mm_cvtepu16_epi32(c[j])));
            _mm_store_ps(o + 4, _mm_cvtepi32_ps(_mm_cvtepu16_epi32(_mm_srli_si128(c[j], 8))));
        }
    }
    for (; x < w; ++x)
        for (int j = 0; j < 8; ++j) iv[8 * static_cast<size_t>(x) + j] = static_cast<float>(row[j][x]);

    // Step weights between columns x and x + 1: the difference of two
    // integers below 2^16 is exact in float, so the clamp and the table
    // index are those of the integer rule.
    for (x = 0; x + 1 < w; ++x) {
        const float *i0 = iv + 8 * static_cast<size_t>(x);
        alignas(16) int32_t idx[8];
        for (int h = 0; h < 2; ++h) {
            __m128 d = _mm_andnot_ps(sign, _mm_sub_ps(_mm_load_ps(i0 + 4 * h), _mm_load_ps(i0 + 8 + 4 * h)));
            d = _mm_sub_ps(_mm_max_ps(_mm_min_ps(d, rmaxf), rminf), rminf);
            _mm_store_si128(reinterpret_cast<__m128i *>(idx + 4 * h), _mm_cvttps_epi32(d));
        }
        float *o = wt + 8 * static_cast<size_t>(x);
        _mm_store_ps(o, _mm_mul_ps(_mm_setr_ps(table[idx[0]], table[idx[1]], table[idx[2]], table[idx[3]]), alpha));
        _mm_store_ps(o + 4,
                     _mm_mul_ps(_mm_setr_ps(table[idx[4]], table[idx[5]], table[idx[6]], table[idx[7]]), alpha));
    }

    // Causal.
    __m128 y0 = _mm_load_ps(iv), y1 = _mm_load_ps(iv + 4), f0 = one, f1 = one;
    _mm_store_ps(yc, y0);
    _mm_store_ps(yc + 4, y1);
    _mm_store_ps(fc, f0);
    _mm_store_ps(fc + 4, f1);
    for (x = 1; x < w; ++x) {
        const size_t o = 8 * static_cast<size_t>(x), p = o - 8;
        const __m128 s0 = _mm_load_ps(wt + p), s1 = _mm_load_ps(wt + p + 4);
        y0 = _mm_add_ps(_mm_mul_ps(s0, y0), _mm_mul_ps(kv, _mm_load_ps(iv + o)));
        y1 = _mm_add_ps(_mm_mul_ps(s1, y1), _mm_mul_ps(kv, _mm_load_ps(iv + o + 4)));
        f0 = _mm_add_ps(_mm_mul_ps(s0, f0), kv);
        f1 = _mm_add_ps(_mm_mul_ps(s1, f1), kv);
        _mm_store_ps(yc + o, y0);
        _mm_store_ps(yc + o + 4, y1);
        _mm_store_ps(fc + o, f0);
        _mm_store_ps(fc + o + 4, f1);
    }
    // Anti-causal, summed into the causal buffers.
    {
        const size_t o = 8 * static_cast<size_t>(w - 1);
        y0 = _mm_load_ps(iv + o);
        y1 = _mm_load_ps(iv + o + 4);
        f0 = one;
        f1 = one;
        _mm_store_ps(yc + o, _mm_add_ps(_mm_load_ps(yc + o), y0));
        _mm_store_ps(yc + o + 4, _mm_add_ps(_mm_load_ps(yc + o + 4), y1));
        _mm_store_ps(fc + o, _mm_add_ps(_mm_load_ps(fc + o), f0));
        _mm_store_ps(fc + o + 4, _mm_add_ps(_mm_load_ps(fc + o + 4), f1));
    }
    for (x = w - 2; x >= 0; --x) {
        const size_t o = 8 * static_cast<size_t>(x);
        const __m128 s0 = _mm_load_ps(wt + o), s1 = _mm_load_ps(wt + o + 4);
        y0 = _mm_add_ps(_mm_mul_ps(s0, y0), _mm_mul_ps(kv, _mm_load_ps(iv + o)));
        y1 = _mm_add_ps(_mm_mul_ps(s1, y1), _mm_mul_ps(kv, _mm_load_ps(iv + o + 4)));
        f0 = _mm_add_ps(_mm_mul_ps(s0, f0), kv);
        f1 = _mm_add_ps(_mm_mul_ps(s1, f1), kv);
        _mm_store_ps(yc + o, _mm_add_ps(_mm_load_ps(yc + o), y0));
        _mm_store_ps(yc + o + 4, _mm_add_ps(_mm_load_ps(yc + o + 4), y1));
        _mm_store_ps(fc + o, _mm_add_ps(_mm_load_ps(fc + o), f0));
        _mm_store_ps(fc + o + 4, _mm_add_ps(_mm_load_ps(fc + o + 4), f1));
    }

    // Back into rows of img_a and fac_a, four columns of four rows at a time.
    for (int half = 0; half < 2; ++half) {
        for (int k = 0; k < 2; ++k) {
            const float *in = (k == 0 ? yc : fc) + 4 * half;
            float *out = (k == 0 ? bpf->img_a : bpf->fac_a) + static_cast<size_t>(r + 4 * half) * w;
            for (x = 0; x + 4 <= w; x += 4) {
                __m128 c0 = _mm_load_ps(in + 8 * static_cast<size_t>(x));
                __m128 c1 = _mm_load_ps(in + 8 * static_cast<size_t>(x + 1));
                __m128 c2 = _mm_load_ps(in + 8 * static_cast<size_t>(x + 2));
                __m128 c3 = _mm_load_ps(in + 8 * static_cast<size_t>(x + 3));
                _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
                _mm_storeu_ps(out + x, c0);
                _mm_storeu_ps(out + w + x, c1);
                _mm_storeu_ps(out + 2 * static_cast<size_t>(w) + x, c2);
                _mm_storeu_ps(out + 3 * static_cast<size_t>(w) + x, c3);
            }
            for (; x < w; ++x)
                for (int j = 0; j < 4; ++j) out[static_cast<size_t>(j) * w + x] = in[8 * static_cast<size_t>(x) + j];
        }
    }
}

void _bpf2d_horizontal(vx_bpf2d_iir_t *bpf, const uint16_t *src) {
    int r = 0;
    for (; r + 8 <= bpf->h; r += 8) bpf2d_rows8(bpf, src, r);
    for (; r + 1 < bpf->h; r += 2) bpf2d_row_pair(bpf, src, r, r + 1);
    if (r < bpf->h) bpf2d_row_pair(bpf, src, r, r);
}

void _bpf2d_vertical_simd(vx_bpf2d_iir_t *bpf, const uint16_t *src, int x_begin, int x_end) {
    const int w = bpf->w;
    const int h = bpf->h;
    const float *table = bpf->range_table;
    const __m128i rmin = _mm_set1_epi32(static_cast<int>(bpf->range_min));
    const __m128i rmax = _mm_set1_epi32(static_cast<int>(bpf->range_max));
    const __m128 alpha = _mm_set1_ps(bpf->alpha_h);
    const __m128 e = _mm_set1_ps(1.0f / (1.0f - bpf->alpha_h));
    float *buf_a = bpf->lbuf[0];
    float *buf_b = bpf->lbuf[1];
    float *wts = bpf->lbuf[4];
    uint16_t *dst = bpf->dst;

    // Sixteen columns at a time: eight independent chains (responses and
    // factors of four groups of four columns) keep the multiply-adds of one
    // group from waiting on its previous step.
    int x = x_begin;
    for (; x + 16 <= x_end; x += 16) {
        const float *p = bpf->img_a + x;
        const float *q = bpf->fac_a + x;
        __m128 a[4], b[4];
        for (int g = 0; g < 4; ++g) {
            a[g] = _mm_mul_ps(_mm_loadu_ps(p + 4 * g), e);
            b[g] = _mm_mul_ps(_mm_loadu_ps(q + 4 * g), e);
            _mm_store_ps(buf_a + 4 * g, a[g]);
            _mm_store_ps(buf_b + 4 * g, b[g]);
        }
        for (int y = 1; y < h; ++y) {
            const size_t off = static_cast<size_t>(y) * w;
            for (int g = 0; g < 4; ++g) {
                const __m128 v = column_weights4(table, src + off - w + x + 4 * g, src + off + x + 4 * g, rmin, rmax, alpha);
                _mm_store_ps(wts + 16 * (y - 1) + 4 * g, v);
                a[g] = _mm_add_ps(_mm_mul_ps(v, a[g]), _mm_loadu_ps(p + off + 4 * g));
                b[g] = _mm_add_ps(_mm_mul_ps(v, b[g]), _mm_loadu_ps(q + off + 4 * g));
                _mm_store_ps(buf_a + 16 * y + 4 * g, a[g]);
                _mm_store_ps(buf_b + 16 * y + 4 * g, b[g]);
            }
        }
        __m128 c[4], d[4];
        size_t off = static_cast<size_t>(h - 1) * w;
        for (int g = 0; g < 4; ++g) {
            c[g] = _mm_mul_ps(_mm_loadu_ps(p + off + 4 * g), e);
            d[g] = _mm_mul_ps(_mm_loadu_ps(q + off + 4 * g), e);
            store_trunc_u16x4(dst + off + x + 4 * g,
                              _mm_div_ps(_mm_add_ps(_mm_load_ps(buf_a + 16 * (h - 1) + 4 * g), c[g]),
                                         _mm_add_ps(_mm_load_ps(buf_b + 16 * (h - 1) + 4 * g), d[g])));
        }
        for (int y = h - 2; y >= 0; --y) {
            off = static_cast<size_t>(y) * w;
            for (int g = 0; g < 4; ++g) {
                const __m128 v = _mm_load_ps(wts + 16 * y + 4 * g);
                c[g] = _mm_add_ps(_mm_mul_ps(v, c[g]), _mm_loadu_ps(p + off + 4 * g));
                d[g] = _mm_add_ps(_mm_mul_ps(v, d[g]), _mm_loadu_ps(q + off + 4 * g));
                store_trunc_u16x4(dst + off + x + 4 * g, _mm_div_ps(_mm_add_ps(_mm_load_ps(buf_a + 16 * y + 4 * g), c[g]),
                                                                    _mm_add_ps(_mm_load_ps(buf_b + 16 * y + 4 * g), d[g])));
            }
        }
    }

    for (; x + 4 <= x_end; x += 4) {
        const float *p = bpf->img_a + x;
        const float *q = bpf->fac_a + x;
        __m128 a = _mm_mul_ps(_mm_loadu_ps(p), e);
        __m128 b = _mm_mul_ps(_mm_loadu_ps(q), e);
        _mm_store_ps(buf_a, a);
        _mm_store_ps(buf_b, b);
        for (int y = 1; y < h; ++y) {
            const size_t off = static_cast<size_t>(y) * w;
            const __m128 v = column_weights4(table, src + off - w + x, src + off + x, rmin, rmax, alpha);
            _mm_store_ps(wts + 4 * (y - 1), v);
            a = _mm_add_ps(_mm_mul_ps(v, a), _mm_loadu_ps(p + off));
            b = _mm_add_ps(_mm_mul_ps(v, b), _mm_loadu_ps(q + off));
            _mm_store_ps(buf_a + 4 * y, a);
            _mm_store_ps(buf_b + 4 * y, b);
        }
        size_t off = static_cast<size_t>(h - 1) * w;
        __m128 c = _mm_mul_ps(_mm_loadu_ps(p + off), e);
        __m128 d = _mm_mul_ps(_mm_loadu_ps(q + off), e);
        store_trunc_u16x4(dst + off + x, _mm_div_ps(_mm_add_ps(_mm_load_ps(buf_a + 4 * (h - 1)), c),
                                                    _mm_add_ps(_mm_load_ps(buf_b + 4 * (h - 1)), d)));
        for (int y = h - 2; y >= 0; --y) {
            off = static_cast<size_t>(y) * w;
            const __m128 v = _mm_load_ps(wts + 4 * y);
            c = _mm_add_ps(_mm_mul_ps(v, c), _mm_loadu_ps(p + off));
            d = _mm_add_ps(_mm_mul_ps(v, d), _mm_loadu_ps(q + off));
            store_trunc_u16x4(dst + off + x, _mm_div_ps(_mm_add_ps(_mm_load_ps(buf_a + 4 * y), c),
                                                        _mm_add_ps(_mm_load_ps(buf_b + 4 * y), d)));
        }
    }
}

void _bpf2d_vertical_norm(vx_bpf2d_iir_t *bpf, const uint16_t *src, int x_begin, int x_end) {
    const int w = bpf->w;
    const int h = bpf->h;
    const float *table = bpf->range_table;
    const int rmin = static_cast<int>(bpf->range_min);
    const int rmax = static_cast<int>(bpf->range_max);
    const float alpha = bpf->alpha_h;
    const float e = 1.0f / (1.0f - bpf->alpha_h);
    float *buf_a = bpf->lbuf[0];
    float *buf_b = bpf->lbuf[1];
    float *wts = bpf->lbuf[4];
    uint16_t *dst = bpf->dst;

    for (int x = x_begin; x < x_end; ++x) {
        const float *p = bpf->img_a + x;
        const float *q = bpf->fac_a + x;
        const uint16_t *s = src + x;
        float a = p[0] * e;
        float b = q[0] * e;
        buf_a[0] = a;
        buf_b[0] = b;
        for (int y = 1; y < h; ++y) {
            const size_t off = static_cast<size_t>(y) * w;
            const float v = step_weight(table, s[off - w], s[off], rmin, rmax, alpha);
            wts[y - 1] = v;
            a = v * a + p[off];
            b = v * b + q[off];
            buf_a[y] = a;
            buf_b[y] = b;
        }
        size_t off = static_cast<size_t>(h - 1) * w;
        float c = p[off] * e;
        float d = q[off] * e;
        dst[off + x] = trunc_u16((buf_a[h - 1] + c) / (buf_b[h - 1] + d));
        for (int y = h - 2; y >= 0; --y) {
            off = static_cast<size_t>(y) * w;
            const float v = wts[y];
            c = v * c + p[off];
            d = v * d + q[off];
            dst[off + x] = trunc_u16((buf_a[y] + c) / (buf_b[y] + d));
        }
    }
}

void _bpf2d_vertical(vx_bpf2d_iir_t *bpf, const uint16_t *src) {
    const int x_simd = bpf->w / 4 * 4;
    _bpf2d_vertical_simd(bpf, src, 0, x_simd);
    _bpf2d_vertical_norm(bpf, src, x_simd, bpf->w);
}

extern "C" {

bool vx_bpf2d_iir_init(vx_bpf2d_iir_t *bpf, uint32_t w, uint32_t h, float sigma_spatial, float sigma_range,
                       uint16_t range_min, uint16_t range_max) {
    if (!bpf) {
        LOG_ERR("wrong parameters\n");
        return false;
    }
    memset(bpf, 0, sizeof *bpf);
    // An empty image would leave the passes nothing to start their
    // recursions from; it is refused like an oversized one.
    if (w > VX_BPF2D_IIR_MAX_SIZE || h > VX_BPF2D_IIR_MAX_SIZE || w == 0 || h == 0) {
        LOG_ERR("wrong image width or height: w=%u, h=%u\n", w, h);
        return false;
    }
    // A reversed range would make the table size wrap around.
    if (range_max < range_min) {
        LOG_ERR("wrong value range: min=%u, max=%u\n", static_cast<unsigned>(range_min),
                static_cast<unsigned>(range_max));
        return false;
    }
    // A zero (or vanishingly small) range sigma makes the first table entry
    // 0 * inf, not a number; a negative spatial sigma or a decay of 1 makes
    // the recursions diverge.
    const uint32_t table_cnt = static_cast<uint32_t>(range_max) - range_min + 1u;
    const float inv = 1.0f / (static_cast<float>(table_cnt) * sigma_range);
    const float alpha_w = static_cast<float>(
        std::exp(-std::sqrt(2.0) / static_cast<double>(static_cast<float>(w) * sigma_spatial)));
    const float alpha_h = static_cast<float>(
        std::exp(-std::sqrt(2.0) / static_cast<double>(static_cast<float>(h) * sigma_spatial)));
    if (!(sigma_spatial >= 0.0f) || !(sigma_range > 0.0f) || !std::isfinite(inv) || !(alpha_w < 1.0f) ||
        !(alpha_h < 1.0f)) {
        LOG_ERR("wrong sigma: spatial=%f, range=%f\n", static_cast<double>(sigma_spatial),
                static_cast<double>(sigma_range));
        return false;
    }
    bpf->w = static_cast<int>(w);
    bpf->h = static_cast<int>(h);
    bpf->sigma_spatial = sigma_spatial;
    bpf->sigma_range = sigma_range;
    bpf->range_min = static_cast<float>(range_min);
    bpf->range_max = static_cast<float>(range_max);
    bpf->range_table_cnt = table_cnt;

    bpf->range_table = alloc_floats(bpf->range_table_cnt);
    if (!bpf->range_table) {
        LOG_ERR("cannot malloc buffers for BPF\n");
        return false;
    }
    for (uint32_t i = 0; i < bpf->range_table_cnt; ++i)
        bpf->range_table[i] = static_cast<float>(std::exp(-static_cast<double>(i) * static_cast<double>(inv)));
    bpf->alpha_w = alpha_w;
    bpf->alpha_h = alpha_h;

    const size_t pixels = static_cast<size_t>(w) * h;
    // Room for sixteen floats per column or row: the passes keep sixteen
    // columns (vertical) or eight rows with two values each (horizontal).
    const size_t line = 16 * static_cast<size_t>(std::max(w, h));
    bpf->img_a = alloc_floats(pixels);
    bpf->fac_a = alloc_floats(pixels);
    bool ok = bpf->img_a && bpf->fac_a;
    for (float *&buf : bpf->lbuf) {
        // 16-byte aligned: the passes keep four-wide vectors in them.
        buf = static_cast<float *>(aligned_alloc(16, (sizeof(float) * line + 15) / 16 * 16));
        ok = ok && buf;
    }
    if (!ok) {
        LOG_ERR("cannot malloc buffers for BPF\n");
        vx_bpf2d_iir_uninit(bpf);
        return false;
    }
    return true;
}

void vx_bpf2d_iir_uninit(vx_bpf2d_iir_t *bpf) {
    if (!bpf) return;
    free(bpf->range_table);
    free(bpf->img_a);
    free(bpf->fac_a);
    for (float *&buf : bpf->lbuf) {
        free(buf);
        buf = nullptr;
    }
    bpf->range_table = nullptr;
    bpf->img_a = nullptr;
    bpf->fac_a = nullptr;
    bpf->range_table_cnt = 0;
    bpf->dst = nullptr;
    bpf->w = 0;
    bpf->h = 0;
}

void vx_bpf2d_iir(vx_bpf2d_iir_t *bpf, uint16_t *dst, uint16_t *src, int w, int h) {
    // A record that was never initialised (or was released) has no buffers
    // and a size of 0 x 0; it is refused whatever size is passed.
    if (!bpf || !dst || !src || w != bpf->w || h != bpf->h || !bpf->img_a) {
        LOG_ERR("wrong parameters\n");
        return;
    }
    bpf->dst = dst;
    _bpf2d_horizontal(bpf, src);
    _bpf2d_vertical(bpf, src);
}

}  // extern "C"
