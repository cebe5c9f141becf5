// Records of the EPC calibration block as it is stored in the calibration
// parameter file: the block header and the DRNU reference images (the phase
// every pixel measured against a flat target at one of a series of known
// distances). Byte layouts are fixed (little-endian, as read from the file).
#pragma once

#include <cstddef>
#include <cstdint>

// Size of one reference image: 320 x 240 phase samples.
#define EPC_DRNU_IMG_W 320
#define EPC_DRNU_IMG_H 240
#define EPC_DRNU_PIX_CNT (EPC_DRNU_IMG_W * EPC_DRNU_IMG_H)

#pragma pack(push, 1)

// Header of a calibration block, 37 bytes.
typedef struct {
    uint32_t mod_freq;      // modulation frequency of this block, Hz
    uint32_t mod_freq1;     // not read
    float box_len_cm;       // distance of the first reference image, cm
    uint32_t drnu_offset;   // not read
    int16_t calib_temp_cb;  // sensor temperature during calibration, 0.1 degC
    int16_t calib_temp_ib;  // IB temperature during calibration, 0.1 degC
    int8_t num_dist;        // number of reference images
    uint32_t reserved[1];   // payload size in the old block layout, else not read
    uint32_t w;             // image width; 0 means 320
    uint32_t h;             // image height; 0 means 240
    uint32_t atan_scale;    // phase of one full period in the stored images; 0 means 30000
} epc_drv_param_header_t;

// Block header of files older than version 140, 42 bytes.
typedef struct {
    uint8_t type;                // must be 1 (DRNU)
    epc_drv_param_header_t val;  // the header above
    uint32_t reserved;           // not read
} epc_drv_param_header_old_t;

#pragma pack(pop)

// One reference image, 153620 bytes; the payload of a block is num_dist of
// them back to back. Only the first w x h samples of data are used.
typedef struct {
    int32_t ref_dist_um;  // distance beyond box_len_cm, um
    uint32_t w;           // not read
    uint32_t h;           // not read
    uint32_t reserved[2]; // not read
    uint16_t data[EPC_DRNU_PIX_CNT];  // phase per pixel, sensor row order
} epc_drv_param_drnu_payload_t;

// Per-pixel line fit of the reference phases, made while a block is mounted.
typedef struct {
    float inv_slope;
    float offset;
} _epc_calib_pix_t;

static_assert(sizeof(epc_drv_param_header_t) == 37, "epc_drv_param_header_t is 37 bytes in the file");
static_assert(sizeof(epc_drv_param_header_old_t) == 42, "epc_drv_param_header_old_t is 42 bytes in the file");
static_assert(offsetof(epc_drv_param_header_t, num_dist) == 20 && offsetof(epc_drv_param_header_t, w) == 25,
              "epc_drv_param_header_t field offsets");
static_assert(sizeof(epc_drv_param_drnu_payload_t) == 153620, "a DRNU reference image is 153620 bytes");
static_assert(offsetof(epc_drv_param_drnu_payload_t, data) == 20, "reference samples start at byte 20");
