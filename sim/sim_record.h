// Recording of simulated frames: a raw recording that the file replay plays
// like a camera, with the side file the library's recordings carry (the
// simulated camera's identity as it reports it over USB, the settings, the
// simulator's lens, per-frame temperatures) and optionally the simulated
// camera's calibration file beside it; its ground truth, and a text
// description of the run.
#ifndef KAVRO_SIM_RECORD_H
#define KAVRO_SIM_RECORD_H

#include <string>

#include "sim_sensor.h"

namespace kavro_sim {

// Product string written as the raw file's tag; its middle field "E2"
// selects the EPC chip driver when the recording is replayed.
constexpr const char* k_sim_product = "KVSIM-E2-320";

struct record_opts {
    std::string scene = "room";
    int frames = 30;
    sensor_cfg cfg;
    std::string out;  // raw recording; ground truth goes to out + ".dist", notes to out + ".meta",
                      // the side file to out + ".info"
    // Also write the calibration parameter file of the simulated camera (as
    // the library caches it, with the recording's modulation frequency among
    // its blocks) to out + ".calib" and name it in the side file, so a replay
    // decodes calibrated. Off: the side file says "calib none".
    bool embed_calib = false;
};

// Writes the files. False with a reason in *err on failure.
bool record(const record_opts& o, std::string* err);

}  // namespace kavro_sim

#endif
