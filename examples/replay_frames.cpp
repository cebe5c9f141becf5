// replay_frames: play a recorded raw frame file through the camera interface
// and print every frame the capture engine hands out.
//
//   replay_frames RECORDING [FPS]
//
// Prints one line "frame <index>: <size> bytes" per frame and a last line
// "frames: <count>". FPS paces the replay (default 30; 0 plays as fast as
// the file is read, which may overrun the frame buffer of a long recording).
//
// A blocking request also drains the frames that arrived beyond it (they are
// not kept for the next call), so the frames are printed from the
// frame-ready callback, which the engine calls on this thread for every frame
// it takes: the ones that fill the request and the drained ones alike.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kavro.h"

namespace {

// Room for the largest frame a recording holds (320 x 240 x 4 x 2 bytes and
// more): the capture engine cuts a frame that does not fit.
constexpr uint32_t FRAME_BUF_BYTES = 0x400000;
constexpr uint32_t ENGINE_FRAMES = 16;  // frames the capture engine may hold
constexpr uint32_t ENGINE_FRAME_UNIT = 320 * 240 * 4;

unsigned g_count = 0;

// Runs on the thread inside kavro_cap_get_frames.
void on_frame(kavro_dev_t *, kavro_frame_t *frame) {
    printf("frame %u: %u bytes\n", static_cast<unsigned>(frame->frame_info.frame_idx),
           static_cast<unsigned>(frame->frame_info.frame_size));
    ++g_count;
}

bool set_replay_rate(kavro_dev_t *dev, uint32_t fps) {
    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.frame_rate.fps = fps;
    return kavro_param_batch_set(dev, &rate, 1);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: replay_frames RECORDING [FPS]\n");
        return 2;
    }
    const uint32_t fps = argc > 2 ? static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)) : 30;
    kavro_init("replay_frames.log");

    kavro_dev_t *dev = kavro_dev_open_replay(argv[1]);
    if (!dev) {
        fprintf(stderr, "cannot open recording %s\n", argv[1]);
        kavro_uninit();
        return 1;
    }
    printf("product: %s\n", dev->product);
    kavro_cap_set_callback_on_frame_ready(dev, on_frame);
    int status = 0;
    if (!set_replay_rate(dev, fps) ||
        !kavro_cap_set_frame_buffer(dev, nullptr, ENGINE_FRAMES * ENGINE_FRAME_UNIT) || !kavro_cap_start(dev)) {
        fprintf(stderr, "cannot start capture\n");
        status = 1;
    }

    std::vector<uint8_t> buf(FRAME_BUF_BYTES);
    while (status == 0) {
        // One frame per call; a call returns 0 once the recording has ended
        // (or its time limit ran out) and a negative code on an error.
        const int n = kavro_cap_get_frames(dev, 1, buf.data(), FRAME_BUF_BYTES, nullptr);
        if (n < 0) {
            fprintf(stderr, "capture failed: %s (%d)\n", kavro_error_name(n), n);
            status = 1;
            break;
        }
        if (n == 0) break;
    }
    printf("frames: %u\n", g_count);

    kavro_cap_stop(dev);
    kavro_dev_close(dev);
    kavro_uninit();
    return status;
}
