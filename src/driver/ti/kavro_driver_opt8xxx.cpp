// Stub driver for the TI OPT8241 sensor: describes frames as 320 x 240 words
// and decodes distance and gray from the packed 12-bit fields of each word.
#include <cstdint>
#include <cstring>

#include "kavro_driver.h"

namespace {

constexpr uint32_t OPT8XXX_WIDTH = 320;
constexpr uint32_t OPT8XXX_HEIGHT = 240;
constexpr uint8_t OPT8XXX_DEPTH = 4;  // bytes per pixel: one 32-bit word
constexpr float OPT8XXX_SCALE = 1.0f / 4096.0f;
constexpr float OPT8XXX_RANGE_M = 3.122838f;  // unambiguous range of the phase

bool opt8xxx_init(kavro_drv_t *drv, kavro_dev_t *dev) {
    drv->dev = dev;
    return true;
}

void opt8xxx_uninit(kavro_drv_t *) {}

bool opt8xxx_frame_get_info(kavro_drv_t *, kavro_frame_info_t *frinfo, const vx_frinfo_t *src_hdr) {
    frinfo->frame_size = src_hdr->frame_size;
    frinfo->frame_format = src_hdr->frame_format;
    frinfo->frame_idx = src_hdr->frame_idx;
    frinfo->width = OPT8XXX_WIDTH;
    frinfo->height = OPT8XXX_HEIGHT;
    frinfo->depth = OPT8XXX_DEPTH;
    frinfo->pixel_format = 0;
    frinfo->priv_code = 0;
    return true;
}

// Each source pixel is a little-endian word: the low 12 bits of its upper
// half are the phase (distance), the low 12 bits of its lower half the
// amplitude (gray). The destination holds floats; at most dst_len / 4 pixels
// and never more than the source holds are written.
int opt8xxx_frame_decode(kavro_drv_t *, void *dst, int dst_len, kavro_frame_fmt_e dst_frfmt, const void *src,
                         int src_len, const kavro_frame_info_t *src_frinfo) {
    const int pixels = static_cast<int>(src_frinfo->width * src_frinfo->height);
    if (dst_frfmt != VX_FRAME_FMT_DISTANCE && dst_frfmt != VX_FRAME_FMT_GRAY) return pixels;
    int count = pixels;
    if (dst_len / 4 < count) count = dst_len / 4;
    if (src_len / 4 < count) count = src_len / 4;
    const auto *in = static_cast<const uint8_t *>(src);
    auto *out = static_cast<float *>(dst);
    for (int i = 0; i < count; ++i) {
        uint32_t word;
        memcpy(&word, in + 4 * static_cast<size_t>(i), sizeof word);
        float v;
        if (dst_frfmt == VX_FRAME_FMT_DISTANCE)
            v = static_cast<float>((word >> 16) & 0xFFFu) * OPT8XXX_SCALE * OPT8XXX_RANGE_M;
        else
            v = static_cast<float>(word & 0xFFFu) * OPT8XXX_SCALE;
        memcpy(out + i, &v, sizeof v);
    }
    return pixels;
}

int opt8xxx_use_case_get_count(kavro_drv_t *) { return 0; }

int opt8xxx_calib_load(kavro_drv_t *, void *, int buf_len, uint32_t) { return buf_len; }

int opt8xxx_calib_save(kavro_drv_t *, void *, int buf_len, uint32_t) { return buf_len; }

bool opt8xxx_calib_apply(kavro_drv_t *, void *, int, const kavro_frame_info_t *, uint32_t) { return true; }

}  // namespace

const kavro_drv_op_t g_kavro_driver_op_ti = {
    .init = opt8xxx_init,
    .uninit = opt8xxx_uninit,
    .frame_get_info = opt8xxx_frame_get_info,
    .frame_decode = opt8xxx_frame_decode,
    .frame_raw_get = nullptr,
    .frame_raw_proc = nullptr,
    .lens_param_get = nullptr,
    .use_case_get_count = opt8xxx_use_case_get_count,
    .on_update_intg_time = nullptr,
    .on_update_frame_format = nullptr,
    .on_update_mod_freq = nullptr,
    .calib_load = opt8xxx_calib_load,
    .calib_save = opt8xxx_calib_save,
    .calib_apply = opt8xxx_calib_apply,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .lens_view_get = nullptr,
};
