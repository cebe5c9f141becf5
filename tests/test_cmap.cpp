// Colour map: the table, the range rules, colours and gray levels, markers.
#include <gtest/gtest.h>

#include <cstdint>

#include "vx_cmap.h"

namespace {

struct Cmap {
    explicit Cmap(int n) { vx_cmap_init(&c, n); }
    ~Cmap() { vx_cmap_uninit(&c); }
    vx_cmap_t c;
};

TEST(Cmap, EightColourTableIsTheRainbowRamp) {
    Cmap m(8);
    const uint32_t expected[8] = {0x7F0000, 0xFF0000, 0xFF7F00, 0xFFFF00,
                                  0x7FFF7F, 0x00FFFF, 0x00AAFF, 0x0055FF};
    for (int j = 0; j < 8; ++j) EXPECT_EQ(m.c.rgb_map[j], expected[j]) << j;
}

TEST(Cmap, LargeTableRunsFromHalfBlueToRedWithHighBitsClear) {
    Cmap m(30000);
    EXPECT_EQ(m.c.rgb_map[0], 0x7F0000u);
    const uint32_t last = m.c.rgb_map[29999];
    EXPECT_GT(last & 0xFF, 190u);          // red still bright
    EXPECT_LT((last >> 8) & 0xFF, 3u);     // green fell to about 0
    EXPECT_EQ(last >> 16, 0u);             // no blue, bits 24-31 clear
    for (int j = 0; j < 30000; ++j) ASSERT_EQ(m.c.rgb_map[j] >> 24, 0u) << j;
}

TEST(Cmap, DefaultRangeMapsNearToRedAndFarToBlue) {
    Cmap m(30000);
    EXPECT_EQ(m.c.range_min, 0);
    EXPECT_EQ(m.c.range_max, 4000);
    EXPECT_FLOAT_EQ(m.c.index_factor_color, 7.5f);
    EXPECT_FLOAT_EQ(m.c.index_factor_gray, 0.06375f);
    EXPECT_EQ(vx_cmap_get_color(&m.c, 4000), m.c.rgb_map[0]);
    EXPECT_EQ(vx_cmap_get_color(&m.c, 1), m.c.rgb_map[29993]);
    EXPECT_EQ(vx_cmap_get_color(&m.c, 0), 0u);     // range_min itself is outside
    EXPECT_EQ(vx_cmap_get_color(&m.c, 4001), 0u);
    EXPECT_EQ(vx_cmap_get_color(&m.c, -5), 0u);
}

TEST(Cmap, MarkersHaveFixedColours) {
    Cmap m(100);
    vx_cmap_set_range(&m.c, 0, 70000);  // the markers lie inside the range
    const struct {
        int val;
        uint32_t color, gray;
    } cases[] = {
        {VX_CMAP_VAL_REJECTED, 0x000000, 0},  // gray treats 65300 as a value
        {VX_CMAP_VAL_MARK, 0x8000FF, 0x8000FF},
        {VX_CMAP_VAL_SATURATED, 0xFF0EA9, 0xFF0EA9},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(vx_cmap_get_color(&m.c, c.val), c.color) << c.val;
        if (c.val != VX_CMAP_VAL_REJECTED) {
            EXPECT_EQ(vx_cmap_get_gray(&m.c, c.val), c.gray) << c.val;
        }
    }
    EXPECT_EQ(vx_cmap_get_gray(&m.c, VX_CMAP_VAL_REJECTED), 237u * 0x010101u);  // 65300*255/70000
}

TEST(Cmap, RejectedMarkerIsWhiteInGrayWithDefaultRange) {
    Cmap m(100);
    EXPECT_EQ(vx_cmap_get_gray(&m.c, VX_CMAP_VAL_REJECTED), 0xFFFFFFu);
}

TEST(Cmap, SetRangeAcceptsEitherOrderAndEqualBoundsKeepTheRange) {
    Cmap a(1000), b(1000);
    vx_cmap_set_range(&a.c, 2000, 1000);
    vx_cmap_set_range(&b.c, 1000, 2000);
    EXPECT_EQ(a.c.range_min, 1000);
    EXPECT_EQ(a.c.range_max, 2000);
    for (int v = 900; v <= 2100; v += 7) EXPECT_EQ(vx_cmap_get_color(&a.c, v), vx_cmap_get_color(&b.c, v));

    vx_cmap_set_range(&a.c, 500, 500);
    EXPECT_EQ(a.c.range_min, 1000);
    EXPECT_EQ(a.c.range_max, 2000);
    EXPECT_FLOAT_EQ(a.c.index_factor_gray, 255.0f);
    EXPECT_FLOAT_EQ(a.c.index_factor_color, 1000.0f);
}

TEST(Cmap, GrayRunsFromBlackAtMinToWhiteAtMax) {
    Cmap m(100);
    vx_cmap_set_range(&m.c, 1000, 2000);
    const struct {
        int val;
        uint32_t gray;
    } cases[] = {{1000, 0x000000}, {1500, 0x7F7F7F}, {2000, 0xFFFFFF}, {999, 0}, {2001, 0xFFFFFF}};
    for (const auto &c : cases) EXPECT_EQ(vx_cmap_get_gray(&m.c, c.val), c.gray) << c.val;
}

TEST(Cmap, ColourIndexIsClampedAtBothEnds) {
    Cmap m(10);
    vx_cmap_set_range(&m.c, 0, 3);  // factor 3.33: the top value would index 0, one above min 7
    EXPECT_EQ(vx_cmap_get_color(&m.c, 3), m.c.rgb_map[0]);
    EXPECT_EQ(vx_cmap_get_color(&m.c, 1), m.c.rgb_map[7]);
    vx_cmap_set_range(&m.c, -2147483647, 2147483647);  // span beyond int must not overflow
    EXPECT_EQ(vx_cmap_get_color(&m.c, 2147483647), m.c.rgb_map[0]);
    EXPECT_EQ(vx_cmap_get_color(&m.c, -2147483646), m.c.rgb_map[9]);
}

}  // namespace
