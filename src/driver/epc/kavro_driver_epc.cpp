// EPC sensor driver: life cycle, frame description and the decode pipeline
// that turns a raw frame of DCS images into a 16-bit distance image (mm) or
// gray image, and the operation table registered for the product codes E1,
// E2 and E3. The features that hook into the pipeline, the filter switches,
// the calibration routine and the lens parameters are in
// kavro_driver_epc_feature.cpp; the arithmetic is in epc_calc.cpp.
#include "driver/epc/kavro_driver_epc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "driver/epc/epc_calc.h"
#include "kavro_capture.h"
#include "kavro_driver.h"
#include "kavro_replay.h"
#include "vx_log_internal.h"
#include "vx_medfilter.h"

namespace {

epc_drv_t *epc_of(kavro_drv_t *drv) { return drv ? static_cast<epc_drv_t *>(drv->priv_data) : nullptr; }

// Frame size of the decoder's scratch images; released with free().
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using scratch_t = std::unique_ptr<uint16_t[], free_deleter>;

scratch_t scratch_alloc(size_t pixels) {
    return scratch_t(static_cast<uint16_t *>(std::malloc(pixels * sizeof(uint16_t))));
}

constexpr uint32_t EPC_REG_OP_WRITE = 0;
constexpr uint32_t EPC_REG_OP_READ = 1;

constexpr int EPC_DEFAULT_W = 320;
constexpr int EPC_DEFAULT_H = 240;

}  // namespace

void (*_epc_decode_before_calc)(kavro_drv_t *drv) = nullptr;

// Write or read n_data consecutive 32-bit registers from reg_addr on the
// sensor's register target. Failures are logged; the caller goes on.
static bool _epc_reg_rw(kavro_drv_t *drv, uint32_t op, uint32_t reg_addr, uint16_t n_data, uint32_t *p_data) {
    if (op == EPC_REG_OP_WRITE) {
        if (!kavro_reg_batch_write(drv->dev, DEV_REG_CAM0, reg_addr, p_data, n_data)) {
            LOG_ERR("reg write fail!\n");
            return false;
        }
        return true;
    }
    if (!kavro_reg_batch_read(drv->dev, DEV_REG_CAM0, reg_addr, p_data, n_data)) {
        LOG_ERR("reg read fail!\n");
        return false;
    }
    return true;
}

bool epc_init(kavro_drv_t *drv, kavro_dev_t *dev) {
    if (!drv) return false;
    drv->dev = dev;
    auto *edrv = static_cast<epc_drv_t *>(std::calloc(1, sizeof(epc_drv_t)));
    if (!edrv) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }
    drv->priv_data = edrv;
    if (pthread_mutex_init(&edrv->drnu_mutex, nullptr) != 0) {
        LOG_ERR("pthread_mutex_init failed\n");
        exit(-1);
    }

    // Lens parameters of the device's folder, if it has a file, then the
    // undistortion map built from them.
    // A replayed recording brings the lens values it was decoded with; they
    // stay with this device.
    edrv->has_own_lens = _kavro_dev_lens_override(dev, &edrv->own_lens);
    if (!edrv->has_own_lens) {
        std::string len_file = (dev && dev->expath) ? dev->expath : "";
        len_file += "lens_param.txt";
        if (len_file.size() > 255) len_file.resize(255);
        _vx_update_len_param(dev, &g_epc_len_param, len_file.c_str());
    }
    const vx_len_param_t &lens = edrv->has_own_lens ? edrv->own_lens : g_epc_len_param;
    if (vx_calib_len_init_map(&edrv->h_calib_len, &lens) > 0) _epc_len_undistorted(&lens, &edrv->len_undistorted);

    edrv->f_en_lens_calib = false;
    edrv->f_en_pix_calib = false;
    edrv->f_en_minamp = true;
    edrv->f_param_auto_intg_ratio = 0;
    edrv->f_en_auto_intg = false;
    edrv->f_en_sync_delay = false;
    edrv->f_en_temp_ctrl = true;
    edrv->f_param_temp_ctrl_threshold = 75;
    edrv->f_en_hdr = false;
    edrv->f_en_median = true;
    edrv->f_en_hysteresis = true;
    edrv->f_en_flyfilter = true;
    edrv->f_param_flyfilter_th = 90000;
    edrv->f_param_hysteresis = 10;
    edrv->f_param_min_amp = 30;
    edrv->f_en_offset = true;
    edrv->f_param_median_ksize = 5;
    edrv->f_param_offset_mm = 0;
    edrv->f_en_sport_mode = false;
    edrv->f_param_sport_mode = 0;
    edrv->mod_freq = 0;
    edrv->calib_tcoef_cb_mm = 13.78f;
    edrv->calib_tcoef_ib_mm = 1.183f;
    edrv->calib_wall_len_mm = 295;

    if (!epc_calc_init(drv)) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }

    // Sensor set-up sequence. A failed access is logged and the sequence
    // goes on; after a failed read the previous value is written back with
    // the bits set.
    if (dev) {
        uint32_t val = 0x0002;
        _epc_reg_rw(drv, EPC_REG_OP_WRITE, 0x8B, 1, &val);
        uint32_t zeros[3] = {0, 0, 0};
        _epc_reg_rw(drv, EPC_REG_OP_WRITE, 0x71, 3, zeros);
        val = 0x0004;
        _epc_reg_rw(drv, EPC_REG_OP_WRITE, 0xAE, 1, &val);
        for (uint32_t reg : {0x22u, 0x25u, 0x28u, 0x2Bu}) {
            _epc_reg_rw(drv, EPC_REG_OP_READ, reg, 1, &val);
            val |= 0x30;
            _epc_reg_rw(drv, EPC_REG_OP_WRITE, reg, 1, &val);
        }
    }

    if (!vx_bpf2d_iir_init(&edrv->f_bpf, EPC_DEFAULT_W, EPC_DEFAULT_H, EPC_BPF_SIGMA_SPATIAL, EPC_BPF_SIGMA_RANGE,
                           0, 4096))
        LOG_ERR("vx_bpf2d_iir_init failed\n");
    return true;
}

void epc_uninit(kavro_drv_t *drv) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return;
    vx_bpf2d_iir_uninit(&edrv->f_bpf);
    vx_calib_len_uninit_map(&edrv->h_calib_len);
    pthread_mutex_lock(&edrv->drnu_mutex);
    epc_calc_uninit(drv);
    pthread_mutex_unlock(&edrv->drnu_mutex);
    pthread_mutex_destroy(&edrv->drnu_mutex);
    std::free(edrv->hysteresis_map);
    std::free(edrv);
    drv->priv_data = nullptr;
}

bool epc_frame_get_info(kavro_drv_t *drv, kavro_frame_info_t *frinfo, const vx_frinfo_t *src_hdr) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv || !frinfo || !src_hdr) return false;
    epc_frame_prop_t prop;
    std::memcpy(&prop, src_hdr->frame_prop, sizeof prop);
    const int16_t cb = prop.temp_cb;
    const int16_t ib = prop.temp_ib;
    const bool calib_frame = src_hdr->frame_format == EPC_FRAME_FMT_CALIB_DATA;

    if (calib_frame) {
        // A calibration data frame carries no sensor reading and is never
        // decoded: it leaves the temperature state of the sensor frames alone.
    } else if (!epc_temp_plausible(cb, ib)) {
        // No measurement: keep the values as reported, but decode without a
        // temperature shift (as at the calibration temperature). Said once
        // per capture, not per frame.
        const uint32_t gen = _kavro_cap_generation(drv->dev);
        if (!edrv->temp_unknown_warned || edrv->temp_unknown_warn_gen != gen) {
            LOG_WRN("no plausible temperature reported (cb=%d, ib=%d): distances are not temperature "
                    "compensated\n",
                    cb, ib);
            edrv->temp_unknown_warned = true;
            edrv->temp_unknown_warn_gen = gen;
        }
        edrv->temp_unknown = true;
        edrv->temp_ib_corrected = false;
        edrv->temp_cb = cb;
        edrv->temp_ib = ib;
    } else if (ib < -300 || ib > 900 || ib - cb > 600 || cb - ib > 600) {
        // A broken IB reading beside a good sensor reading: estimated from
        // the sensor temperature, reported once until a plausible IB value
        // comes back.
        if (!edrv->temp_ib_corrected)
            LOG_WRN("wrong IB temp %d detected: corrected to temp_cb - 10 (reported only once)\n", ib);
        edrv->temp_ib_corrected = true;
        edrv->temp_unknown = false;
        edrv->temp_cb = cb;
        edrv->temp_ib = static_cast<int16_t>(cb - 100);
    } else {
        if (cb < -40 || cb > 1000) LOG_WRN("wrong CB temp %d detected: distance value may be wrong \n", cb);
        edrv->temp_ib_corrected = false;
        edrv->temp_unknown = false;
        edrv->temp_cb = cb;
        edrv->temp_ib = ib;
    }

    if (edrv->f_en_temp_ctrl && src_hdr->frame_format != EPC_FRAME_FMT_CALIB_DATA)
        _feature_temp_monitor(edrv, ib, cb);
    else
        LOG_TRC("Temp monitor not enable\n");

    std::memset(frinfo, 0, sizeof *frinfo);
    const uint32_t w = prop.width ? prop.width : EPC_DEFAULT_W;
    const uint32_t h = prop.height ? prop.height : EPC_DEFAULT_H;
    LOG_TRC("frame: fmt=%d, sz=%d, wxh = %dx%d\n", src_hdr->frame_format, src_hdr->frame_size, w, h);
    const uint64_t pixels = static_cast<uint64_t>(w) * h;
    if (src_hdr->frame_format != EPC_FRAME_FMT_CALIB_DATA && src_hdr->frame_size % pixels != 0) return false;

    frinfo->frame_format = src_hdr->frame_format;
    frinfo->frame_idx = src_hdr->frame_idx;
    frinfo->frame_size = src_hdr->frame_size;
    frinfo->width = w;
    frinfo->height = h;
    frinfo->depth = static_cast<uint8_t>(src_hdr->frame_size / w / h);
    frinfo->pixel_format = 0;
    frinfo->priv_code = 0;
    if (calib_frame) {
        frinfo->temp0 = cb;
        frinfo->temp1 = ib;
        frinfo->flags = epc_temp_plausible(cb, ib) ? KAVRO_FRAME_FLAG_TEMP_MEASURED : 0u;
        return true;
    }
    frinfo->temp0 = edrv->temp_cb;
    frinfo->temp1 = edrv->temp_ib;
    frinfo->flags = (edrv->temp_unknown ? 0u : KAVRO_FRAME_FLAG_TEMP_MEASURED) | epc_calc_calib_kind(drv);
    return true;
}

// Number of DCS images the calculation reads, from the sport mode and the
// frame format.
static int _epc_dcs_count(const epc_drv_t *edrv, uint32_t frame_format) {
    if (edrv->f_en_sport_mode) return edrv->f_param_sport_mode == 1 ? 1 : 2;
    return frame_format == EPC_FRAME_FMT_DUAL_MGX_SINE_NOPIDELAY_DCSx1 ? 1 : 4;
}

// Distance path of the decoder: calculation, HDR merge, row reorder,
// minimum amplitude, clean-up chain, range filter, undistortion. dst holds
// at least n pixels. -1 when the calculation refuses the frame or scratch
// memory is short.
static int _epc_decode_distance(kavro_drv_t *drv, epc_drv_t *edrv, uint16_t *dst, const uint16_t *src, int w,
                                int h, int n_dcs, const epc_frame_temp_t *temp) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    scratch_t a = scratch_alloc(n);
    scratch_t b = scratch_alloc(n);
    if (!a || !b) {
        LOG_ERR("malloc failed\n");
        return -1;
    }
    // The path (per-pixel or simple) is decided under the calculation's
    // lock together with the calculation itself, so a frequency change in
    // between decodes the frame uncalibrated instead of failing it.
    if (_epc_decode_before_calc) _epc_decode_before_calc(drv);
    if (calc_dist_calib_select(drv, dst, a.get(), src, w, h, n_dcs, edrv->f_en_pix_calib, temp) < 0) return -1;

    if (edrv->f_en_hdr) _feature_hdr_update(a.get(), dst, w, h);
    calc_dcs_sort(b.get(), a.get(), w, h);  // amplitudes, image order
    calc_dcs_sort(a.get(), dst, w, h);      // distances, image order

    _feature_minamp_filter(edrv, a.get(), b.get(), static_cast<int>(n));

    // Each stage reads the current image and writes the other buffer.
    uint16_t *cur = a.get();
    uint16_t *other = dst;
    auto swap = [&]() { std::swap(cur, other); };
    if (edrv->f_en_median && edrv->f_param_median_ksize > 1) {
        vx_median2d_u16(other, cur, w, h, 3);
        swap();
        if (edrv->f_en_sport_mode) {
            vx_fhole_u16_k3(other, cur, w, h, 0);
            swap();
        } else {
            // The recursive bilateral filter is set up for 320 x 240; for any
            // other size it writes nothing, so the stage is skipped rather
            // than passing on a buffer with stale content.
            // Rejected and saturated pixels are not smoothed: they keep
            // their exact codes.
            if (edrv->f_bpf.w == w && edrv->f_bpf.h == h) {
                vx_bpf2d_iir(&edrv->f_bpf, other, cur, w, h);
                _dist_keep_codes(other, cur, static_cast<int>(n));
                swap();
            }
            if (edrv->f_en_flyfilter) {
                vx_flypix_u16_k3(other, cur, w, h, edrv->f_param_flyfilter_th);
                swap();
            }
            vx_fhole_u16_k3(other, cur, w, h, 0);
            swap();
        }
    }

    _dist_filter_bad_dist(cur, static_cast<int>(n), edrv->dist_max_mm);
    _dist_snap_codes(cur, static_cast<int>(n));

    // Undistortion moves whole pixels (no interpolation), so the codes stay
    // exact; a pixel with no source pixel is rejected.
    if (edrv->f_en_lens_calib && w == EPC_DEFAULT_W && h == EPC_DEFAULT_H &&
        vx_calib_len_undistort_u16(&edrv->h_calib_len, other, static_cast<int>(n), cur, w, h, EPC_DIST_FILTERED))
        swap();

    if (cur != dst) std::memcpy(dst, cur, n * sizeof(uint16_t));
    return static_cast<int>(n * 2);
}

// Gray path of the decoder: amplitudes, HDR merge, row reorder,
// undistortion. No filter runs on gray images.
static int _epc_decode_gray(kavro_drv_t *drv, epc_drv_t *edrv, uint16_t *dst, const uint16_t *src, int w, int h,
                            int n_dcs) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    scratch_t t = scratch_alloc(n);
    if (!t) {
        LOG_ERR("malloc failed\n");
        return -1;
    }
    if (!calc_gray(drv, dst, src, w, h, n_dcs)) return -1;
    if (edrv->f_en_hdr) _feature_hdr_update(dst, nullptr, w, h);
    calc_dcs_sort(t.get(), dst, w, h);
    if (!(w == EPC_DEFAULT_W && edrv->f_en_lens_calib && h == EPC_DEFAULT_H &&
          vx_calib_len_undistort_u16(&edrv->h_calib_len, dst, w * EPC_DEFAULT_H, t.get(), w, h, 0)))
        std::memcpy(dst, t.get(), n * sizeof(uint16_t));
    return static_cast<int>(n * 2);
}

int epc_frame_decode(kavro_drv_t *drv, void *dst, int dst_len, kavro_frame_fmt_e dst_frfmt, const void *src,
                     int src_len, const kavro_frame_info_t *src_frinfo) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv || !dst || !src || !src_frinfo || src_len < 0 || dst_len < 0) return -1;
    if (static_cast<uint32_t>(src_len) > src_frinfo->frame_size) src_len = static_cast<int>(src_frinfo->frame_size);

    if (edrv->f_en_auto_intg && edrv->f_param_auto_intg_ratio != 0 && !edrv->f_en_hdr)
        _feature_auto_intg(drv, src, src_len);

    const uint32_t fmt = src_frinfo->frame_format;
    if (fmt != EPC_FRAME_FMT_SINGLE_MGX_SINE_PIDELAY_DCSx4 && fmt != EPC_FRAME_FMT_DUAL_MGX_SINE_NOPIDELAY_DCSx1) {
        if (fmt == EPC_FRAME_FMT_CALIB_DATA) LOG_INF("Calibration data frame,size:%d\n", src_frinfo->frame_size);
        return -1;
    }

    const int n_dcs = _epc_dcs_count(edrv, fmt);

    // Size check, in 64 bits: the header's width and height are not trusted.
    // Besides the bytes of the frame format, the DCS images the calculation
    // reads must be present (two images in sport mode 0 on a one-image
    // frame are not), and the image must be one the pipeline can reorder
    // and filter (even height of at least 2 rows, width of at least 2).
    const int w = static_cast<int>(src_frinfo->width);
    const int h = static_cast<int>(src_frinfo->height);
    const uint64_t n = static_cast<uint64_t>(src_frinfo->width) * src_frinfo->height;
    uint64_t need_src = (fmt == EPC_FRAME_FMT_SINGLE_MGX_SINE_PIDELAY_DCSx4 ? 8 : 2) * n;
    if (n_dcs == 2 && need_src < 4 * n) need_src = 4 * n;
    if (static_cast<uint64_t>(dst_len) < 2 * n || static_cast<uint64_t>(src_len) < need_src || w < 2 || h < 2 ||
        h % 2 != 0 || src_frinfo->width > 0x7FFF || src_frinfo->height > 0x7FFF) {
        LOG_ERR("wrong data len: src=%d, dst=%d\n", src_len, dst_len);
        return -1;
    }

    const auto *raw = static_cast<const uint16_t *>(src);
    if (edrv->f_en_sync_delay && _epc_interference_check(drv, raw, src_len, w, h)) return -1;

    auto *out = static_cast<uint16_t *>(dst);
    if (dst_frfmt == VX_FRAME_FMT_DISTANCE) {
        // Compensate with the temperatures of this frame, as its frame
        // information carries them: while the application decodes one frame,
        // the capture may already have described later ones.
        epc_frame_temp_t temp;
        temp.temp_cb = src_frinfo->temp0;
        temp.temp_ib = src_frinfo->temp1;
        temp.known = (src_frinfo->flags & KAVRO_FRAME_FLAG_TEMP_MEASURED) != 0;
        return _epc_decode_distance(drv, edrv, out, raw, w, h, n_dcs, &temp);
    }
    if (dst_frfmt == VX_FRAME_FMT_GRAY) return _epc_decode_gray(drv, edrv, out, raw, w, h, n_dcs);
    return -1;
}

int epc_frame_raw_get(kavro_drv_t *, void *, int, kavro_frame_info_t *) { return 0; }

int epc_frame_raw_proc(kavro_drv_t *, void *, int, const kavro_frame_info_t *) { return 0; }

int epc_use_case_get_count(kavro_drv_t *) { return 0; }

int epc_calib_load(kavro_drv_t *, void *, int, uint32_t) { return 0; }

bool epc_calib_apply(kavro_drv_t *, void *, int, const kavro_frame_info_t *, uint32_t) { return true; }

void epc_on_update_frame_format(kavro_drv_t *drv, uint32_t frfmt) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return;
    if (frfmt == EPC_FRAME_FMT_DUAL_MGX_SINE_NOPIDELAY_DCSx1) {
        edrv->f_en_sport_mode = true;
        edrv->f_param_sport_mode = 1;
    } else if (frfmt == EPC_FRAME_FMT_DUAL_MGX_SINE_PIDELAY_DCSx2) {
        edrv->f_en_sport_mode = true;
        edrv->f_param_sport_mode = 0;
    } else {
        edrv->f_en_sport_mode = false;
        edrv->f_param_sport_mode = 0;
    }
}

void epc_on_update_intg_time(kavro_drv_t *drv, uint32_t intg_us, bool second_intg) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return;
    if (second_intg) edrv->f_en_hdr = intg_us != 0;
    LOG_DBG("intg%d: %d, hdr_en=%d\n", second_intg ? 1 : 0, intg_us, edrv->f_en_hdr ? 1 : 0);
}

void epc_on_update_mod_freq(kavro_drv_t *drv, uint32_t mod_freq, uint8_t) {
    epc_event_freq_change(drv, mod_freq, 0);
}

const kavro_drv_op_t g_kavro_driver_op_epc = {
    .init = epc_init,
    .uninit = epc_uninit,
    .frame_get_info = epc_frame_get_info,
    .frame_decode = epc_frame_decode,
    .frame_raw_get = epc_frame_raw_get,
    .frame_raw_proc = epc_frame_raw_proc,
    .lens_param_get = epc_lens_param_get,
    .use_case_get_count = epc_use_case_get_count,
    .on_update_intg_time = epc_on_update_intg_time,
    .on_update_frame_format = epc_on_update_frame_format,
    .on_update_mod_freq = epc_on_update_mod_freq,
    .calib_load = epc_calib_load,
    .calib_save = epc_calib_save,
    .calib_apply = epc_calib_apply,
    .filter_enable = epc_filter_enable,
    .filter_disable = epc_filter_disable,
    .lens_view_get = epc_lens_view_get,
};
