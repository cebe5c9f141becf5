// Frame-file writer of the simulator: raw recordings ("VX_RAW", 16-bit
// samples) and ground truth ("VX_DIST", float metres) in the library's
// frame-file layout (one text header line at offset 0, then frames back to
// back, little-endian). A header is written only when the descriptor is at
// the start of the file, so repeated calls append frames.
#ifndef KAVRO_SIM_FRAME_FILE_H
#define KAVRO_SIM_FRAME_FILE_H

#include <cstdint>
#include <vector>

namespace kavro_sim {

bool file_write_raw(int fd, const std::vector<uint16_t>& raw, int w, int h, int dcs_cnt,
                    const char* tag);
bool file_write_dist_m(int fd, const std::vector<float>& dist_mm, int w, int h);

}  // namespace kavro_sim

#endif
