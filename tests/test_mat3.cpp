// 3x3 matrix operations: copies, identity and the cofactor inverse, including
// the in-place form and the singular case that must leave the target alone.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "imgproc/matrix/mat3.h"

namespace {

using m3 = std::array<double, 9>;

struct free_deleter {
    void operator()(double *p) const { free(p); }
};
using owned_mat = std::unique_ptr<double, free_deleter>;

m3 product(const m3 &a, const m3 &b) {
    m3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[3 * i + j] += a[3 * i + k] * b[3 * k + j];
    return r;
}

void expect_identity(const m3 &m, double tol) {
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m[i], i % 4 == 0 ? 1.0 : 0.0, tol) << "element " << i;
}

TEST(Mat3, CreateZeroesOrCopiesIntoFreshStorage) {
    owned_mat zero(mat3_create(nullptr));
    ASSERT_NE(zero, nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(zero.get()[i], 0.0);

    m3 src = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    owned_mat copy(mat3_create(src.data()));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy.get(), src.data());
    src[4] = -1;  // the copy does not alias the source
    EXPECT_EQ(copy.get()[4], 5.0);
    for (int i = 0; i < 9; ++i) {
        if (i != 4) {
            EXPECT_EQ(copy.get()[i], src[i]);
        }
    }
}

TEST(Mat3, SetCopiesAndReturnsDest) {
    m3 src = {1, -2, 3.5, 4, 5, 6, 7, 8, 9e10};
    m3 dst;
    dst.fill(42);
    EXPECT_EQ(mat3_set(src.data(), dst.data()), dst.data());
    EXPECT_EQ(dst, src);
}

TEST(Mat3, IdentityOverwritesGivenMatrixOrAllocates) {
    m3 dst;
    dst.fill(7);
    EXPECT_EQ(mat3_identity(dst.data()), dst.data());
    expect_identity(dst, 0.0);

    owned_mat fresh(mat3_identity(nullptr));
    ASSERT_NE(fresh, nullptr);
    m3 copy;
    std::copy_n(fresh.get(), 9, copy.begin());
    expect_identity(copy, 0.0);
}

struct inverse_case {
    const char *name;
    m3 mat;
};

// A camera matrix, a general non-symmetric matrix, one with a zero leading
// element (the cofactor expansion must not divide by it) and a permutation.
const inverse_case INVERSE_CASES[] = {
    {"camera", {210.783, 0, 157.262, 0, 204.817, 122.083, 0, 0, 1}},
    {"general", {2, -1, 0.5, 3, 4, -2, 1, 0.25, 5}},
    {"zero_leading", {0, 2, 1, 1, 0, 3, 4, 1, 0}},
    {"permutation", {0, 1, 0, 0, 0, 1, 1, 0, 0}},
};

class Mat3Inverse : public ::testing::TestWithParam<inverse_case> {};

TEST_P(Mat3Inverse, ProductWithInverseIsIdentity) {
    m3 m = GetParam().mat;
    m3 inv;
    inv.fill(-99);
    EXPECT_EQ(mat3_inverse(m.data(), inv.data()), inv.data());
    EXPECT_EQ(m, GetParam().mat) << "source must stay unchanged";
    expect_identity(product(m, inv), 1e-12);
    expect_identity(product(inv, m), 1e-12);
}

TEST_P(Mat3Inverse, InPlaceMatchesSeparateTarget) {
    m3 m = GetParam().mat;
    m3 inv;
    mat3_inverse(m.data(), inv.data());
    EXPECT_EQ(mat3_inverse(m.data(), nullptr), m.data());
    EXPECT_EQ(m, inv);  // every input is read before the first write
}

INSTANTIATE_TEST_SUITE_P(Cases, Mat3Inverse, ::testing::ValuesIn(INVERSE_CASES),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Mat3, CameraMatrixInverseHasClosedForm) {
    const double fx = 210.783, fy = 204.817, cx = 157.262, cy = 122.083;
    m3 k = {fx, 0, cx, 0, fy, cy, 0, 0, 1};
    m3 inv;
    mat3_inverse(k.data(), inv.data());
    const m3 expected = {1 / fx, 0, -cx / fx, 0, 1 / fy, -cy / fy, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(inv[i], expected[i], 1e-15) << "element " << i;
}

TEST(Mat3, SingularMatrixLeavesTargetUntouched) {
    // Third row = first + second: determinant exactly 0. A zero column too.
    const m3 singular[] = {{1, 2, 3, 4, 5, 6, 5, 7, 9}, {0, 1, 2, 0, 3, 4, 0, 5, 6}};
    for (const m3 &s : singular) {
        m3 m = s;
        m3 dst;
        dst.fill(3.25);
        const m3 before = dst;
        EXPECT_EQ(mat3_inverse(m.data(), dst.data()), dst.data());
        EXPECT_EQ(dst, before);
        EXPECT_EQ(mat3_inverse(m.data(), nullptr), m.data());
        EXPECT_EQ(m, s);
    }
}

}  // namespace
