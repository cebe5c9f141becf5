// replay_wait: play a recorded raw frame file and let the capture engine
// hand every frame to a frame-ready callback while the main thread waits in
// kavro_cap_wait until the recording ends.
//
//   replay_wait RECORDING [FPS]
//
// Prints one line "frame <index>: <size> bytes" per frame (from the
// callback) and a last line "frames: <count>".
#include <cstdio>
#include <cstdlib>

#include "kavro.h"

namespace {

constexpr uint32_t ENGINE_FRAMES = 16;
constexpr uint32_t ENGINE_FRAME_UNIT = 320 * 240 * 4;
// A replay ends on its own; a wait longer than this means something is wrong.
constexpr int WAIT_LIMIT_MS = 30000;

unsigned g_count = 0;
int g_error = 0;

// Runs on the thread inside kavro_cap_wait, never on the replay thread.
void on_frame(kavro_dev_t *, kavro_frame_t *frame) {
    printf("frame %u: %u bytes\n", static_cast<unsigned>(frame->frame_info.frame_idx),
           static_cast<unsigned>(frame->frame_info.frame_size));
    ++g_count;
}

bool on_error(kavro_dev_t *, int err, void *) {
    fprintf(stderr, "capture error: %s (%d)\n", kavro_error_name(err), err);
    if (err < 0) g_error = err;
    return err > 0;  // go on after a warning, stop on a transport error
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: replay_wait RECORDING [FPS]\n");
        return 2;
    }
    const uint32_t fps = argc > 2 ? static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)) : 30;
    kavro_init("replay_wait.log");

    kavro_dev_t *dev = kavro_dev_open_replay(argv[1]);
    if (!dev) {
        fprintf(stderr, "cannot open recording %s\n", argv[1]);
        kavro_uninit();
        return 1;
    }
    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.frame_rate.fps = fps;
    kavro_cap_set_callback_on_frame_ready(dev, on_frame);
    kavro_cap_set_callback_on_error(dev, on_error);
    int status = 0;
    if (!kavro_param_batch_set(dev, &rate, 1) ||
        !kavro_cap_set_frame_buffer(dev, nullptr, ENGINE_FRAMES * ENGINE_FRAME_UNIT) || !kavro_cap_start(dev)) {
        fprintf(stderr, "cannot start capture\n");
        status = 1;
    }
    if (status == 0) {
        // Returns true once the capture has stopped (end of the recording),
        // false when the time limit ran out first.
        if (!kavro_cap_wait(dev, WAIT_LIMIT_MS)) {
            fprintf(stderr, "the replay did not end in time\n");
            status = 1;
        }
        // Frames still in the engine when the wait saw the end are handed
        // out by one more call, which returns at once on a stopped capture.
        kavro_cap_wait(dev, WAIT_LIMIT_MS);
        if (g_error != 0) status = 1;
    }
    printf("frames: %u\n", g_count);

    kavro_cap_stop(dev);
    kavro_dev_close(dev);
    kavro_uninit();
    return status;
}
