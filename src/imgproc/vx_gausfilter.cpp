// Gaussian smoothing: the 3x3 binomial kernel for 16-bit images and the
// third-order recursive Gaussian of Young and van Vliet for float images
// (16-bit images go through float).
//
// The recursive filter runs every line (row or column) forward, then
// backward, in single precision with a fixed order of operations. Lines are
// independent, so sixteen of them run side by side in four-wide vectors:
// every lane performs exactly the operations of the one-line recursion, so
// the grouping changes speed, never a result.
#include "vx_gausfilter.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "imgproc/vx_gausfilter_internal.h"
#include "vx_conv.h"
#include "vx_log_internal.h"

void compute_coefs3(gauss3_coefs *c, float sigma) {
    c->N = 3;
    c->sigma = sigma;
    double q;
    if (sigma >= 2.5f) {
        q = 0.98711 * sigma - 0.9633;
    } else if (sigma >= 0.5f) {
        const float s = static_cast<float>(std::sqrt(1.0 - 0.26891 * sigma));
        q = 3.97156 - 4.14554 * s;
    } else {
        // Below 0.5 (and for not-a-number) the recursion keeps the values of
        // sigma 0.5: smaller kernels are not representable by it.
        c->b[0] = 0.84029317f;
        c->b[1] = 0.170402f;
        c->b[2] = -0.011035039f;
        c->b[3] = 0.00033983588f;
        return;
    }
    const double q2 = q * q, q3 = q2 * q;
    const double b0 = 1.57825 + 2.44413 * q + 1.4281 * q2 + 0.422205 * q3;
    const double b1 = 2.44413 * q + 2.85619 * q2 + 1.26661 * q3;
    const double b2 = -(1.4281 * q2 + 1.26661 * q3);
    const double b3 = 0.422205 * q3;
    const double inv_b0 = 1.0 / b0;
    const float c1 = static_cast<float>(b1 * inv_b0);
    const float c2 = static_cast<float>(b2 * inv_b0);
    const float c3 = static_cast<float>(b3 * inv_b0);
    c->b[0] = 1.0f - (c1 + c2 + c3);
    c->b[1] = c1;
    c->b[2] = c2;
    c->b[3] = c3;
}

namespace {

// Lines filtered side by side: four vectors of four floats.
constexpr int LANES = 16;
constexpr int VECS = LANES / 4;

// Forward then backward recursion, in place, on LANES lines of n elements:
// element i of line l is base[i * stride + l].
void iir_lanes(float *base, size_t stride, int n, const gauss3_coefs &c) {
    const __m128 B = _mm_set1_ps(c.b[0]);
    const __m128 c1 = _mm_set1_ps(c.b[1]);
    const __m128 c2 = _mm_set1_ps(c.b[2]);
    const __m128 c3 = _mm_set1_ps(c.b[3]);
    __m128 y1[VECS], y2[VECS], y3[VECS];

    for (int v = 0; v < VECS; ++v) y1[v] = y2[v] = y3[v] = _mm_loadu_ps(base + 4 * v);
    for (int i = 0; i < n; ++i) {
        float *p = base + static_cast<size_t>(i) * stride;
        for (int v = 0; v < VECS; ++v) {
            __m128 y = _mm_add_ps(_mm_mul_ps(B, _mm_loadu_ps(p + 4 * v)), _mm_mul_ps(c1, y1[v]));
            y = _mm_add_ps(y, _mm_mul_ps(c2, y2[v]));
            y = _mm_add_ps(y, _mm_mul_ps(c3, y3[v]));
            _mm_storeu_ps(p + 4 * v, y);
            y3[v] = y2[v];
            y2[v] = y1[v];
            y1[v] = y;
        }
    }
    // Backward history: the last forward value, still in y1.
    for (int v = 0; v < VECS; ++v) y2[v] = y3[v] = y1[v];
    for (int i = n - 1; i >= 0; --i) {
        float *p = base + static_cast<size_t>(i) * stride;
        for (int v = 0; v < VECS; ++v) {
            __m128 z = _mm_add_ps(_mm_mul_ps(B, _mm_loadu_ps(p + 4 * v)), _mm_mul_ps(c1, y1[v]));
            z = _mm_add_ps(z, _mm_mul_ps(c2, y2[v]));
            z = _mm_add_ps(z, _mm_mul_ps(c3, y3[v]));
            _mm_storeu_ps(p + 4 * v, z);
            y3[v] = y2[v];
            y2[v] = y1[v];
            y1[v] = z;
        }
    }
}

// Rows r0 ... r0 + cnt - 1 of src into dst through buf; lanes beyond cnt
// repeat the last row and are not written back.
void iir_rows(float *dst, const float *src, int w, int r0, int cnt, float *buf, const gauss3_coefs &c) {
    const float *in[LANES];
    for (int l = 0; l < LANES; ++l) in[l] = src + static_cast<size_t>(r0 + std::min(l, cnt - 1)) * w;
    // Four elements of four rows at a time become four steps of four lanes.
    int i = 0;
    for (; i + 4 <= w; i += 4) {
        float *b = buf + static_cast<size_t>(i) * LANES;
        for (int g = 0; g < LANES; g += 4) {
            __m128 r0v = _mm_loadu_ps(in[g] + i), r1v = _mm_loadu_ps(in[g + 1] + i);
            __m128 r2v = _mm_loadu_ps(in[g + 2] + i), r3v = _mm_loadu_ps(in[g + 3] + i);
            _MM_TRANSPOSE4_PS(r0v, r1v, r2v, r3v);
            _mm_store_ps(b + g, r0v);
            _mm_store_ps(b + LANES + g, r1v);
            _mm_store_ps(b + 2 * LANES + g, r2v);
            _mm_store_ps(b + 3 * LANES + g, r3v);
        }
    }
    for (; i < w; ++i)
        for (int l = 0; l < LANES; ++l) buf[static_cast<size_t>(i) * LANES + l] = in[l][i];

    iir_lanes(buf, LANES, w, c);

    float *out[LANES];
    for (int l = 0; l < LANES; ++l) out[l] = dst + static_cast<size_t>(r0 + std::min(l, cnt - 1)) * w;
    i = 0;
    if (cnt == LANES) {
        for (; i + 4 <= w; i += 4) {
            const float *b = buf + static_cast<size_t>(i) * LANES;
            for (int g = 0; g < LANES; g += 4) {
                __m128 s0 = _mm_load_ps(b + g), s1 = _mm_load_ps(b + LANES + g);
                __m128 s2 = _mm_load_ps(b + 2 * LANES + g), s3 = _mm_load_ps(b + 3 * LANES + g);
                _MM_TRANSPOSE4_PS(s0, s1, s2, s3);
                _mm_storeu_ps(out[g] + i, s0);
                _mm_storeu_ps(out[g + 1] + i, s1);
                _mm_storeu_ps(out[g + 2] + i, s2);
                _mm_storeu_ps(out[g + 3] + i, s3);
            }
        }
    }
    for (; i < w; ++i)
        for (int l = 0; l < cnt; ++l) out[l][i] = buf[static_cast<size_t>(i) * LANES + l];
}

// Columns x0 ... x0 + cnt - 1 of img in place; fewer than LANES columns go
// through buf, lanes beyond cnt repeating the last column.
void iir_cols(float *img, int w, int h, int x0, int cnt, float *buf, const gauss3_coefs &c) {
    if (cnt == LANES) {
        iir_lanes(img + x0, static_cast<size_t>(w), h, c);
        return;
    }
    for (int i = 0; i < h; ++i) {
        const float *row = img + static_cast<size_t>(i) * w + x0;
        for (int l = 0; l < LANES; ++l) buf[static_cast<size_t>(i) * LANES + l] = row[std::min(l, cnt - 1)];
    }
    iir_lanes(buf, LANES, h, c);
    for (int i = 0; i < h; ++i) {
        float *row = img + static_cast<size_t>(i) * w + x0;
        for (int l = 0; l < cnt; ++l) row[l] = buf[static_cast<size_t>(i) * LANES + l];
    }
}

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

}  // namespace

extern "C" {

void vx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    for (int y = 0; y < h; ++y) {
        const uint16_t *t = src + static_cast<size_t>(y > 0 ? y - 1 : 0) * w;
        const uint16_t *m = src + static_cast<size_t>(y) * w;
        const uint16_t *b = src + static_cast<size_t>(y + 1 < h ? y + 1 : h - 1) * w;
        uint16_t *out = dst + static_cast<size_t>(y) * w;
        // Column sums t + 2m + b, as unsigned 32-bit (up to 4 * 65535).
        auto col = [&](int x) { return uint32_t{t[x]} + 2u * m[x] + b[x]; };
        out[0] = static_cast<uint16_t>((3u * col(0) + col(1)) >> 4);
        int x = 1;
        for (; x + 4 < w; x += 4) {
            auto load = [](const uint16_t *p) {
                return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
            };
            auto colv = [&](int xx) {
                const __m128i mid = load(m + xx);
                return _mm_add_epi32(_mm_add_epi32(load(t + xx), load(b + xx)), _mm_add_epi32(mid, mid));
            };
            const __m128i cm = colv(x);
            __m128i s = _mm_add_epi32(_mm_add_epi32(colv(x - 1), colv(x + 1)), _mm_add_epi32(cm, cm));
            s = _mm_srli_epi32(s, 4);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + x), _mm_packus_epi32(s, s));
        }
        for (; x < w - 1; ++x) out[x] = static_cast<uint16_t>((col(x - 1) + 2u * col(x) + col(x + 1)) >> 4);
        out[w - 1] = static_cast<uint16_t>((col(w - 2) + 3u * col(w - 1)) >> 4);
    }
}

void vx_gauss2d_iir_f32(float *dst, float *src, int w, int h, float sigma) {
    if (w <= 0 || h <= 0) return;
    gauss3_coefs c;
    compute_coefs3(&c, sigma);
    const size_t line = static_cast<size_t>(std::max(w, h));
    std::unique_ptr<float, FreeDeleter> buf(
        static_cast<float *>(aligned_alloc(16, sizeof(float) * LANES * line)));
    if (!buf) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }
    // Rows: src into dst, so dst may equal src (each group of rows is read
    // into the buffer before it is written).
    for (int r = 0; r < h; r += LANES) iir_rows(dst, src, w, r, std::min(LANES, h - r), buf.get(), c);
    for (int x = 0; x < w; x += LANES) iir_cols(dst, w, h, x, std::min(LANES, w - x), buf.get(), c);
}

void vx_gauss2d_iir_u16(uint16_t *dst, uint16_t *src, int w, int h, float sigma) {
    // Checked before the allocation: a negative size would turn into a huge
    // request and end the process.
    if (w <= 0 || h <= 0) return;
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    std::unique_ptr<float, FreeDeleter> planes(static_cast<float *>(malloc(sizeof(float) * 2 * pixels)));
    if (!planes) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }
    float *in = planes.get();
    float *out = in + pixels;
    // The conversions take an int count: images above INT_MAX pixels go in pieces.
    constexpr size_t piece = INT_MAX / 16 * 16;
    for (size_t i = 0; i < pixels; i += piece)
        vx_conv_u16_f32(in + i, src + i, static_cast<int>(std::min(piece, pixels - i)), 1.0f);
    vx_gauss2d_iir_f32(out, in, w, h, sigma);
    for (size_t i = 0; i < pixels; i += piece)
        vx_conv_f32_u16(dst + i, out + i, static_cast<int>(std::min(piece, pixels - i)), 1.0f);
}

void vxalgo_gauss2d_iir_f32(float *dst, int dst_h, int dst_w, float *src, int src_h, int src_w, float sigma) {
    if (dst_h != src_h || dst_w != src_w) {
        LOG_ERR("wrong parameter: src wxh = %dx%d, dst wxh = %dx%d\n", src_w, src_h, dst_w, dst_h);
        return;
    }
    vx_gauss2d_iir_f32(dst, src, src_w, src_h, sigma);
}

void vxalgo_gauss2d_iir_u16(uint16_t *dst, int dst_h, int dst_w, uint16_t *src, int src_h, int src_w,
                            float sigma) {
    if (dst_h != src_h || dst_w != src_w) {
        LOG_ERR("wrong parameter: src wxh = %dx%d, dst wxh = %dx%d\n", src_w, src_h, dst_w, dst_h);
        return;
    }
    vx_gauss2d_iir_u16(dst, src, src_w, src_h, sigma);
}

}  // extern "C"
