// Pixel format conversions: the truncation and wrap rules, agreement of the
// vector and scalar paths for every count and alignment, and the in-place
// and widening buffer layouts the library relies on. Every check runs once
// per instruction set the CPU supports (SSE4.1 baseline, AVX2), so all the
// vector paths are held to the same results.
#include "vx_conv.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "vx_conv_internal.h"

namespace {

// Runs body once per instruction set this CPU supports, then goes back to
// the library's own choice.
template <typename F>
void for_each_isa(F body) {
    for (vx_conv_isa_e isa : {VX_CONV_ISA_BASE, VX_CONV_ISA_AVX2}) {
        if (isa > _vx_conv_isa_best()) continue;
        ASSERT_EQ(_vx_conv_set_isa(isa), isa);
        SCOPED_TRACE(isa == VX_CONV_ISA_AVX2 ? "AVX2 path" : "baseline path");
        body();
    }
    _vx_conv_set_isa(_vx_conv_isa_best());
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Float to int32 as the conversions define it: truncation toward zero, and
// 0x80000000 for NaN and anything outside the int32 range.
int32_t ref_trunc(float v) {
    if (std::isnan(v) || v >= 2147483648.0f || v < -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// ---- rules, one value at a time --------------------------------------------

struct RuleCase {
    const char *what;
    float src;
    float scale;
    int64_t want;  // expected destination value
};

// Each rule is checked with cnt 1 (scalar path) and with a long run of the
// same value, so the vector steps, the aligning head and the tail all meet it.
template <typename D, typename S, typename F>
void check_rule(const RuleCase &c, S src_val, F conv) {
    SCOPED_TRACE(c.what);
    for_each_isa([&] {
        for (int cnt : {1, 67}) {
            std::vector<S> src(static_cast<size_t>(cnt), src_val);
            std::vector<D> dst(static_cast<size_t>(cnt), static_cast<D>(0x5A5A5A5A));
            conv(dst.data(), src.data(), cnt);
            for (int i = 0; i < cnt; ++i)
                ASSERT_EQ(static_cast<int64_t>(dst[static_cast<size_t>(i)]), c.want) << "cnt " << cnt << " element " << i;
        }
    });
}

TEST(ConvRules, F32ToU16TruncatesAndKeepsLow16Bits) {
    const RuleCase cases[] = {
        {"2.9 truncates", 2.9f, 1.0f, 2},
        {"-0.5 truncates to 0", -0.5f, 1.0f, 0},
        {"-1 wraps", -1.0f, 1.0f, 65535},
        {"65535.9", 65535.9f, 1.0f, 65535},
        {"65536 wraps to 0", 65536.0f, 1.0f, 0},
        {"70000 keeps low bits", 70000.0f, 1.0f, 4464},
        {"scale applies before truncation", 0.7f, 1000.0f, 700},
        {"-70000", -70000.0f, 1.0f, (-70000) & 0xFFFF},
        {"NaN", kNaN, 1.0f, 0},
        {"+inf", kInf, 1.0f, 0},
        {"-inf", -kInf, 1.0f, 0},
        {"above int32", 3e9f, 1.0f, 0},
        {"below int32", -3e9f, 1.0f, 0},
        {"product out of range", 3e4f, 1e6f, 0},
        {"largest float below 2^31", 2147483520.0f, 1.0f, 2147483520 & 0xFFFF},
    };
    for (const RuleCase &c : cases)
        check_rule<uint16_t>(c, c.src, [&](uint16_t *d, const float *s, int n) { vx_conv_f32_u16(d, s, n, c.scale); });
}

TEST(ConvRules, F32ToU8TruncatesAndKeepsLow8Bits) {
    const RuleCase cases[] = {
        {"2.9 truncates", 2.9f, 1.0f, 2},
        {"-0.5 truncates to 0", -0.5f, 1.0f, 0},
        {"-1 wraps", -1.0f, 1.0f, 255},
        {"255.99", 255.99f, 1.0f, 255},
        {"256 wraps to 0", 256.0f, 1.0f, 0},
        {"300 keeps low bits", 300.0f, 1.0f, 44},
        {"70000 keeps low bits", 70000.0f, 1.0f, 70000 & 0xFF},
        {"scale", 1000.0f, 0.255f, 255},
        {"NaN", kNaN, 1.0f, 0},
        {"+inf", kInf, 1.0f, 0},
        {"above int32", 1e10f, 1.0f, 0},
        {"below int32", -1e10f, 1.0f, 0},
    };
    for (const RuleCase &c : cases)
        check_rule<uint8_t>(c, c.src, [&](uint8_t *d, const float *s, int n) { vx_conv_f32_u8(d, s, n, c.scale); });
}

TEST(ConvRules, F32ToU32ReducesLikeU16) {
    const RuleCase cases[] = {
        {"2.9 truncates", 2.9f, 1.0f, 2},
        {"-0.5 truncates to 0", -0.5f, 1.0f, 0},
        {"-1 wraps in 16 bits", -1.0f, 1.0f, 65535},
        {"65535", 65535.0f, 1.0f, 65535},
        {"70000 keeps low 16 bits", 70000.0f, 1.0f, 4464},
        {"NaN", kNaN, 1.0f, 0},
        {"above int32", 3e9f, 1.0f, 0},
    };
    for (const RuleCase &c : cases)
        check_rule<uint32_t>(c, c.src, [&](uint32_t *d, const float *s, int n) { vx_conv_f32_u32(d, s, n, c.scale); });
}

TEST(ConvRules, U16ToF32IsOneSinglePrecisionMultiplication) {
    // 1234 mm at 0.001 is 1.23400009f: the single-precision product, which is
    // not the float nearest 1.234 (1.23399997f) that a double product gives.
    const RuleCase cases[] = {
        {"1234 mm in metres", 1234.0f, 0.001f, 0},
        {"65535 at 1.0", 65535.0f, 1.0f, 0},
        {"0", 0.0f, 0.001f, 0},
    };
    const float want[] = {1.23400009f, 65535.0f, 0.0f};
    for (size_t k = 0; k < std::size(cases); ++k) {
        const RuleCase &c = cases[k];
        SCOPED_TRACE(c.what);
        for_each_isa([&] {
            for (int cnt : {1, 67}) {
                std::vector<uint16_t> src(static_cast<size_t>(cnt), static_cast<uint16_t>(c.src));
                std::vector<float> dst(static_cast<size_t>(cnt), -1.0f);
                vx_conv_u16_f32(dst.data(), src.data(), cnt, c.scale);
                for (float v : dst) ASSERT_EQ(v, want[k]);
            }
        });
    }
}

TEST(ConvRules, U16ToU32IsTheFullProduct) {
    const RuleCase cases[] = {
        {"largest product", 65535, 65535, 4294836225LL},
        {"high bit of the factor", 0x8000, 2, 0x10000},
        {"scale 0", 1234, 0, 0},
        {"scale 1000", 1234, 1000, 1234000},
    };
    for (const RuleCase &c : cases)
        check_rule<uint32_t>(c, static_cast<uint16_t>(c.src), [&](uint32_t *d, const uint16_t *s, int n) {
            vx_conv_u16_u32(d, s, n, static_cast<uint16_t>(c.scale));
        });
}

TEST(ConvRules, U16ToU8ShiftsLogicallyAndKeepsLow8Bits) {
    // scale carries the shift count here.
    const RuleCase cases[] = {
        {"shift 8 keeps the high byte", 0xABCD, 8, 0xAB},
        {"shift 0 keeps the low byte", 0xABCD, 0, 0xCD},
        {"shift 4", 0xABCD, 4, 0xBC},
        {"logical, not arithmetic", 0x8000, 15, 1},
        {"shift 16", 0xFFFF, 16, 0},
        {"shift 31", 0xFFFF, 31, 0},
    };
    for (const RuleCase &c : cases)
        check_rule<uint8_t>(c, static_cast<uint16_t>(c.src), [&](uint8_t *d, const uint16_t *s, int n) {
            vx_conv_u16_u8(d, s, n, static_cast<uint8_t>(c.scale));
        });
}

// ---- every conversion over counts and alignments -------------------------

// One conversion with fixed parameters, seen through bytes so that buffers
// can sit at any byte offset.
struct Kernel {
    std::string name;
    size_t src_size, dst_size;
    std::function<void(void *dst, const void *src, int cnt)> run;
    std::function<void(void *dst_elem, const void *src_elem)> ref;  // one element
    bool float_src;
};

// Test names and failure messages show the kernel's name, not its raw bytes.
void PrintTo(const Kernel &k, std::ostream *os) { *os << k.name; }

template <typename D, typename S>
Kernel make_kernel(std::string name, std::function<void(D *, const S *, int)> run, std::function<D(S)> ref) {
    Kernel k;
    k.name = std::move(name);
    k.src_size = sizeof(S);
    k.dst_size = sizeof(D);
    k.run = [run](void *d, const void *s, int n) { run(static_cast<D *>(d), static_cast<const S *>(s), n); };
    k.ref = [ref](void *d, const void *s) {
        S v;
        memcpy(&v, s, sizeof v);
        const D r = ref(v);
        memcpy(d, &r, sizeof r);
    };
    k.float_src = std::is_same_v<S, float>;
    return k;
}

std::vector<Kernel> all_kernels() {
    std::vector<Kernel> ks;
    for (int shr : {0, 3, 8, 16})
        ks.push_back(make_kernel<uint8_t, uint16_t>(
            "u16_u8_shr" + std::to_string(shr),
            [shr](uint8_t *d, const uint16_t *s, int n) { vx_conv_u16_u8(d, s, n, static_cast<uint8_t>(shr)); },
            [shr](uint16_t v) { return static_cast<uint8_t>(shr >= 16 ? 0 : v >> shr); }));
    for (float scale : {1.0f, 0.001f})
        ks.push_back(make_kernel<float, uint16_t>(
            "u16_f32_scale" + std::to_string(scale),
            [scale](float *d, const uint16_t *s, int n) { vx_conv_u16_f32(d, s, n, scale); },
            [scale](uint16_t v) { return static_cast<float>(v) * scale; }));
    for (int scale : {0, 7, 65535})
        ks.push_back(make_kernel<uint32_t, uint16_t>(
            "u16_u32_scale" + std::to_string(scale),
            [scale](uint32_t *d, const uint16_t *s, int n) { vx_conv_u16_u32(d, s, n, static_cast<uint16_t>(scale)); },
            [scale](uint16_t v) { return static_cast<uint32_t>(v) * static_cast<uint32_t>(scale); }));
    for (float scale : {1.0f, 0.37f})
        ks.push_back(make_kernel<uint8_t, float>(
            "f32_u8_scale" + std::to_string(scale),
            [scale](uint8_t *d, const float *s, int n) { vx_conv_f32_u8(d, s, n, scale); },
            [scale](float v) { return static_cast<uint8_t>(ref_trunc(v * scale)); }));
    for (float scale : {1.0f, 1000.0f})
        ks.push_back(make_kernel<uint16_t, float>(
            "f32_u16_scale" + std::to_string(scale),
            [scale](uint16_t *d, const float *s, int n) { vx_conv_f32_u16(d, s, n, scale); },
            [scale](float v) { return static_cast<uint16_t>(ref_trunc(v * scale)); }));
    for (float scale : {1.0f, 3.5f})
        ks.push_back(make_kernel<uint32_t, float>(
            "f32_u32_scale" + std::to_string(scale),
            [scale](uint32_t *d, const float *s, int n) { vx_conv_f32_u32(d, s, n, scale); },
            [scale](float v) { return static_cast<uint32_t>(ref_trunc(v * scale)) & 0xFFFFu; }));
    return ks;
}

// Source bytes for n elements: every 16-bit value is possible; floats mix
// fractions, negatives, values beyond 16 bits and beyond int32, and NaN/inf.
std::vector<uint8_t> make_source(const Kernel &k, size_t n, std::mt19937 &rng) {
    std::vector<uint8_t> bytes(n * k.src_size);
    for (size_t i = 0; i < n; ++i) {
        if (k.float_src) {
            float v;
            switch (rng() % 8) {
            case 0: v = std::uniform_real_distribution<float>(-300.0f, 300.0f)(rng); break;
            case 1: v = std::uniform_real_distribution<float>(-1e5f, 1e5f)(rng); break;
            case 2: v = std::uniform_real_distribution<float>(-3e9f, 3e9f)(rng); break;
            case 3: v = (rng() & 1) ? kNaN : ((rng() & 1) ? kInf : -kInf); break;
            default: v = std::uniform_real_distribution<float>(0.0f, 70000.0f)(rng); break;
            }
            memcpy(&bytes[i * 4], &v, 4);
        } else {
            const auto v = static_cast<uint16_t>(rng());
            memcpy(&bytes[i * 2], &v, 2);
        }
    }
    return bytes;
}

class ConvKernel : public ::testing::TestWithParam<Kernel> {};

// The library's own scalar path (cnt 1, one element per call) agrees with
// the reference on varied data, so the long-run checks below compare the
// vector path with both.
TEST_P(ConvKernel, ScalarPathMatchesReference) {
    const Kernel &k = GetParam();
    std::mt19937 rng(7);
    const size_t n = 4000;
    const std::vector<uint8_t> src = make_source(k, n, rng);
    for (size_t i = 0; i < n; ++i) {
        uint8_t got[4] = {}, want[4] = {};
        k.run(got, &src[i * k.src_size], 1);
        k.ref(want, &src[i * k.src_size]);
        ASSERT_EQ(0, memcmp(got, want, k.dst_size)) << "element " << i;
    }
}

// Every count around the vector widths, every byte offset of source and
// destination: the result equals the element-wise reference and nothing
// outside the destination range is written.
TEST_P(ConvKernel, AnyCountAndAlignmentMatchesScalar) {
    const Kernel &k = GetParam();
    std::mt19937 rng(11);
    constexpr uint8_t kGuard = 0xA5;
    constexpr size_t kPad = 32;
    for_each_isa([&] {
        for (int cnt : {1, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 1001}) {
            const size_t n = static_cast<size_t>(cnt);
            const std::vector<uint8_t> src_data = make_source(k, n, rng);
            std::vector<uint8_t> want(n * k.dst_size);
            for (size_t i = 0; i < n; ++i) k.ref(&want[i * k.dst_size], &src_data[i * k.src_size]);

            // 16-byte aligned backing stores, so offset o really is o bytes past
            // a 16-byte boundary.
            std::vector<__uint128_t> src_store((n * k.src_size + kPad + 15) / 16 + 1);
            std::vector<__uint128_t> dst_store((n * k.dst_size + 2 * kPad + 15) / 16 + 1);
            auto *src_base = reinterpret_cast<uint8_t *>(src_store.data());
            auto *dst_base = reinterpret_cast<uint8_t *>(dst_store.data());
            for (size_t so = 0; so < 16; ++so) {
                for (size_t dof = 0; dof < 16; ++dof) {
                    memcpy(src_base + so, src_data.data(), src_data.size());
                    memset(dst_base, kGuard, dst_store.size() * 16);
                    uint8_t *dst = dst_base + kPad / 2 + dof;
                    k.run(dst, src_base + so, cnt);
                    ASSERT_EQ(0, memcmp(dst, want.data(), want.size()))
                        << "cnt " << cnt << " src offset " << so << " dst offset " << dof;
                    for (uint8_t *p = dst_base; p < dst; ++p) ASSERT_EQ(*p, kGuard) << "written before dst";
                    for (uint8_t *p = dst + want.size(); p < dst_base + dst_store.size() * 16; ++p)
                        ASSERT_EQ(*p, kGuard) << "written past dst, cnt " << cnt;
                }
            }
        }
    });
}

TEST_P(ConvKernel, NonPositiveCountWritesNothing) {
    const Kernel &k = GetParam();
    std::vector<uint8_t> src(64 * k.src_size, 1);
    std::vector<uint8_t> dst(64 * k.dst_size, 0xA5);
    for (int cnt : {0, -1, -64, INT32_MIN}) {
        k.run(dst.data(), src.data(), cnt);
        for (uint8_t b : dst) ASSERT_EQ(b, 0xA5) << "cnt " << cnt;
        k.run(nullptr, nullptr, cnt);
    }
}

INSTANTIATE_TEST_SUITE_P(All, ConvKernel, ::testing::ValuesIn(all_kernels()),
                         [](const ::testing::TestParamInfo<Kernel> &info) {
                             std::string s = info.param.name;
                             for (char &c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

// ---- buffer layouts -------------------------------------------------------

// Narrowing to 8 bits in place (dst == src) and into a buffer that starts a
// little before the source: the overlap is detected and every element is
// still computed from its original source value.
TEST(ConvOverlap, NarrowingToU8InPlace) {
    std::mt19937 rng(3);
    for_each_isa([&] {
        for (int cnt : {1, 17, 64, 1001}) {
            for (size_t back : {0, 3}) {
                SCOPED_TRACE("cnt " + std::to_string(cnt) + " dst " + std::to_string(back) + " bytes before src");
                const size_t n = static_cast<size_t>(cnt);
                std::vector<uint16_t> v16(n);
                std::vector<float> vf(n);
                for (size_t i = 0; i < n; ++i) {
                    v16[i] = static_cast<uint16_t>(rng());
                    vf[i] = std::uniform_real_distribution<float>(-1000.0f, 1000.0f)(rng);
                }

                std::vector<uint8_t> buf(back + n * 4 + 16);
                memcpy(buf.data() + back, v16.data(), n * 2);
                vx_conv_u16_u8(buf.data(), reinterpret_cast<const uint16_t *>(buf.data() + back), cnt, 4);
                for (size_t i = 0; i < n; ++i) ASSERT_EQ(buf[i], static_cast<uint8_t>(v16[i] >> 4)) << "u16 element " << i;

                memcpy(buf.data() + back, vf.data(), n * 4);
                vx_conv_f32_u8(buf.data(), reinterpret_cast<const float *>(buf.data() + back), cnt, 0.5f);
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(buf[i], static_cast<uint8_t>(ref_trunc(vf[i] * 0.5f))) << "f32 element " << i;
            }
        }
    });
}

// Widening 16-bit data that sits in the second half of the 32-bit
// destination buffer into that buffer, as the frame API converts frames.
TEST(ConvOverlap, WideningFromSecondHalfOfDestination) {
    std::mt19937 rng(5);
    for_each_isa([&] {
        for (int cnt : {1, 7, 8, 15, 16, 17, 33, 1001, 76800}) {
            for (size_t off : {0, 4, 6}) {  // buffer start relative to 16 bytes
                SCOPED_TRACE("cnt " + std::to_string(cnt) + " offset " + std::to_string(off));
                const size_t n = static_cast<size_t>(cnt);
                std::vector<uint16_t> v16(n);
                for (uint16_t &v : v16) v = static_cast<uint16_t>(rng());
                std::vector<__uint128_t> store(n * 4 / 16 + 2);
                uint8_t *buf = reinterpret_cast<uint8_t *>(store.data()) + off;

                memcpy(buf + n * 2, v16.data(), n * 2);
                vx_conv_u16_u32(reinterpret_cast<uint32_t *>(buf), reinterpret_cast<const uint16_t *>(buf + n * 2), cnt,
                                3);
                for (size_t i = 0; i < n; ++i) {
                    uint32_t got;
                    memcpy(&got, buf + i * 4, 4);
                    ASSERT_EQ(got, v16[i] * 3u) << "u32 element " << i;
                }

                memcpy(buf + n * 2, v16.data(), n * 2);
                vx_conv_u16_f32(reinterpret_cast<float *>(buf), reinterpret_cast<const uint16_t *>(buf + n * 2), cnt,
                                0.001f);
                for (size_t i = 0; i < n; ++i) {
                    float got;
                    memcpy(&got, buf + i * 4, 4);
                    ASSERT_EQ(got, static_cast<float>(v16[i]) * 0.001f) << "f32 element " << i;
                }
            }
        }
    });
}

TEST(ConvRoundTrip, EveryU16ValueSurvivesF32AndBack) {
    for_each_isa([&] {
        std::vector<uint16_t> src(65536), back(65536, 0);
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(i);
        std::vector<float> f(65536);
        vx_conv_u16_f32(f.data(), src.data(), 65536, 1.0f);
        for (size_t i = 0; i < f.size(); ++i) ASSERT_EQ(f[i], static_cast<float>(i));
        vx_conv_f32_u16(back.data(), f.data(), 65536, 1.0f);
        EXPECT_EQ(back, src);
    });
}

}  // namespace
