// Distance and gray (amplitude) calculation of the EPC driver: turns the raw
// DCS samples of one frame into per-pixel amplitude and distance.
//
// Sample conventions: a raw sample is the low 12 bits of a u16 (mid-scale
// 2048). n_dcs 4: four images DCS0..DCS3 of w x h samples back to back,
// x = DCS2 - DCS0, y = DCS3 - DCS1. n_dcs 2: the first two of them,
// x = 2048 - DCS0, y = 2048 - DCS1. n_dcs 1: one image whose pairs of sensor
// rows alternate between two phase samples; each row is combined with the
// row two further down (the same row of the next pair), the sample of the
// even pair giving x = 2048 - sample and that of the odd pair y. Rows of the
// last pair, which have no pair below them, are combined with the pair above
// (the same vector that pair gets); an image of a single row pair has no
// partner at all and its pixels count as without usable sample.
//
// Phase is 0 ... 32767 for one modulation period; amplitudes and distances
// are u16, distances in millimetres with EPC_DIST_NO_SAMPLE (65500) for a
// pixel without usable sample. Every calculation writes pixel i of its
// outputs from sample i of its inputs, in sensor row order, and returns
// false without writing when n is not 1, 2 or 4, when w x h is not a
// multiple of 4, or when w or h is negative or a pointer is null.
#pragma once


#include <cstdint>
#include <memory>

#include "driver/epc/epc_calib_types.h"
#include "kavro_driver.h"

struct _epc_free_deleter {
    void operator()(void *p) const;
};

// Values condensed from the mounted calibration block (or the defaults).
typedef struct {
    float box_len_cm;                // distance of the first reference image, cm
    int num_calib_dist;              // number of reference images
    uint32_t calib_cdll_step_um;     // distance step between reference images, um
    int32_t calib_simple_scale_um;   // distance scale of the simple path, 1000 = 1.0
    int32_t calib_simple_offset_mm;  // distance offset of the simple path, mm
    int16_t calib_temp_cb;           // temperatures during calibration, 0.1 degC
    int16_t calib_temp_ib;
    // Per-pixel line fit; exists only while a mount runs (malloc'ed).
    std::unique_ptr<_epc_calib_pix_t[], _epc_free_deleter> calib_pixs;
    uint16_t calib_phase_min;  // mean phase of the first reference image
    uint16_t calib_phase_max;  // mean phase of the last reference image
} _epc_calc_config_t;

// The mounted calibration block. Guarded by drnu_mutex of epc_drv_t.
typedef struct {
    epc_drv_param_header_t hdr;  // copy of the block header
    // hdr.num_dist reference images (malloc'ed), null when nothing is mounted.
    std::unique_ptr<epc_drv_param_drnu_payload_t[], _epc_free_deleter> payload;
} _epc_calc_drnu_t;

// Calculation state, kept in the priv_data of epc_drv_t.
typedef struct {
    bool enable_drnu;  // not consulted
    _epc_calc_config_t config;
    _epc_calc_drnu_t drnu;
} epc_calc_t;

// Allocate the calculation state of drv's epc_drv_t with the uncalibrated
// defaults (scale 1000, offset -2000 mm). False when drv has no epc_drv_t
// or memory is short.
bool epc_calc_init(kavro_drv_t *drv);
// Free the calculation state with any mounted block. The caller holds
// drnu_mutex.
void epc_calc_uninit(kavro_drv_t *drv);
// True while a block of the driver's current mod_freq is mounted with at
// least two reference images. Takes drnu_mutex: not for a caller holding it.
bool epc_calc_calib_loaded(kavro_drv_t *drv);
// Which calibration decodes distances now (KAVRO_FRAME_CALIB_*): PIXEL
// with the per-pixel switch on and a usable block of the current frequency
// mounted, SIMPLE with a block mounted (its scale, offset and calibration
// temperatures), NONE with the built-in defaults. Takes drnu_mutex.
uint32_t epc_calc_calib_kind(kavro_drv_t *drv);
// Distance and amplitude of a frame (sensor row order) with the calibration
// in force, decided and computed under one hold of drnu_mutex: the per-pixel
// path when want_pixel and a usable block of the current frequency is
// mounted, the simple path otherwise (also when the frequency changed since
// the caller last looked). Returns the KAVRO_FRAME_CALIB_* kind used, or -1
// when the calculation refuses the frame.
//
// temp: the temperatures of the frame being decoded (its frame information),
// so a frame is compensated with its own temperatures even when later frames
// have been described meanwhile; null uses the last described frame's.
typedef struct {
    int16_t temp_cb;  // 0.1 degC
    int16_t temp_ib;  // 0.1 degC
    bool known;       // false: no plausible temperature, no shift
} epc_frame_temp_t;
int calc_dist_calib_select(kavro_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *quads, int w, int h,
                           int n, bool want_pixel, const epc_frame_temp_t *temp = nullptr);

// Sensor row order to image order (h even): source row 2k goes to row
// h/2 - 1 - k, source row 2k + 1 to row h/2 + k. The sensor reads from the
// middle outwards, alternating between the upper half (upwards) and the
// lower half (downwards). An odd last row stays last. dst and src must not
// overlap.
void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int w, int h);

// Uncalibrated distance: gray = amplitude, distance = offset_mm +
// scale_m / 1000 * phase * range / 32768, wrapped into one range; saturated
// or empty samples (0 or 4095) give gray 0 and distance 65500. The user
// offset of the driver is added when it is switched on.
bool calc_dist_calib_none(kavro_drv_t *drv, uint16_t *dist, uint16_t *gray, const uint16_t *quads, int w, int h,
                          int n, int scale_m, int offset_mm);
// calc_dist_calib_none with the scale and offset of the calculation state,
// corrected for the temperature drift since calibration.
bool calc_dist_calib_simple(kavro_drv_t *drv, uint16_t *dist, uint16_t *gray, const uint16_t *quads, int w,
                            int h, int n);
// Per-pixel DRNU calibrated distance (n 4, 2 or 1); takes drnu_mutex for
// the whole image. Saturated samples are computed like any other. False,
// outputs untouched, when no usable block of the current frequency is
// mounted or the frame has more pixels than a reference image.
bool calc_dist_calib_drnu_lut(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads, int w,
                              int h, int n);
bool calc_dist_calib_drnu_lut_4dcs(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads,
                                   int w, int h);
bool calc_dist_calib_drnu_lut_2dcs(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid, const uint16_t *quads,
                                   int w, int h);
// One DCS image with alternating row pairs; w must be a multiple of 4.
bool calc_dist_calib_drnu_lut_2dcs_mbr(kavro_drv_t *drv, uint16_t *dist, uint16_t *confid,
                                       const uint16_t *quads, int w, int h);
// Amplitude only; 0 for saturated or empty samples.
bool calc_gray(kavro_drv_t *drv, uint16_t *gray, const uint16_t *quads, int w, int h, int n);

// The vector loops take the amplitude from the hardware square root r of
// (x^2 + y^2) / 4, which truncates to the exact integer root, and recompute
// it with vx_math_sqrtf where r * EPC_AMP_NEAR_SQUARE truncates differently:
// the fast root lies at most a relative 2e-6 above the root, so only there
// can its integer part differ.
constexpr float EPC_AMP_NEAR_SQUARE = 1.000004f;

// Instruction set of the per-pixel loops. The library picks the widest set
// the CPU supports on first use; tests select each in turn to check that all
// give identical results.
enum epc_calc_isa_e {
    EPC_CALC_ISA_SCALAR = 0,  // one pixel at a time, the reference
    EPC_CALC_ISA_SSE4 = 1,    // x86-64-v2 baseline
    EPC_CALC_ISA_AVX2 = 2,    // when the CPU has AVX2
};
epc_calc_isa_e _epc_calc_isa_best();
// Use isa from now on (or the best supported one if the CPU lacks it);
// returns the set in force. For tests: not while calculations run.
epc_calc_isa_e _epc_calc_set_isa(epc_calc_isa_e isa);
