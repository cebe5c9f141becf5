// Distance and gray calculation of the EPC driver (see epc_calc.h).
//
// Each frame is cut into spans of pixels whose vectors come from the same
// sample images: the whole frame for four or two DCS images, one row at a
// time for a single image of alternating row pairs. A span runs through one
// of three loops (the scalar reference, SSE4.1, AVX2), which give identical
// results: the vector loops repeat the scalar arithmetic lane by lane,
// including its 32-bit wrap-around and its float rounding steps.
#include "vx_simd_target.h"
#include "driver/epc/epc_calc.h"

#include <immintrin.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "driver/epc/epc_calib.h"
#include "driver/epc/kavro_driver_epc.h"
#include "math/vx_math.h"
#include "vx_log_internal.h"

void _epc_free_deleter::operator()(void *p) const { std::free(p); }

namespace {

// u16 elements from one reference image to the next.
constexpr int EPC_DRNU_STRIDE_U16 = static_cast<int>(sizeof(epc_drv_param_drnu_payload_t) / 2);
static_assert(sizeof(epc_drv_param_drnu_payload_t) % 2 == 0, "reference images hold whole u16 samples");

// ---- scalar arithmetic ---------------------------------------------------------
// 32-bit two's-complement arithmetic without undefined overflow: the values
// stay in range for any sound configuration, and for any other they wrap the
// way the vector lanes do.
inline int32_t wadd(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
inline int32_t wsub(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }
inline int32_t wmul(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }
// Float to int truncating like the vector conversion: INT_MIN for a value
// out of range or not a number.
inline int32_t cvtt(float f) { return _mm_cvtt_ss2si(_mm_set_ss(f)); }

inline int amplitude(int x, int y) { return static_cast<int>(vx_math_sqrtf(static_cast<float>((x * x + y * y) >> 2))); }

inline int32_t wrap_range(int32_t d, uint32_t dmax) {
    if (d < 0) return wadd(d, static_cast<int32_t>(dmax));
    if (static_cast<uint32_t>(d) > dmax) return wsub(d, static_cast<int32_t>(dmax));
    return d;
}

// The arctangent table for the vector loops, with one entry beyond it:
// index 4096 is the slope 1 of a vector the vector loops fold onto the end
// of an octant, whose angle (an eighth turn, 4096) the scalar function
// reaches from the start of the next octant instead.
const uint16_t *lut16() {
    static const struct table {
        uint16_t v[ARCTAN2_LUT_NUM + 1];
        table() {
            std::memcpy(v, g_atan2_LUT, sizeof g_atan2_LUT);
            v[ARCTAN2_LUT_NUM] = 4096;
        }
    } t;
    return t.v;
}

// ---- sources of the per-pixel vectors ------------------------------------------
// Four sample images: x = DCS2 - DCS0, y = DCS3 - DCS1.
struct src4 {
    const uint16_t *p0, *p1, *p2, *p3;
    void get(size_t i, int &x, int &y, bool &ok) const {
        const int a0 = p0[i] & 0xFFF, a1 = p1[i] & 0xFFF, a2 = p2[i] & 0xFFF, a3 = p3[i] & 0xFFF;
        int lo = a0 < a1 ? a0 : a1, hi = a0 < a1 ? a1 : a0;
        lo = a2 < lo ? a2 : lo;
        hi = a2 > hi ? a2 : hi;
        lo = a3 < lo ? a3 : lo;
        hi = a3 > hi ? a3 : hi;
        x = a2 - a0;
        y = a3 - a1;
        ok = lo != 0 && hi != 4095;
    }
};

// Two samples against mid-scale: x = 2048 - px, y = 2048 - py.
struct src2 {
    const uint16_t *px, *py;
    void get(size_t i, int &x, int &y, bool &ok) const {
        const int a0 = px[i] & 0xFFF, a1 = py[i] & 0xFFF;
        x = 2048 - a0;
        y = 2048 - a1;
        ok = a0 != 0 && a1 != 0 && a0 != 4095 && a1 != 4095;
    }
};

// ---- per-pixel reference -------------------------------------------------------
struct none_k {
    int32_t offset;  // mm
    int32_t scale;   // thousandths
    uint32_t dmax;   // range, mm
    // Scale 1000 and a range and offset for which every intermediate value
    // of the distance fits in i16: phase * range < 2^31 and the scale
    // multiplies by 1000 and divides by 1000 exactly.
    bool fits16() const {
        return scale == 1000 && dmax <= 32767 && offset >= -32768 &&
               static_cast<int64_t>(offset) + static_cast<int64_t>(dmax) <= 32767;
    }
};

struct drnu_k {
    float t;          // temperature shift, phase units
    float v;          // reference images per phase unit
    float s;          // reference step, phase units
    float wall;       // wall distance, phase units
    int32_t offset;   // user offset, mm
    uint32_t dmax;    // range, mm
    int32_t pmin;     // mean phase of the first reference image
    int32_t kmax;     // last usable lower reference: number of images - 2
    const uint16_t *ref;  // sample 0 of reference image 0; images EPC_DRNU_STRIDE_U16 apart
};

inline int32_t dist_none(const none_k &k, int phase) {
    const int32_t v = wmul(phase, static_cast<int32_t>(k.dmax)) / 32768;
    return wrap_range(wadd(k.offset, wmul(k.scale, v) / 1000), k.dmax);
}

template <class Src>
inline void none_px(const none_k &k, const Src &s, size_t i, uint16_t *dist, uint16_t *gray) {
    int x, y;
    bool ok;
    s.get(i, x, y, ok);
    if (!ok) {
        *gray = 0;
        *dist = EPC_DIST_NO_SAMPLE;
        return;
    }
    *gray = static_cast<uint16_t>(amplitude(x, y));
    *dist = static_cast<uint16_t>(dist_none(k, vx_math_atan2_i32(y, x)));
}

template <class Src>
inline void gray_px(const Src &s, size_t i, uint16_t *gray) {
    int x, y;
    bool ok;
    s.get(i, x, y, ok);
    *gray = ok ? static_cast<uint16_t>(amplitude(x, y)) : 0;
}

inline int32_t dist_drnu(const drnu_k &k, int phase, size_t pix) {
    const int32_t w = cvtt(static_cast<float>(phase) - k.t);
    const int32_t x = cvtt(static_cast<float>(wsub(w, k.pmin)) * k.v);
    const int32_t kk = x < 0 ? 0 : (x > k.kmax ? k.kmax : x);
    const uint16_t *r = k.ref + static_cast<size_t>(kk) * EPC_DRNU_STRIDE_U16 + pix;
    const int32_t r0 = r[0], r1 = r[EPC_DRNU_STRIDE_U16];
    const float a = static_cast<float>(wsub(w, r0)) * k.s;
    // Two references of equal phase give no local slope: interpolate with the
    // mean slope of the whole block instead.
    const float term = r1 != r0 ? a / static_cast<float>(r1 - r0) : a * k.v;
    const int32_t q = cvtt(term + static_cast<float>(kk) * k.s + k.wall);
    return wrap_range(wadd(k.offset, wmul(static_cast<int32_t>(k.dmax), q) / 32768), k.dmax);
}

template <class Src>
inline void drnu_px(const drnu_k &k, const Src &s, size_t i, size_t pix, uint16_t *dist, uint16_t *confid) {
    int x, y;
    bool ok;
    s.get(i, x, y, ok);  // no saturation test on this path
    *confid = static_cast<uint16_t>(amplitude(x, y));
    *dist = static_cast<uint16_t>(dist_drnu(k, vx_math_atan2_i32(y, x), pix));
}

// ---- SSE4.1 (x86-64-v2 baseline) -----------------------------------------------
namespace sse4 {
#define EPC_SIMD_FN
using vi = __m128i;
using vps = __m128;
constexpr int W16 = 8;
inline vi ld16(const uint16_t *p) { return _mm_loadu_si128(reinterpret_cast<const vi *>(p)); }
inline void st16(uint16_t *p, vi v) { _mm_storeu_si128(reinterpret_cast<vi *>(p), v); }
inline vi ld(const int32_t *p) { return _mm_load_si128(reinterpret_cast<const vi *>(p)); }
inline void st(int32_t *p, vi v) { _mm_store_si128(reinterpret_cast<vi *>(p), v); }
inline vi set16(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
inline vi set32(int32_t v) { return _mm_set1_epi32(v); }
inline vps setps(float v) { return _mm_set1_ps(v); }
inline vi and_(vi a, vi b) { return _mm_and_si128(a, b); }
inline vi or_(vi a, vi b) { return _mm_or_si128(a, b); }
inline vi xor_(vi a, vi b) { return _mm_xor_si128(a, b); }
inline vi andnot(vi m, vi a) { return _mm_andnot_si128(m, a); }  // a where m is clear
inline vi blendv(vi a, vi b, vi m) { return _mm_blendv_epi8(a, b, m); }  // b where m is set
inline vi minu16(vi a, vi b) { return _mm_min_epu16(a, b); }
inline vi maxu16(vi a, vi b) { return _mm_max_epu16(a, b); }
inline vi min16(vi a, vi b) { return _mm_min_epi16(a, b); }
inline vi max16(vi a, vi b) { return _mm_max_epi16(a, b); }
inline vi srai16(vi a, int n) { return _mm_srai_epi16(a, n); }
inline vi srli16(vi a, int n) { return _mm_srli_epi16(a, n); }
inline vi cmpeq16(vi a, vi b) { return _mm_cmpeq_epi16(a, b); }
inline vi cmpgt16(vi a, vi b) { return _mm_cmpgt_epi16(a, b); }
inline vi add16(vi a, vi b) { return _mm_add_epi16(a, b); }
inline vi sub16(vi a, vi b) { return _mm_sub_epi16(a, b); }
inline vi abs16(vi a) { return _mm_abs_epi16(a); }
inline vi madd16(vi a, vi b) { return _mm_madd_epi16(a, b); }
inline vi unpacklo16(vi a, vi b) { return _mm_unpacklo_epi16(a, b); }
inline vi unpackhi16(vi a, vi b) { return _mm_unpackhi_epi16(a, b); }
inline vi lo32(vi a) { return _mm_unpacklo_epi16(a, _mm_setzero_si128()); }
inline vi hi32(vi a) { return _mm_unpackhi_epi16(a, _mm_setzero_si128()); }
inline vi pack16(vi a, vi b) { return _mm_packus_epi32(a, b); }
inline vi add32(vi a, vi b) { return _mm_add_epi32(a, b); }
inline vi sub32(vi a, vi b) { return _mm_sub_epi32(a, b); }
inline vi mullo32(vi a, vi b) { return _mm_mullo_epi32(a, b); }
inline vi mul32(vi a, vi b) { return _mm_mul_epi32(a, b); }
inline vi min32(vi a, vi b) { return _mm_min_epi32(a, b); }
inline vi max32(vi a, vi b) { return _mm_max_epi32(a, b); }
inline vi maxu32(vi a, vi b) { return _mm_max_epu32(a, b); }
inline vi cmpeq32(vi a, vi b) { return _mm_cmpeq_epi32(a, b); }
inline vi cmpgt32(vi a, vi b) { return _mm_cmpgt_epi32(a, b); }
inline vi srli32(vi a, int n) { return _mm_srli_epi32(a, n); }
inline vi srai32(vi a, int n) { return _mm_srai_epi32(a, n); }
inline vi slli32(vi a, int n) { return _mm_slli_epi32(a, n); }
inline vi srli64(vi a, int n) { return _mm_srli_epi64(a, n); }
inline vi blend_odd32(vi even, vi odd) { return _mm_blend_epi16(even, odd, 0xCC); }
inline vps cvt_ps(vi a) { return _mm_cvtepi32_ps(a); }
inline vi cvtt_ps(vps a) { return _mm_cvttps_epi32(a); }
inline vps sqrt_ps(vps a) { return _mm_sqrt_ps(a); }
inline vps add_ps(vps a, vps b) { return _mm_add_ps(a, b); }
inline vps sub_ps(vps a, vps b) { return _mm_sub_ps(a, b); }
inline vps mul_ps(vps a, vps b) { return _mm_mul_ps(a, b); }
inline vps div_ps(vps a, vps b) { return _mm_div_ps(a, b); }
inline vps blendv_ps(vps a, vps b, vi m) { return _mm_blendv_ps(a, b, _mm_castsi128_ps(m)); }
inline bool all_eq32(vi a, vi b) { return _mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) == 0xFFFF; }
inline vi mulhiu16(vi a, vi b) { return _mm_mulhi_epu16(a, b); }
inline vi pix_lo() { return _mm_setr_epi32(0, 1, 2, 3); }
inline vi pix_hi() { return _mm_setr_epi32(4, 5, 6, 7); }
#include "driver/epc/epc_calc_simd.inc"
#undef EPC_SIMD_FN
}  // namespace sse4

// ---- AVX2, chosen at run time ---------------------------------------------------
// 256-bit unpacks and packs work per 128-bit lane: lo32 holds pixels 0-3 and
// 8-11, hi32 pixels 4-7 and 12-15, and pack16 puts them back in order.
VX_TARGET_AVX2_BEGIN
namespace avx2 {
#define EPC_SIMD_FN __attribute__((target("avx2")))
using vi = __m256i;
using vps = __m256;
constexpr int W16 = 16;
inline vi ld16(const uint16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const vi *>(p)); }
inline void st16(uint16_t *p, vi v) { _mm256_storeu_si256(reinterpret_cast<vi *>(p), v); }
inline vi ld(const int32_t *p) { return _mm256_load_si256(reinterpret_cast<const vi *>(p)); }
inline void st(int32_t *p, vi v) { _mm256_store_si256(reinterpret_cast<vi *>(p), v); }
inline vi set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
inline vi set32(int32_t v) { return _mm256_set1_epi32(v); }
inline vps setps(float v) { return _mm256_set1_ps(v); }
inline vi and_(vi a, vi b) { return _mm256_and_si256(a, b); }
inline vi or_(vi a, vi b) { return _mm256_or_si256(a, b); }
inline vi xor_(vi a, vi b) { return _mm256_xor_si256(a, b); }
inline vi andnot(vi m, vi a) { return _mm256_andnot_si256(m, a); }
inline vi blendv(vi a, vi b, vi m) { return _mm256_blendv_epi8(a, b, m); }
inline vi minu16(vi a, vi b) { return _mm256_min_epu16(a, b); }
inline vi maxu16(vi a, vi b) { return _mm256_max_epu16(a, b); }
inline vi min16(vi a, vi b) { return _mm256_min_epi16(a, b); }
inline vi max16(vi a, vi b) { return _mm256_max_epi16(a, b); }
inline vi srai16(vi a, int n) { return _mm256_srai_epi16(a, n); }
inline vi srli16(vi a, int n) { return _mm256_srli_epi16(a, n); }
inline vi cmpeq16(vi a, vi b) { return _mm256_cmpeq_epi16(a, b); }
inline vi cmpgt16(vi a, vi b) { return _mm256_cmpgt_epi16(a, b); }
inline vi add16(vi a, vi b) { return _mm256_add_epi16(a, b); }
inline vi sub16(vi a, vi b) { return _mm256_sub_epi16(a, b); }
inline vi abs16(vi a) { return _mm256_abs_epi16(a); }
inline vi madd16(vi a, vi b) { return _mm256_madd_epi16(a, b); }
inline vi unpacklo16(vi a, vi b) { return _mm256_unpacklo_epi16(a, b); }
inline vi unpackhi16(vi a, vi b) { return _mm256_unpackhi_epi16(a, b); }
inline vi lo32(vi a) { return _mm256_unpacklo_epi16(a, _mm256_setzero_si256()); }
inline vi hi32(vi a) { return _mm256_unpackhi_epi16(a, _mm256_setzero_si256()); }
inline vi pack16(vi a, vi b) { return _mm256_packus_epi32(a, b); }
inline vi add32(vi a, vi b) { return _mm256_add_epi32(a, b); }
inline vi sub32(vi a, vi b) { return _mm256_sub_epi32(a, b); }
inline vi mullo32(vi a, vi b) { return _mm256_mullo_epi32(a, b); }
inline vi mul32(vi a, vi b) { return _mm256_mul_epi32(a, b); }
inline vi min32(vi a, vi b) { return _mm256_min_epi32(a, b); }
inline vi max32(vi a, vi b) { return _mm256_max_epi32(a, b); }
inline vi maxu32(vi a, vi b) { return _mm256_max_epu32(a, b); }
inline vi cmpeq32(vi a, vi b) { return _mm256_cmpeq_epi32(a, b); }
inline vi cmpgt32(vi a, vi b) { return _mm256_cmpgt_epi32(a, b); }
inline vi srli32(vi a, int n) { return _mm256_srli_epi32(a, n); }
inline vi srai32(vi a, int n) { return _mm256_srai_epi32(a, n); }
inline vi slli32(vi a, int n) { return _mm256_slli_epi32(a, n); }
inline vi srli64(vi a, int n) { return _mm256_srli_epi64(a, n); }
inline vi blend_odd32(vi even, vi odd) { return _mm256_blend_epi32(even, odd, 0xAA); }
inline vps cvt_ps(vi a) { return _mm256_cvtepi32_ps(a); }
inline vi cvtt_ps(vps a) { return _mm256_cvttps_epi32(a); }
inline vps sqrt_ps(vps a) { return _mm256_sqrt_ps(a); }
inline vps add_ps(vps a, vps b) { return _mm256_add_ps(a, b); }
inline vps sub_ps(vps a, vps b) { return _mm256_sub_ps(a, b); }
inline vps mul_ps(vps a, vps b) { return _mm256_mul_ps(a, b); }
inline vps div_ps(vps a, vps b) { return _mm256_div_ps(a, b); }
inline vps blendv_ps(vps a, vps b, vi m) { return _mm256_blendv_ps(a, b, _mm256_castsi256_ps(m)); }
inline bool all_eq32(vi a, vi b) { return _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, b)) == -1; }
inline vi mulhiu16(vi a, vi b) { return _mm256_mulhi_epu16(a, b); }
inline vi pix_lo() { return _mm256_setr_epi32(0, 1, 2, 3, 8, 9, 10, 11); }
inline vi pix_hi() { return _mm256_setr_epi32(4, 5, 6, 7, 12, 13, 14, 15); }
#include "driver/epc/epc_calc_simd.inc"
#undef EPC_SIMD_FN
}  // namespace avx2
VX_TARGET_AVX2_END

// ---- dispatch ------------------------------------------------------------------
std::atomic<int> g_isa{-1};  // -1: not chosen yet

epc_calc_isa_e isa() {
    int v = g_isa.load(std::memory_order_relaxed);
    if (v < 0) {
        v = _epc_calc_isa_best();
        g_isa.store(v, std::memory_order_relaxed);
    }
    return static_cast<epc_calc_isa_e>(v);
}

template <class Src>
void span_none(const none_k &k, const Src &s, size_t cnt, uint16_t *dist, uint16_t *gray) {
    switch (isa()) {
    case EPC_CALC_ISA_AVX2: avx2::span_none(k, s, cnt, dist, gray); return;
    case EPC_CALC_ISA_SSE4: sse4::span_none(k, s, cnt, dist, gray); return;
    case EPC_CALC_ISA_SCALAR: break;
    }
    for (size_t i = 0; i < cnt; ++i) none_px(k, s, i, dist + i, gray + i);
}

template <class Src>
void span_gray(const Src &s, size_t cnt, uint16_t *gray) {
    switch (isa()) {
    case EPC_CALC_ISA_AVX2: avx2::span_gray(s, cnt, gray); return;
    case EPC_CALC_ISA_SSE4: sse4::span_gray(s, cnt, gray); return;
    case EPC_CALC_ISA_SCALAR: break;
    }
    for (size_t i = 0; i < cnt; ++i) gray_px(s, i, gray + i);
}

template <class Src>
void span_drnu(const drnu_k &k, const Src &s, size_t cnt, size_t pix0, uint16_t *dist, uint16_t *confid) {
    switch (isa()) {
    case EPC_CALC_ISA_AVX2: avx2::span_drnu(k, s, cnt, pix0, dist, confid); return;
    case EPC_CALC_ISA_SSE4: sse4::span_drnu(k, s, cnt, pix0, dist, confid); return;
    case EPC_CALC_ISA_SCALAR: break;
    }
    for (size_t i = 0; i < cnt; ++i) drnu_px(k, s, i, pix0 + i, dist + i, confid + i);
}

// ---- frames --------------------------------------------------------------------
// Hands every pixel of a frame to span4(src4, first, count),
// span2(src2, first, count) or, for rows without partner, nosample(first,
// count); first and count in pixels.
template <class Span4, class Span2, class NoSample>
void for_spans(const uint16_t *q, int w, int h, int n_dcs, Span4 span4, Span2 span2, NoSample nosample) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    if (n_dcs == 4) {
        span4(src4{q, q + n, q + 2 * n, q + 3 * n}, 0, n);
        return;
    }
    if (n_dcs == 2) {
        span2(src2{q, q + n}, 0, n);
        return;
    }
    // One image of alternating row pairs: each row with the same row of the
    // next pair, or of the previous pair for the last pair; the sample of the
    // even pair (row / 2) gives x, that of the odd pair y.
    for (int r = 0; r < h; ++r) {
        const int partner = r + 2 < h ? r + 2 : r - 2;
        const size_t first = static_cast<size_t>(r) * static_cast<size_t>(w);
        if (partner < 0) {
            nosample(first, static_cast<size_t>(w));
            continue;
        }
        const uint16_t *own = q + first, *other = q + static_cast<size_t>(partner) * static_cast<size_t>(w);
        if ((r / 2) % 2 == 0)
            span2(src2{own, other}, first, static_cast<size_t>(w));
        else
            span2(src2{other, own}, first, static_cast<size_t>(w));
    }
}

// Checks shared by every calculation: a driver with its state, buffers, a
// known DCS count and a pixel count that is a multiple of 4.
bool frame_ok(kavro_drv_t *drv, const void *out, const uint16_t *quads, int w, int h, int n) {
    if (!drv || !drv->priv_data || !out || !quads) return false;
    if (n != 1 && n != 2 && n != 4) return false;
    if (w < 0 || h < 0) return false;
    const long long pixels = static_cast<long long>(w) * h;
    return pixels % 4 == 0 && pixels <= INT_MAX;
}

epc_drv_t *epc_of(kavro_drv_t *drv) { return static_cast<epc_drv_t *>(drv->priv_data); }
epc_calc_t *calc_of(epc_drv_t *edrv) { return static_cast<epc_calc_t *>(edrv->priv_data); }

class mutex_lock {
public:
    explicit mutex_lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~mutex_lock() { pthread_mutex_unlock(m_); }
    mutex_lock(const mutex_lock &) = delete;
    mutex_lock &operator=(const mutex_lock &) = delete;

private:
    pthread_mutex_t *m_;
};

// A mounted block of the driver's frequency that the DRNU path can use: at
// least two reference images, all of them in the payload.
bool drnu_usable(const epc_drv_t *edrv, const epc_calc_t *calc) {
    return calc->drnu.payload && calc->drnu.hdr.mod_freq == edrv->mod_freq && calc->config.num_calib_dist >= 2 &&
           calc->config.num_calib_dist <= calc->drnu.hdr.num_dist;
}

// Temperature drift since calibration: (dcb * coef_cb / 10) + (dib * coef_ib / 10),
// each product in float, the tenths and the sum in double.
// Zero when the last described frame carried no plausible temperature: an
// unknown temperature is taken as the calibration temperature, never as 0.
// With t, the temperatures are those of the frame being decoded.
float temp_shift(const epc_drv_t *edrv, const epc_calc_t *calc, float coef_cb, float coef_ib,
                 const epc_frame_temp_t *t = nullptr) {
    const bool known = t ? t->known : !edrv->temp_unknown;
    if (!known) return 0.0f;
    const int16_t cb = t ? t->temp_cb : edrv->temp_cb;
    const int16_t ib = t ? t->temp_ib : edrv->temp_ib;
    const float dcb = static_cast<float>(cb - calc->config.calib_temp_cb);
    const float dib = static_cast<float>(ib - calc->config.calib_temp_ib);
    return static_cast<float>(static_cast<double>(dcb * coef_cb) / 10.0 + static_cast<double>(dib * coef_ib) / 10.0);
}

enum class drnu_src { dcs4, dcs2, mbr };

enum class drnu_result { done, not_usable, refused };

// The DRNU calculation of a checked frame; the caller holds drnu_mutex.
drnu_result drnu_frame_locked(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads, int w,
                              int h, drnu_src mode, const epc_frame_temp_t *temp = nullptr) {
    const int n = mode == drnu_src::dcs4 ? 4 : (mode == drnu_src::dcs2 ? 2 : 1);
    epc_drv_t *edrv = epc_of(drv);
    epc_calc_t *calc = calc_of(edrv);
    if (!drnu_usable(edrv, calc)) return drnu_result::not_usable;
    // The references hold w x h samples of the block's image size (at most
    // 320 x 240); a frame with more pixels has no reference for the rest.
    const epc_drv_param_header_t &hdr = calc->drnu.hdr;
    const long long ref_w = hdr.w ? hdr.w : EPC_DRNU_IMG_W, ref_h = hdr.h ? hdr.h : EPC_DRNU_IMG_H;
    const long long ref_pixels = ref_w * ref_h < EPC_DRNU_PIX_CNT ? ref_w * ref_h : EPC_DRNU_PIX_CNT;
    if (static_cast<long long>(w) * h > ref_pixels) return drnu_result::refused;

    const _epc_calc_config_t &cfg = calc->config;
    drnu_k k;
    k.t = temp_shift(edrv, calc, edrv->tcoef_cb_phase, edrv->tcoef_ib_phase, temp);
    // Equal mean phases of the first and last image give no scale: every
    // pixel then brackets with the first two images.
    const int span = static_cast<int>(cfg.calib_phase_max) - static_cast<int>(cfg.calib_phase_min);
    k.v = span != 0 ? static_cast<float>((cfg.num_calib_dist - 1) / static_cast<double>(span)) : 0.0f;
    // No range (frequency unknown) gives no step.
    k.s = edrv->dist_max_mm != 0
              ? static_cast<float>(static_cast<double>(static_cast<float>(cfg.calib_cdll_step_um) * 32768.0f) /
                                   (static_cast<double>(edrv->dist_max_mm) * 1000.0))
              : 0.0f;
    k.wall = static_cast<float>(edrv->calib_wall_len_phase);
    k.offset = edrv->f_en_offset ? edrv->f_param_offset_mm : 0;
    k.dmax = edrv->dist_max_mm;
    k.pmin = cfg.calib_phase_min;
    k.kmax = cfg.num_calib_dist - 2;
    k.ref = reinterpret_cast<const uint16_t *>(reinterpret_cast<const uint8_t *>(calc->drnu.payload.get()) +
                                               offsetof(epc_drv_param_drnu_payload_t, data));

    auto s4 = [&](const src4 &s, size_t first, size_t cnt) { span_drnu(k, s, cnt, first, dist + first, confid + first); };
    auto s2 = [&](const src2 &s, size_t first, size_t cnt) { span_drnu(k, s, cnt, first, dist + first, confid + first); };
    auto none = [&](size_t first, size_t cnt) {
        for (size_t i = first; i < first + cnt; ++i) {
            dist[i] = EPC_DIST_NO_SAMPLE;
            confid[i] = 0;
        }
    };
    for_spans(quads, w, h, n, s4, s2, none);
    return drnu_result::done;
}

drnu_src drnu_src_of(int n) { return n == 4 ? drnu_src::dcs4 : (n == 2 ? drnu_src::dcs2 : drnu_src::mbr); }

bool drnu_frame(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads, int w, int h,
                drnu_src mode) {
    const int n = mode == drnu_src::dcs4 ? 4 : (mode == drnu_src::dcs2 ? 2 : 1);
    if (!frame_ok(drv, dist, quads, w, h, n) || !confid) return false;
    epc_drv_t *edrv = epc_of(drv);
    if (!calc_of(edrv)) return false;
    mutex_lock lock(&edrv->drnu_mutex);
    return drnu_frame_locked(drv, dist, confid, quads, w, h, mode) == drnu_result::done;
}

// The simple path with the values of the calculation state. The caller
// holds drnu_mutex or knows no mount runs.
bool simple_frame(kavro_drv_t *drv, uint16_t *dist, uint16_t *gray, const uint16_t *quads, int w, int h, int n,
                  const epc_frame_temp_t *temp = nullptr) {
    const epc_drv_t *edrv = epc_of(drv);
    const epc_calc_t *calc = calc_of(const_cast<epc_drv_t *>(edrv));
    if (!calc) return false;
    const float c = std::roundf(temp_shift(edrv, calc, edrv->calib_tcoef_cb_mm, edrv->calib_tcoef_ib_mm, temp));
    return calc_dist_calib_none(drv, dist, gray, quads, w, h, n, calc->config.calib_simple_scale_um,
                                wsub(calc->config.calib_simple_offset_mm, cvtt(c)));
}

// Which calibration decodes now; the caller holds drnu_mutex.
uint32_t calib_kind_locked(const epc_drv_t *edrv, const epc_calc_t *calc) {
    if (edrv->f_en_pix_calib && drnu_usable(edrv, calc)) return KAVRO_FRAME_CALIB_PIXEL;
    return calc->drnu.payload ? KAVRO_FRAME_CALIB_SIMPLE : KAVRO_FRAME_CALIB_NONE;
}

}  // namespace

uint32_t epc_calc_calib_kind(kavro_drv_t *drv) {
    if (!drv || !drv->priv_data) return KAVRO_FRAME_CALIB_NONE;
    epc_drv_t *edrv = epc_of(drv);
    const epc_calc_t *calc = calc_of(edrv);
    if (!calc) return KAVRO_FRAME_CALIB_NONE;
    mutex_lock lock(&edrv->drnu_mutex);
    return calib_kind_locked(edrv, calc);
}

int calc_dist_calib_select(kavro_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *quads, int w, int h,
                           int n, bool want_pixel, const epc_frame_temp_t *temp) {
    if (!frame_ok(drv, dist, quads, w, h, n) || !amp) return -1;
    epc_drv_t *edrv = epc_of(drv);
    const epc_calc_t *calc = calc_of(edrv);
    if (!calc) return -1;
    if (want_pixel && n == 1 && w % 4 != 0) {
        LOG_ERR("width %d not support\n", w);
        return -1;
    }
    // One hold of the lock for the decision and the calculation: a
    // frequency change (unmount and mount) cannot slip in between.
    mutex_lock lock(&edrv->drnu_mutex);
    if (want_pixel) {
        switch (drnu_frame_locked(drv, dist, amp, quads, w, h, drnu_src_of(n), temp)) {
        case drnu_result::done: return static_cast<int>(KAVRO_FRAME_CALIB_PIXEL);
        case drnu_result::refused: return -1;
        case drnu_result::not_usable: break;  // no block of this frequency: the simple path
        }
    }
    if (!simple_frame(drv, dist, amp, quads, w, h, n, temp)) return -1;
    return static_cast<int>(calc->drnu.payload ? KAVRO_FRAME_CALIB_SIMPLE : KAVRO_FRAME_CALIB_NONE);
}

epc_calc_isa_e _epc_calc_isa_best() {
    return __builtin_cpu_supports("avx2") ? EPC_CALC_ISA_AVX2 : EPC_CALC_ISA_SSE4;
}

epc_calc_isa_e _epc_calc_set_isa(epc_calc_isa_e want) {
    const epc_calc_isa_e v = want <= _epc_calc_isa_best() ? want : _epc_calc_isa_best();
    g_isa.store(v, std::memory_order_relaxed);
    return v;
}

bool epc_calc_init(kavro_drv_t *drv) {
    if (!drv || !drv->priv_data) return false;
    epc_drv_t *edrv = epc_of(drv);
    auto *calc = new (std::nothrow) epc_calc_t{};
    if (!calc) return false;
    calc->config.calib_simple_scale_um = 1000;
    calc->config.calib_simple_offset_mm = -2000;
    delete calc_of(edrv);  // a second init replaces the state
    edrv->priv_data = calc;
    return true;
}

void epc_calc_uninit(kavro_drv_t *drv) {
    if (!drv || !drv->priv_data) return;
    epc_drv_t *edrv = epc_of(drv);
    epc_calc_unmount_clib(drv);
    delete calc_of(edrv);
    edrv->priv_data = nullptr;
}

bool epc_calc_calib_loaded(kavro_drv_t *drv) {
    if (!drv || !drv->priv_data) return false;
    epc_drv_t *edrv = epc_of(drv);
    const epc_calc_t *calc = calc_of(edrv);
    if (!calc) return false;
    mutex_lock lock(&edrv->drnu_mutex);
    return drnu_usable(edrv, calc);
}

void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (!dst || !src || w <= 0 || h <= 0) return;
    const size_t row = static_cast<size_t>(w);
    const int half = h / 2;
    for (int k = 0; k < half; ++k) {
        std::memcpy(dst + static_cast<size_t>(half - 1 - k) * row, src + static_cast<size_t>(2 * k) * row,
                    row * sizeof(uint16_t));
        std::memcpy(dst + static_cast<size_t>(half + k) * row, src + static_cast<size_t>(2 * k + 1) * row,
                    row * sizeof(uint16_t));
    }
    if (h % 2 != 0)
        std::memcpy(dst + static_cast<size_t>(h - 1) * row, src + static_cast<size_t>(h - 1) * row,
                    row * sizeof(uint16_t));
}

bool calc_dist_calib_none(kavro_drv_t *drv, uint16_t *dist, uint16_t *gray, const uint16_t *quads, int w, int h,
                          int n, int scale_m, int offset_mm) {
    if (!frame_ok(drv, dist, quads, w, h, n) || !gray) return false;
    const epc_drv_t *edrv = epc_of(drv);
    const none_k k{edrv->f_en_offset ? wadd(offset_mm, edrv->f_param_offset_mm) : offset_mm, scale_m,
                   edrv->dist_max_mm};
    auto s4 = [&](const src4 &s, size_t first, size_t cnt) { span_none(k, s, cnt, dist + first, gray + first); };
    auto s2 = [&](const src2 &s, size_t first, size_t cnt) { span_none(k, s, cnt, dist + first, gray + first); };
    auto none = [&](size_t first, size_t cnt) {
        for (size_t i = first; i < first + cnt; ++i) {
            dist[i] = EPC_DIST_NO_SAMPLE;
            gray[i] = 0;
        }
    };
    for_spans(quads, w, h, n, s4, s2, none);
    return true;
}

bool calc_dist_calib_simple(kavro_drv_t *drv, uint16_t *dist, uint16_t *gray, const uint16_t *quads, int w,
                            int h, int n) {
    if (!frame_ok(drv, dist, quads, w, h, n) || !gray) return false;
    return simple_frame(drv, dist, gray, quads, w, h, n);
}

bool calc_dist_calib_drnu_lut(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads, int w,
                              int h, int n) {
    switch (n) {
    case 4: return calc_dist_calib_drnu_lut_4dcs(drv, dist, confid, quads, w, h);
    case 2: return calc_dist_calib_drnu_lut_2dcs(drv, dist, confid, quads, w, h);
    case 1: return calc_dist_calib_drnu_lut_2dcs_mbr(drv, dist, confid, quads, w, h);
    default: return false;
    }
}

bool calc_dist_calib_drnu_lut_4dcs(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads,
                                   int w, int h) {
    return drnu_frame(drv, dist, confid, quads, w, h, drnu_src::dcs4);
}

bool calc_dist_calib_drnu_lut_2dcs(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads,
                                   int w, int h) {
    return drnu_frame(drv, dist, confid, quads, w, h, drnu_src::dcs2);
}

bool calc_dist_calib_drnu_lut_2dcs_mbr(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid,
                                       const uint16_t *quads, int w, int h) {
    if (w % 4 != 0) {
        LOG_ERR("width %d not support\n", w);
        return false;
    }
    return drnu_frame(drv, dist, confid, quads, w, h, drnu_src::mbr);
}

bool calc_gray(kavro_drv_t *drv, uint16_t *gray, const uint16_t *quads, int w, int h, int n) {
    if (!frame_ok(drv, gray, quads, w, h, n)) return false;
    auto s4 = [&](const src4 &s, size_t first, size_t cnt) { span_gray(s, cnt, gray + first); };
    auto s2 = [&](const src2 &s, size_t first, size_t cnt) { span_gray(s, cnt, gray + first); };
    auto none = [&](size_t first, size_t cnt) { std::memset(gray + first, 0, cnt * sizeof(uint16_t)); };
    for_spans(quads, w, h, n, s4, s2, none);
    return true;
}
