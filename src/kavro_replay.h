// Replay of a recording that carries a side file (kavro_rec_info.h): how the
// device layer hands its contents to the file transport and to the chip
// driver. Cameras and recordings without a side file have none of this.
#pragma once

#include <cstdio>

#include "kavro.h"
#include "kavro_ll.h"
#include "kavro_param.h"
#include "kavro_rec_info.h"
#include "vx_imgproc.h"

/// What the decode of a replayed device takes from the recording, kept with
/// the device's handler from open to close.
struct kavro_replay_ctx_t {
    bool has_lens = false;
    vx_len_param_t lens{};  // the lens values the live frames were decoded with
    // The calibration parameter file the driver mounts instead of looking
    // up the cache: the recording's own copy, or "" when the recording was
    // decoded without calibration (nothing is mounted then).
    char calib_path[KAVRO_PARAM_FILENAME_MAX + 1] = {};
    int calib_fd = -1;  // the checked copy, held open while the device is
    // Settings the driver learns as if the application had set them.
    uint32_t mod_freq = 0;
    bool has_frame_format = false;
    uint32_t frame_format = 0;
};

/// The calibration file the driver of `dev` must use instead of the cache:
/// a path ("" = none), or null when the device is not a replay with a side
/// file. The pointer stays valid while the device is open.
const char *_kavro_dev_calib_override(kavro_dev_t *dev);
/// The lens values of a replayed recording into *lens; false for a camera
/// or a recording that carries none.
bool _kavro_dev_lens_override(kavro_dev_t *dev, vx_len_param_t *lens);

/// Tell the file transport that the recording open as `f` is replayed as a
/// device, with its side file `info` (null: none): the next open of a record
/// with this FILE takes (and forgets) it, answers from the side file and
/// paces at the recorded rate (30 fps without one). Callers of
/// kavro_ll_dev_open that opened a FILE themselves attach nothing and get
/// the plain replay, unpaced.
void _kavro_ll_file_attach_info(FILE *f, const kavro_rec_info_t *info);
/// Forget what was attached to `f` and not taken.
void _kavro_ll_file_detach_info(FILE *f);

/// Flow control of a replay: before each frame the replay thread asks
/// `may_send(arg)` and waits (woken by _kavro_ll_file_flow_kick, a capture
/// stop or the close, and never longer than a short poll interval between
/// checks) until it says yes. A file can wait for its reader; a camera
/// cannot. Without a predicate frames go out at the replay's pace only.
typedef bool (*kavro_ll_file_may_send_f)(void *arg);
void _kavro_ll_file_set_flow(kavro_ll_dev_t *dev, kavro_ll_file_may_send_f may_send, void *arg);
/// Tests: `hook(arg)` runs on the replay thread inside each hand-over to the
/// capture (after the check that the capture still runs, before the first
/// byte goes out), so a test can hold the thread there. Null removes it.
void _kavro_ll_file_set_delivery_hook(kavro_ll_dev_t *dev, void (*hook)(void *), void *arg);
/// A reader took frames: a waiting replay thread checks again. No-op for
/// other transports.
void _kavro_ll_file_flow_kick(kavro_ll_dev_t *dev);
