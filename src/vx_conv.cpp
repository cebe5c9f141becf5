// Element-wise pixel format conversions, vectorised with SSE2/SSE4.1.
//
// Every conversion has the same shape: inputs shorter than SHORT_CNT go
// straight to the scalar loop; longer ones convert a few elements one at a
// time until the destination is 16-byte aligned, then whole vector steps,
// then the remainder one at a time. The scalar and vector code compute the
// same thing bit for bit: the float products are single-precision
// multiplications in both, and the float to integer conversion of both is
// the truncating CVTTSS2SI/CVTTPS2DQ, which turns NaN and products outside
// the int32 range into 0x80000000.
//
// Ordering: each scalar element and each vector step reads its source
// elements before it writes its destination elements, and the work runs
// front to back. That is what lets the u16 -> u32/f32 widenings convert data
// sitting in the second half of the destination buffer, and the u8
// narrowings convert in place.
#include "vx_conv.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

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

// Truncation toward zero with the same instruction family as the vector path
// (0x80000000 for NaN and out-of-range values; a plain cast would be
// undefined behaviour there).
inline int32_t trunc_i32(float v) { return _mm_cvttss_si32(_mm_set_ss(v)); }

// Leading elements to convert one at a time until p is 16-byte aligned. A
// pointer that is not even aligned to its element size never gets there; the
// vector stores are unaligned ones, so it just starts at once.
template <typename T>
int head_count(const T *p, int cnt) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (a % sizeof(T) != 0) return 0;
    const int n = static_cast<int>(((16 - (a & 15)) & 15) / sizeof(T));
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
// i ... i + STEP - 1.
template <int STEP, typename D, typename One, typename Step>
void run(D *dst, int cnt, bool vector_ok, One one, Step step) {
    int i = 0;
    if (vector_ok && cnt >= SHORT_CNT) {
        const int head = head_count(dst, cnt);
        for (; i < head; ++i) one(i);
        for (; i + STEP <= cnt; i += STEP) step(i);
    }
    for (; i < cnt; ++i) one(i);
}

}  // namespace

extern "C" {

void vx_conv_u16_u8(uint8_t *dst, const uint16_t *src, int cnt, uint8_t shr_bit) {
    if (cnt <= 0) return;
    // Shifts of 16 and more leave nothing of a 16-bit value; the vector shift
    // (PSRLW) gives 0 there too, so both paths agree for every shr_bit.
    const unsigned shr = shr_bit;
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shr));
    const __m128i low8 = _mm_set1_epi16(0x00FF);
    const size_t n = static_cast<size_t>(cnt);
    run<16>(
        dst, cnt, !overlaps(dst, n, src, n * sizeof(uint16_t)),
        [&](int i) {
            const unsigned v = load_u16(src + i);
            dst[i] = static_cast<uint8_t>(shr >= 16 ? 0u : v >> shr);
        },
        [&](int i) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 8));
            const __m128i ra = _mm_and_si128(_mm_srl_epi16(a, count), low8);
            const __m128i rb = _mm_and_si128(_mm_srl_epi16(b, count), low8);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(ra, rb));
        });
}

void vx_conv_u16_f32(float *dst, const uint16_t *src, int cnt, float scale) {
    if (cnt <= 0) return;
    const __m128 s = _mm_set1_ps(scale);
    const __m128i zero = _mm_setzero_si128();
    run<8>(
        dst, cnt, true, [&](int i) { store_f32(dst + i, static_cast<float>(load_u16(src + i)) * scale); },
        [&](int i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, zero));
            const __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(v, zero));
            _mm_storeu_ps(dst + i, _mm_mul_ps(lo, s));
            _mm_storeu_ps(dst + i + 4, _mm_mul_ps(hi, s));
        });
}

void vx_conv_u16_u32(uint32_t *dst, const uint16_t *src, int cnt, uint16_t scale) {
    if (cnt <= 0) return;
    // A 16 x 16-bit product is assembled from its low and high halves
    // (PMULLW, PMULHUW), which is exact and cheaper than PMULLD.
    const __m128i s = _mm_set1_epi16(static_cast<short>(scale));
    const uint32_t s32 = scale;
    run<8>(
        dst, cnt, true, [&](int i) { store_u32(dst + i, static_cast<uint32_t>(load_u16(src + i)) * s32); },
        [&](int i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i lo = _mm_mullo_epi16(v, s);
            const __m128i hi = _mm_mulhi_epu16(v, s);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_unpacklo_epi16(lo, hi));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), _mm_unpackhi_epi16(lo, hi));
        });
}

void vx_conv_f32_u8(uint8_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low8 = _mm_set1_epi32(0xFF);
    const size_t n = static_cast<size_t>(cnt);
    auto conv4 = [&](const float *p) {
        return _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(p), s)), low8);
    };
    run<16>(
        dst, cnt, !overlaps(dst, n, src, n * sizeof(float)),
        [&](int i) { dst[i] = static_cast<uint8_t>(trunc_i32(load_f32(src + i) * scale)); },
        [&](int i) {
            const __m128i a = conv4(src + i);
            const __m128i b = conv4(src + i + 4);
            const __m128i c = conv4(src + i + 8);
            const __m128i d = conv4(src + i + 12);
            // Every lane is 0...255 after the mask, so the saturating packs
            // only narrow.
            const __m128i ab = _mm_packus_epi32(a, b);
            const __m128i cd = _mm_packus_epi32(c, d);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(ab, cd));
        });
}

void vx_conv_f32_u16(uint16_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    run<8>(
        dst, cnt, true, [&](int i) { store_u16(dst + i, static_cast<uint16_t>(trunc_i32(load_f32(src + i) * scale))); },
        [&](int i) {
            const __m128i a = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i), s)), low16);
            const __m128i b = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i + 4), s)), low16);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi32(a, b));
        });
}

void vx_conv_f32_u32(uint32_t *dst, const float *src, int cnt, float scale) {
    if (cnt <= 0) return;
    // The truncated value keeps its low 16 bits, as in vx_conv_f32_u16, so
    // both conversions give the same number for every input.
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    run<8>(
        dst, cnt, true,
        [&](int i) { store_u32(dst + i, static_cast<uint32_t>(trunc_i32(load_f32(src + i) * scale)) & 0xFFFFu); },
        [&](int i) {
            const __m128i a = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i), s)), low16);
            const __m128i b = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i + 4), s)), low16);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), a);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), b);
        });
}

}  // extern "C"
