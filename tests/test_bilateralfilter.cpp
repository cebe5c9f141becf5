// Recursive bilateral filter: exact agreement with a plain one-pixel-at-a-time
// computation of the recursions, vector column path against the single-column
// path, edge preservation, constant images, argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "imgproc/vx_bilateralfilter_internal.h"
#include "log_file_capture.h"
#include "vx_bilateralfilter.h"

namespace {

using Image = std::vector<uint16_t>;

struct Params {
    float sigma_spatial;
    float sigma_range;
    uint16_t range_min;
    uint16_t range_max;
};

constexpr Params kDriver{0.02f, 0.1f, 0, 4096};

// Owns an initialised filter record.
struct Bpf {
    Bpf(int w, int h, Params p = kDriver) {
        ok = vx_bpf2d_iir_init(&rec, static_cast<uint32_t>(w), static_cast<uint32_t>(h), p.sigma_spatial,
                               p.sigma_range, p.range_min, p.range_max);
    }
    ~Bpf() { vx_bpf2d_iir_uninit(&rec); }
    Image run(const Image &src) {
        Image in = src, out(src.size(), 0xBEEF);
        vx_bpf2d_iir(&rec, out.data(), in.data(), rec.w, rec.h);
        return out;
    }
    vx_bpf2d_iir_t rec{};
    bool ok = false;
};

// Depth-like test image: a slanted floor, a box in front, sensor noise and a
// few invalid (0) pixels.
Image depth_scene(int w, int h, uint32_t seed, int max_value = 4000) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 15.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    Image img(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = 1500.0f + 2000.0f * static_cast<float>(y) / static_cast<float>(h);
            if (x > w / 4 && x < w / 2 && y > h / 3) v = 800.0f;
            v += noise(rng);
            int iv = std::clamp(static_cast<int>(v), 0, max_value);
            if (pick(rng) < 3) iv = 0;
            img[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(iv);
        }
    return img;
}

// The filter written out one pixel at a time with the record's range table
// and decays: rows (causal + anti-causal), then columns, then normalisation.
Image reference_filter(const vx_bpf2d_iir_t &b, const Image &src) {
    const int w = b.w, h = b.h;
    const int rmin = static_cast<int>(b.range_min), rmax = static_cast<int>(b.range_max);
    auto weight = [&](uint16_t p, uint16_t q, float alpha) {
        int d = std::abs(static_cast<int>(p) - static_cast<int>(q));
        d = std::max(std::min(d, rmax), rmin);
        return b.range_table[d - rmin] * alpha;
    };
    auto at = [w](auto &v, int x, int y) -> auto & { return v[static_cast<size_t>(y) * w + x]; };
    std::vector<float> img_a(src.size()), fac_a(src.size());
    const float k = 1.0f - b.alpha_w;
    for (int y = 0; y < h; ++y) {
        std::vector<float> yc(w), fc(w), ya(w), fa(w);
        yc[0] = at(src, 0, y);
        fc[0] = 1.0f;
        for (int x = 1; x < w; ++x) {
            const float s = weight(at(src, x - 1, y), at(src, x, y), b.alpha_w);
            yc[x] = s * yc[x - 1] + k * static_cast<float>(at(src, x, y));
            fc[x] = s * fc[x - 1] + k;
        }
        ya[w - 1] = at(src, w - 1, y);
        fa[w - 1] = 1.0f;
        for (int x = w - 2; x >= 0; --x) {
            const float s = weight(at(src, x, y), at(src, x + 1, y), b.alpha_w);
            ya[x] = s * ya[x + 1] + k * static_cast<float>(at(src, x, y));
            fa[x] = s * fa[x + 1] + k;
        }
        for (int x = 0; x < w; ++x) {
            at(img_a, x, y) = yc[x] + ya[x];
            at(fac_a, x, y) = fc[x] + fa[x];
        }
    }
    Image out(src.size());
    const float e = 1.0f / (1.0f - b.alpha_h);
    for (int x = 0; x < w; ++x) {
        std::vector<float> A(h), B(h), C(h), D(h);
        A[0] = at(img_a, x, 0) * e;
        B[0] = at(fac_a, x, 0) * e;
        for (int y = 1; y < h; ++y) {
            const float v = weight(at(src, x, y - 1), at(src, x, y), b.alpha_h);
            A[y] = v * A[y - 1] + at(img_a, x, y);
            B[y] = v * B[y - 1] + at(fac_a, x, y);
        }
        C[h - 1] = at(img_a, x, h - 1) * e;
        D[h - 1] = at(fac_a, x, h - 1) * e;
        for (int y = h - 2; y >= 0; --y) {
            const float v = weight(at(src, x, y), at(src, x, y + 1), b.alpha_h);
            C[y] = v * C[y + 1] + at(img_a, x, y);
            D[y] = v * D[y + 1] + at(fac_a, x, y);
        }
        for (int y = 0; y < h; ++y)
            at(out, x, y) = static_cast<uint16_t>(static_cast<int32_t>((A[y] + C[y]) / (B[y] + D[y])));
    }
    return out;
}

// Index of the first differing pixel, or -1.
long first_difference(const Image &a, const Image &b) {
    const auto m = std::mismatch(a.begin(), a.end(), b.begin());
    return m.first == a.end() ? -1 : static_cast<long>(m.first - a.begin());
}

struct SizeCase {
    int w, h;
    Params p;
    friend std::ostream &operator<<(std::ostream &os, const SizeCase &c) {
        return os << c.w << "x" << c.h << " sigma " << c.p.sigma_spatial << "/" << c.p.sigma_range << " range "
                  << c.p.range_min << ".." << c.p.range_max;
    }
};

// Sizes cover: smallest image, odd and even heights (lone last row of the
// row pairs), widths below, at and above multiples of four (vector columns
// plus single columns), the driver's frame size. Parameter sets cover a
// range narrower than the data (clamping at range_max) and a raised
// range_min (small differences share the first table entry).
const SizeCase kSizes[] = {
    {2, 2, kDriver},          {3, 2, kDriver},           {2, 3, kDriver},
    {1, 5, kDriver},          {5, 1, kDriver},           {4, 4, kDriver},
    {5, 3, kDriver},          {5, 5, kDriver},           {7, 6, kDriver},
    {8, 9, kDriver},          {13, 11, kDriver},         {320, 240, kDriver},
    {33, 17, {0.05f, 0.02f, 0, 300}},                    {19, 23, {0.1f, 0.3f, 40, 2500}},
    {64, 48, {0.0f, 0.1f, 0, 65535}},
};

class BpfSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BpfSizes, MatchesPixelByPixelComputationAndRepeats) {
    const SizeCase c = GetParam();
    Bpf bpf(c.w, c.h, c.p);
    ASSERT_TRUE(bpf.ok);
    const Image src = depth_scene(c.w, c.h, static_cast<uint32_t>(c.w * 1000 + c.h));
    const Image expected = reference_filter(bpf.rec, src);
    const Image got = bpf.run(src);
    EXPECT_EQ(first_difference(got, expected), -1);
    // The record keeps no state between frames.
    EXPECT_EQ(first_difference(bpf.run(depth_scene(c.w, c.h, 7)), reference_filter(bpf.rec, depth_scene(c.w, c.h, 7))),
              -1);
    EXPECT_EQ(bpf.run(src), got);
}

TEST_P(BpfSizes, VectorColumnsEqualSingleColumns) {
    const SizeCase c = GetParam();
    Bpf bpf(c.w, c.h, c.p);
    ASSERT_TRUE(bpf.ok);
    Image src = depth_scene(c.w, c.h, 99);
    const Image mixed = bpf.run(src);

    Image single(src.size(), 0);
    bpf.rec.dst = single.data();
    _bpf2d_horizontal(&bpf.rec, src.data());
    _bpf2d_vertical_norm(&bpf.rec, src.data(), 0, c.w);
    EXPECT_EQ(first_difference(single, mixed), -1);

    if (c.w >= 4) {
        Image vec(src.size(), 0);
        bpf.rec.dst = vec.data();
        _bpf2d_vertical_simd(&bpf.rec, src.data(), 0, c.w / 4 * 4);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w / 4 * 4; ++x) {
                const size_t i = static_cast<size_t>(y) * c.w + x;
                ASSERT_EQ(vec[i], single[i]) << "x=" << x << " y=" << y;
            }
    }
}

TEST_P(BpfSizes, ConstantImageStaysWithinOneUnit) {
    const SizeCase c = GetParam();
    Bpf bpf(c.w, c.h, c.p);
    ASSERT_TRUE(bpf.ok);
    for (uint16_t v : {uint16_t{0}, uint16_t{1}, uint16_t{1000}, uint16_t{4095}, uint16_t{65535}}) {
        const Image out = bpf.run(Image(static_cast<size_t>(c.w) * c.h, v));
        for (uint16_t o : out) {
            ASSERT_LE(o, v);
            ASSERT_GE(o + 1, v) << "value " << v;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BpfSizes, ::testing::ValuesIn(kSizes), [](const auto &info) {
    return std::to_string(info.param.w) + "x" + std::to_string(info.param.h) + "_" +
           std::to_string(info.index);
});

TEST(Bpf, ResultStaysBetweenSmallestAndLargestInput) {
    Bpf bpf(320, 240);
    ASSERT_TRUE(bpf.ok);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> val(200, 3900);
    Image src(320 * 240);
    for (auto &v : src) v = static_cast<uint16_t>(val(rng));
    const auto [lo, hi] = std::minmax_element(src.begin(), src.end());
    for (uint16_t o : bpf.run(src)) {
        ASSERT_GE(o + 1, *lo);
        ASSERT_LE(o, *hi);
    }
}

TEST(Bpf, StepEdgeBetweenHalvesStaysSharp) {
    constexpr int w = 320, h = 240;
    Bpf bpf(w, h);
    ASSERT_TRUE(bpf.ok);
    Image src(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) src[y * w + x] = x < w / 2 ? 1000 : 3000;
    const Image out = bpf.run(src);
    for (int y = 0; y < h; ++y) {
        const uint16_t *row = &out[y * w];
        for (int x = 0; x < w / 2 - 40; ++x) ASSERT_NEAR(row[x], 1000, 1) << x << "," << y;
        for (int x = w / 2 + 40; x < w; ++x) ASSERT_NEAR(row[x], 3000, 1) << x << "," << y;
        // Only a small share leaks across (weight about 0.0076 * alpha).
        EXPECT_GT(row[w / 2 - 1], 1002);
        EXPECT_LT(row[w / 2 - 1], 1030);
        EXPECT_GT(row[w / 2], 2970);
        EXPECT_LT(row[w / 2], 2998);
        EXPECT_LE(row[w / 2 - 2], row[w / 2 - 1]);
    }
}

TEST(Bpf, SmoothsNoiseWithinASurface) {
    constexpr int w = 320, h = 240;
    Bpf bpf(w, h);
    ASSERT_TRUE(bpf.ok);
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 20.0f);
    Image src(w * h);
    for (auto &v : src) v = static_cast<uint16_t>(2000.0f + noise(rng));
    const Image out = bpf.run(src);
    auto spread = [](const Image &img) {
        double s = 0, s2 = 0;
        for (uint16_t v : img) {
            s += v;
            s2 += static_cast<double>(v) * v;
        }
        const double n = static_cast<double>(img.size());
        return std::sqrt(s2 / n - (s / n) * (s / n));
    };
    EXPECT_LT(spread(out), spread(src) / 4);
}

TEST(Bpf, InitFillsTableAndDecays) {
    Bpf bpf(320, 240);
    ASSERT_TRUE(bpf.ok);
    const vx_bpf2d_iir_t &r = bpf.rec;
    EXPECT_EQ(r.range_table_cnt, 4097u);
    EXPECT_EQ(r.range_table[0], 1.0f);
    for (int i : {1, 409, 2000, 4096}) EXPECT_NEAR(r.range_table[i], std::exp(-i / 409.7), 1e-6) << i;
    EXPECT_NEAR(r.alpha_w, std::exp(-std::sqrt(2.0) / 6.4), 1e-6);
    EXPECT_NEAR(r.alpha_h, std::exp(-std::sqrt(2.0) / 4.8), 1e-6);
    EXPECT_EQ(r.range_min, 0.0f);
    EXPECT_EQ(r.range_max, 4096.0f);
}

TEST(Bpf, InPlaceGivesTheSameResult) {
    Bpf bpf(37, 29);
    ASSERT_TRUE(bpf.ok);
    Image img = depth_scene(37, 29, 3);
    const Image expected = bpf.run(img);
    vx_bpf2d_iir(&bpf.rec, img.data(), img.data(), 37, 29);
    EXPECT_EQ(img, expected);
}

struct BadInit {
    uint32_t w, h;
    Params p;
    const char *message;
};

TEST(Bpf, InitRefusesBadArgumentsAndHoldsNoBuffers) {
    const BadInit cases[] = {
        {40961, 240, kDriver, "[vx_bpf2d_iir_init] wrong image width or height: w=40961, h=240\n"},
        {320, 40961, kDriver, "[vx_bpf2d_iir_init] wrong image width or height: w=320, h=40961\n"},
        {0xFFFFFFFFu, 1, kDriver, "[vx_bpf2d_iir_init] wrong image width or height: w=4294967295, h=1\n"},
        {0, 240, kDriver, "[vx_bpf2d_iir_init] wrong image width or height: w=0, h=240\n"},
        {320, 0, kDriver, "[vx_bpf2d_iir_init] wrong image width or height: w=320, h=0\n"},
        {320, 240, {0.02f, 0.0f, 0, 4096}, "[vx_bpf2d_iir_init] wrong sigma"},
        {320, 240, {0.02f, 1e-45f, 0, 4096}, "[vx_bpf2d_iir_init] wrong sigma"},
        {320, 240, {-0.02f, 0.1f, 0, 4096}, "[vx_bpf2d_iir_init] wrong sigma"},
        {320, 240, {NAN, 0.1f, 0, 4096}, "[vx_bpf2d_iir_init] wrong sigma"},
        {320, 240, {1e9f, 0.1f, 0, 4096}, "[vx_bpf2d_iir_init] wrong sigma"},
        {320, 240, {0.02f, 0.1f, 100, 50}, "[vx_bpf2d_iir_init] wrong value range: min=100, max=50\n"},
    };
    for (const BadInit &c : cases) {
        LogFileCapture log("bpf_init");
        vx_bpf2d_iir_t rec;
        memset(&rec, 0x5A, sizeof rec);
        EXPECT_FALSE(vx_bpf2d_iir_init(&rec, c.w, c.h, c.p.sigma_spatial, c.p.sigma_range, c.p.range_min,
                                       c.p.range_max));
        EXPECT_TRUE(log.contains(std::string("[ERR]") + c.message)) << log.text();
        EXPECT_EQ(rec.range_table, nullptr);
        EXPECT_EQ(rec.img_a, nullptr);
        EXPECT_EQ(rec.fac_a, nullptr);
        for (float *b : rec.lbuf) EXPECT_EQ(b, nullptr);
        vx_bpf2d_iir_uninit(&rec);  // harmless on a refused record
    }
    vx_bpf2d_iir_uninit(nullptr);
}

TEST(Bpf, FilterRefusesWrongArgumentsAndLeavesDstUntouched) {
    Bpf bpf(16, 12);
    ASSERT_TRUE(bpf.ok);
    vx_bpf2d_iir_t zeroed{};
    Image src = depth_scene(16, 12, 1);
    struct Call {
        vx_bpf2d_iir_t *rec;
        bool null_dst, null_src;
        int w, h;
    };
    const Call calls[] = {
        {&bpf.rec, false, false, 12, 16}, {&bpf.rec, false, false, 16, 11}, {&bpf.rec, false, false, 0, 0},
        {&bpf.rec, true, false, 16, 12},  {&bpf.rec, false, true, 16, 12},  {nullptr, false, false, 16, 12},
        {&zeroed, false, false, 0, 0},    {&zeroed, false, false, 16, 12},
    };
    for (const Call &c : calls) {
        LogFileCapture log("bpf_filter");
        Image dst(src.size(), 0x1234);
        vx_bpf2d_iir(c.rec, c.null_dst ? nullptr : dst.data(), c.null_src ? nullptr : src.data(), c.w, c.h);
        EXPECT_TRUE(log.contains("[ERR][vx_bpf2d_iir] wrong parameters\n")) << log.text();
        EXPECT_EQ(dst, Image(src.size(), 0x1234));
    }
    // A released record is refused too.
    vx_bpf2d_iir_uninit(&bpf.rec);
    LogFileCapture log("bpf_released");
    Image dst(src.size(), 0x1234);
    vx_bpf2d_iir(&bpf.rec, dst.data(), src.data(), 16, 12);
    EXPECT_TRUE(log.contains("wrong parameters")) << log.text();
    EXPECT_EQ(dst, Image(src.size(), 0x1234));
}

}  // namespace
