// kavro-sim: simulated camera recordings.
//
//   kavro-sim scenes
//   kavro-sim record --scene NAME --frames N [--seed S] [--errors LIST]
//                    [--format 2|4] [--intg US] [--mod-freq HZ] [--fps F] [--calib] OUT
//
//   kavro-sim calib [--seed S] [--errors LIST] [--mod-freq HZ]... [--dists N]
//                   [--package PKG [--zip]] OUT
//
// record writes OUT (raw recording), OUT.info (the side file a recording of
// the simulated camera carries: identity, settings, lens, per-frame
// temperatures), OUT.dist (ground truth distances) and OUT.meta (settings
// and per-frame temperatures); with --calib also OUT.calib, the simulated
// camera's calibration file, which the replay then decodes with. calib writes the
// calibration parameter file of the simulated camera to OUT (one DRNU block
// per --mod-freq, default 12 and 15 MHz) and, with --package, the package
// the camera streams in data-upload mode (the file zipped with --zip).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_calib.h"
#include "sim_firmware.h"
#include "sim_record.h"
#include "sim_scene.h"

namespace {

// Errors of a recording by default: everything a real camera shows except
// temperature drift (a camera at a steady temperature) and interference,
// which needs a second camera.
constexpr const char* k_default_errors = "all,-drift,-interference";

void usage(FILE* f)
{
    std::fprintf(f,
                 "usage: kavro-sim scenes\n"
                 "       kavro-sim record --scene NAME --frames N [--seed S] [--errors LIST]\n"
                 "                        [--format 2|4] [--intg US] [--mod-freq HZ] [--fps F] [--calib] OUT\n"
                 "       kavro-sim calib [--seed S] [--errors LIST] [--mod-freq HZ]... [--dists N]\n"
                 "                       [--package PKG [--zip]] OUT\n"
                 "errors: none | all | comma list of fpn,wiggle,drift,noise,ambient,saturation,\n"
                 "        empty,mixed,interference ('-name' switches one off); default %s\n",
                 k_default_errors);
}

bool parse_num(const char* s, double lo, double hi, double* out)
{
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (!s[0] || *end || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

int cmd_scenes()
{
    for (const std::string& name : kavro_sim::scene_names()) {
        kavro_sim::scene sc;
        kavro_sim::scene_builtin(name, &sc);
        std::printf("%-8s %s\n", name.c_str(), sc.about.c_str());
    }
    return 0;
}

int cmd_record(int argc, char** argv)
{
    kavro_sim::record_opts o;
    o.frames = 0;
    o.scene.clear();
    kavro_sim::sensor_errors_parse(k_default_errors, &o.cfg.err);
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kavro-sim: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        double num = 0;
        if (a == "--scene") {
            if (!(v = value("--scene")))
                return 2;
            o.scene = v;
        } else if (a == "--frames") {
            if (!(v = value("--frames")) || !parse_num(v, 1, 1e6, &num))
                return std::fprintf(stderr, "kavro-sim: bad --frames\n"), 2;
            o.frames = (int)num;
        } else if (a == "--seed") {
            if (!(v = value("--seed")) || !parse_num(v, 0, 1.8e19, &num))
                return std::fprintf(stderr, "kavro-sim: bad --seed\n"), 2;
            o.cfg.seed = std::strtoull(v, nullptr, 10);
        } else if (a == "--errors") {
            if (!(v = value("--errors")) || !kavro_sim::sensor_errors_parse(v, &o.cfg.err))
                return std::fprintf(stderr, "kavro-sim: bad --errors\n"), 2;
        } else if (a == "--format") {
            if (!(v = value("--format")) || !parse_num(v, 2, 4, &num) || (num != 2 && num != 4))
                return std::fprintf(stderr, "kavro-sim: --format must be 2 or 4\n"), 2;
            o.cfg.format = (int)num;
        } else if (a == "--intg") {
            if (!(v = value("--intg")) || !parse_num(v, 1, 100000, &num))
                return std::fprintf(stderr, "kavro-sim: bad --intg\n"), 2;
            o.cfg.intg_us = num;
        } else if (a == "--mod-freq") {
            if (!(v = value("--mod-freq")) || !parse_num(v, 1e6, 1e8, &num))
                return std::fprintf(stderr, "kavro-sim: bad --mod-freq\n"), 2;
            o.cfg.mod_freq = (uint32_t)num;
        } else if (a == "--fps") {
            if (!(v = value("--fps")) || !parse_num(v, 0.1, 1000, &num))
                return std::fprintf(stderr, "kavro-sim: bad --fps\n"), 2;
            o.cfg.fps = num;
        } else if (a == "--calib") {
            o.embed_calib = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kavro-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (o.out.empty()) {
            o.out = a;
        } else {
            std::fprintf(stderr, "kavro-sim: more than one output file\n");
            return 2;
        }
    }
    if (o.scene.empty() || o.frames <= 0 || o.out.empty()) {
        usage(stderr);
        return 2;
    }
    std::string err;
    if (!kavro_sim::record(o, &err)) {
        std::fprintf(stderr, "kavro-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s: %d frames of scene %s\n", o.out.c_str(), o.frames, o.scene.c_str());
    return 0;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& d)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(d.data(), 1, d.size(), f) == d.size();
    return std::fclose(f) == 0 && ok;
}

int cmd_calib(int argc, char** argv)
{
    kavro_sim::firmware_cfg fc;
    kavro_sim::sensor_errors_parse(k_default_errors, &fc.sensor.err);
    kavro_sim::calib_opts o;
    std::vector<uint32_t> freqs;
    std::string out, pkg_out;
    bool zip = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        double num = 0;
        if (a == "--seed") {
            if (!v || !parse_num(v, 0, 1.8e19, &num))
                return std::fprintf(stderr, "kavro-sim: bad --seed\n"), 2;
            fc.sensor.seed = std::strtoull(v, nullptr, 10);
            ++i;
        } else if (a == "--errors") {
            if (!v || !kavro_sim::sensor_errors_parse(v, &fc.sensor.err))
                return std::fprintf(stderr, "kavro-sim: bad --errors\n"), 2;
            ++i;
        } else if (a == "--mod-freq") {
            if (!v || !parse_num(v, 1e6, 1e8, &num))
                return std::fprintf(stderr, "kavro-sim: bad --mod-freq\n"), 2;
            freqs.push_back((uint32_t)num);
            ++i;
        } else if (a == "--dists") {
            if (!v || !parse_num(v, 2, 40, &num))
                return std::fprintf(stderr, "kavro-sim: --dists must be 2 ... 40\n"), 2;
            o.num_dist = (int)num;
            ++i;
        } else if (a == "--package") {
            if (!v)
                return std::fprintf(stderr, "kavro-sim: --package needs a value\n"), 2;
            pkg_out = v;
            ++i;
        } else if (a == "--zip") {
            zip = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kavro-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (out.empty()) {
            out = a;
        } else {
            std::fprintf(stderr, "kavro-sim: more than one output file\n");
            return 2;
        }
    }
    if (out.empty() || (zip && pkg_out.empty())) {
        usage(stderr);
        return 2;
    }
    if (!freqs.empty())
        o.mod_freqs = freqs;
    std::vector<uint8_t> file, pkg;
    std::string err;
    if (!kavro_sim::calib_param_file(fc.sensor, o, &file, &err) ||
        (!pkg_out.empty() && !kavro_sim::calib_package_for(fc, o, zip, &pkg, &err))) {
        std::fprintf(stderr, "kavro-sim: %s\n", err.c_str());
        return 1;
    }
    if (!write_file(out, file))
        return std::fprintf(stderr, "kavro-sim: cannot write %s\n", out.c_str()), 1;
    if (!pkg_out.empty() && !write_file(pkg_out, pkg))
        return std::fprintf(stderr, "kavro-sim: cannot write %s\n", pkg_out.c_str()), 1;
    const int32_t id = kavro_sim::calib_param_id(fc.chip_info[1], fc.chip_info[2], fc.serial[0]);
    std::printf("%s: %zu bytes, %zu DRNU blocks of %d references (camera file name %s)\n", out.c_str(),
                file.size(), o.mod_freqs.size(), o.num_dist, kavro_sim::calib_param_file_name(id).c_str());
    if (!pkg_out.empty())
        std::printf("%s: %zu bytes (%s)\n", pkg_out.c_str(), pkg.size(), zip ? "zipped" : "raw");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && !std::strcmp(argv[1], "scenes"))
        return cmd_scenes();
    if (argc >= 2 && !std::strcmp(argv[1], "record"))
        return cmd_record(argc - 2, argv + 2);
    if (argc >= 2 && !std::strcmp(argv[1], "calib"))
        return cmd_calib(argc - 2, argv + 2);
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        usage(stdout);
        return 0;
    }
    usage(stderr);
    return 2;
}
