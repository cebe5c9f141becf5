// Writes a simulated recording (see sim_record.h).
#include "sim_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

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
    fd_closer raw{::open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    fd_closer dist{::open(dist_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    std::unique_ptr<FILE, int (*)(FILE*)> meta(std::fopen(meta_path.c_str(), "w"), &std::fclose);
    if (raw.fd < 0 || dist.fd < 0 || !meta) {
        *err = "cannot create " + o.out + " (.dist, .meta): " + std::strerror(errno);
        return false;
    }
    const sensor_cfg& c = o.cfg;
    std::fprintf(meta.get(),
                 "scene %s\nframes %d\nseed %llu\nformat %d\nmod_freq %u\nrange_mm %u\n"
                 "intg_us %.1f\nfps %.3f\nerrors %s\nproduct %s\n"
                 "# frame temp_cb temp_ib (0.1 degC; a replayed recording reports 0)\n",
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
    }
    if (std::fflush(meta.get()) != 0) {
        *err = "cannot write " + meta_path;
        return false;
    }
    return true;
}

}  // namespace kavro_sim
