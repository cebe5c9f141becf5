// Pacing of a replayed recording, shared by the example programs and the
// kavro tool.
#pragma once

#include <cstdint>

#include "kavro.h"

/// Sets the rate at which an open recording plays its frames (frames per
/// second; 0 plays as fast as the file is read). False when the device
/// refused it.
inline bool set_replay_rate(kavro_dev_t *dev, uint32_t fps) {
    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.frame_rate.fps = fps;
    return kavro_param_batch_set(dev, &rate, 1);
}
