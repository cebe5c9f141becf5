// Lens undistortion: builds a nearest-neighbour index map from the lens
// parameters once, then applies it to 16-bit and float frames by table lookup.
#include "vx_imgproc.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__SSE4_1__) && defined(__x86_64__)
#include <smmintrin.h>
#endif

#include "imgproc/matrix/mat3.h"
#include "imgproc/vx_imgproc_internal.h"
#include "vx_log_internal.h"

namespace {

// Points per side of the grid used to find the undistorted image border.
constexpr int GRID_N = 9;
// Fixed number of iterations of the inverse distortion model.
constexpr int UNDISTORT_ITERATIONS = 5;

struct distortion {
    double k1, k2, p1, p2, k3;
    explicit distortion(const double *d) : k1(d[0]), k2(d[1]), p1(d[2]), p2(d[3]), k3(d[4]) {}
};

// trunc(v + 0.5) as an int. Values outside the int range saturate and NaN
// gives 0, so a wild lens model cannot make the conversion undefined.
int round_to_int(double v) {
    const double t = std::trunc(v + 0.5);
    if (std::isnan(t)) return 0;
    if (t <= static_cast<double>(INT_MIN)) return INT_MIN;
    if (t >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(t);
}

bool all_finite(const vx_len_param_t *p) {
    if (!std::isfinite(p->cx) || !std::isfinite(p->cy) || !std::isfinite(p->fx) || !std::isfinite(p->fy))
        return false;
    return std::all_of(p->dcoeff, p->dcoeff + 5, [](double d) { return std::isfinite(d); });
}

struct free_deleter {
    void operator()(void *p) const { free(p); }
};

// One map entry, with the hole value where the pixel has no source.
template <typename T>
inline T pixel_at(uint32_t m, const T *src, T hole) {
    return m == VX_LEN_MAP_NO_SOURCE ? hole : src[m];
}

#if defined(__SSE4_1__) && defined(__x86_64__)
// Copies 4 pixels whose indices are in v, taking the indices from the
// register rather than loading them again.
inline void gather4(__m128i v, uint16_t *dst, const uint16_t *src) {
    const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(v));
    const uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(v, 1));
    dst[0] = src[static_cast<uint32_t>(lo)];
    dst[1] = src[lo >> 32];
    dst[2] = src[static_cast<uint32_t>(hi)];
    dst[3] = src[hi >> 32];
}

// The same for float pixels, stored with one 16-byte write.
inline void gather4(__m128i v, float *dst, const float *src) {
    const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(v));
    const uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(v, 1));
    _mm_storeu_ps(dst, _mm_setr_ps(src[static_cast<uint32_t>(lo)], src[lo >> 32], src[static_cast<uint32_t>(hi)],
                                   src[hi >> 32]));
}
#endif

// Gathers n pixels through the map; the hole value where a pixel has no
// source. Holes sit in a few runs along the image border, so blocks of 8
// entries are first checked for holes at once and, when they have none (the
// common case), copied without a test per pixel.
template <typename T>
void gather(const uint32_t *map, T *dst, const T *src, int n, T hole) {
    int i = 0;
#if defined(__SSE4_1__) && defined(__x86_64__)
    const __m128i no_source = _mm_set1_epi32(-1);
    for (; i + 8 <= n; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(map + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(map + i + 4));
        const __m128i holes = _mm_or_si128(_mm_cmpeq_epi32(a, no_source), _mm_cmpeq_epi32(b, no_source));
        if (_mm_testz_si128(holes, holes)) {
            gather4(a, dst + i, src);
            gather4(b, dst + i + 4, src);
        } else {
            for (int k = 0; k < 8; ++k) dst[i + k] = pixel_at(map[i + k], src, hole);
        }
    }
#endif
    for (; i < n; ++i) dst[i] = pixel_at(map[i], src, hole);
}

// Checks that are the same for every pixel type; undistort() logs them.
enum class apply_check { ok, no_record, size_mismatch, no_map, no_image };

apply_check check_apply(const vx_len_calib_t *h, const void *dst, const void *src, int src_w, int src_h) {
    if (h == nullptr) return apply_check::no_record;
    if (src_w != h->img_w || src_h != h->img_h) return apply_check::size_mismatch;
    if (!h->init_flag || h->mapi == nullptr) return apply_check::no_map;
    if (dst == nullptr || src == nullptr) return apply_check::no_image;
    return apply_check::ok;
}

// Pixels to write: min(dst_len, map size), never negative.
int apply_count(const vx_len_calib_t *h, int dst_len) {
    const int64_t size = std::min<int64_t>(static_cast<int64_t>(h->img_w) * h->img_h, h->mapsz);
    return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(dst_len, size)));
}

// Checks the arguments, logging in the name `fn` of the exported call, then
// applies the map to one image of any pixel type.
template <typename T>
bool undistort(const char *fn, const vx_len_calib_t *h, T *dst, int dst_len, const T *src, int src_w, int src_h,
               T val_for_hole) {
    switch (check_apply(h, dst, src, src_w, src_h)) {
        case apply_check::ok:
            break;
        case apply_check::no_record:
            LOG_ERR_AS(fn, "Wrong parameter: no correction map record\n");
            return false;
        case apply_check::size_mismatch:
            LOG_ERR_AS(fn, "Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", h->img_w, h->img_h, src_w, src_h);
            return false;
        case apply_check::no_map:
            LOG_ERR_AS(fn, "Wrong parameter: no correction map built\n");
            return false;
        case apply_check::no_image:
            LOG_ERR_AS(fn, "Wrong parameter: null image\n");
            return false;
    }
    gather(h->mapi, dst, src, apply_count(h, dst_len), val_for_hole);
    return true;
}

}  // namespace

// Map entry for the raw coordinates (mx, my): the nearest raw pixel under the
// trunc(v + 0.5) rule, so anything above -1.5 still lands on column or row 0.
// The comparisons are made in double before any conversion: NaN or huge
// coordinates give no source.
uint32_t len_map_index(float mx, float my, int img_w, int img_h) {
    const double sx = std::trunc(static_cast<double>(mx) + 0.5);
    const double sy = std::trunc(static_cast<double>(my) + 0.5);
    if (!(sx >= 0.0 && sy >= 0.0 && sx < img_w && sy < img_h)) return VX_LEN_MAP_NO_SOURCE;
    return static_cast<uint32_t>(sy) * static_cast<uint32_t>(img_w) + static_cast<uint32_t>(sx);
}

void undistor_points(const float *src, float *dst, int n, const double *cam, const double *dcoeff,
                     const double *proj) {
    static const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double *P = proj != nullptr ? proj : identity;
    const distortion d(dcoeff);
    const double cx = cam[2], cy = cam[5];
    const double ifx = 1.0 / cam[0], ify = 1.0 / cam[4];

    for (int i = 0; i < n; ++i) {
        const double x0 = (static_cast<double>(src[2 * i]) - cx) * ifx;
        const double y0 = (static_cast<double>(src[2 * i + 1]) - cy) * ify;
        double x = x0, y = y0;
        for (int it = 0; it < UNDISTORT_ITERATIONS; ++it) {
            const double r2 = x * x + y * y;
            const double icdist = 1.0 / (((d.k3 * r2 + d.k2) * r2 + d.k1) * r2 + 1.0);
            const double dx = 2.0 * d.p1 * x * y + d.p2 * (r2 + 2.0 * x * x);
            const double dy = d.p1 * (r2 + 2.0 * y * y) + 2.0 * d.p2 * x * y;
            x = (x0 - dx) * icdist;
            y = (y0 - dy) * icdist;
        }
        const double w = 1.0 / (P[6] * x + P[7] * y + P[8]);
        dst[2 * i] = static_cast<float>((P[0] * x + P[1] * y + P[2]) * w);
        dst[2 * i + 1] = static_cast<float>((P[3] * x + P[4] * y + P[5]) * w);
    }
}

void get_undistort_rectangle(const double *cam, const double *dcoeff, const double *proj, int img_w, int img_h,
                             vx_rect_f *inner, vx_rect_f *outer) {
    float pts[GRID_N * GRID_N * 2];
    for (int i = 0, k = 0; i < GRID_N; ++i) {
        for (int j = 0; j < GRID_N; ++j, ++k) {
            pts[2 * k] = static_cast<float>(j) * static_cast<float>(img_w) / static_cast<float>(GRID_N - 1);
            pts[2 * k + 1] = static_cast<float>(i) * static_cast<float>(img_h) / static_cast<float>(GRID_N - 1);
        }
    }
    undistor_points(pts, pts, GRID_N * GRID_N, cam, dcoeff, proj);

    float ix0 = -FLT_MAX, ix1 = FLT_MAX, iy0 = -FLT_MAX, iy1 = FLT_MAX;
    float ox0 = FLT_MAX, ox1 = -FLT_MAX, oy0 = FLT_MAX, oy1 = -FLT_MAX;
    for (int i = 0, k = 0; i < GRID_N; ++i) {
        for (int j = 0; j < GRID_N; ++j, ++k) {
            const float px = pts[2 * k], py = pts[2 * k + 1];
            ox0 = std::min(ox0, px);
            ox1 = std::max(ox1, px);
            oy0 = std::min(oy0, py);
            oy1 = std::max(oy1, py);
            if (j == 0) ix0 = std::max(ix0, px);
            if (j == GRID_N - 1) ix1 = std::min(ix1, px);
            if (i == 0) iy0 = std::max(iy0, py);
            if (i == GRID_N - 1) iy1 = std::min(iy1, py);
        }
    }
    *inner = {ix0, iy0, ix1 - ix0, iy1 - iy0};
    *outer = {ox0, oy0, ox1 - ox0, oy1 - oy0};
}

void get_optimal_new_mtx(const double *cam, const double *dcoeff, int img_w, int img_h, double *new_cam,
                         int roi[4]) {
    vx_rect_f inner{}, outer{};
    get_undistort_rectangle(cam, dcoeff, nullptr, img_w, img_h, &inner, &outer);

    // Scale and shift so that the whole outer rectangle fits: every raw pixel
    // lands inside the corrected image. The scale is divided in single
    // precision on purpose (the rectangle is float).
    const double fx = static_cast<float>(img_w - 1) / outer.width;
    const double fy = static_cast<float>(img_h - 1) / outer.height;
    new_cam[0] = fx;
    new_cam[1] = cam[1];
    new_cam[2] = -static_cast<double>(outer.x) * fx;
    new_cam[3] = cam[3];
    new_cam[4] = fy;
    new_cam[5] = -static_cast<double>(outer.y) * fy;
    new_cam[6] = cam[6];
    new_cam[7] = cam[7];
    new_cam[8] = cam[8];

    // Valid region: the inner rectangle seen through the new matrix.
    get_undistort_rectangle(cam, dcoeff, new_cam, img_w, img_h, &inner, &outer);
    roi[0] = round_to_int(inner.x);
    roi[1] = round_to_int(inner.y);
    roi[2] = round_to_int(inner.width);
    roi[3] = round_to_int(inner.height);
}

void init_undistort_rectify_map(const double *cam, const double *dcoeff, const double *new_cam, int img_w,
                                int img_h, float *map_x, float *map_y) {
    // A singular matrix (only from a degenerate rectangle) stays uninverted.
    double M[9];
    std::copy_n(new_cam, 9, M);
    mat3_inverse(M, nullptr);

    const distortion d(dcoeff);
    const double fx = cam[0], fy = cam[4], cx = cam[2], cy = cam[5];
    for (int v = 0; v < img_h; ++v) {
        double X = M[1] * v + M[2];
        double Y = M[4] * v + M[5];
        double W = M[7] * v + M[8];
        float *mx = map_x + static_cast<size_t>(v) * img_w;
        float *my = map_y + static_cast<size_t>(v) * img_w;
        for (int u = 0; u < img_w; ++u, X += M[0], Y += M[3], W += M[6]) {
            const double iw = 1.0 / W;
            const double x = X * iw, y = Y * iw;
            const double x2 = x * x, y2 = y * y;
            const double r2 = x2 + y2, xy2 = 2.0 * x * y;
            const double radial = ((d.k3 * r2 + d.k2) * r2 + d.k1) * r2 + 1.0;
            const double xd = x * radial + d.p1 * xy2 + d.p2 * (r2 + 2.0 * x2);
            const double yd = y * radial + d.p1 * (r2 + 2.0 * y2) + d.p2 * xy2;
            mx[u] = static_cast<float>(fx * xd + cx);
            my[u] = static_cast<float>(fy * yd + cy);
        }
    }
}

extern "C" {

int vx_calib_len_init_map(vx_len_calib_t *h, const vx_len_param_t *len_param) {
    if (h == nullptr || len_param == nullptr) {
        LOG_ERR("Wrong parameter: no record or lens parameters\n");
        return 0;
    }
    const int w = len_param->img_w, hgt = len_param->img_h;
    if (w <= 0 || hgt <= 0 || static_cast<int64_t>(w) * hgt > INT_MAX) {
        LOG_ERR("Wrong parameter: image size %dx%d\n", w, hgt);
        return 0;
    }
    if (!all_finite(len_param) || len_param->fx == 0.0 || len_param->fy == 0.0) {
        LOG_ERR("Wrong parameter: lens fx/fy=%f/%f, cx/cy=%f/%f\n", len_param->fx, len_param->fy, len_param->cx,
                len_param->cy);
        return 0;
    }
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(hgt);

    std::unique_ptr<uint32_t, free_deleter> mapi(static_cast<uint32_t *>(malloc(n * sizeof(uint32_t))));
    std::unique_ptr<float[]> map_x(new (std::nothrow) float[n]);
    std::unique_ptr<float[]> map_y(new (std::nothrow) float[n]);
    if (!mapi || !map_x || !map_y) {
        LOG_ERR("malloc failed\n");
        return 0;
    }

    const double cam[9] = {len_param->fx, 0, len_param->cx, 0, len_param->fy, len_param->cy, 0, 0, 1};
    double new_cam[9];
    int roi[4];
    get_optimal_new_mtx(cam, len_param->dcoeff, w, hgt, new_cam, roi);
    init_undistort_rectify_map(cam, len_param->dcoeff, new_cam, w, hgt, map_x.get(), map_y.get());

    uint32_t *m = mapi.get();
    for (size_t i = 0; i < n; ++i) m[i] = len_map_index(map_x[i], map_y[i], w, hgt);

    h->mapi = mapi.release();
    h->mapsz = static_cast<int>(n);
    h->img_w = w;
    h->img_h = hgt;
    std::copy_n(roi, 4, h->roi);
    h->init_flag = true;
    LOG_DBG("map %dx%d, roi %d,%d %dx%d\n", w, hgt, roi[0], roi[1], roi[2], roi[3]);
    return static_cast<int>(n);
}

void vx_calib_len_uninit_map(vx_len_calib_t *h) {
    if (h == nullptr || !h->init_flag) return;
    free(h->mapi);
    h->mapi = nullptr;
    h->init_flag = false;
}

int vx_calib_len_update_map(vx_len_calib_t *h, const vx_len_param_t *len_param) {
    vx_calib_len_uninit_map(h);
    return vx_calib_len_init_map(h, len_param);
}

bool vx_calib_len_undistort_u16(vx_len_calib_t *h, uint16_t *dst, int dst_len, uint16_t *src, int src_w,
                                int src_h, uint16_t val_for_hole) {
    return undistort(__func__, h, dst, dst_len, src, src_w, src_h, val_for_hole);
}

bool vx_calib_len_undistort_f32(vx_len_calib_t *h, float *dst, int dst_len, float *src, int src_w, int src_h,
                                float val_for_hole) {
    return undistort(__func__, h, dst, dst_len, src, src_w, src_h, val_for_hole);
}

}  // extern "C"
