// Writes a simulated recording (see sim_record.h).
#include "sim_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kavro_rec_info.h"
#include "sim_calib.h"
#include "sim_firmware.h"
#include "sim_frame_file.h"

namespace kavro_sim {

namespace {

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string errors_text(const sensor_errors& e)
{
    std::string s;
    auto add = [&](bool on, const char* name) {
        // Appended piecewise: the one-expression form trips a false
        // -Wrestrict of g++ 12 at -O3 (Release builds).
        if (!on)
            return;
        if (!s.empty())
            s += ',';
        s += name;
    };
    add(e.fpn, "fpn");
    add(e.wiggle, "wiggle");
    add(e.drift, "drift");
    add(e.noise, "noise");
    add(e.ambient, "ambient");
    add(e.saturation, "saturation");
    add(e.empty, "empty");
    add(e.mixed, "mixed");
    add(e.interference, "interference");
    return s.empty() ? "none" : s;
}

// The side file's header as a recording the library makes of the simulated
// camera would have it: identity as the firmware model answers it over USB,
// settings of the sensor, the simulator's lens.
kavro_rec_info_t info_header(const sensor_cfg& c)
{
    const firmware_cfg fc;
    kavro_rec_info_t i;
    i.product = _kavro_rec_token(fc.product.c_str(), 18);
    i.vendor = _kavro_rec_token(fc.vendor.c_str(), 18);
    char text[96];
    std::snprintf(text, sizeof text, "%08X-%08X-%08X", fc.serial[0], fc.serial[1], fc.serial[2]);
    i.serial = text;
    std::snprintf(text, sizeof text, "hw_%u,_sw_%u,_sw2_%u,_hw2_%u", fc.version[0], fc.version[1], fc.version[2],
                  fc.version[3]);
    i.version = text;
    for (int k = 0; k < 3; ++k)
        i.sensor[k] = fc.chip_info[k];
    i.mod_freq = c.mod_freq;
    i.intg_time = (uint32_t)std::lround(c.intg_us);
    i.frame_rate = c.fps;
    i.frame_format = (uint32_t)c.format;
    i.has_frame_format = true;
    const lens l = lens_default();
    i.has_lens = true;
    i.lens.cx = l.cx;
    i.lens.cy = l.cy;
    i.lens.fx = l.fx;
    i.lens.fy = l.fy;
    for (int k = 0; k < 5; ++k)
        i.lens.dcoeff[k] = l.dcoeff[k];
    i.lens.img_w = l.img_w;
    i.lens.img_h = l.img_h;
    return i;
}

// Writes the simulated camera's calibration file for sensor `c` to `path`
// and records it in `i`.
bool write_calib(const sensor_cfg& c, const std::string& path, kavro_rec_info_t* i, std::string* err)
{
    calib_opts co;
    bool has_freq = false;
    for (uint32_t f : co.mod_freqs)
        has_freq = has_freq || f == c.mod_freq;
    if (!has_freq)
        co.mod_freqs.push_back(c.mod_freq);
    std::vector<uint8_t> file;
    if (!calib_param_file(c, co, &file, err))
        return false;
    fd_closer fd{::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644)};
    uint64_t bytes = 0;
    uint32_t crc = 0;
    if (fd.fd < 0 || ::write(fd.fd, file.data(), file.size()) != (ssize_t)file.size() ||
        !_kavro_rec_fd_crc(fd.fd, &bytes, &crc)) {
        *err = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    i->calib_kind = "pixel";
    i->calib_file = _kavro_rec_base_of(path);
    i->calib_bytes = bytes;
    i->calib_crc = crc;
    return true;
}

}  // namespace

bool record(const record_opts& o, std::string* err)
{
    scene sc;
    if (!scene_builtin(o.scene, &sc)) {
        *err = "unknown scene: " + o.scene;
        return false;
    }
    if (o.frames <= 0) {
        *err = "frame count must be positive";
        return false;
    }
    if (o.cfg.format != 2 && o.cfg.format != 4) {
        *err = "frame format must be 2 or 4";
        return false;
    }
    if (o.cfg.mod_freq == 0) {
        *err = "modulation frequency must be positive";
        return false;
    }
    const std::string dist_path = o.out + ".dist", meta_path = o.out + ".meta";
    const std::string info_path = _kavro_rec_info_path(o.out), calib_path = o.out + ".calib";
    fd_closer raw{::open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    fd_closer dist{::open(dist_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    std::unique_ptr<FILE, int (*)(FILE*)> meta(std::fopen(meta_path.c_str(), "w"), &std::fclose);
    std::unique_ptr<FILE, int (*)(FILE*)> info(std::fopen(info_path.c_str(), "w"), &std::fclose);
    if (raw.fd < 0 || dist.fd < 0 || !meta || !info) {
        *err = "cannot create " + o.out + " (.dist, .meta, .info): " + std::strerror(errno);
        return false;
    }
    const sensor_cfg& c = o.cfg;
    kavro_rec_info_t hdr = info_header(c);
    if (o.embed_calib) {
        if (!write_calib(c, calib_path, &hdr, err))
            return false;
    } else {
        ::unlink(calib_path.c_str());  // a stale copy of an earlier recording
    }
    auto put = [&](const std::string& text) {
        return std::fputs(text.c_str(), info.get()) >= 0 && std::fflush(info.get()) == 0;
    };
    if (!put(_kavro_rec_info_header_text(hdr))) {
        *err = "cannot write " + info_path + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(meta.get(),
                 "scene %s\nframes %d\nseed %llu\nformat %d\nmod_freq %u\nrange_mm %u\n"
                 "intg_us %.1f\nfps %.3f\nerrors %s\nproduct %s\n"
                 "# frame temp_cb temp_ib (0.1 degC)\n",
                 o.scene.c_str(), o.frames, (unsigned long long)c.seed, c.format, c.mod_freq,
                 range_mm(c.mod_freq), c.intg_us, c.fps, errors_text(c.err).c_str(), k_sim_product);

    camera cam(sc, c);
    frame f;
    for (int i = 0; i < o.frames; ++i) {
        cam.render((uint32_t)i, &f);
        if (!file_write_raw(raw.fd, f.raw, f.width, f.height, f.dcs_cnt, k_sim_product) ||
            !file_write_dist_m(dist.fd, f.truth_mm, f.width, f.height)) {
            *err = "write failed: " + std::string(std::strerror(errno));
            return false;
        }
        std::fprintf(meta.get(), "%d %d %d\n", i, f.temp_cb, f.temp_ib);
        // Arrival at the simulated frame time; the temperatures count as
        // measured only while the sensor models them (without drift it
        // reports a constant 0).
        kavro_rec_frame_t line;
        line.temp_cb = f.temp_cb;
        line.temp_ib = f.temp_ib;
        line.host_us = c.fps > 0 ? (uint64_t)std::llround(i * 1e6 / c.fps) : 0;
        line.flags = c.err.drift ? KAVRO_REC_FRAME_TEMP_MEASURED : 0;
        if (!put(_kavro_rec_info_frame_line((uint32_t)i, line))) {
            *err = "cannot write " + info_path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (std::fflush(meta.get()) != 0) {
        *err = "cannot write " + meta_path;
        return false;
    }
    return true;
}

}  // namespace kavro_sim
