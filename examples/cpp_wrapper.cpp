// cpp_wrapper: the C++ layer (kavro.hpp) playing a recording: every frame is
// captured into a buffer of its own and decoded into metres.
//
//   cpp_wrapper RECORDING
//
// Prints "frame <index>: <size> bytes", then the frame's median valid
// distance, per frame, and "frames: <count>" at the end.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "kavro.hpp"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cpp_wrapper RECORDING\n");
        return 2;
    }
    try {
        kavro::library lib("cpp_wrapper.log");  // kavro_init now, kavro_uninit at the end
        kavro::device dev = kavro::device::open_replay(argv[1]);
        dev.set_frame_rate(30);
        dev.start();
        int count = 0;
        while (std::optional<kavro::frame> f = dev.capture()) {  // empty once the recording has ended
            std::vector<float> metres = dev.distance(*f);
            std::erase_if(metres, [](float d) { return d <= 0.0f || d >= 60.0f; });
            std::nth_element(metres.begin(), metres.begin() + metres.size() / 2, metres.end());
            std::printf("frame %d: %u bytes\n", f->index(), static_cast<unsigned>(f->info().frame_size));
            std::printf("  median %.3f m over %zu valid pixels\n", metres.empty() ? 0.0 : metres[metres.size() / 2],
                        metres.size());
            ++count;
        }
        std::printf("frames: %d\n", count);
        return 0;  // the device closes, then the library
    } catch (const kavro::error &e) {
        std::fprintf(stderr, "cpp_wrapper: %s\n", e.what());
        return 1;
    }
}
