#include "sim_camera.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim_module_api.h"
#include "sim_tsan.h"

#if defined(KAVRO_SIM_TSAN)
// In a ThreadSanitizer build the simulator module runs the USB bed in this
// process: what the runtime cannot see there is the program's to declare.
extern "C" const char *__tsan_default_suppressions() { return KAVRO_SIM_TSAN_SUPPRESSIONS; }
#endif

namespace kavro_cli {

namespace {
constexpr const char *k_preload = "libumockdev-preload.so.0";
// Set in the restarted process: a second restart would loop.
constexpr const char *k_reexec_env = "KAVRO_SIM_REEXEC";

// umockdev's preload library is active in this process.
bool preload_active() {
    const char *pre = std::getenv("LD_PRELOAD");
    return pre && std::strstr(pre, "libumockdev-preload");
}

std::string exe_dir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/') + 1);
}

// The module: KAVRO_SIM_MODULE when set, else beside the tool (the build
// tree) and in the library folder of the installed tree.
const kavro_sim_module_api *load_module() {
    static const kavro_sim_module_api *api = nullptr;
    if (api) return api;
    std::vector<std::string> tried;
    if (const char *e = std::getenv("KAVRO_SIM_MODULE"); e && *e) {
        tried.push_back(e);
    } else {
        const std::string dir = exe_dir();
        tried.push_back(dir + KAVRO_SIM_MODULE_FILE);
        tried.push_back(dir + KAVRO_SIM_MODULE_RELDIR + "/" + KAVRO_SIM_MODULE_FILE);
    }
    std::string why;
    for (const std::string &path : tried) {
        void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            why += std::string("\n  ") + dlerror();
            continue;
        }
        auto entry = reinterpret_cast<kavro_sim_module_entry_f>(dlsym(h, KAVRO_SIM_MODULE_ENTRY));
        const kavro_sim_module_api *a = entry ? entry() : nullptr;
        if (!a || a->abi != KAVRO_SIM_MODULE_ABI) {
            why += "\n  " + path + ": not a simulator module of this version";
            dlclose(h);
            continue;
        }
        api = a;  // kept loaded for the rest of the run
        return api;
    }
    throw std::runtime_error(std::string("the simulator support ") + KAVRO_SIM_MODULE_FILE +
                             " is not installed (or cannot be loaded):" + why);
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
    if (preload_active()) return true;
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

sim_camera::sim_camera(const sim_faults &faults, std::string state_dir) {
    api_ = load_module();
    unsigned f = 0;
    if (faults.refuse_images) f |= KAVRO_SIM_FAULT_REFUSE_IMAGES;
    if (faults.unplug_during_transfer) f |= KAVRO_SIM_FAULT_UNPLUG_DURING_TRANSFER;
    if (faults.no_calib) f |= KAVRO_SIM_FAULT_NO_CALIB;
    char err[512] = "";
    cam_ = api_->camera_new(f, state_dir.c_str(), err, sizeof err);
    if (!cam_) throw std::runtime_error(err);
}

sim_camera::~sim_camera() { api_->camera_free(cam_); }

void sim_camera::on_transfer_progress(unsigned done, unsigned total) {
    api_->on_transfer_progress(cam_, done, total);
}

void sim_camera::flash_write_begins(int type) { api_->flash_write_begins(cam_, type); }

// The kept parameters and registers go into the camera through this
// program's library, like any other setting.
bool sim_camera::restore(kavro_dev_t *dev) {
    std::vector<kavro_param_item_t> items(static_cast<size_t>(api_->saved_params(cam_, nullptr, 0)));
    api_->saved_params(cam_, items.data(), static_cast<int>(items.size()));
    if (!items.empty() && !kavro_param_batch_set(dev, items.data(), static_cast<int>(items.size()))) return false;
    const int n = api_->saved_regs(cam_, nullptr, nullptr, nullptr, 0);
    std::vector<int> targets(static_cast<size_t>(n));
    std::vector<uint32_t> addrs(static_cast<size_t>(n)), vals(static_cast<size_t>(n));
    api_->saved_regs(cam_, targets.data(), addrs.data(), vals.data(), n);
    for (int i = 0; i < n; ++i)
        if (!kavro_reg_batch_write(dev, static_cast<kavro_dev_reg_e>(targets[i]), addrs[i], &vals[i], 1)) return false;
    return true;
}

void sim_camera::remember_params(const std::vector<kavro_param_item_t> &items) {
    api_->remember_params(cam_, items.data(), static_cast<int>(items.size()));
}

void sim_camera::remember_regs(kavro_dev_reg_e target, uint32_t addr, const std::vector<uint32_t> &vals) {
    api_->remember_regs(cam_, static_cast<int>(target), addr, vals.data(), static_cast<int>(vals.size()));
}

}  // namespace kavro_cli
