// Capture engine internals shared by the camera-layer sources.
#pragma once

#include <cstdint>

#include "kavro.h"
#include "kavro_ll.h"

// The frame buffer is sized in units of one 320 x 240 x 4-byte frame.
constexpr uint32_t KAVRO_CAP_FRAME_UNIT = 320 * 240 * 4;

// A frame request of an application call that waits for frames. It lives on
// that call's stack and is reachable through cap_req only while it runs.
struct _kavro_cap_req_t {
    uint32_t req_frames_total;        // frames asked for
    uint32_t req_frames_remain;       // frames still missing
    uint8_t *req_curbuf;              // where the next frame's data goes
    uint32_t req_curbuf_len;          // bytes left from req_curbuf
    kavro_frame_info_t *req_first_finfo;  // receives the first frame's description
};

// The transport notify callback given at capture start; runs on the
// transport's event thread. `arg` is the device record.
void on_capture_event(kavro_ll_dev_t *ll_dev, int trans_status, void *buf, int len, void *arg);

struct _kavro_handler_t;

// Hand ready frames out on the calling application thread (error callback,
// then up to frame_max frames, all of them with flush). The caller holds the
// device (inside the guard, or as a registered waiter).
void _cap_handle_rdy_data(kavro_dev_t *dev, _kavro_handler_t *h, int frame_max, bool flush);

// Number of capture starts of the open device dev (0 before the first, and
// for a closed or null record). Drivers use it to report a condition once
// per capture.
uint32_t _kavro_cap_generation(const kavro_dev_t *dev);
