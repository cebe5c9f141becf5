// Calibration data of the camera simulator: the calibration parameter file a
// calibrated camera carries (container with lens record and checksums, one
// EPC DRNU block per modulation frequency) and the calibration package the
// firmware streams in data-upload mode (18-byte header, the file raw or
// zipped, padded to whole 153600-byte frames).
//
// The DRNU reference images model the factory calibration rig as a
// delay-line sweep: the camera looks at a reference target at the same
// radial distance box_len_cm for every pixel, and the firmware's delay line
// shifts the modulation phase by one step (step_um of distance, the
// block's calib_cdll_step_um) per reference image. Reference k of pixel p
// is therefore the phase of box_len_cm + k * step_um plus that pixel's own
// errors as the sensor model has them switched on: zero offset, fixed
// pattern, wiggling at that phase and temperature drift at the calibration
// temperatures; noise-free, as a factory calibration averages many frames.
// Every pixel's phase step is the true step, so the per-pixel calibration
// yields the radial distance, as the uncalibrated path and the point cloud
// expect. Phases are scaled to atan_scale per period, in sensor row order.
// A dead pixel (sensor error "empty") reads 0 in every sample, so its
// references hold the phase of a zero vector, half a period, at every
// distance. A container version below 150 stores each two-row block of
// every image one sample early, as the cameras of those versions did.
//
// The default sweep covers 295 ... 4420 mm (12 references 375 mm apart),
// the working distances of 0.5 ... 4 m with a margin, in a package of about
// 3.7 MB for the two frequencies.
#ifndef KAVRO_SIM_CALIB_H
#define KAVRO_SIM_CALIB_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_firmware.h"
#include "sim_lens.h"
#include "sim_sensor.h"

namespace kavro_sim {

// Layout numbers of the container and the EPC block.
constexpr int k_param_fix_size = 1188;   // fixed header
constexpr int k_param_hdr_size = 1202;   // fixed header + block header
constexpr int k_param_unit_size = 5;     // unit header of the current layout
constexpr int k_epc_hdr_size = 37;       // EPC block header
constexpr int k_drnu_rec_size = 153620;  // one reference image record
constexpr uint32_t k_param_magic = 0x31505856u;  // "VXP1"

struct calib_opts {
    std::vector<uint32_t> mod_freqs = {12000000, 15000000};  // one block each
    int num_dist = 12;             // reference images per block
    float box_len_cm = 29.5f;      // distance of the first reference
    int32_t step_um = 375000;      // delay-line step between references
    uint32_t atan_scale = 30000;   // phase value of one period in the images
    int16_t temp_cb = 400;         // calibration temperatures, 0.1 degC
    int16_t temp_ib = 350;
    uint8_t ver = 150;             // container version (current layout; below 150 shifted one sample)
    uint32_t ts = 1700000000;      // calibration timestamp
    std::string lens_name = "KVSIM default lens";  // empty: no lens record
    lens ln = lens_default();
};

// Parameter id that names the file: (chip id + wafer id * 65536) XOR the
// first serial word, printed as a signed number in "kavro_param_%d.bin".
int32_t calib_param_id(uint16_t chip_id, uint16_t wafer_id, uint32_t serial0);
std::string calib_param_file_name(int32_t id);

// The calibration parameter file for a sensor configured as `s` (its seed and
// error switches; mod_freq is replaced per block). False with a reason when an
// option is out of range.
bool calib_param_file(const sensor_cfg& s, const calib_opts& o, std::vector<uint8_t>* out,
                      std::string* err);

// The package around `file`: raw, or zipped with `entry_name` as the
// archive's only entry. fsize counts the padded package.
bool calib_package(const std::vector<uint8_t>& file, bool zip, const std::string& entry_name,
                   uint32_t pkg_id, uint32_t ts, std::vector<uint8_t>* pkg, std::string* err);

// The package of the camera `fc` describes: its sensor, its file name (from
// chip info and serial) as the archive entry, `o.ts` as package timestamp.
// Install it with firmware::set_calib_package().
bool calib_package_for(const firmware_cfg& fc, const calib_opts& o, bool zip, std::vector<uint8_t>* pkg,
                       std::string* err);

// Fletcher-16 of the container (modulus 255, low byte sum1, high byte sum2).
uint16_t calib_cksum16(const uint8_t* p, size_t n, uint16_t seed);

}  // namespace kavro_sim

#endif
