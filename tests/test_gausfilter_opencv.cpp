// Gaussian filters: the 3x3 binomial kernel against OpenCV's 3x3 Gaussian
// with replicated borders, the recursive Gaussian against a one-line-at-a-time
// computation of its recursion and against a true (sampled) Gaussian, the
// coefficient regimes, the 16-bit variants and the argument checks.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "imgproc/vx_gausfilter_internal.h"
#include "log_file_capture.h"
#include "vx_gausfilter.h"

namespace {

// Depth-like float image: a slanted plane, a box in front, noise.
std::vector<float> scene_f32(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 12.0f);
    std::vector<float> img(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = 1200.0f + 2500.0f * static_cast<float>(x + y) / static_cast<float>(w + h);
            if (x > w / 3 && x < 2 * w / 3 && y > h / 4 && y < 3 * h / 4) v = 700.0f;
            img[static_cast<size_t>(y) * w + x] = v + noise(rng);
        }
    return img;
}

std::vector<uint16_t> random_u16(int w, int h, uint32_t seed, int max_value = 65535) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> val(0, max_value);
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    for (auto &v : img) v = static_cast<uint16_t>(val(rng));
    return img;
}

// One line of the recursion, element by element: forward with history x[0],
// backward with history y[n-1].
void reference_line(std::vector<float> &x, const gauss3_coefs &c) {
    const int n = static_cast<int>(x.size());
    const float B = c.b[0], c1 = c.b[1], c2 = c.b[2], c3 = c.b[3];
    float y1 = x[0], y2 = x[0], y3 = x[0];
    for (int i = 0; i < n; ++i) {
        const float y = ((B * x[i] + c1 * y1) + c2 * y2) + c3 * y3;
        y3 = y2;
        y2 = y1;
        y1 = y;
        x[i] = y;
    }
    y2 = y3 = y1;
    for (int i = n - 1; i >= 0; --i) {
        const float z = ((B * x[i] + c1 * y1) + c2 * y2) + c3 * y3;
        y3 = y2;
        y2 = y1;
        y1 = z;
        x[i] = z;
    }
}

std::vector<float> reference_iir(const std::vector<float> &src, int w, int h, float sigma) {
    gauss3_coefs c;
    compute_coefs3(&c, sigma);
    std::vector<float> img = src;
    for (int y = 0; y < h; ++y) {
        std::vector<float> line(img.begin() + static_cast<long>(y) * w, img.begin() + static_cast<long>(y + 1) * w);
        reference_line(line, c);
        std::copy(line.begin(), line.end(), img.begin() + static_cast<long>(y) * w);
    }
    for (int x = 0; x < w; ++x) {
        std::vector<float> line(h);
        for (int y = 0; y < h; ++y) line[y] = img[static_cast<size_t>(y) * w + x];
        reference_line(line, c);
        for (int y = 0; y < h; ++y) img[static_cast<size_t>(y) * w + x] = line[y];
    }
    return img;
}

long first_difference_f32(const std::vector<float> &a, const std::vector<float> &b) {
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<long>(i);
    return -1;
}

// ---- coefficients ---------------------------------------------------------

TEST(GaussCoefs, BelowHalfUseTheFixedValuesOfSigmaHalf) {
    const float fixed[4] = {0.84029317f, 0.170402f, -0.011035039f, 0.00033983588f};
    for (float sigma : {0.1f, 0.3f, 0.4999f, 0.0f, -2.0f, std::numeric_limits<float>::quiet_NaN()}) {
        gauss3_coefs c;
        compute_coefs3(&c, sigma);
        EXPECT_EQ(c.N, 3);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(c.b[i], fixed[i]) << "sigma " << sigma << " b" << i;
    }
    // Sigma 0.5 goes through the formula and lands on nearly the same values.
    gauss3_coefs half;
    compute_coefs3(&half, 0.5f);
    bool any_differs = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(half.b[i], fixed[i], std::fabs(fixed[i]) * 1e-5) << "b" << i;
        any_differs = any_differs || half.b[i] != fixed[i];
    }
    EXPECT_TRUE(any_differs);
}

TEST(GaussCoefs, BothFormulasMeetAtTwoAndAHalfAndGainIsOne) {
    // The square-root formula ends just below 2.5, the linear one starts at
    // 2.5: a visible switch between close coefficients.
    gauss3_coefs lin, sq;
    compute_coefs3(&lin, 2.5f);
    compute_coefs3(&sq, std::nextafter(2.5f, 0.0f));
    EXPECT_GT(std::fabs(lin.b[0] - sq.b[0]), 0.01f * lin.b[0]);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(lin.b[i], sq.b[i], 0.1f * std::fabs(lin.b[i])) << "b" << i;
    for (float sigma : {0.5f, 1.0f, 2.4f, 2.5f, 3.0f, 10.0f, 40.0f}) {
        gauss3_coefs c;
        compute_coefs3(&c, sigma);
        EXPECT_NEAR(c.b[0] + c.b[1] + c.b[2] + c.b[3], 1.0f, 1e-6f) << sigma;
        EXPECT_EQ(c.b[0], 1.0f - (c.b[1] + c.b[2] + c.b[3]));
        EXPECT_GT(c.b[0], 0.0f);
    }
    // A larger sigma smooths more: less weight on the new sample.
    gauss3_coefs s3, s10;
    compute_coefs3(&s3, 3.0f);
    compute_coefs3(&s10, 10.0f);
    EXPECT_LT(s10.b[0], s3.b[0]);
}

// ---- recursive Gaussian ---------------------------------------------------

struct IirCase {
    int w, h;
    float sigma;
    friend std::ostream &operator<<(std::ostream &os, const IirCase &c) {
        return os << c.w << "x" << c.h << " sigma " << c.sigma;
    }
};

// Single pixel, single row / column, sizes below, at and above the groups
// of lines filtered together, odd sizes (lone last row and column), the
// frame sizes; sigmas in all three coefficient regimes.
const IirCase kIirCases[] = {
    {1, 1, 1.0f},   {2, 2, 0.3f},   {5, 3, 3.0f},    {3, 5, 1.0f},    {1, 9, 2.0f},   {9, 1, 2.0f},
    {16, 16, 3.0f}, {17, 15, 0.7f}, {33, 47, 10.0f}, {31, 2, 3.0f},   {320, 240, 1.0f}, {320, 240, 10.0f},
    {640, 480, 3.0f},
};

class IirSizes : public ::testing::TestWithParam<IirCase> {};

TEST_P(IirSizes, F32MatchesLineByLineRecursion) {
    const IirCase c = GetParam();
    const std::vector<float> src = scene_f32(c.w, c.h, 1);
    std::vector<float> in = src, out(src.size(), -1.0f);
    vx_gauss2d_iir_f32(out.data(), in.data(), c.w, c.h, c.sigma);
    EXPECT_EQ(in, src);
    EXPECT_EQ(first_difference_f32(out, reference_iir(src, c.w, c.h, c.sigma)), -1);
    // In place gives the same bits.
    vx_gauss2d_iir_f32(in.data(), in.data(), c.w, c.h, c.sigma);
    EXPECT_EQ(first_difference_f32(in, out), -1);
}

TEST_P(IirSizes, U16IsTheFloatFilterTruncated) {
    const IirCase c = GetParam();
    std::vector<uint16_t> src = random_u16(c.w, c.h, 3, 4000), dst(src.size(), 0xABCD);
    std::vector<float> f(src.begin(), src.end());
    const std::vector<float> filtered = reference_iir(f, c.w, c.h, c.sigma);
    vx_gauss2d_iir_u16(dst.data(), src.data(), c.w, c.h, c.sigma);
    for (size_t i = 0; i < dst.size(); ++i)
        ASSERT_EQ(dst[i], static_cast<uint16_t>(static_cast<int32_t>(filtered[i]))) << i;
    std::vector<uint16_t> via_algo(src.size(), 0);
    vxalgo_gauss2d_iir_u16(via_algo.data(), c.h, c.w, src.data(), c.h, c.w, c.sigma);
    EXPECT_EQ(via_algo, dst);
}

INSTANTIATE_TEST_SUITE_P(Sizes, IirSizes, ::testing::ValuesIn(kIirCases), [](const auto &info) {
    return std::to_string(info.param.w) + "x" + std::to_string(info.param.h) + "_" + std::to_string(info.index);
});

struct Deviation {
    double worst;  // largest absolute deviation / value range of the true result
    double rms;    // root mean square deviation / value range of the true result
};

// Deviation from a sampled Gaussian of the same sigma (double precision,
// radius 6 sigma, replicated borders) at least 3 sigma from every border.
Deviation deviation_from_true_gaussian(const std::vector<float> &src, int w, int h, float sigma) {
    std::vector<float> ours(src.size());
    std::vector<float> in = src;
    vx_gauss2d_iir_f32(ours.data(), in.data(), w, h, sigma);
    cv::Mat s(h, w, CV_32F, const_cast<float *>(src.data())), s64, truth;
    s.convertTo(s64, CV_64F);
    const int r = static_cast<int>(std::ceil(6 * sigma));
    cv::GaussianBlur(s64, truth, cv::Size(2 * r + 1, 2 * r + 1), sigma, sigma, cv::BORDER_REPLICATE);
    const int m = static_cast<int>(std::ceil(3 * sigma));
    double worst = 0, sq = 0, lo = truth.at<double>(m, m), hi = lo;
    long n = 0;
    for (int y = m; y < h - m; ++y)
        for (int x = m; x < w - m; ++x) {
            const double t = truth.at<double>(y, x);
            const double d = std::fabs(ours[static_cast<size_t>(y) * w + x] - t);
            worst = std::max(worst, d);
            sq += d * d;
            ++n;
            lo = std::min(lo, t);
            hi = std::max(hi, t);
        }
    return {worst / (hi - lo), std::sqrt(sq / static_cast<double>(n)) / (hi - lo)};
}

// The third-order recursion approximates the Gaussian: on average it stays
// well within 1 % of the true result, while its largest local error (at
// depth steps and at an impulse's peak, where the recursive response is a
// little too narrow at the top and too wide in the tails) reaches a few
// percent.
TEST(GaussIir, StaysCloseToATrueGaussian) {
    for (float sigma : {3.0f, 10.0f}) {
        const Deviation scene = deviation_from_true_gaussian(scene_f32(320, 240, 7), 320, 240, sigma);
        EXPECT_LT(scene.rms, 0.01) << sigma;
        EXPECT_LT(scene.worst, 0.025) << sigma;
        std::vector<float> dot(201 * 201, 0.0f);
        dot[100 * 201 + 100] = 1000.0f;
        const Deviation impulse = deviation_from_true_gaussian(dot, 201, 201, sigma);
        EXPECT_LT(impulse.rms, 0.01) << sigma;
        EXPECT_LT(impulse.worst, 0.06) << sigma;
    }
}

TEST(GaussIir, BrightPixelSpreadsSymmetrically) {
    constexpr int n = 61, c = 30;
    std::vector<float> img(n * n, 0.0f), out(n * n);
    img[c * n + c] = 1000.0f;
    vx_gauss2d_iir_f32(out.data(), img.data(), n, n, 3.0f);
    auto at = [&](int x, int y) { return out[static_cast<size_t>(y) * n + x]; };
    const float peak = at(c, c);
    for (int d = 1; d <= 12; ++d) {
        EXPECT_NEAR(at(c - d, c), at(c + d, c), peak * 1e-5f) << d;
        EXPECT_NEAR(at(c, c - d), at(c, c + d), peak * 1e-5f) << d;
        EXPECT_NEAR(at(c + d, c), at(c, c + d), peak * 1e-5f) << d;
        EXPECT_LT(at(c + d, c), at(c + d - 1, c));
    }
    // The gain is one: the mass of the pixel is kept.
    double sum = 0;
    for (float v : out) sum += v;
    EXPECT_NEAR(sum, 1000.0, 1.0);
}

TEST(GaussIir, ConstantImagesComeBackUnchanged) {
    std::vector<float> f(53 * 37, 1234.5f), out(f.size());
    vx_gauss2d_iir_f32(out.data(), f.data(), 53, 37, 3.0f);
    for (float v : out) ASSERT_NEAR(v, 1234.5f, 1234.5f * 1e-5f);

    std::vector<uint16_t> u(53 * 37, 1000), uo(u.size());
    vx_gauss2d_iir_u16(uo.data(), u.data(), 53, 37, 3.0f);
    for (uint16_t v : uo) ASSERT_TRUE(v == 1000 || v == 999) << v;  // just below 1000 truncates
}

TEST(GaussIir, SmallSigmasShareCoefficientsAndResults) {
    const std::vector<float> src = scene_f32(40, 30, 9);
    std::vector<float> in = src, a(src.size()), b(src.size());
    vx_gauss2d_iir_f32(a.data(), in.data(), 40, 30, 0.1f);
    vx_gauss2d_iir_f32(b.data(), in.data(), 40, 30, 0.3f);
    EXPECT_EQ(first_difference_f32(a, b), -1);
    EXPECT_NE(a, src);
}

TEST(GaussIir, EmptySizesDoNothing) {
    std::vector<float> f(4, 5.0f), fo(4, -1.0f);
    std::vector<uint16_t> u(4, 5), uo(4, 0xABCD);
    for (auto [w, h] : {std::pair{0, 2}, std::pair{2, 0}, std::pair{-3, 2}, std::pair{2, -3}, std::pair{-1, -1}}) {
        vx_gauss2d_iir_f32(fo.data(), f.data(), w, h, 3.0f);
        vx_gauss2d_iir_u16(uo.data(), u.data(), w, h, 3.0f);
        EXPECT_EQ(fo, std::vector<float>(4, -1.0f));
        EXPECT_EQ(uo, std::vector<uint16_t>(4, 0xABCD));
    }
}

TEST(GaussIir, AlgoVariantsCheckSizesHeightFirst) {
    constexpr int w = 320, h = 240;
    std::vector<float> f = scene_f32(w, h, 2), fo(f.size(), -1.0f);
    std::vector<uint16_t> u = random_u16(w, h, 2, 4000), uo(u.size(), 0xABCD);
    {
        LogFileCapture log("algo_u16");
        vxalgo_gauss2d_iir_u16(uo.data(), 240, 320, u.data(), 320, 240, 3.0f);
        EXPECT_TRUE(log.contains("[ERR][vxalgo_gauss2d_iir_u16] wrong parameter: src wxh = 240x320, dst wxh = 320x240\n"))
            << log.text();
        EXPECT_EQ(uo, std::vector<uint16_t>(u.size(), 0xABCD));
    }
    {
        LogFileCapture log("algo_f32");
        vxalgo_gauss2d_iir_f32(fo.data(), 240, 320, f.data(), 240, 319, 3.0f);
        EXPECT_TRUE(log.contains("[ERR][vxalgo_gauss2d_iir_f32] wrong parameter: src wxh = 319x240, dst wxh = 320x240\n"))
            << log.text();
        EXPECT_EQ(fo, std::vector<float>(f.size(), -1.0f));
    }
    vxalgo_gauss2d_iir_f32(fo.data(), h, w, f.data(), h, w, 3.0f);
    EXPECT_EQ(first_difference_f32(fo, reference_iir(f, w, h, 3.0f)), -1);
}

// ---- 3x3 binomial ---------------------------------------------------------

TEST(Gauss3x3, SmallestImageReplicatesEdgesAndTruncates) {
    const std::vector<uint16_t> src = {1, 2, 3, 4};
    std::vector<uint16_t> dst(4);
    vx_gauss2d_u16_k3(dst.data(), src.data(), 2, 2);
    EXPECT_EQ(dst, (std::vector<uint16_t>{1, 2, 2, 3}));
}

TEST(Gauss3x3, MatchesOpenCvBinomialWithReplicatedBorders) {
    // The float 3x3 Gaussian of OpenCV is exact on 16-bit data (multiples of
    // 1/16 below 2^20), so its floor is our truncated shift.
    const std::pair<int, int> sizes[] = {{2, 2}, {3, 2}, {2, 3}, {5, 5}, {6, 4}, {9, 7}, {13, 3}, {320, 240}};
    for (auto [w, h] : sizes) {
        for (int max_value : {4000, 65535}) {
            const std::vector<uint16_t> src = random_u16(w, h, static_cast<uint32_t>(w * h + max_value), max_value);
            std::vector<uint16_t> dst(src.size(), 0xABCD);
            vx_gauss2d_u16_k3(dst.data(), src.data(), w, h);
            cv::Mat s16(h, w, CV_16U, const_cast<uint16_t *>(src.data())), s32, blurred;
            s16.convertTo(s32, CV_32F);
            cv::GaussianBlur(s32, blurred, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(dst[static_cast<size_t>(y) * w + x],
                              static_cast<uint16_t>(std::floor(blurred.at<float>(y, x))))
                        << w << "x" << h << " at " << x << "," << y;
        }
    }
}

TEST(Gauss3x3, ConstantImageIsUnchanged) {
    for (uint16_t v : {uint16_t{0}, uint16_t{777}, uint16_t{65535}}) {
        std::vector<uint16_t> src(11 * 7, v), dst(src.size());
        vx_gauss2d_u16_k3(dst.data(), src.data(), 11, 7);
        EXPECT_EQ(dst, src);
    }
}

TEST(Gauss3x3, RefusesImagesNarrowerOrLowerThanTwo) {
    const std::vector<uint16_t> src(16, 100);
    for (auto [w, h] : {std::pair{1, 5}, std::pair{5, 1}, std::pair{0, 0}, std::pair{-2, 4}}) {
        LogFileCapture log("k3");
        std::vector<uint16_t> dst(16, 0xABCD);
        vx_gauss2d_u16_k3(dst.data(), src.data(), w, h);
        EXPECT_TRUE(log.contains("[ERR][vx_gauss2d_u16_k3]  wrong parameter:w/h=" + std::to_string(w) + "/" +
                                 std::to_string(h) + "\n"))
            << log.text();
        EXPECT_EQ(dst, std::vector<uint16_t>(16, 0xABCD));
    }
}

}  // namespace
