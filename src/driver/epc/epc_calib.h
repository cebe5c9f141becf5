// Calibration data of the EPC driver: reading the DRNU block of one
// modulation frequency from the device's calibration parameter file,
// preparing it for the per-pixel distance calculation (mount) and dropping
// it again (unmount).
//
// A DRNU block holds num_dist reference images: the phase every pixel
// measured against a flat target at box_len_cm plus ref_dist_um of the
// image. Mounting rescales the phases to 32768 per period, repairs the
// one-sample shift of files older than version 150, fits a line through
// each pixel's reference phases and condenses the block into the values of
// the calculation state (epc_calc_t.config) and of the driver
// (calib_wall_len_mm, calib_wall_len_phase, and mod_freq when still 0).
//
// Every call here runs with drnu_mutex of epc_drv_t held by the caller.
#pragma once

#include <cstdint>

#include "driver/epc/epc_calib_types.h"
#include "kavro_driver.h"
#include "kavro_param.h"

// Block type of a DRNU block.
#define EPC_CALIB_BLK_DRNU 1
// Files older than this carry reference images shifted by one sample.
#define EPC_CALIB_VER_PIX_FIXED 150
// Phase of one period in the stored images when the header says 0.
#define EPC_CALIB_ATAN_SCALE_DEFAULT 30000
// Phase of one period in the distance calculation.
#define EPC_CALIB_ATAN_SCALE 32768
// Smallest coefficient of determination of a pixel's line fit that counts
// the pixel's reference phases as good.
#define EPC_CALIB_MIN_R_SQUARE 0.998

// Mount the DRNU block of the driver's mod_freq (any DRNU block when it is
// 0, whose frequency then becomes the driver's). 1 when mounted; -1 when
// not, with the block dropped and the uncalibrated defaults (scale 1000,
// offset -2000 mm) in force. Allocation failures end the process (-3).
int epc_calc_mount_calib(kavro_drv_t *drv);

// Drop the mounted block and any line fit; clears the whole drnu record.
void epc_calc_unmount_clib(kavro_drv_t *drv);

// Read the first DRNU block whose mod_freq is freq (or the first DRNU block
// when freq is 0) from the driver's file pname into the drnu record, the
// file's first 1202 bytes into *par_vx_hdr. True with a block of freq
// already mounted (nothing read). False when the file is not usable, cannot
// be read, has no such block, or the block's header or size does not fit
// its payload: at least two reference images, every one of them complete,
// images of at most 320 x 240 samples, a frequency and a finite,
// non-negative first distance.
bool _cal_load_calib_data(kavro_drv_t *drv, uint32_t freq, kavro_param_t *par_vx_hdr);

// Global scale and offset from two reference images of the mounted block:
// mean phase of each (the last column left out) against their distances.
void _calc_scale_offset(kavro_drv_t *drv, float *scale, float *offset, const epc_drv_param_drnu_payload_t *img0,
                        const epc_drv_param_drnu_payload_t *img1);

// Per-pixel line fit of the mounted block (w x h pixels of num_dist images,
// phases already at 32768 per period) into config.calib_pixs, allocated
// here: {1 / slope, offset} for each pixel whose fit has r^2 >= 0.998 and a
// slope, and {1 / average slope, average offset} of those for every other
// pixel. Returns the number of good pixels (0: the block is unusable and the
// entries of the others are {0, 0}); *avg_slope and *avg_offset get the
// averages when there is a good pixel.
uint32_t _calc_pix_fit(kavro_drv_t *drv, uint32_t w, uint32_t h, int num_dist, float *avg_slope,
                       float *avg_offset);
