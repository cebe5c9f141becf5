// AVX2 build of the fixed 3x3 and 5x5 median networks: 16 u16 lanes.
//
// The whole translation unit is compiled for AVX2 and is only entered after
// a run-time check of the CPU (see vx_medfilter.cpp). Standard headers are
// included before the target switch, and the kernels have internal linkage,
// so no AVX2 code can be shared with baseline callers through the linker.
#include "vx_simd_target.h"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "vx_medfilter_internal.h"

VX_TARGET_AVX2_BEGIN

#include "vx_medfilter_net.h"

namespace {

struct Avx2Ops {
    using V = __m256i;
    static constexpr int N = 16;
    static V load(const uint16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static void store(uint16_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
    static V min(V a, V b) { return _mm256_min_epu16(a, b); }
    static V max(V a, V b) { return _mm256_max_epu16(a, b); }
    // Lanes [p15, c0 ... c14] and [c1 ... c15, n0].
    static V prev1(V c, V p) { return _mm256_alignr_epi8(c, _mm256_permute2x128_si256(p, c, 0x21), 14); }
    static V next1(V n, V c) { return _mm256_alignr_epi8(_mm256_permute2x128_si256(c, n, 0x21), c, 2); }
    static V splat_first(V v) { return _mm256_broadcastw_epi16(_mm256_castsi256_si128(v)); }
    static V splat_last(V v) { return _mm256_set1_epi16(static_cast<short>(_mm256_extract_epi16(v, 15))); }
};

}  // namespace

void _median2d_u16_k3_avx2(uint16_t *dst, const uint16_t *src, int w, int h) {
    median3_image<Avx2Ops>(dst, src, w, h);
}

void _median2d_u16_k5_avx2(uint16_t *dst, const uint16_t *src, int w, int h) {
    median5_image<Avx2Ops>(dst, src, w, h);
}

VX_TARGET_AVX2_END
