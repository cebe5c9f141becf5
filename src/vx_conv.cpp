// Element-wise pixel format conversions, vectorised with SSE2/SSE4.1 (the
// x86-64-v2 baseline) and, where the CPU has it, AVX2.
//
// Every conversion has the same shape: inputs shorter than SHORT_CNT go
// straight to the scalar loop; longer ones convert a few elements one at a
// time until the destination is aligned to the vector width, then whole
// vector steps, then the remainder one at a time. The scalar, SSE and AVX2
// code compute the same thing bit for bit: the float products are
// single-precision multiplications in all of them (never fused), and the
// float to integer conversion is always the truncating CVTTSS2SI/CVTTPS2DQ,
// which turns NaN and products outside the int32 range into 0x80000000.
//
// Ordering: each scalar element and each vector step reads its source
// elements before it writes its destination elements, and the work runs
// front to back. That is what lets the u16 -> u32/f32 widenings convert data
// sitting in the second half of the destination buffer: a step of k
// elements at i writes destination bytes up to 4(i + k), while the first
// source byte not yet read is at 2cnt + 2(i + k), which is not below it as
// long as i + k <= cnt. The u8 narrowings detect overlapping buffers and
// then convert one element at a time.
#include "vx_simd_target.h"
#include "vx_conv.h"

#include <immintrin.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vx_conv_internal.h"

namespace {

// Element access for the scalar paths: callers may hand buffers that are not
// aligned to their element size, and the widening conversions alias source
// and destination, so scalar reads and writes go through types that carry
// neither an alignment nor an aliasing promise.
typedef uint16_t u16_ua __attribute__((aligned(1), may_alias));
typedef uint32_t u32_ua __attribute__((aligned(1), may_alias));
typedef float f32_ua __attribute__((aligned(1), may_alias));

// Below this count the vector set-up does not pay off.
constexpr int SHORT_CNT = 32;

inline uint16_t load_u16(const uint16_t *p) { return *reinterpret_cast<const u16_ua *>(p); }
inline float load_f32(const float *p) { return *reinterpret_cast<const f32_ua *>(p); }
inline void store_u16(uint16_t *p, uint16_t v) { *reinterpret_cast<u16_ua *>(p) = v; }
inline void store_u32(uint32_t *p, uint32_t v) { *reinterpret_cast<u32_ua *>(p) = v; }
inline void store_f32(float *p, float v) { *reinterpret_cast<f32_ua *>(p) = v; }

// Truncation toward zero with the same instruction family as the vector
// paths (0x80000000 for NaN and out-of-range values; a plain cast would be
// undefined behaviour there).
inline int32_t trunc_i32(float v) { return _mm_cvttss_si32(_mm_set_ss(v)); }

// ---- one element ------------------------------------------------------------
// Shifts of 16 and more leave nothing of a 16-bit value; the vector shifts
// (PSRLW) give 0 there too, so every path agrees for every shr.
inline void el_u16_u8(uint8_t *d, const uint16_t *s, unsigned shr) {
    const unsigned v = load_u16(s);
    *d = static_cast<uint8_t>(shr >= 16 ? 0u : v >> shr);
}
inline void el_u16_f32(float *d, const uint16_t *s, float scale) {
    store_f32(d, static_cast<float>(load_u16(s)) * scale);
}
inline void el_u16_u32(uint32_t *d, const uint16_t *s, uint32_t scale) {
    store_u32(d, static_cast<uint32_t>(load_u16(s)) * scale);
}
inline void el_f32_u8(uint8_t *d, const float *s, float scale) {
    *d = static_cast<uint8_t>(trunc_i32(load_f32(s) * scale));
}
inline void el_f32_u16(uint16_t *d, const float *s, float scale) {
    store_u16(d, static_cast<uint16_t>(trunc_i32(load_f32(s) * scale)));
}
// The 32-bit destination keeps the low 16 bits, as vx_conv_f32_u16 does, so
// both conversions give the same number for every input.
inline void el_f32_u32(uint32_t *d, const float *s, float scale) {
    store_u32(d, static_cast<uint32_t>(trunc_i32(load_f32(s) * scale)) & 0xFFFFu);
}

// Leading elements to convert one at a time until p is ALIGN-byte aligned. A
// pointer that is not even aligned to its element size never gets there; the
// vector stores are unaligned ones, so it just starts at once.
template <size_t ALIGN, typename T>
int head_count(const T *p, int cnt) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (a % sizeof(T) != 0) return 0;
    const int n = static_cast<int>(((ALIGN - (a % ALIGN)) % ALIGN) / sizeof(T));
    return n < cnt ? n : cnt;
}

// Whether the byte ranges [a, a + na) and [b, b + nb) share a byte.
bool overlaps(const void *a, size_t na, const void *b, size_t nb) {
    const uintptr_t pa = reinterpret_cast<uintptr_t>(a);
    const uintptr_t pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + nb && pb < pa + na;
}

// The common driver: scalar head up to dst alignment, vector steps of STEP
// elements, scalar tail. one(i) converts element i, step(i) elements
// i ... i + STEP - 1. (The AVX2 code has its own copy: a driver compiled
// for the baseline cannot inline AVX2 steps.)
template <size_t ALIGN, int STEP, typename D, typename One, typename Step>
inline void run(D *dst, int cnt, One one, Step step) {
    int i = 0;
    if (cnt >= SHORT_CNT) {
        const int head = head_count<ALIGN>(dst, cnt);
        for (; i < head; ++i) one(i);
        for (; i + STEP <= cnt; i += STEP) step(i);
    }
    for (; i < cnt; ++i) one(i);
}

// ---- SSE2/SSE4.1 --------------------------------------------------------------
namespace base {

void u16_u8(uint8_t *dst, const uint16_t *src, int cnt, unsigned shr) {
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shr));
    const __m128i low8 = _mm_set1_epi16(0x00FF);
    run<16, 16>(
        dst, cnt, [&](int i) { el_u16_u8(dst + i, src + i, shr); },
        [&](int i) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 8));
            const __m128i ra = _mm_and_si128(_mm_srl_epi16(a, count), low8);
            const __m128i rb = _mm_and_si128(_mm_srl_epi16(b, count), low8);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(ra, rb));
        });
}

void u16_f32(float *dst, const uint16_t *src, int cnt, float scale) {
    const __m128 s = _mm_set1_ps(scale);
    const __m128i zero = _mm_setzero_si128();
    run<16, 8>(
        dst, cnt, [&](int i) { el_u16_f32(dst + i, src + i, scale); },
        [&](int i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, zero));
            const __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(v, zero));
            _mm_storeu_ps(dst + i, _mm_mul_ps(lo, s));
            _mm_storeu_ps(dst + i + 4, _mm_mul_ps(hi, s));
        });
}

void u16_u32(uint32_t *dst, const uint16_t *src, int cnt, uint16_t scale) {
    // A 16 x 16-bit product is assembled from its low and high halves
    // (PMULLW, PMULHUW), which is exact and cheaper than PMULLD.
    const __m128i s = _mm_set1_epi16(static_cast<short>(scale));
    run<16, 8>(
        dst, cnt, [&](int i) { el_u16_u32(dst + i, src + i, scale); },
        [&](int i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i lo = _mm_mullo_epi16(v, s);
            const __m128i hi = _mm_mulhi_epu16(v, s);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_unpacklo_epi16(lo, hi));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), _mm_unpackhi_epi16(lo, hi));
        });
}

// Four floats times the scale, truncated, masked to the low bits.
inline __m128i trunc4(const float *p, __m128 s, __m128i mask) {
    return _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(p), s)), mask);
}

void f32_u8(uint8_t *dst, const float *src, int cnt, float scale) {
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low8 = _mm_set1_epi32(0xFF);
    run<16, 16>(
        dst, cnt, [&](int i) { el_f32_u8(dst + i, src + i, scale); },
        [&](int i) {
            // Every lane is 0...255 after the mask, so the saturating packs
            // only narrow.
            const __m128i ab = _mm_packus_epi32(trunc4(src + i, s, low8), trunc4(src + i + 4, s, low8));
            const __m128i cd = _mm_packus_epi32(trunc4(src + i + 8, s, low8), trunc4(src + i + 12, s, low8));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(ab, cd));
        });
}

void f32_u16(uint16_t *dst, const float *src, int cnt, float scale) {
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    run<16, 8>(
        dst, cnt, [&](int i) { el_f32_u16(dst + i, src + i, scale); },
        [&](int i) {
            const __m128i r = _mm_packus_epi32(trunc4(src + i, s, low16), trunc4(src + i + 4, s, low16));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), r);
        });
}

void f32_u32(uint32_t *dst, const float *src, int cnt, float scale) {
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    run<16, 8>(
        dst, cnt, [&](int i) { el_f32_u32(dst + i, src + i, scale); },
        [&](int i) {
            const __m128i a = trunc4(src + i, s, low16);
            const __m128i b = trunc4(src + i + 4, s, low16);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), a);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), b);
        });
}

}  // namespace base

// ---- AVX2, chosen at run time ---------------------------------------------------
// Same operations on 256-bit vectors. The 256-bit packs work per 128-bit
// lane, so their results are put back in element order with a permute.
VX_TARGET_AVX2_BEGIN
namespace avx2 {

template <size_t ALIGN, int STEP, typename D, typename One, typename Step>
inline void run(D *dst, int cnt, One one, Step step) {
    int i = 0;
    if (cnt >= SHORT_CNT) {
        const int head = head_count<ALIGN>(dst, cnt);
        for (; i < head; ++i) one(i);
        for (; i + STEP <= cnt; i += STEP) step(i);
    }
    for (; i < cnt; ++i) one(i);
}

inline __m256i load(const uint16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store(void *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

void u16_u8(uint8_t *dst, const uint16_t *src, int cnt, unsigned shr) {
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shr));
    const __m256i low8 = _mm256_set1_epi16(0x00FF);
    run<32, 32>(
        dst, cnt, [&](int i) { el_u16_u8(dst + i, src + i, shr); },
        [&](int i) {
            const __m256i a = _mm256_and_si256(_mm256_srl_epi16(load(src + i), count), low8);
            const __m256i b = _mm256_and_si256(_mm256_srl_epi16(load(src + i + 16), count), low8);
            // Lanes hold a0-7 b0-7 | a8-15 b8-15: swap the middle quarters.
            store(dst + i, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
        });
}

void u16_f32(float *dst, const uint16_t *src, int cnt, float scale) {
    const __m256 s = _mm256_set1_ps(scale);
    // 32 elements per step: four independent widen-convert-multiply chains
    // keep both load ports and the store port busy.
    run<32, 32>(
        dst, cnt, [&](int i) { el_u16_f32(dst + i, src + i, scale); },
        [&](int i) {
            for (int k = 0; k < 32; k += 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + k));
                _mm256_storeu_ps(dst + i + k, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v)), s));
            }
        });
}

void u16_u32(uint32_t *dst, const uint16_t *src, int cnt, uint16_t scale) {
    const __m256i s = _mm256_set1_epi16(static_cast<short>(scale));
    run<32, 16>(
        dst, cnt, [&](int i) { el_u16_u32(dst + i, src + i, scale); },
        [&](int i) {
            const __m256i v = load(src + i);
            const __m256i lo = _mm256_mullo_epi16(v, s);
            const __m256i hi = _mm256_mulhi_epu16(v, s);
            // Per lane: p0 = products 0-3 | 8-11, p1 = 4-7 | 12-15.
            const __m256i p0 = _mm256_unpacklo_epi16(lo, hi);
            const __m256i p1 = _mm256_unpackhi_epi16(lo, hi);
            store(dst + i, _mm256_permute2x128_si256(p0, p1, 0x20));
            store(dst + i + 8, _mm256_permute2x128_si256(p0, p1, 0x31));
        });
}

inline __m256i trunc8(const float *p, __m256 s, __m256i mask) {
    return _mm256_and_si256(_mm256_cvttps_epi32(_mm256_mul_ps(_mm256_loadu_ps(p), s)), mask);
}

void f32_u8(uint8_t *dst, const float *src, int cnt, float scale) {
    const __m256 s = _mm256_set1_ps(scale);
    const __m256i low8 = _mm256_set1_epi32(0xFF);
    // After the two packs the lanes hold, in groups of four bytes,
    // a0 b0 c0 d0 | a1 b1 c1 d1 (x0 = elements 0-3 of x, x1 = 4-7).
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    run<32, 32>(
        dst, cnt, [&](int i) { el_f32_u8(dst + i, src + i, scale); },
        [&](int i) {
            const __m256i ab = _mm256_packus_epi32(trunc8(src + i, s, low8), trunc8(src + i + 8, s, low8));
            const __m256i cd = _mm256_packus_epi32(trunc8(src + i + 16, s, low8), trunc8(src + i + 24, s, low8));
            store(dst + i, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd), order));
        });
}

void f32_u16(uint16_t *dst, const float *src, int cnt, float scale) {
    const __m256 s = _mm256_set1_ps(scale);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    run<32, 16>(
        dst, cnt, [&](int i) { el_f32_u16(dst + i, src + i, scale); },
        [&](int i) {
            const __m256i r = _mm256_packus_epi32(trunc8(src + i, s, low16), trunc8(src + i + 8, s, low16));
            store(dst + i, _mm256_permute4x64_epi64(r, 0xD8));
        });
}

void f32_u32(uint32_t *dst, const float *src, int cnt, float scale) {
    const __m256 s = _mm256_set1_ps(scale);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    run<32, 16>(
        dst, cnt, [&](int i) { el_f32_u32(dst + i, src + i, scale); },
        [&](int i) {
            store(dst + i, trunc8(src + i, s, low16));
            store(dst + i + 8, trunc8(src + i + 8, s, low16));
        });
}

}  // namespace avx2
VX_TARGET_AVX2_END

// ---- dispatch ------------------------------------------------------------------
std::atomic<int> g_isa{-1};  // -1: not chosen yet

vx_conv_isa_e isa() {
    int v = g_isa.load(std::memory_order_relaxed);
    if (v < 0) {
        v = _vx_conv_isa_best();
        g_isa.store(v, std::memory_order_relaxed);
    }
    return static_cast<vx_conv_isa_e>(v);
}

inline bool use_avx2() { return isa() == VX_CONV_ISA_AVX2; }

}  // namespace

vx_conv_isa_e _vx_conv_isa_best() {
    return __builtin_cpu_supports("avx2") ? VX_CONV_ISA_AVX2 : VX_CONV_ISA_BASE;
}

vx_conv_isa_e _vx_conv_set_isa(vx_conv_isa_e want) {
    const vx_conv_isa_e v = want <= _vx_conv_isa_best() ? want : _vx_conv_isa_best();
    g_isa.store(v, std::memory_order_relaxed);
    return v;
}

extern "C" {

void vx_conv_u16_u8(uint8_t *dst, const uint16_t *src, int cnt, uint8_t shr_bit) {
    if (cnt <= 0) return;
    const size_t n = static_cast<size_t>(cnt);
    if (overlaps(dst, n, src, n * sizeof(uint16_t))) {
        for (int i = 0; i < cnt; ++i) el_u16_u8(dst + i, src + i, shr_bit);
    } else if (use_avx2()) {
        avx2::u16_u8(dst, src, cnt, shr_bit);
    } else {
        base::u16_u8(dst, src, cnt, shr_bit);
    }
}

void vx_conv_u16_f32(float *dst, const uint16_t *src, int cnt, float scale) {
    if (cnt <= 0) return;
    if (use_avx2()) {
        avx2::u16_f32(dst, src, cnt, scale);
    } else {
        base::u16_f32(dst, src, cnt, scale);
    }
}

void vx_conv_u16_u32(uint32_t *dst, const uint16_t *src, int cnt, uint16_t scale) {
    if (cnt <= 0) return;
    if (use_avx2()) {
        avx2::u16_u32(dst, src, cnt, scale);
    } else {
        base::u16_u32(dst, src, cnt, scale);
    }
}

void vx_conv_f32_u8(uint8_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    const size_t n = static_cast<size_t>(cnt);
    if (overlaps(dst, n, src, n * sizeof(float))) {
        for (int i = 0; i < cnt; ++i) el_f32_u8(dst + i, src + i, scale);
    } else if (use_avx2()) {
        avx2::f32_u8(dst, src, cnt, scale);
    } else {
        base::f32_u8(dst, src, cnt, scale);
    }
}

void vx_conv_f32_u16(uint16_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    if (use_avx2()) {
        avx2::f32_u16(dst, src, cnt, scale);
    } else {
        base::f32_u16(dst, src, cnt, scale);
    }
}

void vx_conv_f32_u32(uint32_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    if (use_avx2()) {
        avx2::f32_u32(dst, src, cnt, scale);
    } else {
        base::f32_u32(dst, src, cnt, scale);
    }
}

}  // extern "C"
