// Small raw recordings for tests that replay a file as a device: frames of
// 8 x 4 pixels x 4 sub-frames whose samples say which frame they belong to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavro_test {

constexpr int REC_W = 8, REC_H = 4, REC_DCS = 4;
constexpr int REC_SAMPLES = REC_W * REC_H * REC_DCS;
constexpr uint32_t REC_FRAME_BYTES = REC_SAMPLES * 2;

// The samples of frame k (0-based) of a recording.
std::vector<uint16_t> rec_samples(int k);

// Write `path` with `frames` whole frames tagged `tag` (the product string a
// replay reports). With `tail_samples` > 0, a last frame cut after that many
// samples follows: replaying it ends in a load failure instead of the end of
// the file. Returns false when the file cannot be written.
bool write_recording(const std::string &path, int frames, const char *tag, int tail_samples = 0);

// How many descriptors the process has open (the entries of /proc/self/fd).
int open_fd_count();

}  // namespace kavro_test
