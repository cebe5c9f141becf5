#include "sim_camera.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim_calib.h"
#include "sim_usb_bed.h"

namespace kavro_cli {

namespace {
constexpr const char *k_preload = "libumockdev-preload.so.0";
// Set in the restarted process: a second restart would loop.
constexpr const char *k_reexec_env = "KAVRO_SIM_REEXEC";
constexpr const char *k_state_file = "sim_camera.state";

std::string image_file(const std::string &dir, int type) { return dir + "sim_image_" + std::to_string(type) + ".bin"; }

std::vector<uint8_t> read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
}  // namespace

bool sim_faults_parse(const std::string &list, sim_faults *out, std::string *err) {
    std::stringstream ss(list);
    std::string name;
    while (std::getline(ss, name, ',')) {
        if (name.empty()) continue;
        if (name == "refuse-images") {
            out->refuse_images = true;
        } else if (name == "unplug-during-transfer") {
            out->unplug_during_transfer = true;
        } else if (name == "no-calib") {
            out->no_calib = true;
        } else {
            *err = "unknown simulator fault '" + name + "'";
            return false;
        }
    }
    return true;
}

bool sim_reexec_with_preload(char **argv, std::string *err) {
    if (kavro_sim::usb_bed_available()) return true;
    if (std::getenv(k_reexec_env)) {
        *err = "umockdev's preload library is not active after a restart with it (is umockdev installed?)";
        return false;
    }
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = k_preload;
    if (old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(k_reexec_env, "1", 1);
    fflush(nullptr);
    execv("/proc/self/exe", argv);
    *err = std::string("cannot restart with umockdev's preload library: ") + std::strerror(errno);
    return false;
}

sim_camera::sim_camera(const sim_faults &faults, std::string state_dir) : faults_(faults), dir_(std::move(state_dir)) {
    bed_ = std::make_unique<kavro_sim::usb_bed>();
    kavro_sim::usb_cam_opts o;
    o.fw.fifo_bytes = 64u << 20;  // a slow host lags a few frames behind, none are lost
    o.fw.refuse_images = faults_.refuse_images;
    // The simulator's default 1000 us leaves the room's walls below the
    // minimum amplitude; the tool's camera starts where the room is seen.
    o.fw.sensor.intg_us = 3000;
    std::vector<uint8_t> pkg;
    std::string err;
    if (!faults_.no_calib && !kavro_sim::calib_package_for(o.fw, kavro_sim::calib_opts(), false, &pkg, &err))
        throw std::runtime_error("cannot build the simulated calibration package: " + err);
    const int cam = bed_->add_camera(o);
    if (!pkg.empty()) bed_->fw(cam).set_calib_package(std::move(pkg));
    load();
}

sim_camera::~sim_camera() { save(); }

// State file lines:
//   param ID LEN HEX-BYTES
//   reg TARGET ADDR VALUE
//   image TYPE PTYPE VERSION ADDR      (bytes in sim_image_TYPE.bin)
void sim_camera::load() {
    std::ifstream f(dir_ + k_state_file);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream ls(line);
        std::string kind;
        ls >> kind;
        if (kind == "param") {
            kavro_param_item_t it{};
            unsigned id = 0, len = 0;
            std::string hex;
            if (!(ls >> id >> len >> hex) || len > sizeof it.param_val.raw || hex.size() != 2 * len) continue;
            it.param_id = id;
            it.param_val_len = static_cast<uint8_t>(len);
            for (unsigned i = 0; i < len; ++i)
                it.param_val.raw[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
            params_[id] = it;
        } else if (kind == "reg") {
            int target = 0;
            uint32_t addr = 0, val = 0;
            if (ls >> target >> addr >> val) regs_[{target, addr}] = val;
        } else if (kind == "image") {
            int type = 0, ptype = 0;
            unsigned version = 0;
            uint32_t addr = 0;
            if (!(ls >> type >> ptype >> version >> addr) || type < 0 || type > 255) continue;
            kavro_sim::flash_image img;
            img.ptype = static_cast<uint8_t>(ptype);
            img.version = static_cast<uint16_t>(version);
            img.addr = addr;
            img.data = read_all(image_file(dir_, type));
            if (!img.data.empty()) bed_->fw(0).put_image(static_cast<uint8_t>(type), img);
        }
    }
}

// The state file is written beside its name and renamed into place, so a
// run killed while saving leaves the previous state.
void sim_camera::save(int drop_type) {
    const std::string state = dir_ + k_state_file, part = state + ".part";
    std::ofstream f(part, std::ios::trunc);
    for (const auto &[id, it] : params_) {
        char hex[3];
        f << "param " << id << ' ' << unsigned(it.param_val_len) << ' ';
        for (unsigned i = 0; i < it.param_val_len; ++i) {
            snprintf(hex, sizeof hex, "%02x", it.param_val.raw[i]);
            f << hex;
        }
        f << '\n';
    }
    for (const auto &[key, val] : regs_) f << "reg " << key.first << ' ' << key.second << ' ' << val << '\n';
    for (int type = 0; type < 256; ++type) {
        const kavro_sim::flash_image *img =
            type == drop_type ? nullptr : bed_->fw(0).image(static_cast<uint8_t>(type));
        if (!img) {
            std::remove(image_file(dir_, type).c_str());
            continue;
        }
        std::ofstream d(image_file(dir_, type), std::ios::binary | std::ios::trunc);
        d.write(reinterpret_cast<const char *>(img->data.data()), static_cast<std::streamsize>(img->data.size()));
        f << "image " << type << ' ' << int(img->ptype) << ' ' << img->version << ' ' << img->addr << '\n';
    }
    f.close();
    if (f) std::rename(part.c_str(), state.c_str());
    else std::remove(part.c_str());
}

void sim_camera::flash_write_begins(int type) { save(type); }

bool sim_camera::restore(kavro_dev_t *dev) {
    std::vector<kavro_param_item_t> items;
    for (const auto &[id, it] : params_) items.push_back(it);
    if (!items.empty() && !kavro_param_batch_set(dev, items.data(), static_cast<int>(items.size()))) return false;
    for (const auto &[key, val] : regs_)
        if (!kavro_reg_batch_write(dev, static_cast<kavro_dev_reg_e>(key.first), key.second, &val, 1)) return false;
    return true;
}

void sim_camera::remember_params(const std::vector<kavro_param_item_t> &items) {
    for (const auto &it : items)
        if (it.param_id != PARAM_DEV_MODE) params_[it.param_id] = it;  // a mode is not kept over a restart
}

void sim_camera::remember_regs(kavro_dev_reg_e target, uint32_t addr, const std::vector<uint32_t> &vals) {
    for (size_t i = 0; i < vals.size(); ++i) regs_[{static_cast<int>(target), addr + static_cast<uint32_t>(i)}] = vals[i];
}

void sim_camera::on_transfer_progress(unsigned done, unsigned total) {
    if (faults_.unplug_during_transfer && !unplugged_ && done > 0 && done < total) {
        unplugged_ = true;
        bed_->unplug(0);
    }
}

}  // namespace kavro_cli
