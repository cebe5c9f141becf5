// Fixed 3x3 and 5x5 median filters: branch-free selection networks run
// across 8 (SSE) or 16 (AVX2, chosen at run time) pixels at once; the
// networks themselves are in vx_medfilter_net.h.
#include "vx_medfilter.h"

#include <immintrin.h>

#include "vx_log_internal.h"
#include "vx_medfilter_internal.h"
#include "vx_medfilter_net.h"

namespace {

struct SseOps {
    using V = __m128i;
    static constexpr int N = 8;
    static V load(const uint16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static void store(uint16_t *p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
    static V min(V a, V b) { return _mm_min_epu16(a, b); }
    static V max(V a, V b) { return _mm_max_epu16(a, b); }
    // Lanes [p7, c0 ... c6] and [c1 ... c7, n0].
    static V prev1(V c, V p) { return _mm_alignr_epi8(c, p, 14); }
    static V next1(V n, V c) { return _mm_alignr_epi8(n, c, 2); }
    static V splat_first(V v) { return _mm_shuffle_epi8(v, _mm_set1_epi16(0x0100)); }
    static V splat_last(V v) { return _mm_shuffle_epi8(v, _mm_set1_epi16(0x0F0E)); }
};

}  // namespace

bool _median2d_isa_supported(vx_med_isa_e isa) {
    switch (isa) {
    case VX_MED_ISA_SCALAR:
    case VX_MED_ISA_SSE:
        return true;
    case VX_MED_ISA_AVX2:
        return __builtin_cpu_supports("avx2");
    }
    return false;
}

vx_med_isa_e _median2d_isa_best() {
    static const vx_med_isa_e best = _median2d_isa_supported(VX_MED_ISA_AVX2) ? VX_MED_ISA_AVX2 : VX_MED_ISA_SSE;
    return best;
}

void _median2d_u16_k3_isa(uint16_t *dst, const uint16_t *src, int w, int h, vx_med_isa_e isa) {
    switch (isa) {
    case VX_MED_ISA_SCALAR:
        median3_image<ScalarOps>(dst, src, w, h);
        break;
    case VX_MED_ISA_SSE:
        median3_image<SseOps>(dst, src, w, h);
        break;
    case VX_MED_ISA_AVX2:
        _median2d_u16_k3_avx2(dst, src, w, h);
        break;
    }
}

void _median2d_u16_k5_isa(uint16_t *dst, const uint16_t *src, int w, int h, vx_med_isa_e isa) {
    switch (isa) {
    case VX_MED_ISA_SCALAR:
        median5_image<ScalarOps>(dst, src, w, h);
        break;
    case VX_MED_ISA_SSE:
        median5_image<SseOps>(dst, src, w, h);
        break;
    case VX_MED_ISA_AVX2:
        _median2d_u16_k5_avx2(dst, src, w, h);
        break;
    }
}

extern "C" {

void vx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    _median2d_u16_k3_isa(dst, src, w, h, _median2d_isa_best());
}

void vx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (w <= 1 || h <= 1) {
        LOG_ERR(" wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    _median2d_u16_k5_isa(dst, src, w, h, _median2d_isa_best());
}

}  // extern "C"
