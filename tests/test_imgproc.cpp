// Lens undistortion map: construction on known lenses, the rounding rule of
// the map entries, parameter checks, the record's lifecycle and applying a map
// to 16-bit and float images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "imgproc/vx_imgproc_internal.h"
#include "vx_imgproc.h"
#include "vx_log.h"

namespace {

constexpr uint32_t HOLE = VX_LEN_MAP_NO_SOURCE;

// The camera's default lens (barrel distortion) and an ideal pinhole lens.
const vx_len_param_t DEFAULT_LENS = {
    157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, 320, 240};
const vx_len_param_t PINHOLE_LENS = {160, 120, 200, 200, {0, 0, 0, 0, 0}, 320, 240};

// Routes the default logger into a file so that tests can read what was logged.
class LogCapture {
public:
    explicit LogCapture(const std::string &name) : path_(name + ".log") {
        std::remove(path_.c_str());
        vx_log_init(nullptr, path_.c_str(), "test");
        vx_log_cfg(nullptr, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
        vx_log_cfg(nullptr, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_ERROR, true);
    }
    ~LogCapture() { vx_log_uninit(nullptr); }
    std::string text() const {
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
};

std::string test_name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Owns a built map for the duration of a test.
struct built_map {
    vx_len_calib_t h{};
    int ret;
    explicit built_map(const vx_len_param_t &p) : ret(vx_calib_len_init_map(&h, &p)) {}
    ~built_map() { vx_calib_len_uninit_map(&h); }
    uint32_t at(int u, int v) const { return h.mapi[v * h.img_w + u]; }
};

TEST(UndistortMap, PinholeLensWidensViewByOnePixel) {
    const double cam[9] = {200, 0, 160, 0, 200, 120, 0, 0, 1};
    double new_cam[9];
    int roi[4];
    get_optimal_new_mtx(cam, PINHOLE_LENS.dcoeff, 320, 240, new_cam, roi);
    EXPECT_NEAR(new_cam[0], 200.0 * 319 / 320, 1e-4);
    EXPECT_NEAR(new_cam[4], 200.0 * 239 / 240, 1e-4);
    EXPECT_NEAR(new_cam[2], 159.5, 1e-4);
    EXPECT_NEAR(new_cam[5], 119.5, 1e-4);

    built_map m(PINHOLE_LENS);
    ASSERT_EQ(m.ret, 320 * 240);
    EXPECT_TRUE(m.h.init_flag);
    EXPECT_EQ(m.h.mapsz, 320 * 240);
    EXPECT_EQ(m.h.img_w, 320);
    EXPECT_EQ(m.h.img_h, 240);
    EXPECT_EQ(std::vector<int>(m.h.roi, m.h.roi + 4), (std::vector<int>{0, 0, 319, 239}));

    // Row 0 shows raw columns 0..319 of raw row 0 in corrected columns 0..318,
    // skipping exactly one raw column on the way.
    EXPECT_EQ(m.at(0, 0), 0u);
    EXPECT_EQ(m.at(318, 0), 319u);
    int skips = 0;
    for (int u = 1; u < 319; ++u) {
        const uint32_t step = m.at(u, 0) - m.at(u - 1, 0);
        ASSERT_TRUE(step == 1 || step == 2) << "column " << u;
        skips += step == 2;
    }
    EXPECT_EQ(skips, 1);

    // The last corrected column and row have no source; everything else has.
    for (int v = 0; v < 240; ++v) {
        for (int u = 0; u < 320; ++u) {
            const bool edge = u == 319 || v == 239;
            ASSERT_EQ(m.at(u, v) == HOLE, edge) << u << "," << v;
        }
    }
    EXPECT_EQ(m.at(318, 238), 239u * 320 + 319);
}

struct barrel_case {
    const char *name;
    vx_len_param_t lens;
    std::vector<std::pair<int, int>> holes;    // corrected pixels without a source
    std::vector<std::pair<int, int>> sourced;  // corrected pixels with one
};

// The whole raw image is kept, so the corrected view is as wide as the
// undistorted raw border at its widest. With the camera's lens that is at the
// raw top-left corner: the corrected corner shows it and the middle of the top
// and bottom edges is empty. A stronger barrel pulls the undistorted corners in
// (the iteration no longer reaches them), so the corrected corners are empty.
TEST(UndistortMap, BarrelLensLeavesUnreachedBorderEmptyAndRoiInside) {
    const barrel_case cases[] = {
        {"camera lens", DEFAULT_LENS, {{160, 0}, {160, 239}}, {{0, 0}, {160, 120}}},
        {"strong barrel",
         {160, 120, 200, 200, {-0.6, 0.2, 0, 0, 0}, 320, 240},
         {{0, 0}, {319, 0}, {0, 239}, {319, 239}},
         {{0, 120}, {160, 120}}},
    };
    for (const barrel_case &c : cases) {
        SCOPED_TRACE(c.name);
        built_map m(c.lens);
        ASSERT_EQ(m.ret, 320 * 240);
        for (const auto &[u, v] : c.holes) EXPECT_EQ(m.at(u, v), HOLE) << u << "," << v;
        for (const auto &[u, v] : c.sourced) EXPECT_NE(m.at(u, v), HOLE) << u << "," << v;

        const int *roi = m.h.roi;
        EXPECT_GT(roi[0], 0);
        EXPECT_GT(roi[1], 0);
        EXPECT_LT(roi[0] + roi[2], 320);
        EXPECT_LT(roi[1] + roi[3], 240);
        // Every pixel of the valid region has a source; every source is in the image.
        for (int v = roi[1]; v < roi[1] + roi[3]; ++v)
            for (int u = roi[0]; u < roi[0] + roi[2]; ++u) ASSERT_NE(m.at(u, v), HOLE) << u << "," << v;
        for (int i = 0; i < m.h.mapsz; ++i) {
            if (m.h.mapi[i] != HOLE) {
                ASSERT_LT(m.h.mapi[i], 320u * 240u) << i;
            }
        }
    }
}

// Lenses at the edge of the model must still give a map whose every entry is
// a hole or a pixel of the image: a one pixel wide image (the new camera
// matrix is singular and stays uninverted) and a barrel so strong that the
// radial factor turns negative inside the image (the map is meaningless, but
// must not point outside the raw image).
TEST(UndistortMap, DegenerateLensesStillGiveInRangeMaps) {
    const vx_len_param_t lenses[] = {
        {0.5, 120, 200, 200, {-0.3, 0.1, 0, 0, 0}, 1, 240},
        {160, 120, 200, 200, {-0.9, 0, 0, 0, 0}, 320, 240},
    };
    for (const vx_len_param_t &p : lenses) {
        built_map m(p);
        ASSERT_EQ(m.ret, p.img_w * p.img_h);
        for (int i = 0; i < m.h.mapsz; ++i) {
            if (m.h.mapi[i] != HOLE) {
                ASSERT_LT(m.h.mapi[i], static_cast<uint32_t>(m.h.mapsz)) << i;
            }
        }
    }
}

struct index_case {
    float mx, my;
    uint32_t expected;
};

TEST(UndistortMap, EntriesRoundByTruncatingHalfUp) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    // 10 x 5 image.
    const index_case cases[] = {
        {-1.2f, 0.0f, 0},   {0.0f, -1.2f, 0},     {-1.6f, 0.0f, HOLE}, {0.0f, -1.6f, HOLE},
        {2.5f, 1.5f, 23},   {2.49f, 1.49f, 12},   {9.49f, 4.49f, 49},  {9.5f, 0.0f, HOLE},
        {0.0f, 4.5f, HOLE}, {1e30f, 0.0f, HOLE},  {-1e30f, 0.0f, HOLE}, {inf, 0.0f, HOLE},
        {0.0f, -inf, HOLE}, {nan, 0.0f, HOLE},    {0.0f, nan, HOLE},
    };
    for (const index_case &c : cases)
        EXPECT_EQ(len_map_index(c.mx, c.my, 10, 5), c.expected) << c.mx << "," << c.my;
}

struct bad_lens_case {
    const char *name;
    vx_len_param_t p;
};

TEST(UndistortMap, UnusableParametersAreRefusedAndRecordUntouched) {
    auto with = [](auto change) {
        vx_len_param_t p = DEFAULT_LENS;
        change(p);
        return p;
    };
    const bad_lens_case cases[] = {
        {"zero width", with([](vx_len_param_t &p) { p.img_w = 0; })},
        {"negative height", with([](vx_len_param_t &p) { p.img_h = -240; })},
        {"size overflows int", with([](vx_len_param_t &p) { p.img_w = p.img_h = 65536; })},
        {"zero fx", with([](vx_len_param_t &p) { p.fx = 0; })},
        {"zero fy", with([](vx_len_param_t &p) { p.fy = 0; })},
        {"nan k1", with([](vx_len_param_t &p) { p.dcoeff[0] = std::nan(""); })},
        {"infinite cx", with([](vx_len_param_t &p) { p.cx = HUGE_VAL; })},
    };
    LogCapture log(test_name());
    for (const bad_lens_case &c : cases) {
        vx_len_calib_t h;
        memset(&h, 0x5A, sizeof h);
        vx_len_calib_t before;
        memcpy(&before, &h, sizeof h);
        EXPECT_EQ(vx_calib_len_init_map(&h, &c.p), 0) << c.name;
        EXPECT_EQ(memcmp(&h, &before, sizeof h), 0) << c.name;
    }
    vx_len_calib_t h{};
    EXPECT_EQ(vx_calib_len_init_map(nullptr, &DEFAULT_LENS), 0);
    EXPECT_EQ(vx_calib_len_init_map(&h, nullptr), 0);
    EXPECT_FALSE(h.init_flag);
    EXPECT_NE(log.text().find("[vx_calib_len_init_map] Wrong parameter: image size 0x240\n"), std::string::npos);
}

TEST(UndistortMap, LifecycleUninitUpdate) {
    vx_len_calib_t h{};
    vx_calib_len_uninit_map(&h);  // never mapped: nothing to do
    EXPECT_EQ(h.mapi, nullptr);
    EXPECT_FALSE(h.init_flag);

    ASSERT_EQ(vx_calib_len_update_map(&h, &PINHOLE_LENS), 320 * 240);  // builds on an empty record
    EXPECT_TRUE(h.init_flag);
    const std::vector<uint32_t> pinhole(h.mapi, h.mapi + h.mapsz);

    vx_len_param_t small = DEFAULT_LENS;
    small.img_w = 160;
    small.img_h = 120;
    // Rebuilding releases the old map (the leak checker would see it otherwise).
    ASSERT_EQ(vx_calib_len_update_map(&h, &small), 160 * 120);
    EXPECT_EQ(h.mapsz, 160 * 120);
    EXPECT_EQ(h.img_w, 160);
    EXPECT_EQ(h.img_h, 120);

    ASSERT_EQ(vx_calib_len_update_map(&h, &PINHOLE_LENS), 320 * 240);
    EXPECT_EQ(std::vector<uint32_t>(h.mapi, h.mapi + h.mapsz), pinhole);  // same lens, same map

    vx_calib_len_uninit_map(&h);
    EXPECT_EQ(h.mapi, nullptr);
    EXPECT_FALSE(h.init_flag);
    vx_calib_len_uninit_map(&h);
    vx_calib_len_uninit_map(nullptr);
}

// ---- applying a map ---------------------------------------------------------

// A hand-made 4 x 3 map with holes, repeated and swapped sources.
const uint32_t SMALL_MAP[12] = {11, 10, HOLE, 0, 5, HOLE, 6, 7, 1, 1, 3, HOLE};

template <typename T>
struct pixel_ops;
template <>
struct pixel_ops<uint16_t> {
    static constexpr const char *name = "vx_calib_len_undistort_u16";
    static bool apply(vx_len_calib_t *h, uint16_t *d, int n, uint16_t *s, int w, int ht, uint16_t hole) {
        return vx_calib_len_undistort_u16(h, d, n, s, w, ht, hole);
    }
};
template <>
struct pixel_ops<float> {
    static constexpr const char *name = "vx_calib_len_undistort_f32";
    static bool apply(vx_len_calib_t *h, float *d, int n, float *s, int w, int ht, float hole) {
        return vx_calib_len_undistort_f32(h, d, n, s, w, ht, hole);
    }
};

template <typename T>
class UndistortApply : public ::testing::Test {
protected:
    void SetUp() override {
        std::copy(std::begin(SMALL_MAP), std::end(SMALL_MAP), map_);
        h_.mapi = map_;
        h_.mapsz = 12;
        h_.img_w = 4;
        h_.img_h = 3;
        h_.init_flag = true;
        for (int i = 0; i < 12; ++i) src_[i] = static_cast<T>(100 + i);
    }
    bool apply(T *dst, int dst_len, int w = 4, int h = 3) {
        return pixel_ops<T>::apply(&h_, dst, dst_len, src_, w, h, HOLE_VAL);
    }
    static constexpr T HOLE_VAL = static_cast<T>(7);
    static constexpr T UNTOUCHED = static_cast<T>(999);
    uint32_t map_[12];
    vx_len_calib_t h_{};
    T src_[12];
};

using pixel_types = ::testing::Types<uint16_t, float>;
TYPED_TEST_SUITE(UndistortApply, pixel_types);

TYPED_TEST(UndistortApply, WritesExactlyMinOfDstLenAndImage) {
    using T = TypeParam;
    const std::vector<T> expected_full = {111, 110, 7, 100, 105, 7, 106, 107, 101, 101, 103, 7};
    for (int dst_len : {12, 5, 1, 20, 0, -4}) {
        std::vector<T> dst(20, this->UNTOUCHED);
        ASSERT_TRUE(this->apply(dst.data(), dst_len)) << dst_len;
        const int n = std::max(0, std::min(dst_len, 12));
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(dst[i], i < n ? expected_full[i] : this->UNTOUCHED) << "dst_len " << dst_len << " pixel " << i;
    }
}

TYPED_TEST(UndistortApply, RefusedCallsLeaveDstUntouched) {
    using T = TypeParam;
    LogCapture log(test_name() + "_" + pixel_ops<T>::name);
    std::vector<T> dst(12, this->UNTOUCHED);
    const std::vector<T> untouched = dst;

    // Same pixel count, different shape.
    EXPECT_FALSE(this->apply(dst.data(), 12, 3, 4));
    EXPECT_FALSE(this->apply(dst.data(), 12, 4, 2));
    const std::string msg = std::string("[") + pixel_ops<T>::name + "] Wrong parameter: calib_map: 4x3, src_img: 3x4\n";
    EXPECT_NE(log.text().find(msg), std::string::npos) << log.text();

    // Null images.
    EXPECT_FALSE(pixel_ops<T>::apply(&this->h_, dst.data(), 12, nullptr, 4, 3, T{}));
    EXPECT_FALSE(pixel_ops<T>::apply(&this->h_, nullptr, 12, this->src_, 4, 3, T{}));
    EXPECT_FALSE(pixel_ops<T>::apply(nullptr, dst.data(), 12, this->src_, 4, 3, T{}));

    // A record without a map: never built (size 0x0), or released (size kept).
    vx_len_calib_t empty{};
    EXPECT_FALSE(pixel_ops<T>::apply(&empty, dst.data(), 12, this->src_, 0, 0, T{}));
    vx_len_calib_t released = this->h_;
    released.mapi = nullptr;
    released.init_flag = false;
    EXPECT_FALSE(pixel_ops<T>::apply(&released, dst.data(), 12, this->src_, 4, 3, T{}));

    EXPECT_EQ(dst, untouched);
}

TYPED_TEST(UndistortApply, BuiltMapMovesPixelsAsTheIndexMapSays) {
    using T = TypeParam;
    built_map m(PINHOLE_LENS);
    ASSERT_EQ(m.ret, 320 * 240);
    // Raw image: the value tells the raw column; every pixel of a corrected row
    // then shows its raw column, and the holes show the hole value.
    std::vector<T> src(320 * 240), dst(320 * 240);
    for (int i = 0; i < 320 * 240; ++i) src[i] = static_cast<T>(i % 320 + 1);
    ASSERT_TRUE(pixel_ops<T>::apply(&m.h, dst.data(), 320 * 240, src.data(), 320, 240, T{}));
    EXPECT_EQ(dst[0], T{1});
    EXPECT_EQ(dst[318], T{320});
    EXPECT_EQ(dst[319], T{});
    EXPECT_EQ(dst[239 * 320], T{});
    EXPECT_EQ(dst[100 * 320 + 160], static_cast<T>(m.at(160, 100) % 320 + 1));
}

// The apply checks blocks of entries for holes at once; on a real map (hole
// runs of every length along the border) and for lengths that end inside a
// block, every pixel must still be what the map says.
TYPED_TEST(UndistortApply, WholeFrameMatchesMapPixelByPixel) {
    using T = TypeParam;
    built_map m(DEFAULT_LENS);
    ASSERT_EQ(m.ret, 320 * 240);
    std::vector<T> src(320 * 240);
    for (int i = 0; i < 320 * 240; ++i) src[i] = static_cast<T>((i * 7919) % 60000 + 1);
    for (int dst_len : {320 * 240, 320 * 240 - 3, 8 * 100 + 5}) {
        std::vector<T> dst(320 * 240, this->UNTOUCHED);
        ASSERT_TRUE(pixel_ops<T>::apply(&m.h, dst.data(), dst_len, src.data(), 320, 240, this->HOLE_VAL));
        int holes = 0;
        for (int i = 0; i < 320 * 240; ++i) {
            const uint32_t e = m.h.mapi[i];
            holes += i < dst_len && e == HOLE;
            const T want = i >= dst_len ? this->UNTOUCHED : e == HOLE ? this->HOLE_VAL : src[e];
            ASSERT_EQ(dst[i], want) << "dst_len " << dst_len << " pixel " << i;
        }
        EXPECT_GT(holes, 0);
    }
}

}  // namespace
