// Sensor model of the camera simulator: turns what each pixel sees (from the
// scene and the lens) into the raw DCS samples of an EPC frame, with the
// sensor's own errors, each switchable and seeded.
//
// Phase convention: a return at phase distance D (mm) has phase
// phi = 2 pi D / range, and sample k of four is 2048 + a cos(phi - k pi / 2),
// so DCS2 - DCS0 = -2a cos(phi) and DCS3 - DCS1 = -2a sin(phi), which the
// decoder's atan2 turns back into phi and the amplitude a. The phase distance
// is the true radial distance plus a fixed zero offset of 2000 mm (what the
// uncalibrated path subtracts) plus the modelled errors.
#ifndef KAVRO_SIM_SENSOR_H
#define KAVRO_SIM_SENSOR_H

#include <cstdint>
#include <vector>

#include "sim_lens.h"
#include "sim_scene.h"

namespace kavro_sim {

// Error switches; all off is an ideal sensor whose frames decode to the true
// distance (within the decoder's own arithmetic).
struct sensor_errors {
    bool fpn = false;           // per-pixel phase offset field (smooth + random)
    bool wiggle = false;        // periodic phase-dependent distance error
    bool drift = false;         // warm-up: the temperature (and its drift) changes over time;
                                // off, the sensor stays at the ambient temperature
    bool noise = false;         // read and shot noise of every sample
    bool ambient = false;       // ambient light: extra shot noise, fills the well
    bool saturation = false;    // over-full pixels read 4095 in every sample
    bool empty = false;         // dead pixels read 0 in every sample
    bool mixed = false;         // pixels straddling a depth edge mix both returns
    bool interference = false;  // a second camera of the same kind is running
};

// Error sets by name: "none", "all", or a comma-separated list of
// fpn, wiggle, drift, noise, ambient, saturation, empty, mixed, interference
// (a leading '-' switches one off, e.g. "all,-drift"). False on unknown names.
bool sensor_errors_parse(const char* text, sensor_errors* out);

struct sensor_cfg {
    int format = 2;                // device frame format: 2 (four DCS images) or 4 (row pairs)
    uint32_t mod_freq = 12000000;  // Hz
    double intg_us = 1000;         // integration time
    double fps = 30;               // frame rate: time base of the warm-up curve
    uint64_t seed = 1;             // one seed for the sensor's fixed pattern and per-frame noise
    sensor_errors err;

    // Signal: amplitude (DN) of a white surface at 1 m, facing the camera on
    // the optical axis, at 1000 us. It falls with distance squared, with
    // reflectivity and the cosine of incidence, and off axis with
    // cos^vignetting_exp of the ray angle; it rises linearly with integration.
    double amp_gain = 1200;
    double vignetting_exp = 2;
    double zero_offset_mm = 2000;

    // Fixed pattern: smooth field (bowl plus tilt, peak value) and per-pixel
    // random part (standard deviation), both in mm.
    double fpn_smooth_mm = 25;
    double fpn_random_mm = 4;

    // Wiggling: wiggle_mm * sin(harmonic * phi + wiggle_phase).
    double wiggle_mm = 12;
    int wiggle_harmonic = 4;
    double wiggle_phase = 0.7;

    // Temperatures: with the warm-up (err.drift) both start at ambient and
    // rise towards ambient + rise with time constant tau; frame i is taken
    // at warmup_start_s + i / fps. Without it both stay at ambient. Either
    // way the frames report them, and the measured phase drifts by
    // drift_cb_mm per degree of the sensor temperature and drift_ib_mm per
    // degree of the IB temperature (from 0 degrees, where the uncalibrated
    // decoder places its reference; the calibration's references carry the
    // drift of the calibration temperatures): a shift of the whole phase
    // response, wiggling included, which is what the driver's temperature
    // coefficients (the same defaults) take back on both the simple and the
    // per-pixel path. At the default 25 degC the drift is 374.1 mm, which
    // the simple path's compensation, rounded to whole mm, takes back to
    // within 0.1 mm.
    double temp_ambient_c = 25;
    double temp_rise_cb_c = 20;
    double temp_rise_ib_c = 12;
    double warmup_tau_s = 300;
    double warmup_start_s = 0;
    double drift_cb_mm = 13.78;
    double drift_ib_mm = 1.183;

    // Noise of one sample (DN): variance read^2 + shot_gain * (a + ambient).
    double read_noise_dn = 1.5;
    double shot_gain = 0.01;

    // Ambient light: charge (DN) a white surface adds at 1000 us; the
    // differential readout rejects all but ambient_leak of it. A pixel whose
    // 2a + ambient exceeds the full well saturates.
    double ambient_dn = 400;
    double ambient_leak = 0.02;
    double full_well_dn = 6000;

    double dead_fraction = 0.001;  // share of dead pixels
    int mixed_subsamples = 3;      // n x n rays per pixel when mixing
    double interference_ratio = 0.3;  // other camera's amplitude relative to ours
};

struct frame {
    int width = 0, height = 0;
    int format = 2;
    int dcs_cnt = 4;             // sub-frames: 4 for format 2, 1 for format 4
    uint32_t frame_idx = 0;
    int16_t temp_cb = 0;         // sensor temperature, 0.1 degC (frame property)
    int16_t temp_ib = 0;         // IB temperature, 0.1 degC
    std::vector<uint16_t> raw;   // width * height * dcs_cnt samples, sensor row order
    std::vector<float> truth_mm; // true radial distance per pixel, image order; 0 = no surface
};

// Range of one modulation period as the decoder computes it (single precision).
uint32_t range_mm(uint32_t mod_freq);

// Image row shown by sensor row s (the sensor reads from the middle outwards).
int sensor_row_to_image(int s, int h);

class camera {
public:
    camera(const scene& sc, const sensor_cfg& cfg, const lens& ln = lens_default());

    int width() const { return w_; }
    int height() const { return h_; }
    uint32_t range() const { return range_; }
    const sensor_cfg& cfg() const { return cfg_; }

    // Renders frame `frame_idx`: same index and seed, same frame.
    void render(uint32_t frame_idx, frame* out) const;

    // What the model puts into each pixel, image order, without noise.
    const std::vector<float>& truth_mm() const { return truth_; }
    const std::vector<float>& fpn_mm() const { return fpn_; }
    float amplitude(int pixel) const;   // signal amplitude a (DN) of the pixel
    float ambient(int pixel) const;     // ambient charge (DN), 0 with ambient off
    bool dead(int pixel) const { return dead_[pixel] != 0; }
    double wiggle_mm(double phase_dist_mm) const;
    void temperatures(uint32_t frame_idx, int16_t* cb, int16_t* ib) const;
    double drift_mm(int16_t cb, int16_t ib) const;

    // Standard deviation of the decoded distance for amplitude a and ambient
    // charge amb, from the sample noise (and 12-bit quantisation) of the
    // frame format.
    double dist_sigma_mm(double a, double amb) const;

private:
    struct ret {
        float dist_mm;  // radial distance of this sub-ray's surface
        float geo;      // reflectivity * cos(incidence) * vignetting / d^2 (d in m)
        float amb_geo;  // reflectivity * vignetting
    };
    double sample_var(double a, double amb) const;

    sensor_cfg cfg_;
    int w_, h_;
    uint32_t range_;
    std::vector<ret> rets_;          // sub-returns of all pixels
    std::vector<uint32_t> ret_ofs_;  // pixel p uses rets_[ret_ofs_[p] .. ret_ofs_[p+1])
    std::vector<float> truth_;
    std::vector<float> fpn_;
    std::vector<uint8_t> dead_;
};

}  // namespace kavro_sim

#endif
