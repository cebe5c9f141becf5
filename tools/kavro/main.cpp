// kavro: command-line tool for the depth camera, built on the camera
// interface. See `kavro --help` and the README's section on the tool.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_names.h"
#include "exit_codes.h"
#include "frame_export.h"
#include "image_types.h"
#include "interrupt.h"
#include "kavro.h"
#include "kavro.hpp"
#include "kavro_ll.h"
#include "kavro_param.h"
#include "kavro_rec_info.h"
#include "progress.h"
#include "sim_camera.h"
#include "view.h"

namespace kavro_cli {
namespace {

struct global_opts {
    std::string replay;
    bool sim = false;
    std::string sim_fault;
    // The library's console log is off unless asked for: the tool reports
    // each failure once, itself, with the library's detail in its message
    // (fail_lib); the log file keeps every line.
    std::string log_level = "none";
    std::string cache_dir;
    int device = 0;
    bool yes = false;
};

// The viewer's --listen: an IPv4 or IPv6 address as written (the web server
// would read 999.1.1.1 as another address and listen there), or localhost.
CLI::Validator listen_address() {
    return CLI::Validator(
        [](std::string &s) -> std::string {
            if (s == "localhost") {
                s = "127.0.0.1";
                return {};
            }
            unsigned char buf[sizeof(in6_addr)];
            if (inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1) return {};
            return "not an IPv4 or IPv6 address: " + s;
        },
        "ADDRESS");
}

int fail(int code, const std::string &what) {
    fprintf(stderr, "kavro: %s\n", what.c_str());
    return code;
}

// The library's own words for a failure: the last error line it logged on
// this thread since the mark was taken (read back from the log file), or ""
// when it logged none.
std::string library_detail(const kavro::detail::log_mark &mark) {
    std::string d = mark.problem();
    // "[function] text": the function name means nothing to a user.
    if (d.size() > 2 && d[0] == '[') {
        const size_t close = d.find("] ");
        if (close != std::string::npos) d = d.substr(close + 2);
    }
    return d;
}

// A failure the library reported: the tool's message with the library's
// detail when it logged one.
int fail_lib(int code, const std::string &what, const kavro::detail::log_mark &mark) {
    const std::string d = library_detail(mark);
    return fail(code, d.empty() ? what : what + " (camera library: " + d + ")");
}

std::string default_cache_dir() {
    if (const char *x = std::getenv("XDG_CACHE_HOME"); x && *x) return std::string(x) + "/kavro/";
    if (const char *h = std::getenv("HOME"); h && *h) return std::string(h) + "/.cache/kavro/";
    return "./";
}

kavro_log_level_e log_level_of(const std::string &s) {
    static const std::pair<const char *, kavro_log_level_e> levels[] = {
        {"trace", LOG_LEVEL_TRACE}, {"debug", LOG_LEVEL_DEBUG}, {"info", LOG_LEVEL_INFO},
        {"warn", LOG_LEVEL_WARN},   {"error", LOG_LEVEL_ERROR}, {"none", LOG_LEVEL_NONE}};
    for (const auto &l : levels)
        if (s == l.first) return l.second;
    return LOG_LEVEL_ERROR;
}

// The library from kavro_init to kavro_uninit, with the simulated camera
// (when asked for) created before and removed after it.
class session {
public:
    // `needs_cache`: the command keeps files in the cache folder (the
    // calibration, filter choices); without it a cache folder that cannot be
    // made is no failure and the log goes to a temporary file.
    explicit session(const global_opts &g, bool needs_cache = true) : g_(g), needs_cache_(needs_cache) {}
    ~session() {
        if (dev_) kavro_dev_close(dev_);
        if (inited_) kavro_uninit();
        kavro::detail::log_path().clear();
        if (!temp_log_.empty()) std::remove(temp_log_.c_str());
        sim_.reset();
    }
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // Sets up the library; an exit code.
    int start() {
        if (g_.sim && !g_.replay.empty()) return fail(EXIT_USAGE, "--sim and --replay cannot be combined");
        std::string dir = g_.cache_dir.empty() ? default_cache_dir() : g_.cache_dir;
        if (dir.back() != '/') dir += '/';
        // The calibration file keeps its own name, folder included, in a
        // field of KAVRO_PARAM_FILENAME_MAX characters: a longer one leaves
        // the camera uncalibrated. A command that keeps nothing there
        // (convert) runs without it.
        const size_t longest = dir.size() + std::strlen("kavro_param_-2147483648.bin");
        const bool too_long = longest > KAVRO_PARAM_FILENAME_MAX;
        if (too_long && needs_cache_)
            return fail(EXIT_USAGE, "the cache folder " + dir + " is too long: calibration file names in it must fit in " +
                                        std::to_string(KAVRO_PARAM_FILENAME_MAX) + " characters; choose a shorter --cache-dir");
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec && needs_cache_) return fail(EXIT_FILE, "cannot create the cache folder " + dir + ": " + ec.message());
        std::string log = dir + "kavro.log";
        if (too_long || ec || access(dir.c_str(), W_OK) != 0) {
            // No log file in the cache folder: a private temporary one keeps
            // the library's messages for this run.
            std::string tmpl = (std::filesystem::temp_directory_path(ec) / "kavro-XXXXXX.log").string();
            const int fd = ec ? -1 : mkstemps(tmpl.data(), 4);
            if (fd >= 0) {
                ::close(fd);
                temp_log_ = log = tmpl;
            } else {
                log = "/dev/null";
            }
        }
        if (g_.sim) {
            sim_faults faults;
            std::string err;
            std::string list = g_.sim_fault;
            if (list.empty())
                if (const char *e = std::getenv("KAVRO_SIM_FAULT")) list = e;
            if (!sim_faults_parse(list, &faults, &err)) return fail(EXIT_USAGE, err);
            try {
                sim_ = std::make_unique<sim_camera>(faults, dir);
            } catch (const std::exception &e) {
                return fail(EXIT_NO_CAMERA, std::string("cannot start the camera simulator: ") + e.what());
            }
        }
        kavro_init(log.c_str());
        inited_ = true;
        kavro::detail::log_path() = log;  // where library_detail() reads the library's messages
        if (!too_long) kavro_path_cfg(dir.c_str());  // after kavro_init, which resets the folder
        log_levels();
        return EXIT_OK;
    }

    // The log levels of the command line (again after a firmware write,
    // which switches the library's logging off while the camera restarts).
    void log_levels() const {
        const kavro_log_level_e lv = log_level_of(g_.log_level);
        kavro_log_cfg(lv, std::min(lv, LOG_LEVEL_INFO), lv);
    }

    // Closes the camera and opens it again (after it restarted); an exit code.
    int reopen() {
        if (dev_) kavro_dev_close(dev_);
        dev_ = nullptr;
        return open();
    }

    // Opens the camera, the simulated camera or the recording; an exit code.
    int open() {
        if (!g_.replay.empty()) {
            if (access(g_.replay.c_str(), R_OK) != 0)
                return fail(EXIT_FILE, "cannot read the recording " + g_.replay);
            dev_ = kavro_dev_open_replay(g_.replay.c_str());
            if (!dev_) return fail(EXIT_NO_CAMERA, "cannot open the recording " + g_.replay + " (not a raw recording?)");
            replay_ = true;
            return EXIT_OK;
        }
        kavro_dev_t list[16];
        const int n = kavro_dev_list(list, 16);
        if (n <= 0) return no_camera();
        if (g_.device < 0 || g_.device >= n)
            return fail(EXIT_NO_CAMERA, "there is no camera " + std::to_string(g_.device) + " (" + std::to_string(n) +
                                            " found; see `kavro list`)");
        own_ = list[g_.device];
        dev_ = kavro_dev_open(&own_);
        if (!dev_)
            return fail(EXIT_NO_CAMERA,
                        "cannot open the camera: it may be in use by another program, or you may lack the "
                        "permission (install the udev rule, see README)");
        if (sim_ && !sim_->restore(dev_)) return fail(EXIT_FAILED, "the simulated camera did not take its saved settings");
        return EXIT_OK;
    }

    static int no_camera() {
        return fail(EXIT_NO_CAMERA,
                    "no camera found: check the USB cable; without root access install the udev rule "
                    "(see README, non-root access)");
    }

    kavro_dev_t *dev() const { return dev_; }
    bool replay() const { return replay_; }
    sim_camera *sim() const { return sim_.get(); }
    void forget_device() { dev_ = nullptr; }

private:
    const global_opts &g_;
    bool needs_cache_ = true;
    std::string temp_log_;
    std::unique_ptr<sim_camera> sim_;
    bool inited_ = false;
    bool replay_ = false;
    kavro_dev_t own_{};
    kavro_dev_t *dev_ = nullptr;
};

const char *speed_name(uint8_t s) {
    switch (s) {
    case 1: return "low";
    case 2: return "full";
    case 3: return "high";
    case 4: return "super";
    default: return "unknown";
    }
}

int cmd_list(const global_opts &g) {
    session s(g);
    if (int rc = s.start()) return rc;
    if (!g.replay.empty()) {
        if (int rc = s.open()) return rc;
        printf("%-3s %-8s %s\n", "#", "kind", "source");
        printf("%-3d %-8s %s (%s)\n", 0, "file", g.replay.c_str(), s.dev()->product);
        return EXIT_OK;
    }
    // Each camera is asked for its identity; one that cannot be asked (in
    // use by another program) shows "-".
    kavro_dev_t list[16];
    const int n = kavro_dev_list_ident(list, 16);
    if (n <= 0) return session::no_camera();
    printf("%-3s %-4s %-5s %-8s %-6s %-26s %s\n", "#", "bus", "port", "address", "speed", "serial", "product");
    for (int i = 0; i < n; ++i) {
        const auto &u = list[i].if_info.info.usb;
        char serial[KAVRO_SERIAL_TEXT_SIZE] = "-";
        if (list[i].product[0]) kavro_dev_serial_text(&list[i], serial, sizeof serial);
        printf("%-3d %-4u %-5u %-8u %-6s %-26s %s\n", i, u.usb_bus_num, u.usb_port_num, u.usb_dev_addr,
               speed_name(u.usb_speed), serial, list[i].product[0] ? list[i].product : "-");
    }
    return EXIT_OK;
}

std::optional<kavro_param_item_t> param_get(kavro_dev_t *dev, const param_desc &d) {
    kavro_param_item_t item{};
    item.param_id = d.id;
    item.param_val_len = static_cast<uint8_t>(d.len);
    if (!kavro_param_batch_get(dev, &item, 1)) return std::nullopt;
    return item;
}

// Name of the calibration a frame was decoded with (its description's flags).
const char *calib_kind_name(uint32_t flags) {
    switch (flags & KAVRO_FRAME_CALIB_MASK) {
    case KAVRO_FRAME_CALIB_PIXEL: return "per-pixel";
    case KAVRO_FRAME_CALIB_SIMPLE: return "simple";
    default: return "none";
    }
}

// The calibration line of info and capture, from a frame's description. A
// camera running without its calibration is also said on stderr: distances
// are then only roughly right.
void print_calibration(const kavro_frame_info_t &info, bool camera) {
    printf("calibration: %s%s\n", calib_kind_name(info.flags),
           (info.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED) ? "" : " (no temperature reported: not compensated)");
    if (camera && (info.flags & KAVRO_FRAME_CALIB_MASK) == KAVRO_FRAME_CALIB_NONE)
        fprintf(stderr, "kavro: warning: the camera's calibration is not in use (`kavro calib fetch` names the cause)\n");
}

// The lens the device's driver decodes with, at the recording's frame size
// (a replay) or the camera's largest one.
void print_intrinsics(kavro_dev_t *dev, const std::string &recording) {
    int w = 0, h = 0, frames = 0;
    if (!recording.empty()) {
        recording_geometry(recording, &w, &h, &frames);
    } else if (const auto cap = param_get(dev, *param_find("capability"))) {
        w = cap->param_val.info_capability.max_frame_width;
        h = cap->param_val.info_capability.max_frame_height;
    }
    kavro_intrinsics_t in{};
    if (w <= 0 || h <= 0 || !kavro_dev_get_intrinsics(dev, w, h, &in)) {
        printf("intrinsics:  not available\n");
        return;
    }
    printf("intrinsics:  %dx%d, fx %.6g, fy %.6g, cx %.6g, cy %.6g, k1 %.6g, k2 %.6g, p1 %.6g, p2 %.6g, k3 %.6g%s\n",
           in.img_w, in.img_h, in.fx, in.fy, in.cx, in.cy, in.dist[0], in.dist[1], in.dist[2], in.dist[3], in.dist[4],
           in.undistorted ? " (undistorted view)" : "");
}

// What the side file of a recording says about the calibration its frames
// were decoded with, and whether the replay can use the copy beside it.
void print_recorded_calibration(const std::string &recording) {
    const std::string info_path = _kavro_rec_info_path(recording);
    kavro_rec_info_t info;
    std::string why;
    if (access(info_path.c_str(), F_OK) != 0) {
        printf("side file:   none (an older recording: decoded with the default lens, without calibration)\n");
        return;
    }
    if (!_kavro_rec_info_read(info_path, &info, &why)) {
        printf("side file:   %s not usable (%s)\n", info_path.c_str(), why.empty() ? std::strerror(errno) : why.c_str());
        return;
    }
    printf("side file:   %s (%zu frame records, %g fps)\n", info_path.c_str(), info.frames.size(), info.frame_rate);
    if (info.calib_kind == "none" || info.calib_file == "-") {
        printf("calib file:  none (the frames were recorded without calibration)\n");
        return;
    }
    const std::string copy = _kavro_rec_dir_of(recording) + info.calib_file;
    uint64_t bytes = 0;
    uint32_t crc = 0;
    const int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && _kavro_rec_fd_crc(fd, &bytes, &crc);
    if (fd >= 0) ::close(fd);
    const char *state = !read                                          ? "missing: the replay decodes without it"
                        : bytes != info.calib_bytes || crc != info.calib_crc ? "changed: the replay decodes without it"
                                                                              : "matches";
    printf("calib file:  %s, %s (%llu bytes, crc32 %08x, %s)\n", info.calib_kind.c_str(), copy.c_str(),
           static_cast<unsigned long long>(info.calib_bytes), info.calib_crc, state);
}

int cmd_info(const global_opts &g) {
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    kavro_dev_t *dev = s.dev();
    uint32_t serial[3];
    std::memcpy(serial, dev->serial, sizeof serial);
    printf("source:      %s\n", s.replay() ? ("recording " + g.replay).c_str() : "USB camera");
    printf("vendor:      %.32s\n", dev->vendor);
    printf("product:     %.32s\n", dev->product);
    printf("serial:      %08X-%08X-%08X\n", serial[0], serial[1], serial[2]);
    printf("versions:    hw %u, sw %u, sw2 %u, hw2 %u\n", dev->version.ver.hw_ver, dev->version.ver.sw_ver,
           dev->version.ver.sw2_ver, dev->version.ver.hw2_ver);
    for (const char *name : {"capability", "sensor", "calib", "intg_time"}) {
        const param_desc *d = param_find(name);
        const auto item = param_get(dev, *d);
        const std::string text = item ? param_format(*d, *item) : std::string(name) + ": not available";
        const std::string label = text.substr(0, text.find(':') + 1);
        printf("%-12s %s\n", label.c_str(), text.substr(text.find(':') + 2).c_str());
    }
    print_intrinsics(dev, s.replay() ? g.replay : std::string());
    char name[256];
    if (s.replay()) {
        print_recorded_calibration(g.replay);
    } else if (kavro_get_param_absolute_name(dev, name, sizeof name)) {
        struct stat st {};
        if (stat(name, &st) == 0) {
            kavro_param_handle_t h{};
            const bool valid = kavro_param_open_file(&h, name) && kavro_param_is_valid(&h);
            kavro_param_close(&h);
            printf("cache file:  %s (%lld bytes, %s)\n", name, static_cast<long long>(st.st_size),
                   valid ? "valid" : "invalid");
        } else {
            printf("cache file:  %s (missing; run `kavro calib fetch`)\n", name);
        }
    } else {
        printf("cache file:  not available\n");
    }
    // Which calibration decodes: the driver says it in the description of
    // every frame, so one frame is taken.
    std::optional<kavro_frame_info_t> first;
    std::string err;
    const int rc = capture_frames(dev, 1, 1, s.replay(), "calibration check",
                                  [&](const raw_frame &f, std::string *) {
                                      if (!first) first = f.info;
                                      return EXIT_OK;
                                  },
                                  &err);
    if (rc == EXIT_OK && first) {
        print_calibration(*first, !s.replay());
    } else {
        printf("calibration: unknown (no frame: %s)\n", err.empty() ? "none arrived" : err.c_str());
    }
    return EXIT_OK;
}

struct capture_opts {
    int frames = 1;
    std::string out_dir;
    float near_m = 0.5f, far_m = 6.0f;  // the simulated room's back wall is 5.1-5.5 m away
    std::vector<std::string> filters;
};

// ---- filter choices kept per camera ------------------------------------------
//
// `kavro filter enable/disable` keeps the choice in the cache folder, in
// "filters_<serial>.txt" (the camera's serial as `kavro info` shows it; a
// recording without identity has serial 00000000-00000000-00000000). One line
// per filter: "NAME on [VALUE]" or "NAME off"; lines starting with '#' are
// comments. capture and convert (also with --replay) apply the file of their
// camera before decoding, then the command's own --filter options.

struct stored_filter {
    std::string name;
    bool on = true;
    std::string value;
};

std::string serial_text(const kavro_dev_t *dev) {
    uint32_t serial[3];
    std::memcpy(serial, dev->serial, sizeof serial);
    char buf[40];
    snprintf(buf, sizeof buf, "%08X-%08X-%08X", serial[0], serial[1], serial[2]);
    return buf;
}

std::string filter_store_path(const kavro_dev_t *dev) {
    return std::string(kavro_path_get()) + "filters_" + serial_text(dev) + ".txt";
}

// The stored choices; empty when there is no file. False on a line that is
// not understood (the file was edited by hand), with the line in err.
bool filters_load(const std::string &path, std::vector<stored_filter> *out, std::string *err) {
    out->clear();
    std::ifstream f(path);
    if (!f) return true;
    int lineno = 0;
    for (std::string line; std::getline(f, line);) {
        ++lineno;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        stored_filter sf;
        std::string state;
        ls >> sf.name >> state;
        std::getline(ls >> std::ws, sf.value);
        kavro_filter_id_e fid{};
        kavro_filter_args_u arg{};
        if (!filter_parse(sf.name, &fid) || (state != "on" && state != "off") ||
            (state == "on" && !filter_arg(fid, sf.value, &arg)) || (state == "off" && !sf.value.empty())) {
            *err = path + " line " + std::to_string(lineno) + ": '" + line + "' is not a filter setting";
            return false;
        }
        sf.on = state == "on";
        out->push_back(sf);
    }
    return true;
}

// Writes the choices (a temporary file renamed over the old one); an exit code.
int filters_save(const std::string &path, const kavro_dev_t *dev, const std::vector<stored_filter> &fs,
                 std::string *err) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << "# kavro filter settings of camera " << serial_text(dev)
          << ", applied by capture and convert before decoding\n";
        for (const stored_filter &sf : fs)
            f << sf.name << (sf.on ? " on" : " off") << (sf.on && !sf.value.empty() ? " " + sf.value : "") << "\n";
        f.flush();
        if (!f) {
            std::remove(tmp.c_str());
            *err = "cannot write " + tmp + ": " + std::strerror(errno);
            return EXIT_FILE;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        *err = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return EXIT_FILE;
    }
    return EXIT_OK;
}

std::string filter_label(const std::string &name, bool on, const std::string &value) {
    return on ? (value.empty() ? name : name + "=" + value) : name + " off";
}

// Switches the filters given as NAME or NAME=VALUE on; an exit code.
int apply_filters(kavro_dev_t *dev, const std::vector<std::string> &filters) {
    for (const std::string &f : filters) {
        const auto eq = f.find('=');
        const std::string name = f.substr(0, eq);
        kavro_filter_id_e fid{};
        if (!filter_parse(name, &fid)) return fail(EXIT_USAGE, "unknown filter '" + name + "' (known: " + filter_names() + ")");
        kavro_filter_args_u arg{};
        if (!filter_arg(fid, eq == std::string::npos ? "" : f.substr(eq + 1), &arg))
            return fail(EXIT_USAGE, "bad filter value in '" + f + "'");
        const int r = kavro_filter_enable(dev, fid, &arg, sizeof arg);
        if (r != 1) return fail(EXIT_FAILED, "the camera's driver refused filter '" + f + "'");
    }
    return EXIT_OK;
}

// The stored filter choices of the device's camera, then the command's own;
// prints what is in force. An exit code.
int apply_all_filters(kavro_dev_t *dev, const std::vector<std::string> &cmdline) {
    const std::string path = filter_store_path(dev);
    std::vector<stored_filter> stored;
    std::string err;
    if (!filters_load(path, &stored, &err)) return fail(EXIT_FILE, err);
    std::vector<std::string> active;
    for (const stored_filter &sf : stored) {
        kavro_filter_id_e fid{};
        kavro_filter_args_u arg{};
        filter_parse(sf.name, &fid);
        int r;
        if (sf.on) {
            filter_arg(fid, sf.value, &arg);
            r = kavro_filter_enable(dev, fid, &arg, sizeof arg);
        } else {
            r = kavro_filter_disable(dev, fid);
        }
        if (r != 1) {
            fprintf(stderr, "kavro: warning: the camera's driver refused the stored filter setting '%s' (%s)\n",
                    filter_label(sf.name, sf.on, sf.value).c_str(), path.c_str());
            continue;
        }
        active.push_back(filter_label(sf.name, sf.on, sf.value));
    }
    if (int rc = apply_filters(dev, cmdline)) return rc;
    for (const std::string &f : cmdline) active.push_back(f + " (--filter)");
    std::string line;
    for (const std::string &a : active) line += (line.empty() ? "" : ", ") + a;
    printf("filters: %s\n", line.empty() ? "driver defaults" : line.c_str());
    return EXIT_OK;
}

int run_export(kavro_dev_t *dev, bool replay, const capture_opts &o, int expected, const char *what,
               const std::string &recording = {}) {
    if (int rc = apply_all_filters(dev, o.filters)) return rc;
    export_opts eo;
    eo.dir = o.out_dir;
    eo.near_m = o.near_m;
    eo.far_m = o.far_m;
    frame_exporter ex(dev, eo);
    std::string err;
    if (int rc = ex.open(&err)) return fail(rc, err);
    std::optional<kavro_frame_info_t> first;
    const int rc = capture_frames(dev, o.frames, expected, replay, what,
                                  [&](const raw_frame &f, std::string *e) {
                                      if (!first) first = f.info;
                                      return ex.add(f, e);
                                  },
                                  &err);
    if (rc) return fail(rc, err);
    printf("%d frames written to %s\n", ex.frames(), o.out_dir.c_str());
    if (first) print_calibration(*first, !replay);
    // A recording that ran out before the frames asked for (every frame for
    // convert) because it is cut short: the whole frames are written, and
    // the exit code says the recording was not read completely.
    if (!recording.empty() && (o.frames <= 0 || ex.frames() < o.frames)) {
        int whole = 0;
        std::string why;
        if (const int missing = recording_missing_frames(recording, &whole, &why))
            return fail(EXIT_FILE, "the recording " + recording + " is truncated (" + why + "): " +
                                       std::to_string(ex.frames()) + " frames decoded, " + std::to_string(missing) +
                                       " frames missing");
    }
    return EXIT_OK;
}

int cmd_capture(const global_opts &g, const capture_opts &o) {
    interrupt_enable_stop();
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    return run_export(s.dev(), s.replay(), o, o.frames, "capture", s.replay() ? g.replay : std::string());
}

int cmd_convert(const global_opts &g, const std::string &file, capture_opts o) {
    interrupt_enable_stop();
    global_opts gc = g;
    gc.sim = false;  // the recording is the source
    gc.replay = file;
    const int total = recording_frame_count(file);
    if (total <= 0) return fail(EXIT_FILE, "cannot read " + file + " as a raw recording");
    session s(gc, false);  // a conversion keeps nothing in the cache folder
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    o.frames = 0;  // every frame of the recording
    return run_export(s.dev(), true, o, total, "convert", file);
}

int cmd_record(const global_opts &g, int frames, const std::string &file) {
    interrupt_enable_stop();
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    recording_writer w(file, s.dev());
    std::string err;
    if (int rc = w.open(&err)) return fail(rc, err);
    int written = 0;
    int rc = capture_frames(s.dev(), frames, frames, s.replay(), "recording",
                            [&](const raw_frame &f, std::string *e) {
                                const int r = w.add(f, e);
                                if (r == EXIT_OK) ++written;
                                return r;
                            },
                            &err);
    // Stopped by a signal: the frames taken so far make a whole recording,
    // finished with its side file like a complete one.
    const bool stopped = rc != EXIT_OK && rc == interrupt_exit_code();
    if (rc == EXIT_OK || stopped) {
        std::string close_err;
        if (int crc = w.close(&close_err)) return fail(crc, close_err);
    }
    if (stopped) {
        fprintf(stderr, "kavro: %s; %d frames recorded to %s\n", err.c_str(), written, file.c_str());
        return rc;
    }
    if (rc) return fail(rc, err);
    printf("%d frames recorded to %s\n", frames, file.c_str());
    return EXIT_OK;
}

int cmd_params_get(const global_opts &g, const std::vector<std::string> &names) {
    std::vector<const param_desc *> wanted;
    for (const auto &n : names) {
        const param_desc *d = param_find(n);
        if (!d) return fail(EXIT_USAGE, "unknown parameter '" + n + "' (see `kavro params --help`)");
        wanted.push_back(d);
    }
    if (wanted.empty())
        for (const auto &d : param_table()) wanted.push_back(&d);
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    int status = EXIT_OK;
    for (const param_desc *d : wanted) {
        const auto item = param_get(s.dev(), *d);
        if (item) {
            printf("%s\n", param_format(*d, *item).c_str());
        } else {
            fprintf(stderr, "kavro: cannot read parameter %s\n", d->name);
            status = EXIT_FAILED;
        }
    }
    return status;
}

int cmd_params_set(const global_opts &g, const std::vector<std::string> &assignments) {
    std::vector<kavro_param_item_t> items;
    for (const auto &a : assignments) {
        const auto eq = a.find('=');
        const param_desc *d = eq == std::string::npos ? nullptr : param_find(a.substr(0, eq));
        if (!d) return fail(EXIT_USAGE, "expected NAME=VALUE with a known parameter, got '" + a + "'");
        char *end = nullptr;
        const char *v = a.c_str() + eq + 1;
        const unsigned long long value = std::strtoull(v, &end, 0);
        kavro_param_item_t item{};
        if (!*v || *end || *v == '-' || !param_fill(*d, value, &item))
            return fail(EXIT_USAGE, "parameter " + std::string(d->name) +
                                        (d->settable ? " does not take the value '" + std::string(v) + "'"
                                                     : " cannot be set"));
        items.push_back(item);
    }
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    // A replay takes parameter writes and ignores them: said, not pretended.
    if (s.replay())
        return fail(EXIT_USAGE, "a recording's parameters cannot be changed: params set needs a camera (or --sim)");
    const kavro::detail::log_mark mark;
    if (!kavro_param_batch_set(s.dev(), items.data(), static_cast<int>(items.size())))
        return fail_lib(EXIT_FAILED, "the camera refused the parameters; nothing was changed", mark);
    if (s.sim()) s.sim()->remember_params(items);
    return EXIT_OK;
}

bool parse_u32(const std::string &s, uint32_t *out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end || s[0] == '-' || errno || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int cmd_regs(const global_opts &g, bool write, const std::string &target, const std::string &addr_s,
             const std::vector<std::string> &values, int count) {
    kavro_dev_reg_e t{};
    if (!reg_target_parse(target, &t)) return fail(EXIT_USAGE, "unknown register target '" + target + "' (cam0, cam1, ir0, ir1, mcu)");
    uint32_t addr = 0;
    if (!parse_u32(addr_s, &addr)) return fail(EXIT_USAGE, "bad register address '" + addr_s + "'");
    std::vector<uint32_t> vals;
    if (write) {
        for (const auto &v : values) {
            uint32_t x = 0;
            if (!parse_u32(v, &x)) return fail(EXIT_USAGE, "bad register value '" + v + "'");
            vals.push_back(x);
        }
        if (vals.empty() || vals.size() > 0xFFFF) return fail(EXIT_USAGE, "give 1 to 65535 values to write");
    } else {
        if (count < 1 || count > 0xFFFF) return fail(EXIT_USAGE, "the count must be 1 ... 65535");
        vals.resize(static_cast<size_t>(count));
    }
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    const auto n = static_cast<uint16_t>(vals.size());
    const kavro::detail::log_mark mark;
    if (write) {
        if (s.replay())
            return fail(EXIT_USAGE, "a recording has no registers to write: regs write needs a camera (or --sim)");
        if (!kavro_reg_batch_write(s.dev(), t, addr, vals.data(), n))
            return fail_lib(EXIT_FAILED, "the camera did not take the register write", mark);
        if (s.sim()) s.sim()->remember_regs(t, addr, vals);
        return EXIT_OK;
    }
    if (!kavro_reg_batch_read(s.dev(), t, addr, vals.data(), n))
        return fail_lib(EXIT_FAILED, "the camera did not answer the register read", mark);
    for (uint16_t i = 0; i < n; ++i) printf("0x%08X: 0x%08X\n", addr + i, vals[i]);
    return EXIT_OK;
}

// filter enable / disable: checked with the camera's driver, then kept in the
// camera's filter file for the commands that decode.
int cmd_filter(const global_opts &g, bool enable, const std::string &name, const std::string &value) {
    kavro_filter_id_e fid{};
    if (!filter_parse(name, &fid)) return fail(EXIT_USAGE, "unknown filter '" + name + "' (known: " + filter_names() + ")");
    kavro_filter_args_u arg{};
    if (enable && !filter_arg(fid, value, &arg)) return fail(EXIT_USAGE, "bad value '" + value + "' for filter " + name);
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    int r = 0;
    if (enable) {
        r = kavro_filter_enable(s.dev(), fid, &arg, sizeof arg);
    } else {
        r = kavro_filter_disable(s.dev(), fid);
    }
    if (r < 0) return fail(EXIT_FAILED, "the device has no chip driver");
    if (r == 0) return fail(EXIT_FAILED, "the camera's driver refused filter '" + name + "'");
    const std::string path = filter_store_path(s.dev());
    std::vector<stored_filter> stored;
    std::string err;
    if (!filters_load(path, &stored, &err)) return fail(EXIT_FILE, err);
    std::erase_if(stored, [&](const stored_filter &sf) { return sf.name == name; });
    stored.push_back({name, enable, enable ? value : std::string()});
    if (int rc = filters_save(path, s.dev(), stored, &err)) return fail(rc, err);
    printf("filter %s %s (kept in %s for the commands that decode)\n", name.c_str(), enable ? "enabled" : "disabled",
           path.c_str());
    return EXIT_OK;
}

// Starts the library, opens the camera of a filter command and reads the
// choices stored for it; an exit code.
int open_stored_filters(session &s, std::string *path, std::vector<stored_filter> *stored) {
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    *path = filter_store_path(s.dev());
    std::string err;
    if (!filters_load(*path, stored, &err)) return fail(EXIT_FILE, err);
    return EXIT_OK;
}

// filter reset [NAME]: forget the stored choice of one filter, or all.
int cmd_filter_reset(const global_opts &g, const std::string &name) {
    kavro_filter_id_e fid{};
    if (!name.empty() && !filter_parse(name, &fid))
        return fail(EXIT_USAGE, "unknown filter '" + name + "' (known: " + filter_names() + ")");
    session s(g);
    std::string path;
    std::vector<stored_filter> stored;
    if (int rc = open_stored_filters(s, &path, &stored)) return rc;
    std::string err;
    if (name.empty()) {
        stored.clear();
    } else {
        std::erase_if(stored, [&](const stored_filter &sf) { return sf.name == name; });
    }
    if (int rc = filters_save(path, s.dev(), stored, &err)) return fail(rc, err);
    printf("filter %s back to the driver's default\n", name.empty() ? "settings" : name.c_str());
    return EXIT_OK;
}

// filter list: the stored choices of the camera.
int cmd_filter_list(const global_opts &g) {
    session s(g);
    std::string path;
    std::vector<stored_filter> stored;
    if (int rc = open_stored_filters(s, &path, &stored)) return rc;
    if (stored.empty()) printf("no stored filter settings (driver defaults)\n");
    for (const stored_filter &sf : stored) printf("%s\n", filter_label(sf.name, sf.on, sf.value).c_str());
    return EXIT_OK;
}

int cmd_calib_fetch(const global_opts &g) {
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    if (s.replay()) return fail(EXIT_USAGE, "a recording holds no calibration package");
    kavro_dev_t *dev = s.dev();
    const auto info = param_get(dev, *param_find("calib"));
    if (!info) return fail(EXIT_FAILED, "cannot read the camera's calibration information");
    if (!info->param_val.cinfo.valid) return fail(EXIT_FAILED, "the camera holds no calibration package");
    char name[256];
    if (!kavro_get_param_absolute_name(dev, name, sizeof name))
        return fail(EXIT_FAILED, "cannot name the calibration file of this camera");
    // The package arrives into "calibration.bin" in the cache folder: its
    // size is the progress.
    const std::string part = std::string(kavro_path_get()) + "calibration.bin";
    const uint32_t total = info->param_val.cinfo.fsize;
    std::atomic<bool> done{false}, started{false};
    std::thread watcher([&] {
        progress_meter meter("calibration download", "bytes");
        meter.update(0, total);
        while (!done.load()) {
            std::error_code ec;
            const auto sz = std::filesystem::file_size(part, ec);
            if (!ec) meter.update(sz, total);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // The package file is gone once it was unpacked: done is all of it.
        if (started.load()) meter.update(total, total);
        meter.finish(started.load());
    });
    char why[320] = {};
    const kavro_param_load_e r = kavro_param_load_from_dev_ex(dev, why, sizeof why);
    started = r == KAVRO_PARAM_LOAD_OK;
    done = true;
    watcher.join();
    switch (r) {
    case KAVRO_PARAM_LOAD_OK: break;
    case KAVRO_PARAM_LOAD_STORE:
        return fail(EXIT_FILE, std::string("cannot store the calibration in the cache folder ") + kavro_path_get() +
                                   ": " + why);
    case KAVRO_PARAM_LOAD_NO_PACKAGE:
        return fail(EXIT_FAILED, "the camera did not send a usable calibration package (see the log)");
    default: return fail(EXIT_FAILED, std::string("calibration download failed: ") + why);
    }
    printf("calibration saved to %s\n", name);
    return EXIT_OK;
}

int xfer_exit(int r, const std::string &what, const kavro::detail::log_mark &mark) {
    switch (r) {
    case KAVRO_XFER_DONE: return EXIT_OK;
    case KAVRO_XFER_REFUSED:
        // The library's line is the raw acknowledgement: nothing to add.
        return fail(EXIT_REFUSED, "the camera refused the " + what + "; nothing was changed (check the type and size)");
    case KAVRO_XFER_FAILED: return fail_lib(EXIT_FAILED, "the " + what + " failed", mark);
    default:
        return fail(EXIT_INTERRUPTED, "the " + what + " broke off (" + std::to_string(r) +
                                          "): the image on the camera is incomplete; reconnect and run it again");
    }
}

struct xfer_ctx {
    progress_meter *meter;
    sim_camera *sim;
};

void on_xfer_progress(uint32_t done, uint32_t total, void *arg) {
    auto *c = static_cast<xfer_ctx *>(arg);
    c->meter->update(done, total);
    if (c->sim) c->sim->on_transfer_progress(done, total);
    if (done < total) interrupt_test_hold();
}

// An output file the read can create (or overwrite); checked before the
// camera is asked, so that a folder without write access is named with the
// file code. A file made for the check is removed again.
int check_output_writable(const std::string &file) {
    const bool existed = access(file.c_str(), F_OK) == 0;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(EXIT_FILE, "cannot write " + file + ": " + std::strerror(errno));
    ::close(fd);
    if (!existed) std::remove(file.c_str());
    return EXIT_OK;
}

// What a finished write leaves to do with the still open session (the
// firmware upgrade reads the camera's identity again).
using after_write_f = std::function<int(session &)>;

int cmd_data(const global_opts &g, bool write, int type, const std::string &file, int version, uint32_t addr,
             const char *what, const after_write_f &after = {}) {
    if (type < 0 || type > 255) return fail(EXIT_USAGE, "the image type must be 0 ... 255 (see --help)");
    if (version < 0 || version > 0xFFFF) return fail(EXIT_USAGE, "the version must be 0 ... 65535");
    if (write) {
        // Everything the host can check is checked before the camera is
        // asked: it erases the old image as soon as it takes the new one.
        std::string err;
        bool unreadable = false;
        if (!image_file_check(type, file, &err, &unreadable)) return fail(unreadable ? EXIT_FILE : EXIT_REFUSED, err);
    } else if (int rc = check_output_writable(file)) {
        return rc;
    }
    interrupt_enable_stop();
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    if (s.replay()) return fail(EXIT_USAGE, "a recording holds no data images");
    if (interrupted()) return fail(interrupt_exit_code(), std::string("interrupted: the ") + what + " did not start");
    progress_meter meter(what, "bytes");
    xfer_ctx ctx{&meter, s.sim()};
    // Ctrl-C stops between packets. The finishing wait of a written image
    // (the camera restarts or stores it) is not cut short: the image is whole
    // by then and the camera must not be disturbed.
    auto on_cancel = [](void *) { return interrupted(); };
    const kavro::detail::log_mark mark;
    int r = 0;
    if (write) {
        if (s.sim()) s.sim()->flash_write_begins(type);
        r = kavro_dev_data_write(s.dev(), static_cast<uint8_t>(type), static_cast<uint16_t>(version), addr,
                                 file.c_str(), on_xfer_progress, on_cancel, &ctx);
        s.log_levels();  // the finishing step of a firmware image switches logging off
    } else {
        r = kavro_dev_data_read(s.dev(), static_cast<uint8_t>(type), file.c_str(), on_xfer_progress, on_cancel, &ctx);
    }
    meter.finish(r == KAVRO_XFER_DONE);
    if (r == KAVRO_XFER_STOPPED) {
        // A write stopped after the camera erased its image leaves it
        // incomplete: the code of a broken-off transfer says so. A read
        // leaves the camera as it was and no output file.
        if (write)
            return fail(EXIT_INTERRUPTED, std::string("interrupted: the ") + what +
                                              " was stopped; the image on the camera is incomplete, run it again");
        return fail(interrupt_exit_code(), std::string("interrupted: the ") + what + " was stopped; " + file +
                                               " was not written");
    }
    if (int rc = xfer_exit(r, what, mark)) return rc;
    printf("%s of image type %d %s %s done\n", what, type, write ? "from" : "to", file.c_str());
    return after ? after(s) : EXIT_OK;
}

// The camera's identity as info shows it.
void print_versions(const char *label, const kavro_dev_t *dev) {
    printf("%-15s hw %u, sw %u, sw2 %u, hw2 %u\n", label, dev->version.ver.hw_ver, dev->version.ver.sw_ver,
           dev->version.ver.sw2_ver, dev->version.ver.hw2_ver);
}

// After a write of an image the camera restarts into (types 0 and 1) the
// camera is opened again: the versions it reports now are printed beside the
// ones of before.
after_write_f reread_identity(int type) {
    if (type != 0 && type != 1) return {};
    return [](session &s) -> int {
        print_versions("camera before:", s.dev());
        if (int rc = s.reopen()) return rc;
        print_versions("camera now:", s.dev());
        return EXIT_OK;
    };
}

int cmd_firmware(const global_opts &g, const std::string &file, int type, int version, bool yes) {
    if (type < 0 || type > 255) return fail(EXIT_USAGE, "the image type must be 0 ... 255 (see --help)");
    std::string err;
    bool unreadable = false;
    if (!image_file_check(type, file, &err, &unreadable)) return fail(unreadable ? EXIT_FILE : EXIT_REFUSED, err);
    fprintf(stderr,
            "WARNING: do not unplug or power off the camera until the upgrade has finished;\n"
            "         an interrupted upgrade can leave the camera unusable.\n");
    if (!yes) {
        // The answer is one line on standard input, typed or piped.
        fprintf(stderr, "Write %s to the camera as firmware type %d? [y/N] ", file.c_str(), type);
        fflush(stderr);
        std::string answer;
        const bool got = static_cast<bool>(std::getline(std::cin, answer));
        if (!isatty(STDIN_FILENO)) fprintf(stderr, "%s\n", got ? answer.c_str() : "");
        if (!got) return fail(EXIT_NOT_CONFIRMED, "not upgrading without confirmation: answer 'y' or pass --yes");
        if (answer != "y" && answer != "Y" && answer != "yes")
            return fail(EXIT_NOT_CONFIRMED, "upgrade not confirmed; nothing was changed");
    }
    return cmd_data(g, true, type, file, version, 0, "firmware upload", reread_identity(type));
}

int cmd_view(const global_opts &g, const view_opts &o) {
    interrupt_enable_stop();
    session s(g);
    if (int rc = s.start()) return rc;
    if (int rc = s.open()) return rc;
    return run_view(s.dev(), s.replay(), o);
}

}  // namespace
}  // namespace kavro_cli

int main(int argc, char **argv) {
    using namespace kavro_cli;
    // The simulator's USB bus needs umockdev's preload before anything else.
    // The restart replaces this program in the same process (no child is
    // left behind, and a signal sent to the process reaches the one that
    // owns the camera).
    if (std::any_of(argv + 1, argv + argc, [](const char *a) { return std::strcmp(a, "--sim") == 0; })) {
        std::string err;
        if (!sim_reexec_with_preload(argv, &err)) return fail(EXIT_NO_CAMERA, err);
    }
    interrupt_setup();  // before the library or the simulator starts a thread

    CLI::App app{"kavro: list, inspect, configure and capture from depth cameras"};
    app.footer(std::string("\n") + k_exit_code_help);
    app.require_subcommand(1);
    app.fallthrough();
    global_opts g;
    app.add_option("--replay", g.replay, "Use a raw recording instead of a camera");
    app.add_flag("--sim", g.sim, "Use the camera simulator (a simulated USB camera) instead of a camera");
    app.add_option("--sim-fault", g.sim_fault, "")->group("");
    app.add_option("--log-level", g.log_level,
                   "Console log level of the library (default none: the tool reports failures itself, with the "
                   "library's detail; the log file in the cache folder keeps everything)")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "none"}));
    app.add_option("--cache-dir", g.cache_dir,
                   "Folder for the calibration cache and the log (default ~/.cache/kavro)");
    app.add_option("-d,--device", g.device, "Index of the camera in `kavro list` (default 0)");
    app.add_flag("-y,--yes", g.yes, "Do not ask for confirmation (firmware upgrade)");
    // The tool's version and the library it runs with (the same build, unless
    // another libkavro was put in its place).
    app.set_version_flag("--version",
                         std::string("kavro ") + std::to_string(KAVRO_VERSION_MAJOR) + "." +
                             std::to_string(KAVRO_VERSION_MINOR) + "." + std::to_string(KAVRO_VERSION_PATCH) +
                             " (libkavro " + kavro_version() + ")",
                         "Print the version and exit");

    int rc = EXIT_OK;
    app.add_subcommand("list", "List the cameras on the USB bus")->callback([&] { rc = cmd_list(g); });
    app.add_subcommand("info", "Show identity, versions, capability, sensor and calibration state")
        ->callback([&] { rc = cmd_info(g); });

    capture_opts co;
    auto *capture = app.add_subcommand("capture", "Capture and decode frames into PNG, PLY and frame files");
    capture->add_option("-n,--frames", co.frames, "Frames to capture")->check(CLI::Range(1, 100000));
    capture->add_option("-o,--output", co.out_dir, "Output folder")->required();
    capture->add_option("--near", co.near_m, "Distance (m) shown red in the depth PNG");
    capture->add_option("--far", co.far_m, "Distance (m) shown blue in the depth PNG");
    capture->add_option("--filter", co.filters, "Filter NAME or NAME=VALUE to switch on before decoding");
    capture->callback([&] { rc = cmd_capture(g, co); });

    int rec_frames = 1;
    std::string rec_file;
    auto *record = app.add_subcommand(
        "record", "Record raw frames to FILE, with the side file FILE.info and the calibration copy FILE.calib\n"
                  "(replay it with --replay or convert)");
    record->add_option("-n,--frames", rec_frames, "Frames to record")->check(CLI::Range(1, 1000000));
    record->add_option("FILE", rec_file, "Output recording")->required();
    record->callback([&] { rc = cmd_record(g, rec_frames, rec_file); });

    std::string conv_file;
    capture_opts cvo;
    auto *convert = app.add_subcommand("convert", "Decode every frame of a raw recording into PNG, PLY and frame files\n"
                                                       "(FILE is the source: --sim and --replay do not apply)");
    convert->add_option("FILE", conv_file, "Raw recording")->required();
    convert->add_option("-o,--output", cvo.out_dir, "Output folder")->required();
    convert->add_option("--near", cvo.near_m, "Distance (m) shown red in the depth PNG");
    convert->add_option("--far", cvo.far_m, "Distance (m) shown blue in the depth PNG");
    convert->add_option("--filter", cvo.filters, "Filter NAME or NAME=VALUE to switch on before decoding");
    convert->callback([&] { rc = cmd_convert(g, conv_file, cvo); });

    view_opts vo;
    auto *view = app.add_subcommand("view", "Show the camera live in a web browser: prints the address to open\n"
                                            "(Ctrl-C stops it and closes the camera)");
    view->add_option("--port", vo.port, "TCP port (0: any free one; default 8080)")->check(CLI::Range(0, 65535));
    view->add_option("--listen", vo.listen, "Address to listen on (default 127.0.0.1: this machine only)")
        ->transform(listen_address());
    view->add_option("--record-dir", vo.record_dir, "Folder for the recordings started in the page (default .)");
    view->add_option("--web-root", vo.web_root, "Folder of the viewer's page (default: installed beside the tool)");
    view->callback([&] { rc = cmd_view(g, vo); });

    auto *params = app.add_subcommand("params", "Read or write camera parameters (`kavro params --help` lists them)");
    params->footer("\n" + param_help());
    params->require_subcommand(1);
    std::vector<std::string> pget, pset;
    auto *pg = params->add_subcommand("get", "Read parameters (all when none named)");
    pg->add_option("NAME", pget, "Parameter names");
    pg->callback([&] { rc = cmd_params_get(g, pget); });
    auto *ps = params->add_subcommand("set", "Write parameters in one batch (all or none)");
    ps->add_option("NAME=VALUE", pset, "Assignments")->required();
    ps->callback([&] { rc = cmd_params_set(g, pset); });

    auto *regs = app.add_subcommand("regs", "Read or write registers (targets cam0, cam1, ir0, ir1, mcu)");
    regs->require_subcommand(1);
    std::string rtarget, raddr;
    int rcount = 1;
    std::vector<std::string> rvals;
    auto *rr = regs->add_subcommand("read", "Read consecutive registers");
    rr->add_option("TARGET", rtarget, "Register target")->required();
    rr->add_option("ADDR", raddr, "First register address")->required();
    rr->add_option("COUNT", rcount, "Number of registers");
    rr->callback([&] { rc = cmd_regs(g, false, rtarget, raddr, {}, rcount); });
    auto *rw = regs->add_subcommand("write", "Write consecutive registers");
    rw->add_option("TARGET", rtarget, "Register target")->required();
    rw->add_option("ADDR", raddr, "First register address")->required();
    rw->add_option("VALUE", rvals, "Values")->required();
    rw->callback([&] { rc = cmd_regs(g, true, rtarget, raddr, rvals, 0); });

    auto *filter = app.add_subcommand(
        "filter", "Switch a decoding filter on or off for this camera (" + kavro_cli::filter_names() + ")");
    filter->footer(
        "The choice is kept per camera in the cache folder, in filters_<serial>.txt (one line per filter:\n"
        "'NAME on [VALUE]' or 'NAME off'), and applied by every later capture and convert of that camera\n"
        "(also with --replay) before decoding; a command's --filter options come on top for that command.\n"
        "'filter reset [NAME]' returns to the driver's defaults, 'filter list' shows the kept settings.");
    filter->require_subcommand(1);
    std::string fname;
    std::string fvalue;
    auto *fe = filter->add_subcommand("enable", "Switch a filter on");
    fe->add_option("NAME", fname, "Filter")->required();
    fe->add_option("VALUE", fvalue, "Filter argument (hdr: INTG,HDR_INTG)");
    fe->callback([&] { rc = cmd_filter(g, true, fname, fvalue); });
    auto *fd = filter->add_subcommand("disable", "Switch a filter off");
    fd->add_option("NAME", fname, "Filter")->required();
    fd->callback([&] { rc = cmd_filter(g, false, fname, ""); });
    auto *fr = filter->add_subcommand("reset", "Forget the kept setting of a filter (all without NAME)");
    fr->add_option("NAME", fname, "Filter");
    fr->callback([&] { rc = cmd_filter_reset(g, fname); });
    filter->add_subcommand("list", "Show the kept filter settings of this camera")->callback([&] {
        rc = cmd_filter_list(g);
    });

    auto *calib = app.add_subcommand("calib", "Calibration package");
    calib->require_subcommand(1);
    calib->add_subcommand("fetch", "Download the camera's calibration package into the cache")
        ->callback([&] { rc = cmd_calib_fetch(g); });

    auto *data = app.add_subcommand("data", "Read or write data images in the camera's flash");
    data->footer("\n" + image_type_help());
    data->require_subcommand(1);
    int dtype = 0, dversion = 0;
    uint32_t daddr = 0;
    std::string dfile;
    auto *dr = data->add_subcommand("read", "Read the image of a type into a file");
    dr->add_option("--type", dtype, "Image type 0 ... 255 (see `kavro data --help`)")->required();
    dr->add_option("FILE", dfile, "Output file")->required();
    dr->callback([&] { rc = cmd_data(g, false, dtype, dfile, 0, 0, "data read"); });
    auto *dw = data->add_subcommand("write", "Write a file into the camera as an image of a type");
    dw->add_option("--type", dtype, "Image type 0 ... 255 (see `kavro data --help`)")->required();
    dw->add_option("--version", dversion, "Image version");
    dw->add_option("--addr", daddr, "Flash address");
    dw->add_option("FILE", dfile, "Image file")->required();
    dw->callback([&] { rc = cmd_data(g, true, dtype, dfile, dversion, daddr, "data write", reread_identity(dtype)); });

    auto *fw = app.add_subcommand("firmware", "Firmware of the camera");
    fw->footer("\n" + image_type_help());
    fw->require_subcommand(1);
    int ftype = 0, fversion = 0;
    std::string ffile;
    auto *fu = fw->add_subcommand("upgrade", "Write a firmware image (asks for confirmation: answer 'y', also piped "
                                             "on standard input, or pass --yes)");
    fu->add_option("FILE", ffile, "Firmware image")->required();
    fu->add_option("--type", ftype, "Image type (0 and 1 restart the camera; see `kavro firmware --help`)")->required();
    fu->add_option("--version", fversion, "Image version (0 ... 65535; of type 0 or 1 the camera reports it after "
                                          "the restart)");
    fu->callback([&] { rc = cmd_firmware(g, ffile, ftype, fversion, g.yes); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    return rc;
}
