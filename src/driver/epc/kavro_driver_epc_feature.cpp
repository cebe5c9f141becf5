// EPC driver features: the filter switches, the calibration routine run at
// device open, the modulation frequency change, the steps that hook into
// the decode pipeline (automatic integration time, interference check, HDR
// merge, minimum-amplitude filter with hysteresis, range filter), the
// temperature log, and the lens parameters.
//
// The switches are plain fields that the decoding thread reads without a
// lock; a change takes effect on the next frame. The times of the automatic
// integration step, the interference check and the temperature log are
// process-wide and unlocked, shared by all devices.
#include <smmintrin.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/epc/epc_calc.h"
#include "driver/epc/epc_calib.h"
#include "driver/epc/kavro_driver_epc.h"
#include "imgproc/vx_imgproc_internal.h"
#include "kavro_param.h"
#include "kavro_replay.h"
#include "vx_log_internal.h"

namespace {

epc_drv_t *epc_of(kavro_drv_t *drv) { return drv ? static_cast<epc_drv_t *>(drv->priv_data) : nullptr; }

constexpr vx_len_param_t k_len_default = {
    157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, 320, 240};

constexpr uint32_t k_default_mod_freq = 12000000;

// Process-wide feature times.
bool g_auto_intg_stepped = false;
timeval g_auto_intg_time{};
timeval g_sync_check_time{};
time_t g_sync_write_sec = 0;
time_t g_temp_log_sec = 0;

bool param_set1(kavro_dev_t *dev, uint32_t id, const void *val, uint8_t len) {
    kavro_param_item_t it{};
    it.param_id = id;
    it.param_val_len = len;
    std::memcpy(&it.param_val, val, len);
    return kavro_param_batch_set(dev, &it, 1);
}

// Mount the calibration block of the driver's mod_freq (0: the first one)
// into the calculation state, with drnu_mutex held. 1 when mounted; -1 when
// not, and then the uncalibrated defaults stay in force.
int _epc_calib_mount_locked(kavro_drv_t *drv) { return epc_calc_mount_calib(drv); }
// Drop a mounted block, with drnu_mutex held.
void _epc_calib_unmount_locked(kavro_drv_t *drv) { epc_calc_unmount_clib(drv); }

}  // namespace

vx_len_param_t g_epc_len_param = k_len_default;

void _epc_len_param_reset() { g_epc_len_param = k_len_default; }

void _epc_feature_times_reset() {
    g_auto_intg_stepped = false;
    g_auto_intg_time = {};
    g_sync_check_time = {};
    g_sync_write_sec = 0;
    g_temp_log_sec = 0;
}

// ---- Filter switches ----

bool epc_filter_enable(kavro_drv_t *drv, kavro_filter_id_e fid, kavro_filter_args_u *args) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return false;
    kavro_filter_args_u a{};
    if (args) a = *args;
    switch (fid) {
    case KAVRO_FILTER_ID_LEN_CALIB:
        edrv->f_en_lens_calib = true;
        return true;
    case KAVRO_FILTER_ID_PIXEL_CALIB:
        edrv->f_en_pix_calib = true;
        return epc_calc_calib_loaded(drv);
    case KAVRO_FILTER_ID_MEDIAN:
        edrv->f_en_median = true;
        edrv->f_param_median_ksize = a.median_ksize;
        return true;
    case KAVRO_FILTER_ID_RESERVED:
        return false;
    case KAVRO_FILTER_ID_AMP:
        edrv->f_en_minamp = true;
        edrv->f_param_min_amp = a.min_amp;
        return true;
    case KAVRO_FILTER_ID_AUTO_INTG:
        edrv->f_en_auto_intg = true;
        edrv->f_param_auto_intg_ratio = a.sat_ratio;
        return true;
    case KAVRO_FILTER_ID_SYNC_DELAY:
        edrv->f_en_sync_delay = true;
        edrv->f_param_sync_delay = a.sync_delay;
        return true;
    case KAVRO_FILTER_ID_TEMP_MONITOR:
        edrv->f_en_temp_ctrl = true;
        edrv->f_param_temp_ctrl_threshold = a.temp_threshold;
        return true;
    case KAVRO_FILTER_ID_HDR: {
        kavro_param_item_t items[2]{};
        items[0].param_id = PARAM_INTG_TIME;
        items[0].param_val_len = 2;
        items[0].param_val.intg.intg_us = a.intg.intg_3d;
        items[1].param_id = PARAM_HDR_INTG_TIME;
        items[1].param_val_len = 2;
        items[1].param_val.intg_hdr.intg_3dhdr = a.intg.intg_3dhdr;
        if (!kavro_param_batch_set(drv->dev, items, 2)) {
            LOG_ERR("enable HDR failed\n");
            return false;
        }
        edrv->f_en_hdr = true;
        return true;
    }
    case KAVRO_FILTER_ID_OFFSET:
        if (a.offset_mm != edrv->f_param_offset_mm) LOG_DBG("offset_mm: %d -> %d\n", edrv->f_param_offset_mm, a.offset_mm);
        edrv->f_param_offset_mm = a.offset_mm;
        edrv->f_en_offset = true;
        return true;
    case KAVRO_FILTER_ID_SPORT_MODE:
        LOG_DBG("Enable sport mode: %d\n", a.sport_mode);
        if (a.sport_mode == 0) {
            edrv->f_en_sport_mode = true;
            edrv->f_param_sport_mode = 0;
            return true;
        }
        if (a.sport_mode == 1) {
            const uint32_t fmt = EPC_FRAME_FMT_DUAL_MGX_SINE_NOPIDELAY_DCSx1;
            if (!param_set1(drv->dev, PARAM_FRAME_FORMAT, &fmt, 4)) {
                LOG_ERR("enable SPORT MODE 1 failed\n");
                return false;
            }
            edrv->f_en_sport_mode = true;
            edrv->f_param_sport_mode = 1;
            return true;
        }
        LOG_DBG("wrong SPORT MODE: %d\n", a.sport_mode);
        return false;
    default:
        return false;
    }
}

bool epc_filter_disable(kavro_drv_t *drv, kavro_filter_id_e fid) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return false;
    switch (fid) {
    case KAVRO_FILTER_ID_LEN_CALIB: edrv->f_en_lens_calib = false; return true;
    case KAVRO_FILTER_ID_PIXEL_CALIB: edrv->f_en_pix_calib = false; return true;
    case KAVRO_FILTER_ID_MEDIAN:
        edrv->f_en_median = false;
        edrv->f_param_median_ksize = 0;
        return true;
    case KAVRO_FILTER_ID_AMP:
        edrv->f_en_minamp = false;
        std::free(edrv->hysteresis_map);
        edrv->hysteresis_map = nullptr;
        edrv->hysteresis_map_len = 0;
        return true;
    case KAVRO_FILTER_ID_AUTO_INTG:
        edrv->f_en_auto_intg = false;
        edrv->f_param_auto_intg_ratio = 0;
        return true;
    case KAVRO_FILTER_ID_SYNC_DELAY: edrv->f_en_sync_delay = false; return true;
    case KAVRO_FILTER_ID_TEMP_MONITOR: edrv->f_en_temp_ctrl = false; return true;
    case KAVRO_FILTER_ID_HDR: {
        const uint16_t zero = 0;
        if (!param_set1(drv->dev, PARAM_HDR_INTG_TIME, &zero, 2)) {
            LOG_ERR("disable HDR failed\n");
            return false;
        }
        edrv->f_en_hdr = false;
        return true;
    }
    case KAVRO_FILTER_ID_OFFSET: edrv->f_en_offset = false; return true;
    case KAVRO_FILTER_ID_SPORT_MODE: {
        const uint32_t fmt = EPC_FRAME_FMT_SINGLE_MGX_SINE_PIDELAY_DCSx4;
        if (!param_set1(drv->dev, PARAM_FRAME_FORMAT, &fmt, 4)) {
            LOG_ERR("disable sport mode failed\n");
            return false;
        }
        edrv->f_en_sport_mode = false;
        return true;
    }
    default:
        return true;  // the reserved id and ids beyond the table: nothing to switch off
    }
}

// ---- Calibration routine and frequency change ----

int epc_calib_save(kavro_drv_t *drv, void *, int, uint32_t) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return -1;
    if (!kavro_get_param_absolute_name(drv->dev, edrv->pname, sizeof edrv->pname)) {
        LOG_ERR("cannot get param name!\n");
        return -1;
    }
    LOG_DBG("param_name:%s\n", edrv->pname);
    // The parameter file keeps at most KAVRO_PARAM_FILENAME_MAX characters
    // of its name: a longer one could never be opened, and every open would
    // fetch the package again for nothing. Run uncalibrated instead.
    const size_t name_len = std::strlen(edrv->pname);
    if (name_len > KAVRO_PARAM_FILENAME_MAX) {
        LOG_ERR("param name too long: len=%d (max %d), path prefix too long for the calibration file\n",
                static_cast<int>(name_len), KAVRO_PARAM_FILENAME_MAX);
        edrv->param_valid = false;
        epc_event_freq_change(drv, k_default_mod_freq, 0);
        return -1;
    }

    kavro_param_handle_t ph;
    edrv->param_valid = kavro_param_open_file(&ph, edrv->pname);
    if (edrv->param_valid) {
        kavro_param_item_t it{};
        it.param_id = PARAM_INFO_CALIB;
        if (!kavro_param_batch_get(drv->dev, &it, 1)) {
            LOG_ERR(" get PARAM_INFO_CALIB failed!\n");
            edrv->param_valid = false;
        } else {
            if (it.param_val.cinfo.valid == 0) LOG_DBG(" No valid calib data on dev, use local cache!\n");
            const uint32_t dev_ts = it.param_val.cinfo.timestamp;
            const uint32_t file_ts = ph.vx_hdr.p_fix.ts;
            if (dev_ts > file_ts) {
                LOG_DBG("local param (ts=%u) is not up-to-date (dev ts=%u)\n", file_ts, dev_ts);
                edrv->param_valid = false;
            }
        }
        kavro_param_close(&ph);
    }
    // A replayed recording has nothing to fetch: its own copy (checked at
    // open) or no calibration at all.
    if (!edrv->param_valid && _kavro_dev_calib_override(drv->dev)) {
        LOG_DBG("replay: calibration %s\n", edrv->pname[0] ? edrv->pname : "none");
    } else if (!edrv->param_valid) {
        // Missing, damaged or older than the device's: fetch the package.
        LOG_DBG("Try to load calib data from device\n");
        if (kavro_param_load_from_dev(drv->dev))
            LOG_TRC("Load calibration data from device OK\n");
        else
            LOG_TRC("Load calibration data from device failed\n");
        edrv->param_valid = kavro_param_open_file(&ph, edrv->pname);
        kavro_param_close(&ph);
    }

    uint32_t freq = k_default_mod_freq;
    if (edrv->param_valid) {
        edrv->mod_freq = 0;
        pthread_mutex_lock(&edrv->drnu_mutex);
        _epc_calib_mount_locked(drv);
        pthread_mutex_unlock(&edrv->drnu_mutex);
        if (edrv->mod_freq != 0) {
            freq = edrv->mod_freq;
            edrv->f_en_pix_calib = true;
        }
        kavro_param_item_t it{};
        it.param_id = PARAM_MOD_FREQ;
        if (kavro_param_batch_get(drv->dev, &it, 1) && it.param_val.mod_freq != freq)
            param_set1(drv->dev, PARAM_MOD_FREQ, &freq, 4);
    }
    epc_event_freq_change(drv, freq, 0);
    return 0;
}

void epc_event_freq_change(kavro_drv_t *drv, uint32_t freq0, uint32_t) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv) return;
    if (freq0 != edrv->mod_freq) {
        LOG_DBG("MOD_FREQ change: %d -> %d HZ\n", edrv->mod_freq, freq0);
        edrv->mod_freq = freq0;
        pthread_mutex_lock(&edrv->drnu_mutex);
        _epc_calib_unmount_locked(drv);
        _epc_calib_mount_locked(drv);
        pthread_mutex_unlock(&edrv->drnu_mutex);
    }
    // A frequency of 0 has no range: keep the previous constants rather
    // than divide by it.
    if (freq0 == 0) return;
    edrv->dist_max_mm = static_cast<uint32_t>(EPC_LIGHT_HALF_MM_S / static_cast<float>(freq0));
    if (edrv->dist_max_mm == 0) return;
    edrv->tcoef_cb_phase = edrv->calib_tcoef_cb_mm * 32768 / static_cast<float>(edrv->dist_max_mm);
    edrv->tcoef_ib_phase = 32768 * edrv->calib_tcoef_ib_mm / static_cast<float>(edrv->dist_max_mm);
    edrv->calib_wall_len_phase = static_cast<int32_t>((edrv->calib_wall_len_mm * 32768u) / edrv->dist_max_mm);
}

int _epc_calib_in_use(kavro_drv_t *drv, char *path, size_t len) {
    epc_drv_t *edrv = epc_of(drv);
    if (!edrv || !edrv->param_valid) return 0;
    const bool loaded = epc_calc_calib_loaded(drv);  // takes drnu_mutex itself
    if (path && len > 0) std::snprintf(path, len, "%s", edrv->pname);
    return loaded && edrv->f_en_pix_calib ? 2 : 1;
}

// ---- Pipeline features ----

int _feature_auto_intg_calc_step(const uint16_t *src, int n, uint16_t ratio) {
    int cnt_low = 0, cnt_high = 0, bad_cnt = 0;
    for (int i = 0; i < n; ++i) {
        const uint16_t v = src[i];
        if (v <= 1 || v >= 4095)
            ++bad_cnt;
        else if (v <= 511)
            ++cnt_low;
        else if (v >= 3585)
            ++cnt_high;
    }
    const int bad_pct = n > 0 ? static_cast<int>(static_cast<int64_t>(bad_cnt) * 1000 / n) : 0;
    LOG_TRC("bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", bad_pct, bad_cnt, cnt_high, cnt_low,
            ratio);
    const int r = ratio;
    const int grow = (cnt_high > 10 || cnt_low > 512) ? 0 : 50;
    if (bad_pct < r) return grow;
    if (bad_pct > 9) return -10 * (bad_pct / 10);
    if (bad_pct > 0 && cnt_high > 512) return -10;
    return grow;
}

void _feature_auto_intg(kavro_drv_t *drv, const void *src, int src_len) {
    timeval now{};
    gettimeofday(&now, nullptr);
    if (g_auto_intg_stepped) {
        const int64_t ms = static_cast<int64_t>(now.tv_sec - g_auto_intg_time.tv_sec) * 1000 +
                           (now.tv_usec - g_auto_intg_time.tv_usec) / 1000;
        if (ms <= 1) return;
    }
    const int step = _feature_auto_intg_calc_step(static_cast<const uint16_t *>(src), src_len / 2,
                                                  epc_of(drv)->f_param_auto_intg_ratio);
    kavro_param_item_t it{};
    it.param_id = PARAM_INTG_TIME;
    if (!kavro_param_batch_get(drv->dev, &it, 1)) {
        LOG_ERR("get intg failed\n");
        return;
    }
    const int cur = it.param_val.intg.intg_us;
    int target = cur + step;
    if (target > 1500) target = 1500;
    if (target < 50) target = 50;
    if (target != cur) {
        LOG_DBG("AUTO_INTG: %d->%d\n", cur, target);
        const uint16_t v = static_cast<uint16_t>(target);
        if (!param_set1(drv->dev, PARAM_INTG_TIME, &v, 2)) LOG_ERR("adjust intg from %d to %d failed\n", cur, target);
    }
    g_auto_intg_time = now;
    g_auto_intg_stepped = true;
}

bool _epc_interference_check(kavro_drv_t *drv, const uint16_t *src, int src_len, int w, int h) {
    epc_drv_t *edrv = epc_of(drv);
    gettimeofday(&g_sync_check_time, nullptr);
    const int64_t n = static_cast<int64_t>(w) * h;
    // The check reads four DCS images; a frame that does not hold them (one
    // image of the row-pair format) is not checked.
    if (n <= 0 || static_cast<int64_t>(src_len) < 8 * n) return false;
    int64_t cnt = src_len / 8;
    if (cnt > n) cnt = n;
    const uint16_t *d0 = src, *d1 = src + n, *d2 = src + 2 * n, *d3 = src + 3 * n;
    int64_t c0 = 0, c1 = 0;
    for (int64_t i = 0; i < cnt; ++i) {
        const int s02 = (d0[i] & 0xFFF) + (d2[i] & 0xFFF);
        const int s13 = (d1[i] & 0xFFF) + (d3[i] & 0xFFF);
        if (s02 >= 4096 - 79 && s02 <= 4096 + 79) ++c0;
        if (s13 >= 4096 - 79 && s13 <= 4096 + 79) ++c1;
    }
    if (c0 * 100 / n > 60 && c1 * 100 / n > 60) return false;
    if (g_sync_check_time.tv_sec <= g_sync_write_sec) return false;  // decoded normally within the same second
    kavro_param_item_t it{};
    it.param_id = PARAM_SYNC_DELAY;
    it.param_val_len = 3;
    it.param_val.sync_delay.random_delay_en = edrv->f_param_sync_delay == 0 ? 1 : 0;
    it.param_val.sync_delay.delay = edrv->f_param_sync_delay;
    kavro_param_batch_set(drv->dev, &it, 1);
    g_sync_write_sec = g_sync_check_time.tv_sec;
    return true;
}

void _feature_hdr_update(uint16_t *amp, uint16_t *dist, int w, int h) {
    if (!amp || w <= 0) return;
    const size_t row = static_cast<size_t>(w);
    for (int r = 0; r + 3 < h; r += 4) {
        const size_t first = static_cast<size_t>(r) * row;
        for (size_t j = first; j < first + 2 * row; ++j) {
            const size_t k = j + 2 * row;
            const int a0 = static_cast<int16_t>(amp[j]);
            const int a1 = static_cast<int16_t>(amp[k]);
            if (a0 > a1 || (a1 > 2000 && a0 > 0)) {
                amp[k] = amp[j];
                if (dist) dist[k] = dist[j];
            } else {
                amp[j] = amp[k];
                if (dist) dist[j] = dist[k];
            }
        }
    }
}

namespace {

// u16 window tests of eight lanes: lo <= v <= hi for an integer window,
// clamped to the u16 range; an empty window (or one outside it) holds no value.
struct u16_window {
    bool empty;
    __m128i lo, hi;
    u16_window(int64_t l, int64_t h) {
        if (l < 0) l = 0;
        if (h > 65535) h = 65535;
        empty = l > h;
        lo = _mm_set1_epi16(static_cast<short>(empty ? 0 : l));
        hi = _mm_set1_epi16(static_cast<short>(empty ? 0 : h));
    }
    __m128i has(__m128i v) const {
        if (empty) return _mm_setzero_si128();
        return _mm_cmpeq_epi16(_mm_min_epu16(_mm_max_epu16(v, lo), hi), v);
    }
};

inline __m128i ld8(const uint16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void st8(uint16_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

}  // namespace

void _feature_minamp_filter(epc_drv_t *edrv, uint16_t *dist, const uint16_t *amp, int n) {
    if (n <= 0) return;
    const int min = edrv->f_param_min_amp;
    const int hyst = edrv->f_param_hysteresis;
    const int upper = 2048 - min;
    // Eight pixels at a time, the rest one by one with the same rule.
    const u16_window keep(min, upper);
    const __m128i code = _mm_set1_epi16(static_cast<short>(EPC_DIST_FILTERED));
    if (edrv->f_en_hysteresis) {
        if (!edrv->hysteresis_map || edrv->hysteresis_map_len < static_cast<uint32_t>(n)) {
            std::free(edrv->hysteresis_map);
            edrv->hysteresis_map = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(n), 1));
            if (!edrv->hysteresis_map) {
                LOG_ERR("malloc failed\n");
                exit(-3);
            }
            edrv->hysteresis_map_len = static_cast<uint32_t>(n);
        }
        if (!edrv->f_en_minamp) return;
        uint8_t *flag = edrv->hysteresis_map;
        // Inside min ... upper the flag is set; outside the window widened by
        // the hysteresis it is cleared; in between it stays.
        const u16_window hold(static_cast<int64_t>(min) - hyst, static_cast<int64_t>(upper) + hyst);
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m128i b = ld8(amp + i);
            const __m128i old = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(flag + i)));
            const __m128i set = keep.has(b);
            const __m128i clear = _mm_andnot_si128(hold.has(b), _mm_set1_epi16(-1));
            const __m128i f = _mm_blendv_epi8(_mm_andnot_si128(clear, old), _mm_set1_epi16(1), set);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(flag + i), _mm_packus_epi16(f, f));
            const __m128i gone = _mm_cmpeq_epi16(f, _mm_setzero_si128());
            st8(dist + i, _mm_blendv_epi8(ld8(dist + i), code, gone));
        }
        for (; i < n; ++i) {
            const int b = amp[i];
            if (b >= min && b <= upper)
                flag[i] = 1;
            else if (b + hyst < min || b > upper + hyst)
                flag[i] = 0;
            if (flag[i] == 0) dist[i] = EPC_DIST_FILTERED;
        }
        return;
    }
    if (!edrv->f_en_minamp) return;
    int i = 0;
    for (; i + 8 <= n; i += 8)
        st8(dist + i, _mm_blendv_epi8(code, ld8(dist + i), keep.has(ld8(amp + i))));
    for (; i < n; ++i)
        if (amp[i] < min || amp[i] > upper) dist[i] = EPC_DIST_FILTERED;
}

void _dist_filter_bad_dist(uint16_t *img, int n, uint32_t dist_max_mm) {
    const int64_t far = static_cast<int64_t>(dist_max_mm) - 100;
    // Removed: 0 ... 100 and far + 1 ... 60000; the codes above stay.
    const u16_window near_w(0, 100), far_w(far + 1, 60000);
    const __m128i code = _mm_set1_epi16(static_cast<short>(EPC_DIST_FILTERED));
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i v = ld8(img + i);
        st8(img + i, _mm_blendv_epi8(v, code, _mm_or_si128(near_w.has(v), far_w.has(v))));
    }
    for (; i < n; ++i) {
        const uint16_t v = img[i];
        if (v <= 60000 && (v <= 100 || v > far)) img[i] = EPC_DIST_FILTERED;
    }
}

void _feature_temp_monitor(epc_drv_t *, int16_t temp_ib, int16_t temp_cb) {
    const time_t now = time(nullptr);
    const time_t elapsed = now - g_temp_log_sec;
    if (elapsed <= 9) return;
    LOG_DBG("INTERV:%d, IBtemp:%.2f, Tsensor:%.2f\n", static_cast<int>(elapsed), temp_ib / 10.0, temp_cb / 10.0);
    g_temp_log_sec = now;
}

// ---- Lens parameters ----

bool _vx_update_len_param(kavro_dev_t *, vx_len_param_t *param, const char *len_file) {
    if (!param || !len_file) return false;
    FILE *f = std::fopen(len_file, "r");
    if (!f) {
        LOG_DBG("%s Open failed, use default param\n", len_file);
        return false;
    }
    char tok[256];
    int k = 0;
    while (std::fscanf(f, "%255s", tok) == 1) {
        char *end = nullptr;
        errno = 0;
        if (k <= 8) {
            const double v = std::strtod(tok, &end);
            if (end != tok && *end == '\0') {
                if (k == 0) {
                    param->cx = v;
                    LOG_DBG("Cx:%3.5f\n", v);
                } else if (k == 1) {
                    param->cy = v;
                    LOG_DBG("Cy:%3.5f\n", v);
                } else if (k == 2) {
                    param->fx = v;
                    LOG_DBG("Fx:%3.5f\n", v);
                } else if (k == 3) {
                    param->fy = v;
                    LOG_DBG("Fy:%3.5f\n", v);
                } else {
                    param->dcoeff[k - 4] = v;
                    LOG_DBG("dcoeff[%d]:%3.5f\n", k - 4, v);
                }
            }
        } else if (k <= 10) {
            const long v = std::strtol(tok, &end, 10);
            if (end != tok && *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX) {
                if (k == 9) {
                    param->img_w = static_cast<int>(v);
                    LOG_DBG("img_w = %d\n", param->img_w);
                } else {
                    param->img_h = static_cast<int>(v);
                    LOG_DBG("img_h = %d\n", param->img_h);
                }
            }
        }
        ++k;
    }
    std::fclose(f);
    if (k != 11) {
        LOG_WRN("len param file %s load failed\n", "lens_param.txt");
        return false;
    }
    return true;
}

void _epc_len_undistorted(const vx_len_param_t *lens, vx_len_param_t *out) {
    const double cam[9] = {lens->fx, 0, lens->cx, 0, lens->fy, lens->cy, 0, 0, 1};
    double new_cam[9];
    int roi[4];
    get_optimal_new_mtx(cam, lens->dcoeff, lens->img_w, lens->img_h, new_cam, roi);
    *out = vx_len_param_t{};
    out->fx = new_cam[0];
    out->cx = new_cam[2];
    out->fy = new_cam[4];
    out->cy = new_cam[5];
    out->img_w = lens->img_w;
    out->img_h = lens->img_h;
}

bool epc_lens_param_get(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h) {
    bool undistorted = false;
    return epc_lens_view_get(drv, param, img_w, img_h, &undistorted);
}

bool epc_lens_view_get(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h, bool *undistorted) {
    if (!param || img_w <= 0 || img_h <= 0) return false;
    if (undistorted) *undistorted = false;
    // Undistorted images are pinhole views through the map's new camera
    // matrix: their points must be made with it, not with the lens record.
    // The decoder undistorts 320 x 240 frames only, and only with a map of
    // that size.
    const epc_drv_t *edrv = epc_of(drv);
    if (edrv && edrv->f_en_lens_calib && img_w == 320 && img_h == 240 && edrv->h_calib_len.init_flag &&
        edrv->h_calib_len.img_w == img_w && edrv->h_calib_len.img_h == img_h &&
        edrv->len_undistorted.img_w == img_w && edrv->len_undistorted.img_h == img_h) {
        *param = edrv->len_undistorted;
        if (undistorted) *undistorted = true;
        return true;
    }
    const vx_len_param_t &rec = edrv && edrv->has_own_lens ? edrv->own_lens : g_epc_len_param;
    // A record whose size is 0 (or smaller than asked) does not scale down
    // to the frame: refused like any other mismatch.
    if (rec.img_w % img_w != 0 || rec.img_h % img_h != 0 || rec.img_w < img_w || rec.img_h < img_h) {
        // Logged in the name of the driver's lens call, whichever entry
        // reached it: the message callers know.
        vx_log(nullptr, VX_LOG_LEVEL_WARN, "WRN", "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
               "epc_lens_param_get", rec.img_w, rec.img_h, img_w, img_h);
        return false;
    }
    const int sx = rec.img_w / img_w;
    const int sy = rec.img_h / img_h;
    param->cx = rec.cx / sx;
    param->cy = rec.cy / sy;
    param->fx = rec.fx / sx;
    param->fy = rec.fy / sy;
    std::memcpy(param->dcoeff, rec.dcoeff, sizeof param->dcoeff);
    param->img_w = img_w;
    param->img_h = img_h;
    return true;
}
