// Math helpers: the least-squares line fit and the arctangent table with its
// printer.
#include "vx_math_basic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "math/vx_math_lut.h"

namespace {

// ---- line fit --------------------------------------------------------------

struct FitCase {
    const char *what;
    std::vector<uint16_t> x, y;
    double r2_tol = 1e-5;
};

// Closed-form least squares in long double, the oracle for the fit.
struct Fit {
    long double slope, offset, r2;
};
Fit oracle_fit(const std::vector<uint16_t> &x, const std::vector<uint16_t> &y) {
    const long double n = static_cast<long double>(x.size());
    long double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += static_cast<long double>(x[i]) * x[i];
        sxy += static_cast<long double>(x[i]) * y[i];
    }
    const long double d = n * sxx - sx * sx;
    Fit f{(n * sxy - sx * sy) / d, (sxx * sy - sx * sxy) / d, 0};
    const long double mean = sy / n;
    long double tot = 0, res = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        tot += (y[i] - mean) * (y[i] - mean);
        const long double e = y[i] - (f.slope * x[i] + f.offset);
        res += e * e;
    }
    f.r2 = 1 - res / tot;
    return f;
}

TEST(MathLineFit, MatchesClosedFormLeastSquares) {
    std::vector<uint16_t> many_x, many_y;
    for (int i = 0; i < 300; ++i) {
        many_x.push_back(static_cast<uint16_t>(i * 200));
        many_y.push_back(static_cast<uint16_t>(30000 - i * 90 + (i * 37 % 11) * 40));
    }
    const FitCase cases[] = {
        {"rising line", {0, 1, 2}, {10, 20, 30}},
        {"falling line", {0, 1, 2}, {30, 20, 10}},
        {"scattered points", {0, 1, 2, 3}, {1, 3, 2, 4}},
        // Sums of squares beyond 32 bits: x^2 sums to 2 * 65535^2.
        {"full 16-bit range", {0, 65535, 65535}, {0, 65535, 65535}},
        // r^2 is computed in single precision: predictions near 60000 are
        // only good to 0.004, which shows in residuals of about 1.
        {"large offset, small slope", {100, 200, 300, 400}, {60000, 60001, 60003, 60002}, 2e-3},
        {"300 noisy samples", many_x, many_y, 1e-4},
    };
    for (const FitCase &c : cases) {
        SCOPED_TRACE(c.what);
        const Fit want = oracle_fit(c.x, c.y);
        float slope = 0, offset = 0, r2 = 0;
        vx_math_linear_LSR_u16(c.x.data(), c.y.data(), static_cast<int>(c.x.size()), &slope, &offset, &r2);
        const double tol_offset = 1e-6 * (1 + std::fabs(static_cast<double>(want.offset)));
        EXPECT_NEAR(slope, static_cast<double>(want.slope), 1e-6 * (1 + std::fabs(static_cast<double>(want.slope))));
        EXPECT_NEAR(offset, static_cast<double>(want.offset), tol_offset);
        EXPECT_NEAR(r2, static_cast<double>(want.r2), c.r2_tol);

        // Without r_square the line is the same.
        float slope2 = 0, offset2 = 0;
        vx_math_linear_LSR_u16(c.x.data(), c.y.data(), static_cast<int>(c.x.size()), &slope2, &offset2, nullptr);
        EXPECT_EQ(slope2, slope);
        EXPECT_EQ(offset2, offset);
    }
}

TEST(MathLineFit, ExactLinesGiveExactResults) {
    const uint16_t x[] = {0, 1, 2};
    const uint16_t up[] = {10, 20, 30};
    const uint16_t down[] = {30, 20, 10};
    float slope, offset, r2;
    vx_math_linear_LSR_u16(x, up, 3, &slope, &offset, &r2);
    EXPECT_EQ(slope, 10.0f);
    EXPECT_EQ(offset, 10.0f);
    EXPECT_EQ(r2, 1.0f);
    vx_math_linear_LSR_u16(x, down, 3, &slope, &offset, &r2);
    EXPECT_EQ(slope, -10.0f);
    EXPECT_EQ(offset, 30.0f);
    EXPECT_EQ(r2, 1.0f);
}

TEST(MathLineFit, NoSamplesOrEqualXGiveNaN) {
    const uint16_t x[] = {5, 5, 5};
    const uint16_t y[] = {1, 2, 3};
    for (int cnt : {0, -1}) {
        float slope = 1, offset = 1, r2 = 1;
        vx_math_linear_LSR_u16(x, y, cnt, &slope, &offset, &r2);
        EXPECT_TRUE(std::isnan(slope)) << cnt;
        EXPECT_TRUE(std::isnan(offset)) << cnt;
        EXPECT_TRUE(std::isnan(r2)) << cnt;
        slope = offset = 1;
        vx_math_linear_LSR_u16(x, y, cnt, &slope, &offset, nullptr);
        EXPECT_TRUE(std::isnan(slope) && std::isnan(offset));
    }
    // All x equal: both numerators and the denominator are 0.
    float slope = 1, offset = 1, r2 = 1;
    vx_math_linear_LSR_u16(x, y, 3, &slope, &offset, &r2);
    EXPECT_TRUE(std::isnan(slope));
    EXPECT_TRUE(std::isnan(offset));
    EXPECT_TRUE(std::isnan(r2));
}

// ---- arctangent table ------------------------------------------------------

std::string print_table(int n) {
    ::testing::internal::CaptureStdout();
    vx_math_lut_print_arctan2(n);
    return ::testing::internal::GetCapturedStdout();
}

// The values of a printed table, in order, with its exact layout checked on
// the way: header, lines of 16 "v, " entries separated by "\n    ", footer.
std::vector<unsigned> parse_table(const std::string &text, int n) {
    const std::string head = "#define ARCTAN2_LUT_NUM " + std::to_string(n) +
                             "\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    std::string expect_layout;
    std::vector<unsigned> values;
    std::istringstream in(text.substr(head.size()));
    for (int i = 0; i < n; ++i) {
        unsigned v = 0;
        in >> v;
        in.ignore(1);  // the comma
        values.push_back(v);
        expect_layout += std::to_string(v) + ", ";
        if (i % 16 == 15) expect_layout += "\n    ";
    }
    if (n % 16 != 0) expect_layout += "\n";
    expect_layout += "};\n";
    EXPECT_EQ(text.substr(head.size()), expect_layout);
    return values;
}

TEST(MathArctanTable, BuiltInTableIsThePrintedTable) {
    const std::vector<unsigned> printed = parse_table(print_table(ARCTAN2_LUT_NUM), ARCTAN2_LUT_NUM);
    ASSERT_EQ(printed.size(), static_cast<size_t>(ARCTAN2_LUT_NUM));
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) ASSERT_EQ(g_atan2_LUT[i], printed[static_cast<size_t>(i)]) << i;
}

TEST(MathArctanTable, KnownAnglesAndShape) {
    EXPECT_EQ(g_atan2_LUT[0], 0);
    EXPECT_EQ(g_atan2_LUT[1], 1);
    EXPECT_EQ(g_atan2_LUT[2], 3);
    EXPECT_EQ(g_atan2_LUT[4095], 4096);  // 45 degrees: 1/8 of 32768
    // Each entry is the rounded angle (half away from zero) of its slope.
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) {
        const long double a = std::atan2((long double)i, 4095.0L) * 32768.0L / (2.0L * 3.14159265358979323846264338L);
        ASSERT_EQ(g_atan2_LUT[i], static_cast<uint16_t>(std::floor(a + 0.5L))) << i;
        if (i > 0) {
            ASSERT_GE(g_atan2_LUT[i], g_atan2_LUT[i - 1]);
        }
    }
}

TEST(MathArctanTable, PrinterLayoutForShortTables) {
    EXPECT_EQ(print_table(0),
              "#define ARCTAN2_LUT_NUM 0\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");
    EXPECT_EQ(print_table(-3),
              "#define ARCTAN2_LUT_NUM -3\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");

    // 20 entries: 16 on the first line, 4 on the second, a line feed, "};".
    const std::string text = print_table(20);
    const std::vector<unsigned> v = parse_table(text, 20);
    ASSERT_EQ(v.size(), 20u);
    EXPECT_EQ(v.front(), 0u);
    EXPECT_EQ(v.back(), 4096u);  // atan2(19, 19)
    for (size_t i = 0; i < v.size(); ++i) {
        const long double a = std::atan2((long double)i, 19.0L) * 32768.0L / (2.0L * 3.14159265358979323846264338L);
        EXPECT_EQ(v[i], static_cast<unsigned>(std::floor(a + 0.5L))) << i;
    }
    EXPECT_NE(text.find(", \n};\n"), std::string::npos);
}

}  // namespace
