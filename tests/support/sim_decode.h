// Minimal decoder of raw EPC frames for the simulator's tests, written from
// the driver's formulas: table arctangent, half-vector amplitude, the
// uncalibrated distance path with its temperature correction, and the row
// reorder. Independent of the simulator's own code, so a convention error on
// either side shows up as a wrong distance.
#ifndef KAVRO_TEST_SIM_DECODE_H
#define KAVRO_TEST_SIM_DECODE_H

#include <cstdint>
#include <vector>

namespace sim_decode {

int atan2_i32(int y, int x);  // phase 0 ... 32767
int atan_lut_entry(int i);    // the arctangent table behind it, 0 <= i < 4096
uint32_t range_mm(uint32_t mod_freq);

struct params {
    uint32_t mod_freq = 12000000;
    int16_t temp_cb = 0, temp_ib = 0;  // 0.1 degC, as the frame reports them
    float tcoef_cb_mm = 13.78f, tcoef_ib_mm = 1.183f;
    int scale = 1000, offset_mm = -2000;
};

// Distance (mm; 65500 for a saturated or empty pixel) and amplitude per
// pixel, both in image order. n_dcs: 4 (format 2), 2 (first two images of
// format 2) or 1 (format 4). For n_dcs 1 the last row pair, which has no
// partner below it, is combined with the pair above it.
void decode(const std::vector<uint16_t>& raw, int w, int h, int n_dcs, const params& p,
            std::vector<uint16_t>* dist, std::vector<uint16_t>* gray);

// Sensor row order to image order.
std::vector<uint16_t> dcs_sort(const std::vector<uint16_t>& src, int w, int h);

}  // namespace sim_decode

#endif
