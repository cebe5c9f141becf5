// The camera simulator standing in for a USB camera (--sim): one simulated
// camera with a calibration package on an emulated USB bus, so every command
// runs through the real USB transport. The simulator lives in a module of its
// own (libkavro_simcam.so, see sim_module_api.h), loaded only for --sim: the
// tool links neither umockdev nor GLib.
//
// The emulated bus needs umockdev's preload library in LD_PRELOAD before
// libusb starts; sim_reexec_with_preload() restarts the tool with it.
//
// Each run of the tool builds the simulated camera anew; like a real camera
// it keeps what was written to it: parameters and registers the tool set and
// the images in its flash are saved in a state folder (the cache folder) and
// restored by the next run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kavro.h"

struct kavro_sim_module_api;

namespace kavro_cli {

/// Faults a test can ask of the simulated camera (hidden --sim-fault option
/// or KAVRO_SIM_FAULT, a comma list):
///   refuse-images           the camera refuses every image it is sent
///   unplug-during-transfer  the camera leaves the bus after the first packet
///   no-calib                the camera holds no calibration package
struct sim_faults {
    bool refuse_images = false;
    bool unplug_during_transfer = false;
    bool no_calib = false;
};

/// Parses a fault list; false with `err` set for an unknown name.
bool sim_faults_parse(const std::string &list, sim_faults *out, std::string *err);

/// When the emulated bus is not yet usable, re-executes this program with
/// umockdev's preload library added to LD_PRELOAD; returns only on failure
/// (with `err` set) or when no restart is needed (true).
bool sim_reexec_with_preload(char **argv, std::string *err);

class sim_camera {
public:
    /// Loads the simulator module and creates the bus and its camera with the
    /// state saved in `state_dir` (ending in '/'). Call before kavro_init(),
    /// so the USB transport finds the camera. Throws std::runtime_error on
    /// failure (also when the module is not installed).
    sim_camera(const sim_faults &faults, std::string state_dir);
    /// Saves the state for the next run.
    ~sim_camera();
    sim_camera(const sim_camera &) = delete;
    sim_camera &operator=(const sim_camera &) = delete;

    /// Progress of a transfer to the camera, for fault injection.
    void on_transfer_progress(unsigned done, unsigned total);
    /// An image of `type` is about to be written. A camera erases the
    /// image's flash before it takes the new one, so from here on the
    /// image is gone until the transfer completes: the saved state says so
    /// at once, and a run that is killed during the transfer leaves the
    /// camera without that image, not with the old one still valid.
    void flash_write_begins(int type);

    /// Writes the saved parameters and registers into the opened camera.
    bool restore(kavro_dev_t *dev);
    /// Parameters and registers the camera took, to be kept.
    void remember_params(const std::vector<kavro_param_item_t> &items);
    void remember_regs(kavro_dev_reg_e target, uint32_t addr, const std::vector<uint32_t> &vals);

private:
    const kavro_sim_module_api *api_ = nullptr;
    void *cam_ = nullptr;
};

}  // namespace kavro_cli
