// State of the EPC sensor driver, kept in the priv_data of its kavro_drv_t.
// The switches and parameters are plain fields read without a lock; only the
// calibration data inside the calculation state (priv_data, an epc_calc_t)
// is guarded by drnu_mutex.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kavro_driver.h"
#include "vx_bilateralfilter.h"

// Unambiguous range in millimetres of a modulation frequency in Hz: half the
// speed of light in mm/s as a single-precision float, over the frequency.
// 12 MHz gives 12491 mm.
#define EPC_LIGHT_HALF_MM_S 149896216576.0f

// Distance codes of the 16-bit distance image.
#define EPC_DIST_NO_SAMPLE 65500  // saturated or empty raw samples
#define EPC_DIST_FILTERED 65300   // removed by a filter

typedef struct {
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
    char pname[64];              // path of the device's calibration parameter file
    uint32_t mod_freq;           // current modulation frequency, Hz; 0 until known
    void *priv_data;             // the epc_calc_t
} epc_drv_t;
