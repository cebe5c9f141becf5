#include "sim_camera.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

sim_camera::sim_camera(const sim_faults &faults) : faults_(faults) {
    bed_ = std::make_unique<kavro_sim::usb_bed>();
    kavro_sim::usb_cam_opts o;
    o.fw.fifo_bytes = 64u << 20;  // a slow host lags a few frames behind, none are lost
    // The camera checks the size of an announced image against its flash: a
    // flash of one byte refuses every image.
    if (faults_.refuse_images) o.fw.flash_capacity = 1;
    std::vector<uint8_t> pkg;
    std::string err;
    if (!faults_.no_calib && !kavro_sim::calib_package_for(o.fw, kavro_sim::calib_opts(), false, &pkg, &err))
        throw std::runtime_error("cannot build the simulated calibration package: " + err);
    const int cam = bed_->add_camera(o);
    if (!pkg.empty()) bed_->fw(cam).set_calib_package(std::move(pkg));
}

sim_camera::~sim_camera() = default;

void sim_camera::on_transfer_progress(unsigned done, unsigned total) {
    if (faults_.unplug_during_transfer && !unplugged_ && done > 0 && done < total) {
        unplugged_ = true;
        bed_->unplug(0);
    }
}

}  // namespace kavro_cli
