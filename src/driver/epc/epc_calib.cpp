// Calibration data of the EPC driver (see epc_calib.h).
#include "driver/epc/epc_calib.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "driver/epc/epc_calc.h"
#include "driver/epc/kavro_driver_epc.h"
#include "vx_log_internal.h"
#include "vx_math_basic.h"

namespace {

// Half the speed of light in m/s as a single-precision float.
constexpr float LIGHT_HALF_M_S = 149896224.0f;

epc_drv_t *epc_of(kavro_drv_t *drv) { return drv ? static_cast<epc_drv_t *>(drv->priv_data) : nullptr; }
epc_calc_t *calc_of(epc_drv_t *edrv) { return edrv ? static_cast<epc_calc_t *>(edrv->priv_data) : nullptr; }

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool read_exact(FILE *f, void *dst, size_t n) { return std::fread(dst, 1, n, f) == n; }

// Bytes from the current position to the end of the file; -1 when unknown.
long long bytes_left(FILE *f) {
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(f);
    if (end < 0 || std::fseek(f, here, SEEK_SET) != 0) return -1;
    return static_cast<long long>(end) - here;
}

// Float to integer conversions of computed calibration values. Values in
// range truncate like a plain cast; a value out of range (a broken block's
// arithmetic) saturates and NaN gives 0 instead of undefined behaviour.
template <typename T>
T sat_cast(float v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<float>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<float>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}
template <typename T>
T sat_cast_d(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

// Image size of a block header, with 0 standing for the reference size.
uint32_t hdr_w(const epc_drv_param_header_t &h) { return h.w ? h.w : EPC_DRNU_IMG_W; }
uint32_t hdr_h(const epc_drv_param_header_t &h) { return h.h ? h.h : EPC_DRNU_IMG_H; }

// Why a block that matched the frequency cannot be mounted; null when it can.
// payload_len is the block's payload size, left the bytes the file still
// holds after the header.
const char *block_fault(const epc_drv_param_header_t &h, uint32_t payload_len, long long left) {
    if (h.num_dist < 2) return "fewer than two reference images";
    if (h.mod_freq == 0) return "no modulation frequency";
    if (!std::isfinite(h.box_len_cm) || h.box_len_cm < 0.0f || h.box_len_cm > 1.0e6f)
        return "first reference distance out of range";
    const uint64_t w = hdr_w(h), hh = hdr_h(h);
    if (w > EPC_DRNU_PIX_CNT || hh > EPC_DRNU_PIX_CNT || w * hh > EPC_DRNU_PIX_CNT)
        return "image larger than a reference record";
    const uint64_t need = static_cast<uint64_t>(h.num_dist) * sizeof(epc_drv_param_drnu_payload_t);
    if (payload_len < need) return "payload shorter than its reference images";
    if (left >= 0 && static_cast<uint64_t>(left) < payload_len) return "payload beyond the end of the file";
    return nullptr;
}

}  // namespace

bool _cal_load_calib_data(kavro_drv_t *drv, uint32_t freq, kavro_param_t *par_vx_hdr) {
    epc_drv_t *edrv = epc_of(drv);
    epc_calc_t *calc = calc_of(edrv);
    if (!calc || !par_vx_hdr) return false;
    if (!edrv->param_valid) return false;

    _epc_calc_drnu_t &drnu = calc->drnu;
    if (drnu.payload) {
        if (drnu.hdr.mod_freq == freq) {
            LOG_TRC("Calib data already loaded: freq=%u\n", freq);
            return true;
        }
        drnu.payload.reset();
    }
    drnu.hdr = {};

    // pname is a fixed array: never read past it when it lacks a terminator.
    char pname[sizeof edrv->pname + 1];
    std::memcpy(pname, edrv->pname, sizeof edrv->pname);
    pname[sizeof edrv->pname] = '\0';

    file_ptr f(std::fopen(pname, "rb"));
    if (!f) {
        LOG_ERR("open calib bin failed: %s\n", pname);
        return false;
    }
    if (!read_exact(f.get(), par_vx_hdr, sizeof *par_vx_hdr)) {
        LOG_ERR("read par_vx_hdr failed: %s\n", pname);
        return false;
    }
    const uint8_t ver = par_vx_hdr->p_fix.ver;
    const bool old_layout = ver < KAVRO_PARAM_VER_CURRENT_LAYOUT;

    for (uint32_t i = 0; i < par_vx_hdr->p_blks.blk_cnt; ++i) {
        epc_drv_param_header_t hdr;
        uint32_t payload_len = 0;
        bool drnu_blk = true;
        if (old_layout) {
            epc_drv_param_header_old_t old;
            if (!read_exact(f.get(), &old, sizeof old)) {
                LOG_ERR("read old_hdr failed: %s\n", pname);
                return false;
            }
            if (old.type != EPC_CALIB_BLK_DRNU) {
                LOG_ERR("wrong blk param type: %d for (ver%d)\n", old.type, ver);
                return false;
            }
            hdr = old.val;
            payload_len = old.val.reserved[0];
        } else {
            kavro_param_blk_unit_t unit;
            if (!read_exact(f.get(), &unit, sizeof unit)) {
                LOG_ERR("read par_dev_hdr failed: %s\n", pname);
                return false;
            }
            if (!read_exact(f.get(), &hdr, sizeof hdr)) {
                LOG_ERR("read par_drv_hdr failed: %s\n", pname);
                return false;
            }
            if (unit.size < sizeof hdr) {
                LOG_ERR("parse calib file failed: %s\n", pname);
                return false;
            }
            payload_len = unit.size - static_cast<uint32_t>(sizeof hdr);
            drnu_blk = unit.type == EPC_CALIB_BLK_DRNU;
        }

        const char *fault = nullptr;
        if (drnu_blk && (hdr.mod_freq == freq || freq == 0))
            fault = block_fault(hdr, payload_len, bytes_left(f.get()));
        if (fault) {
            // A broken block ends nothing: a later block of the same
            // frequency may be good.
            LOG_ERR("wrong drnu blk (freq=%u, num_dist=%d, size=%u): %s, skipped: %s\n", hdr.mod_freq,
                    hdr.num_dist, payload_len, fault, pname);
        } else if (drnu_blk && (hdr.mod_freq == freq || freq == 0)) {
            // Only the num_dist reference images are ever read; bytes after
            // them belong to no image.
            const size_t len = static_cast<size_t>(hdr.num_dist) * sizeof(epc_drv_param_drnu_payload_t);
            auto *p = static_cast<epc_drv_param_drnu_payload_t *>(std::malloc(len));
            if (!p) {
                LOG_ERR("malloc failed\n");
                std::exit(-3);
            }
            drnu.hdr = hdr;
            drnu.payload.reset(p);
            if (!read_exact(f.get(), p, len)) {
                LOG_ERR("read drnu.payload failed: %s\n", pname);
                drnu.payload.reset();
                drnu.hdr = {};
                return false;
            }
            LOG_DBG("Calib data: freq=%u, ver=%d, ts=%d\n", hdr.mod_freq, ver, par_vx_hdr->p_fix.ts);
            return true;
        }
        if (std::fseek(f.get(), static_cast<long>(payload_len), SEEK_CUR) != 0) {
            LOG_ERR("parse calib file failed: %s\n", pname);
            return false;
        }
    }
    return false;
}

void _calc_scale_offset(kavro_drv_t *drv, float *scale, float *offset, const epc_drv_param_drnu_payload_t *img0,
                        const epc_drv_param_drnu_payload_t *img1) {
    epc_drv_t *edrv = epc_of(drv);
    const epc_calc_t *calc = calc_of(edrv);
    // Mean phase of each image without its last column. The sums are held
    // in 64 bits: 76560 samples of up to 65535 overflow 32 bits.
    uint64_t s0 = 0, s1 = 0;
    uint32_t cnt = 0;
    for (uint32_t i = 0; i < EPC_DRNU_PIX_CNT; ++i) {
        if (i % EPC_DRNU_IMG_W == EPC_DRNU_IMG_W - 1) continue;
        s0 += img0->data[i];
        s1 += img1->data[i];
        ++cnt;
    }
    const uint32_t a0 = static_cast<uint32_t>(s0 / cnt), a1 = static_cast<uint32_t>(s1 / cnt);
    const float r = EPC_LIGHT_HALF_MM_S / static_cast<float>(edrv->mod_freq);
    const float p0 = static_cast<float>(a0) * r / 32768, p1 = static_cast<float>(a1) * r / 32768;
    const double box_cm = calc->config.box_len_cm;
    const float d0 = static_cast<float>(sat_cast_d<int>(box_cm * 10.0));
    const float d1 = static_cast<float>(sat_cast_d<int>(img1->ref_dist_um / 1000.0 + box_cm * 10.0));
    *scale = (d1 - d0) / (p1 - p0);
    *offset = d0 - p0 * *scale;
    LOG_TRC("calib scale/offset = %.3f/%.3f\n", *scale, *offset);
}

uint32_t _calc_pix_fit(kavro_drv_t *drv, uint32_t w, uint32_t h, int num_dist, float *avg_slope,
                       float *avg_offset) {
    epc_calc_t *calc = calc_of(epc_of(drv));
    const uint32_t n = w * h;
    const epc_drv_param_drnu_payload_t *img = calc->drnu.payload.get();

    auto *xs = static_cast<uint16_t *>(std::malloc(static_cast<size_t>(num_dist) * sizeof(uint16_t)));
    auto *ys = static_cast<uint16_t *>(std::malloc(static_cast<size_t>(num_dist) * sizeof(uint16_t)));
    auto *pixs = static_cast<_epc_calib_pix_t *>(std::malloc((n ? n : 1) * sizeof(_epc_calib_pix_t)));
    if (!xs || !ys || !pixs) {
        LOG_ERR("malloc failed\n");
        std::exit(-3);
    }
    const std::unique_ptr<uint16_t[], _epc_free_deleter> x_own(xs), y_own(ys);
    calc->config.calib_pixs.reset(pixs);
    for (int k = 0; k < num_dist; ++k) xs[k] = static_cast<uint16_t>(k);

    uint32_t good = 0;
    float slope_sum = 0.0f, offset_sum = 0.0f;
    for (uint32_t p = 0; p < n; ++p) {
        for (int k = 0; k < num_dist; ++k) ys[k] = img[k].data[p];
        float slope, offset, r2;
        vx_math_linear_LSR_u16(xs, ys, num_dist, &slope, &offset, &r2);
        // A NaN r^2 (all references equal) is not good either.
        if (!(static_cast<double>(r2) >= EPC_CALIB_MIN_R_SQUARE) || slope == 0.0f) {
            LOG_TRC("calib pix @ %d is not good: r = %f\n", static_cast<int>(p), static_cast<double>(r2));
            pixs[p] = {0.0f, 0.0f};
            continue;
        }
        ++good;
        slope_sum += slope;
        offset_sum += offset;
        pixs[p] = {1.0f / slope, offset};
    }
    if (good == 0) return 0;

    *avg_slope = slope_sum / static_cast<float>(good);
    *avg_offset = offset_sum / static_cast<float>(good);
    if (good < n) {
        const _epc_calib_pix_t avg = {1.0f / *avg_slope, *avg_offset};
        for (uint32_t p = 0; p < n; ++p)
            if (pixs[p].inv_slope == 0.0f && pixs[p].offset == 0.0f) pixs[p] = avg;
    }
    return good;
}

int epc_calc_mount_calib(kavro_drv_t *drv) {
    LOG_TRC("Mount\n");
    epc_drv_t *edrv = epc_of(drv);
    epc_calc_t *calc = calc_of(edrv);
    if (!calc) return -1;
    _epc_calc_config_t &cfg = calc->config;
    _epc_calc_drnu_t &drnu = calc->drnu;

    // A block of this frequency mounted before is already converted and
    // condensed: converting its phases again would corrupt them.
    const bool mounted_before = drnu.payload && edrv->mod_freq != 0 && drnu.hdr.mod_freq == edrv->mod_freq;
    kavro_param_t par_vx_hdr;
    if (_cal_load_calib_data(drv, edrv->mod_freq, &par_vx_hdr)) {
        if (mounted_before) return 1;

        epc_drv_param_header_t &hdr = drnu.hdr;
        if (edrv->mod_freq == 0) edrv->mod_freq = hdr.mod_freq;
        if (hdr.calib_temp_ib < -200 || hdr.calib_temp_ib > 900) {
            LOG_WRN("wrong IB calib temp %d\n", hdr.calib_temp_ib);
            hdr.calib_temp_ib = static_cast<int16_t>(hdr.calib_temp_cb - 100);
        }
        hdr.w = hdr_w(hdr);
        hdr.h = hdr_h(hdr);
        const uint32_t w = hdr.w, h = hdr.h, n = w * h;
        const int num_dist = hdr.num_dist;
        epc_drv_param_drnu_payload_t *img = drnu.payload.get();

        if (hdr.atan_scale == 0) hdr.atan_scale = EPC_CALIB_ATAN_SCALE_DEFAULT;
        if (hdr.atan_scale != EPC_CALIB_ATAN_SCALE) {
            LOG_DBG("scale %d -> %d\n", hdr.atan_scale, EPC_CALIB_ATAN_SCALE);
            for (int k = 0; k < num_dist; ++k)
                for (uint32_t i = 0; i < n; ++i)
                    img[k].data[i] = static_cast<uint16_t>((static_cast<uint32_t>(img[k].data[i]) * 32768u) /
                                                           hdr.atan_scale);
            hdr.atan_scale = EPC_CALIB_ATAN_SCALE;
        }

        const uint8_t ver = par_vx_hdr.p_fix.ver;
        if (ver < EPC_CALIB_VER_PIX_FIXED) {
            // The references of these files sit one sample too early within
            // each two-row block: move them up, repeating the first sample.
            LOG_DBG("Fix 1 pix calib issue of ref images: ver=%u\n", ver);
            for (int k = 0; k < num_dist; ++k)
                for (uint32_t j = 0; j < n; j += 2 * w) {
                    const uint32_t len = n - j < 2 * w ? n - j : 2 * w;
                    std::memmove(&img[k].data[j + 1], &img[k].data[j], (len - 1) * sizeof(uint16_t));
                }
        }

        const float r = EPC_LIGHT_HALF_MM_S / static_cast<float>(edrv->mod_freq);
        edrv->calib_wall_len_mm = sat_cast<uint32_t>(hdr.box_len_cm * 10);
        edrv->calib_wall_len_phase =
            static_cast<int32_t>((edrv->calib_wall_len_mm * 32768u) / sat_cast<uint32_t>(r));

        cfg.calib_temp_ib = hdr.calib_temp_ib;
        cfg.calib_temp_cb = hdr.calib_temp_cb;
        cfg.box_len_cm = hdr.box_len_cm;
        cfg.num_calib_dist = num_dist;
        cfg.calib_cdll_step_um = static_cast<uint32_t>(img[1].ref_dist_um);

        float scale = 0.0f, offset = 0.0f;
        _calc_scale_offset(drv, &scale, &offset, &img[0], &img[num_dist / 2]);
        cfg.calib_simple_scale_um = sat_cast<int32_t>(scale * 1000);
        cfg.calib_simple_offset_mm = sat_cast<int32_t>(std::round(offset));

        LOG_DBG("Re-calc DRNU step: orig step = %.3f\n", static_cast<double>(cfg.calib_cdll_step_um) / 1000);
        float avg_slope = 0.0f, avg_offset = 0.0f;
        const uint32_t good = _calc_pix_fit(drv, w, h, num_dist, &avg_slope, &avg_offset);
        if (good == 0) {
            LOG_ERR("All pixel calib data is wrong!\n");
        } else {
            if (good < n) {
                const uint32_t ng = n - good;
                LOG_WRN("Calib data of %u (%u %%) pixels are NG\n", ng,
                        static_cast<uint32_t>(static_cast<uint64_t>(ng) * 100 / n));
            }
            const float f = static_cast<float>(edrv->mod_freq);
            cfg.calib_simple_scale_um = 1000;
            cfg.calib_cdll_step_um = sat_cast<uint32_t>((avg_slope * 1000000 * LIGHT_HALF_M_S) / f / 32768);
            cfg.calib_simple_offset_mm =
                sat_cast<int32_t>(hdr.box_len_cm * 10 - (avg_offset * 1000 * LIGHT_HALF_M_S) / f / 32768);
            uint64_t s_min = 0, s_max = 0;
            for (uint32_t i = 0; i < n; ++i) {
                s_min += img[0].data[i];
                s_max += img[num_dist - 1].data[i];
            }
            cfg.calib_phase_min = static_cast<uint16_t>(s_min / n);
            cfg.calib_phase_max = static_cast<uint16_t>(s_max / n);

            cfg.calib_pixs.reset();
            LOG_DBG("Calib data loaded [freq=%d, %s]: box_len: %.1f cm, temp: cb=%d, ib=%d, step mm = %.3f, "
                    "scale_um/offset_mm = %d/%d\n",
                    static_cast<int>(hdr.mod_freq), "DRNU_LUT", static_cast<double>(cfg.box_len_cm),
                    cfg.calib_temp_cb, cfg.calib_temp_ib, static_cast<double>(cfg.calib_cdll_step_um) / 1000,
                    cfg.calib_simple_scale_um, cfg.calib_simple_offset_mm);
            return 1;
        }
    }

    // Uncalibrated defaults, including calibration temperatures of 0: the
    // simple path then corrects with the full reported temperatures, as it
    // does before any mount, whatever a rejected block had set.
    epc_calc_unmount_clib(drv);
    cfg = _epc_calc_config_t{};
    cfg.calib_simple_scale_um = 1000;
    cfg.calib_simple_offset_mm = -2000;
    LOG_DBG("No calib data : freq=%d. Use default scale_um/offset_mm = %d/%d\n", static_cast<int>(edrv->mod_freq),
            1000, -2000);
    return -1;
}

void epc_calc_unmount_clib(kavro_drv_t *drv) {
    epc_calc_t *calc = calc_of(epc_of(drv));
    if (!calc) return;
    LOG_DBG("Calib data unload [freq=%d]\n", static_cast<int>(calc->drnu.hdr.mod_freq));
    calc->drnu.payload.reset();
    calc->config.calib_pixs.reset();
    calc->drnu.hdr = {};
}
