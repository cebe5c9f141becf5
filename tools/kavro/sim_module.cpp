// The simulator module of the kavro tool (see sim_module_api.h): one
// simulated camera with a calibration package on an emulated USB bus, and
// the state it keeps between runs of the tool.
#include "sim_module_api.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim_calib.h"
#include "sim_usb_bed.h"

namespace {

struct sim_faults {
    bool refuse_images = false;
    bool unplug_during_transfer = false;
    bool no_calib = false;
};

class sim_camera {
public:
    sim_camera(const sim_faults &faults, std::string state_dir);
    ~sim_camera();
    void on_transfer_progress(unsigned done, unsigned total);
    void flash_write_begins(int type);
    void remember_params(const std::vector<kavro_param_item_t> &items);
    void remember_regs(kavro_dev_reg_e target, uint32_t addr, const std::vector<uint32_t> &vals);
    std::map<uint32_t, kavro_param_item_t> params_;
    std::map<std::pair<int, uint32_t>, uint32_t> regs_;

private:
    void load();
    void save(int drop_type = -1);

    sim_faults faults_;
    std::string dir_;
    std::unique_ptr<kavro_sim::usb_bed> bed_;
    bool unplugged_ = false;
};


constexpr const char *k_state_file = "sim_camera.state";

std::string image_file(const std::string &dir, int type) { return dir + "sim_image_" + std::to_string(type) + ".bin"; }

std::vector<uint8_t> read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
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

// ---- the C table ------------------------------------------------------------

void *camera_new(unsigned faults, const char *state_dir, char *err, size_t err_len) {
    sim_faults f;
    f.refuse_images = faults & KAVRO_SIM_FAULT_REFUSE_IMAGES;
    f.unplug_during_transfer = faults & KAVRO_SIM_FAULT_UNPLUG_DURING_TRANSFER;
    f.no_calib = faults & KAVRO_SIM_FAULT_NO_CALIB;
    try {
        return new sim_camera(f, state_dir ? state_dir : "./");
    } catch (const std::exception &e) {
        if (err && err_len) snprintf(err, err_len, "%s", e.what());
        return nullptr;
    }
}

void camera_free(void *cam) { delete static_cast<sim_camera *>(cam); }

void on_progress(void *cam, unsigned done, unsigned total) {
    static_cast<sim_camera *>(cam)->on_transfer_progress(done, total);
}

void write_begins(void *cam, int type) { static_cast<sim_camera *>(cam)->flash_write_begins(type); }

int saved_params(void *cam, kavro_param_item_t *out, int max) {
    const auto &params = static_cast<sim_camera *>(cam)->params_;
    int n = 0;
    for (const auto &[id, it] : params) {
        if (n < max) out[n] = it;
        ++n;
    }
    return n;
}

int saved_regs(void *cam, int *targets, uint32_t *addrs, uint32_t *vals, int max) {
    const auto &regs = static_cast<sim_camera *>(cam)->regs_;
    int n = 0;
    for (const auto &[key, val] : regs) {
        if (n < max) {
            targets[n] = key.first;
            addrs[n] = key.second;
            vals[n] = val;
        }
        ++n;
    }
    return n;
}

void remember_params(void *cam, const kavro_param_item_t *items, int n) {
    static_cast<sim_camera *>(cam)->remember_params(std::vector<kavro_param_item_t>(items, items + n));
}

void remember_regs(void *cam, int target, uint32_t addr, const uint32_t *vals, int n) {
    static_cast<sim_camera *>(cam)->remember_regs(static_cast<kavro_dev_reg_e>(target), addr,
                                                   std::vector<uint32_t>(vals, vals + n));
}

constexpr kavro_sim_module_api k_api = {
    .abi = KAVRO_SIM_MODULE_ABI,
    .camera_new = camera_new,
    .camera_free = camera_free,
    .on_transfer_progress = on_progress,
    .flash_write_begins = write_begins,
    .saved_params = saved_params,
    .saved_regs = saved_regs,
    .remember_params = remember_params,
    .remember_regs = remember_regs,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const kavro_sim_module_api *kavro_sim_module_v1(void) {
    return &k_api;
}
