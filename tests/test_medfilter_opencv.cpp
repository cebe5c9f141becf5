// Median filters: the fixed 3x3 and 5x5 networks on every instruction-set
// path and the general k x k sliding-window filter, checked against a
// brute-force median of the clamped window and against cv::medianBlur.
//
// Border rule: window samples outside the image read the nearest edge pixel
// (clamp), which is what cv::medianBlur does too (BORDER_REPLICATE is the
// only border it supports), so the two must agree pixel for pixel.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imgproc/vx_medfilter_internal.h"
#include "vx_log.h"
#include "vx_medfilter.h"

namespace {

using Image = std::vector<uint16_t>;

Image brute_median(const Image &src, int w, int h, int k) {
    const int pad = k / 2;
    Image out(src.size());
    std::vector<uint16_t> win;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            win.clear();
            for (int dy = -pad; dy <= pad; ++dy)
                for (int dx = -pad; dx <= pad; ++dx) {
                    const int sx = std::clamp(x + dx, 0, w - 1), sy = std::clamp(y + dy, 0, h - 1);
                    win.push_back(src[static_cast<size_t>(sy * w + sx)]);
                }
            std::nth_element(win.begin(), win.begin() + static_cast<long>(win.size() / 2), win.end());
            out[static_cast<size_t>(y * w + x)] = win[win.size() / 2];
        }
    }
    return out;
}

Image opencv_median(const Image &src, int w, int h, int k) {
    cv::Mat in(h, w, CV_16U, const_cast<uint16_t *>(src.data()));
    cv::Mat out;
    cv::medianBlur(in, out, k);
    return Image(out.ptr<uint16_t>(), out.ptr<uint16_t>() + static_cast<size_t>(w) * static_cast<size_t>(h));
}

// Value generators: full 16-bit range, few distinct values (many ties, zeros
// included), and a depth-like ramp with noise and dropped pixels.
struct Gen {
    const char *name;
    std::function<uint16_t(std::mt19937 &, int, int)> f;
};

const Gen kGens[] = {
    {"wide", [](std::mt19937 &r, int, int) { return static_cast<uint16_t>(r()); }},
    {"ties", [](std::mt19937 &r, int, int) { return static_cast<uint16_t>(r() % 4); }},
    {"extremes", [](std::mt19937 &r, int, int) { return static_cast<uint16_t>(r() % 2 ? 65535 : 0); }},
    {"depth",
     [](std::mt19937 &r, int x, int y) {
         if (r() % 10 == 0) return uint16_t{0};
         return static_cast<uint16_t>(800 + 3 * x + 2 * y + static_cast<int>(r() % 41) - 20);
     }},
};

Image make_image(const Gen &g, int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    Image img(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img[static_cast<size_t>(y * w + x)] = g.f(rng, x, y);
    return img;
}

std::vector<vx_med_isa_e> supported_isas() {
    std::vector<vx_med_isa_e> isas;
    for (vx_med_isa_e isa : {VX_MED_ISA_SCALAR, VX_MED_ISA_SSE, VX_MED_ISA_AVX2})
        if (_median2d_isa_supported(isa)) isas.push_back(isa);
    return isas;
}

// Captures what the default logger prints to the console during f.
std::string captured_log(const std::function<void()> &f) {
    vx_log_init(nullptr, nullptr, "test");
    testing::internal::CaptureStderr();
    f();
    std::string out = testing::internal::GetCapturedStderr();
    vx_log_uninit(nullptr);
    return out;
}

struct Size {
    int w, h;
};

// Sizes from the smallest allowed upward, odd and even, around the vector
// widths (8, 16) and across the 256-column chunks the fixed filters use.
const Size kFixedSizes[] = {{2, 2},  {3, 2},  {2, 3},  {3, 3},  {4, 5},   {5, 4},   {7, 9},   {8, 8},
                            {9, 2},  {15, 3}, {16, 4}, {17, 6}, {18, 5},  {31, 7},  {33, 20}, {40, 31},
                            {255, 3}, {256, 4}, {257, 5}, {258, 3}, {300, 6}, {515, 3}, {320, 240}};

TEST(MedianFixed, EveryPathEqualsBruteForceAndOpenCv) {
    unsigned seed = 1;
    for (int k : {3, 5}) {
        for (const Size &s : kFixedSizes) {
            for (const Gen &g : kGens) {
                SCOPED_TRACE(testing::Message() << "k=" << k << " " << s.w << "x" << s.h << " " << g.name);
                const Image src = make_image(g, s.w, s.h, seed++);
                const Image want = brute_median(src, s.w, s.h, k);
                EXPECT_EQ(opencv_median(src, s.w, s.h, k), want) << "OpenCV disagrees with the brute force";
                for (vx_med_isa_e isa : supported_isas()) {
                    Image got(src.size(), 0xBEEF);
                    if (k == 3)
                        _median2d_u16_k3_isa(got.data(), src.data(), s.w, s.h, isa);
                    else
                        _median2d_u16_k5_isa(got.data(), src.data(), s.w, s.h, isa);
                    EXPECT_EQ(got, want) << "isa " << isa;
                }
                Image exported(src.size(), 0xBEEF), general(src.size(), 0xBEEF);
                (k == 3 ? vx_median2d_u16_k3 : vx_median2d_u16_k5)(exported.data(), src.data(), s.w, s.h);
                vx_median2d_u16(general.data(), src.data(), s.w, s.h, k);
                EXPECT_EQ(exported, want);
                EXPECT_EQ(general, want);
            }
        }
    }
}

TEST(MedianFixed, HandMadeFixtures) {
    // 2x2 with kernel 3: each window holds one corner pixel four times.
    const Image four = {1, 2, 3, 4};
    Image out(4);
    vx_median2d_u16_k3(out.data(), four.data(), 2, 2);
    EXPECT_EQ(out, (Image{2, 2, 3, 3}));

    // Zeros are ordinary values: four corner 5s never form a majority.
    const Image corners = {5, 0, 5, 0, 0, 0, 5, 0, 5};
    Image out3(9, 7);
    vx_median2d_u16_k3(out3.data(), corners.data(), 3, 3);
    EXPECT_EQ(out3, Image(9, 0));
}

TEST(MedianAnyKernel, ConstantImageIsUnchanged) {
    for (int k : {3, 5, 7, 9, 11}) {
        const Image src(12 * 9, 4242);
        Image out(src.size(), 0);
        vx_median2d_u16(out.data(), src.data(), 12, 9, k);
        EXPECT_EQ(out, src) << "k=" << k;
    }
}

// Sizes for the sliding-window filter: windows reaching past both edges
// (k up to 2 * size - 1), odd and even row counts so rows are written in
// both directions and the last row ends on either side.
TEST(MedianAnyKernel, EqualsBruteForce) {
    const Size sizes[] = {{4, 4}, {4, 7}, {6, 5}, {9, 8}, {13, 13}, {32, 17}, {47, 24}};
    unsigned seed = 100;
    for (int k : {7, 9, 11}) {
        for (const Size &s : sizes) {
            if (k >= 2 * s.w || k >= 2 * s.h) continue;
            for (const Gen &g : kGens) {
                SCOPED_TRACE(testing::Message() << "k=" << k << " " << s.w << "x" << s.h << " " << g.name);
                const Image src = make_image(g, s.w, s.h, seed++);
                Image got(src.size(), 0xBEEF);
                vx_median2d_u16(got.data(), src.data(), s.w, s.h, k);
                EXPECT_EQ(got, brute_median(src, s.w, s.h, k));
            }
        }
    }
}

TEST(MedianAnyKernel, LargestKernelAcceptedForSize) {
    // Kernel 7 on 4x4: every window spans the whole image and more.
    const Image src = make_image(kGens[0], 4, 4, 7);
    Image got(src.size(), 0xBEEF);
    const std::string log = captured_log([&] { vx_median2d_u16(got.data(), src.data(), 4, 4, 7); });
    EXPECT_EQ(log, "");
    EXPECT_EQ(got, brute_median(src, 4, 4, 7));
}

struct BadCall {
    const char *what;
    int w, h, k;  // k 0 = vx_median2d_u16_k3, -100 = vx_median2d_u16_k5, else the general filter
    const char *message;
};

TEST(MedianErrors, BadSizesAreLoggedAndDstIsUntouched) {
    const BadCall calls[] = {
        {"k3 w=1", 1, 5, 0, "[vx_median2d_u16_k3]  wrong parameter:w/h=1/5\n"},
        {"k3 h=1", 5, 1, 0, "[vx_median2d_u16_k3]  wrong parameter:w/h=5/1\n"},
        {"k3 negative", -4, 5, 0, "[vx_median2d_u16_k3]  wrong parameter:w/h=-4/5\n"},
        {"k5 w=1", 1, 5, -100, "[vx_median2d_u16_k5]  wrong parameter:w/h=1/5\n"},
        {"k5 h=0", 5, 0, -100, "[vx_median2d_u16_k5]  wrong parameter:w/h=5/0\n"},
        {"general k=3 w=1", 1, 6, 3, "[vx_median2d_u16_k3]  wrong parameter:w/h=1/6\n"},
        {"general k=5 h=1", 6, 1, 5, "[vx_median2d_u16_k5]  wrong parameter:w/h=6/1\n"},
        {"even kernel", 8, 8, 4, "[vx_median2d_u16]  wrong parameter:w/h/kernel=8/8/4\n"},
        {"kernel 1", 8, 8, 1, "[vx_median2d_u16]  wrong parameter:w/h/kernel=8/8/1\n"},
        {"negative kernel", 8, 8, -3, "[vx_median2d_u16]  wrong parameter:w/h/kernel=8/8/-3\n"},
        {"kernel >= 2w", 3, 9, 7, "[vx_median2d_u16]  wrong parameter:w/h/kernel=3/9/7\n"},
        {"kernel >= 2h", 9, 3, 7, "[vx_median2d_u16]  wrong parameter:w/h/kernel=9/3/7\n"},
        {"huge width", 0x7fffffff, 2, 9, "[vx_median2d_u16]  wrong parameter:w/h/kernel=2147483647/2/9\n"},
    };
    const Image src(64, 100);
    for (const BadCall &c : calls) {
        SCOPED_TRACE(c.what);
        Image dst(64, 0xABCD);
        const std::string log = captured_log([&] {
            if (c.k == 0)
                vx_median2d_u16_k3(dst.data(), src.data(), c.w, c.h);
            else if (c.k == -100)
                vx_median2d_u16_k5(dst.data(), src.data(), c.w, c.h);
            else
                vx_median2d_u16(dst.data(), src.data(), c.w, c.h, c.k);
        });
        EXPECT_NE(log.find("[ERR]"), std::string::npos) << log;
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_EQ(dst, Image(64, 0xABCD));
    }
}

}  // namespace
