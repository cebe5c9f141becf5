// State of the EPC sensor driver, kept in the priv_data of its kavro_drv_t.
// The switches and parameters are plain fields read without a lock; only the
// calibration data inside the calculation state (priv_data, an epc_calc_t)
// is guarded by drnu_mutex.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kavro_driver.h"
#include "kavro_globals.h"
#include "vx_bilateralfilter.h"
#include "vx_imgproc.h"

// Unambiguous range in millimetres of a modulation frequency in Hz: half the
// speed of light in mm/s as a single-precision float, over the frequency.
// 12 MHz gives 12491 mm.
#define EPC_LIGHT_HALF_MM_S 149896216576.0f

// Distance codes of the 16-bit distance image (the public codes of kavro.h).
#define EPC_DIST_NO_SAMPLE KAVRO_DIST_SATURATED_MM  // saturated or empty raw samples
#define EPC_DIST_FILTERED KAVRO_DIST_REJECTED_MM    // removed by a filter
// Values above this are codes, never distances.
#define EPC_DIST_VALID_MAX 60000

// Size of epc_drv_t.pname: a path prefix of up to KAVRO_PATH_PREFIX_SIZE - 1
// characters, "kavro_param_-2147483648.bin" and the terminator.
#define EPC_PNAME_SIZE (KAVRO_PATH_PREFIX_SIZE + 32)

// Spreads of the recursive bilateral filter of the clean-up chain: spatial
// as a fraction of the image size, range as a fraction of 4096 mm. A range
// spread of 0.05 (about 205 mm) keeps the depth steps of stairs and box
// edges apart (at 0.1 a 0.5 m step still weighs about 0.3 and smears over
// some ten rows, 50 mm p95 error on a staircase); noise on smooth surfaces
// is still averaged.
#define EPC_BPF_SIGMA_SPATIAL 0.02f
#define EPC_BPF_SIGMA_RANGE 0.05f

typedef struct {
    vx_len_calib_t h_calib_len;  // lens undistortion map for 320 x 240 images

    // Switches.
    bool f_en_pix_calib;   // use the per-pixel DRNU calibration
    bool f_en_lens_calib;  // undistort output images
    bool f_en_minamp;      // minimum-amplitude filter
    bool f_en_auto_intg;   // automatic integration time
    bool f_en_sync_delay;  // interference check
    bool f_en_temp_ctrl;   // temperature log
    bool f_en_hdr;         // HDR merge
    bool f_en_median;      // depth clean-up chain
    bool f_en_offset;      // user distance offset f_param_offset_mm
    bool f_en_flyfilter;   // flying-pixel stage of the clean-up chain
    bool f_en_hysteresis;  // hysteresis in the minimum-amplitude filter
    bool f_en_sport_mode;

    // Parameters.
    uint32_t f_param_flyfilter_th;
    uint16_t f_param_hysteresis;           // amplitude units
    uint16_t f_param_min_amp;              // amplitude units
    uint16_t f_param_auto_intg_ratio;      // tenths of a percent
    uint16_t f_param_sync_delay;
    int16_t f_param_temp_ctrl_threshold;   // 0.1 degC
    int32_t f_param_offset_mm;
    uint8_t f_param_median_ksize;
    uint8_t f_param_sport_mode;            // 0 or 1

    vx_bpf2d_iir_t f_bpf;  // recursive bilateral filter state for 320 x 240

    uint8_t *hysteresis_map;      // one flag per pixel
    uint32_t hysteresis_map_len;  // its size in pixels

    // Temperatures of the last described frame, 0.1 degC.
    int16_t temp_cb;  // sensor
    int16_t temp_ib;  // second temperature of the frame header

    float calib_tcoef_cb_mm;  // distance drift per degC of temp_cb, mm
    float calib_tcoef_ib_mm;  // distance drift per degC of temp_ib, mm
    uint32_t calib_wall_len_mm;    // distance of the first calibration reference, mm
    int32_t calib_wall_len_phase;  // the same in phase units
    uint32_t dist_max_mm;          // unambiguous range at mod_freq, mm
    float tcoef_cb_phase;  // temperature coefficients, phase units per degC
    float tcoef_ib_phase;

    bool param_valid;            // the calibration file at pname is usable
    pthread_mutex_t drnu_mutex;  // guards the calibration data in priv_data
    // Path of the device's calibration parameter file: room for the longest
    // path prefix the library keeps and "kavro_param_<id>.bin" of any id.
    char pname[EPC_PNAME_SIZE];
    uint32_t mod_freq;           // current modulation frequency, Hz; 0 until known
    void *priv_data;             // the epc_calc_t

    // Pinhole values of the undistorted image (the map's new camera matrix,
    // no distortion), valid while h_calib_len holds a map.
    vx_len_param_t len_undistorted;

    // Lens values of this device alone (a replayed recording's): used
    // instead of the library-wide record g_epc_len_param, which the device
    // then neither reads nor changes.
    bool has_own_lens;
    vx_len_param_t own_lens;

    // Temperature state of the last described frame. temp_unknown: the
    // camera reported no plausible temperature (see epc_temp_plausible);
    // the temperature shift of the decode is then zero (the frame is
    // taken as being at the calibration temperature). temp_ib_corrected: the
    // IB value was implausible and replaced by temp_cb - 10 degC (warned once
    // until a plausible IB value arrives). The warning about a missing
    // temperature is given once per capture (generation of the device's
    // capture starts, _kavro_cap_generation).
    bool temp_unknown;
    bool temp_ib_corrected;
    bool temp_unknown_warned;
    uint32_t temp_unknown_warn_gen;
} epc_drv_t;

// Plausible sensor temperature range, 0.1 degC: the operating range of the
// sensor chip. A camera that reports both temperatures as exactly 0, or a
// sensor temperature outside this range, reported no temperature.
#define EPC_TEMP_PLAUSIBLE_MIN (-400)
#define EPC_TEMP_PLAUSIBLE_MAX 1250

// True when the reported temperatures (0.1 degC) are a measurement.
inline bool epc_temp_plausible(int16_t cb, int16_t ib) {
    if (cb == 0 && ib == 0) return false;
    return cb >= EPC_TEMP_PLAUSIBLE_MIN && cb <= EPC_TEMP_PLAUSIBLE_MAX;
}

// Device frame formats (PARAM_FRAME_FORMAT, frame_format of the frame
// header). This driver decodes formats 2 (four DCS images) and 4 (one image
// whose row pairs alternate between two phase samples).
typedef enum {
    EPC_FRAME_FMT_DCSx1 = 0,
    EPC_FRAME_FMT_DUAL_MGX_SINE_PIDELAY_DCSx2 = 1,
    EPC_FRAME_FMT_SINGLE_MGX_SINE_PIDELAY_DCSx4 = 2,
    EPC_FRAME_FMT_DUAL_MGX_PN_NOPIDELAY_DCSx1 = 3,
    EPC_FRAME_FMT_DUAL_MGX_SINE_NOPIDELAY_DCSx1 = 4,
    EPC_FRAME_FMT_SINGLE_MGX_PN_PIDELAY_DCSx4 = 5,
    EPC_FRAME_FMT_DUAL_MGX_PN_PIDELAY_DCSx2 = 6,
    EPC_FRAME_FMT_SINGLE_MGX_PN_NOPIDELAY_DCSx2 = 7,
    EPC_FRAME_FMT_SINGLE_MGX_SINE_NOPIDELAY_DCSx2 = 8,
    EPC_FRAME_FMT_CNT = 9
} epc_frame_fmt_code_e;

// Frame format of a calibration data frame; never decoded.
#define EPC_FRAME_FMT_CALIB_DATA 171

#pragma pack(push, 1)
// The 12 frame property bytes of the frame header info, little-endian.
typedef struct {
    uint16_t width;   // 0 means 320
    uint16_t height;  // 0 means 240
    int16_t temp_cb;  // sensor temperature, 0.1 degC
    int16_t temp_ib;  // IB temperature, 0.1 degC
    uint8_t reserved[4];
} epc_frame_prop_t;
#pragma pack(pop)
static_assert(sizeof(epc_frame_prop_t) == 12, "frame properties are 12 bytes");

// ---- Operations of the driver table (g_kavro_driver_op_epc). ----

// Bind drv to dev, allocate and set up the state, program the sensor. Ends
// the process on allocation (-3) or mutex (-1) failure; otherwise true.
bool epc_init(kavro_drv_t *drv, kavro_dev_t *dev);
// Release everything init and the later calls allocated.
void epc_uninit(kavro_drv_t *drv);
// Describe a frame from its header info; false (frinfo cleared) when its
// size is not a multiple of its pixel count.
bool epc_frame_get_info(kavro_drv_t *drv, kavro_frame_info_t *frinfo, const vx_frinfo_t *src_hdr);
// Decode a raw frame into a 16-bit distance (mm) or gray image; bytes
// written (2 per pixel) or -1.
int epc_frame_decode(kavro_drv_t *drv, void *dst, int dst_len, kavro_frame_fmt_e dst_frfmt, const void *src,
                     int src_len, const kavro_frame_info_t *src_frinfo);
int epc_frame_raw_get(kavro_drv_t *drv, void *fr_data, int fr_cnt, kavro_frame_info_t *fr_info);
int epc_frame_raw_proc(kavro_drv_t *drv, void *fr_data, int fr_cnt, const kavro_frame_info_t *fr_info);
// Lens parameters of the frames the driver delivers at img_w x img_h: while
// undistortion is on and applies to that size, the pinhole values of the
// undistorted image; otherwise the library-wide record scaled down.
bool epc_lens_param_get(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h);
// The same, and whether those are the values of the undistorted image.
bool epc_lens_view_get(kavro_drv_t *drv, vx_len_param_t *param, int img_w, int img_h, bool *undistorted);
int epc_use_case_get_count(kavro_drv_t *drv);
void epc_on_update_intg_time(kavro_drv_t *drv, uint32_t intg_us, bool second_intg);
void epc_on_update_frame_format(kavro_drv_t *drv, uint32_t frfmt);
void epc_on_update_mod_freq(kavro_drv_t *drv, uint32_t mod_freq, uint8_t type);
int epc_calib_load(kavro_drv_t *drv, void *calib_buf, int buf_len, uint32_t user_case_idx);
// Calibration routine run at device open; 0, or -1 without a parameter file name.
int epc_calib_save(kavro_drv_t *drv, void *calib_buf, int buf_len, uint32_t user_case_idx);
bool epc_calib_apply(kavro_drv_t *drv, void *data, int data_len, const kavro_frame_info_t *frinfo,
                     uint32_t user_case_idx);
bool epc_filter_enable(kavro_drv_t *drv, kavro_filter_id_e fid, kavro_filter_args_u *args);
bool epc_filter_disable(kavro_drv_t *drv, kavro_filter_id_e fid);

// Called by the distance decode, when set, right before the calculation
// (after the decode's checks): lets a test change the driver's state at
// that point, e.g. the modulation frequency. Null in normal use.
extern void (*_epc_decode_before_calc)(kavro_drv_t *drv);

// ---- Features and pipeline steps (kavro_driver_epc_feature.cpp). ----

// The modulation frequency changed to freq0 (Hz): re-mount the calibration
// and recompute the range and the phase-unit constants. A frequency of 0
// leaves the range and constants as they were.
void epc_event_freq_change(kavro_drv_t *drv, uint32_t freq0, uint32_t freq1);
// Read the lens parameter text file len_file into *param; true when all
// eleven values were read.
bool _vx_update_len_param(kavro_dev_t *dev, vx_len_param_t *param, const char *len_file);
// Pinhole values of images undistorted with a map built from lens: the new
// camera matrix of the map, no distortion, the same image size.
void _epc_len_undistorted(const vx_len_param_t *lens, vx_len_param_t *out);
// Calibration the driver decodes with, for recordings: 2 per-pixel, 1
// simple (the parameter file without its per-pixel references), 0 none; the
// path of the mounted parameter file into path (len bytes) when not 0.
int _epc_calib_in_use(kavro_drv_t *drv, char *path, size_t len);
// The library-wide lens record shared by all EPC devices.
extern vx_len_param_t g_epc_len_param;
// Its built-in values (restores g_epc_len_param; for tests and set-up).
void _epc_len_param_reset();

// Step of the automatic integration time (us) for the n raw samples of src
// at the saturation ratio ratio (tenths of a percent).
int _feature_auto_intg_calc_step(const uint16_t *src, int n, uint16_t ratio);
// Automatic integration time: at most one step per 2 ms, read the current
// time, apply the step within 50 ... 1500 us and write it back.
void _feature_auto_intg(kavro_drv_t *drv, const void *src, int src_len);
// Interference check of a frame of four DCS images (w x h each, src_len
// bytes): true when another camera's light shows and the frame is to be
// dropped (after writing a new sync delay, at most once a second).
bool _epc_interference_check(kavro_drv_t *drv, const uint16_t *src, int src_len, int w, int h);
// HDR merge in sensor row order over blocks of four rows: each pixel of rows
// r, r + 1 is paired with the one two rows further; both take the values of
// the brighter (see the rule in the source). dist may be null.
void _feature_hdr_update(uint16_t *amp, uint16_t *dist, int w, int h);
// Minimum-amplitude filter (with hysteresis when switched on) of the
// distance image dist by the amplitude image amp, n pixels.
void _feature_minamp_filter(epc_drv_t *edrv, uint16_t *dist, const uint16_t *amp, int n);
// Range filter: valid distances of at most 100 mm or beyond the range less
// 100 mm become EPC_DIST_FILTERED; codes above 60000 stay.
void _dist_filter_bad_dist(uint16_t *img, int n, uint32_t dist_max_mm);
// After a smoothing stage from in to out: every pixel that holds a code in
// in (above EPC_DIST_VALID_MAX) gets it back in out, so smoothing never
// turns a code into a blend of codes and distances (65297 instead of 65300).
void _dist_keep_codes(uint16_t *out, const uint16_t *in, int n);
// Last guard of the distance image: every value above EPC_DIST_VALID_MAX
// that is not EPC_DIST_NO_SAMPLE becomes EPC_DIST_FILTERED, so the image
// holds valid distances and the two exact codes only.
void _dist_snap_codes(uint16_t *img, int n);
// Temperature log, at most every 10 s (process-wide).
void _feature_temp_monitor(epc_drv_t *edrv, int16_t temp_ib, int16_t temp_cb);
// Forget the process-wide times of the features (auto integration,
// interference check, temperature log), so the next frame runs each again.
void _epc_feature_times_reset();
