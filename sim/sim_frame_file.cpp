// Frame-file writer (see sim_frame_file.h).
#include "sim_frame_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kavro_sim {

namespace {

bool write_all(int fd, const void* buf, size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t r = ::write(fd, p, len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        len -= (size_t)r;
    }
    return true;
}

bool at_start(int fd) { return ::lseek(fd, 0, SEEK_CUR) == 0; }

// The frame files are little-endian; so is every machine this builds for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frame files are little-endian");

}  // namespace

bool file_write_raw(int fd, const std::vector<uint16_t>& raw, int w, int h, int dcs_cnt,
                    const char* tag)
{
    const size_t n = (size_t)w * h * dcs_cnt;
    if (w <= 0 || h <= 0 || dcs_cnt <= 0 || raw.size() != n || !tag || !*tag)
        return false;
    if (at_start(fd)) {
        char hdr[256];
        int len = std::snprintf(hdr, sizeof hdr, "VX_RAW,U16,%d,%d,%d,%s\n", w, h, dcs_cnt, tag);
        if (len <= 0 || len >= (int)sizeof hdr || !write_all(fd, hdr, (size_t)len))
            return false;
    }
    return write_all(fd, raw.data(), n * sizeof(uint16_t));
}

bool file_write_dist_m(int fd, const std::vector<float>& dist_mm, int w, int h)
{
    const size_t n = (size_t)w * h;
    if (w <= 0 || h <= 0 || dist_mm.size() != n)
        return false;
    if (at_start(fd)) {
        char hdr[64];
        int len = std::snprintf(hdr, sizeof hdr, "VX_DIST,F32,%d,%d\n", w, h);
        if (len <= 0 || !write_all(fd, hdr, (size_t)len))
            return false;
    }
    std::vector<float> m(n);
    for (size_t i = 0; i < n; ++i)
        m[i] = dist_mm[i] / 1000.0f;
    return write_all(fd, m.data(), n * sizeof(float));
}

}  // namespace kavro_sim
