#include "replay_recording.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "kavro.h"

namespace kavro_test {

std::vector<uint16_t> rec_samples(int k) {
    std::vector<uint16_t> v(REC_SAMPLES);
    for (int i = 0; i < REC_SAMPLES; ++i) v[i] = static_cast<uint16_t>((k * 1000 + i * 7) & 0x0FFF);
    return v;
}

bool write_recording(const std::string &path, int frames, const char *tag, int tail_samples) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (int k = 0; k < frames && ok; ++k) {
        const auto raw = rec_samples(k);
        ok = kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, raw.data(), REC_SAMPLES, REC_W, REC_H, REC_DCS, tag);
    }
    if (ok && tail_samples > 0) {
        // Raw 16-bit samples follow the header without framing, so a short
        // write at the end is a cut frame.
        const auto raw = rec_samples(frames);
        const auto bytes = static_cast<ssize_t>(tail_samples) * 2;
        ok = write(fd, raw.data(), static_cast<size_t>(bytes)) == bytes;
    }
    close(fd);
    return ok;
}

int open_fd_count() {
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

}  // namespace kavro_test
