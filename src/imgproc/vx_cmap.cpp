// Rainbow colour map over a display range, with fixed colours for markers.
#include "vx_cmap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vx_log_internal.h"

namespace {

constexpr uint32_t COLOR_MARK = 0x8000FF;
constexpr uint32_t COLOR_SATURATED = 0xFF0EA9;

// Piecewise linear ramp of one colour component over e, evaluated in single
// precision exactly as the table is defined, truncated and cut to 8 bits.
uint32_t to_u8(float v) { return static_cast<uint32_t>(static_cast<int>(v)) & 0xFFu; }

uint32_t blue_of(float e) {
    if (e < -0.375f) return 0;
    if (e < -0.125f) return to_u8(((e + 0.375f) * 255.0f) * 4.0f);
    if (e < 0.125f) return 255;
    if (e < 0.375f) return to_u8(((e - 0.125f) * -255.0f) * 4.0f + 255.0f);
    return 0;
}

uint32_t green_of(float e) {
    if (e < -0.125f) return 0;
    if (e < 0.125f) return to_u8(((e + 0.125f) * 255.0f) * 4.0f);
    if (e < 0.375f) return 255;
    if (e < 0.75f) return to_u8(((e - 0.375f) * -255.0f) / 0.375f + 255.0f);
    return 0;
}

uint32_t red_of(float e) {
    if (e < 0.125f) return 0;
    if (e < 0.375f) return to_u8(((e - 0.125f) * 255.0f) * 4.0f);
    if (e < 0.625f) return 255;
    if (e < 1.125f) return to_u8(2.0f * ((e - 0.625f) * -255.0f) + 255.0f);
    return 0;
}

void create_colormap(uint32_t *map, int num_color) {
    for (int j = 0; j < num_color; ++j) {
        const float e = static_cast<float>(j) / static_cast<float>(num_color) - 0.25f;
        map[j] = red_of(e) | (green_of(e) << 8) | (blue_of(e) << 16);
    }
}

}  // namespace

extern "C" {

void vx_cmap_init(vx_cmap_t *c, int color_num) {
    memset(c, 0, sizeof *c);
    if (color_num < 1) {
        LOG_ERR("invalid color number %d\n", color_num);
        return;
    }
    c->rgb_map = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * static_cast<size_t>(color_num)));
    if (!c->rgb_map) {
        LOG_ERR("malloc failed\n");
        exit(-1);
    }
    c->num_color = color_num;
    create_colormap(c->rgb_map, color_num);
    c->range_min = 0;
    c->range_max = 4000;
    c->index_factor_gray = static_cast<float>(255.0 / 4000.0);
    c->index_factor_color = static_cast<float>(color_num) / 4000.0f;
}

void vx_cmap_uninit(vx_cmap_t *c) {
    free(c->rgb_map);
    c->rgb_map = nullptr;
    c->num_color = 0;
}

void vx_cmap_set_range(vx_cmap_t *c, int rmin, int rmax) {
    if (rmin == rmax) {
        c->index_factor_gray = 255.0f;
        c->index_factor_color = static_cast<float>(c->num_color);
        return;
    }
    c->range_min = rmin < rmax ? rmin : rmax;
    c->range_max = rmin < rmax ? rmax : rmin;
    // Widen before subtracting: the range may span more than INT_MAX.
    const int64_t d = static_cast<int64_t>(c->range_max) - c->range_min;
    c->index_factor_gray = static_cast<float>(255.0 / static_cast<double>(d));
    c->index_factor_color = static_cast<float>(c->num_color) / static_cast<float>(d);
}

uint32_t vx_cmap_get_color(const vx_cmap_t *c, int val) {
    if (val == VX_CMAP_VAL_REJECTED) return 0;
    if (val == VX_CMAP_VAL_MARK) return COLOR_MARK;
    if (val == VX_CMAP_VAL_SATURATED) return COLOR_SATURATED;
    if (c->num_color < 1 || !(c->range_min < val && val <= c->range_max)) return 0;
    const float pos = static_cast<float>(static_cast<int64_t>(val) - c->range_min) * c->index_factor_color;
    // Clamp in float before converting: a huge factor must not overflow the int.
    int64_t k = pos >= static_cast<float>(c->num_color) ? 0 : c->num_color - static_cast<int64_t>(pos);
    if (k <= 0) k = 0;
    if (k >= c->num_color) k = c->num_color - 1;
    return c->rgb_map[k];
}

uint32_t vx_cmap_get_gray(const vx_cmap_t *c, int val) {
    if (val == VX_CMAP_VAL_MARK) return COLOR_MARK;
    if (val == VX_CMAP_VAL_SATURATED) return COLOR_SATURATED;
    if (val > c->range_max) return 0xFFFFFF;
    if (val < c->range_min) return 0;
    const float g = static_cast<float>(static_cast<int64_t>(val) - c->range_min) * c->index_factor_gray;
    const uint32_t level = static_cast<uint32_t>(static_cast<int64_t>(g)) & 0xFFu;
    return level * 0x010101u;
}

}  // extern "C"
