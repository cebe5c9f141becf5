// Distance frame file loader on arbitrary files.
#include "frame_file_fuzz.h"
#include "kavro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_load_all(data, size, [](int fd, int dst_len) {
        std::unique_ptr<float[]> dst(new float[dst_len ? dst_len : 1]);
        int w = 0, h = 0;
        return kavro_frame_load_distance(fd, dst.get(), dst_len, &w, &h);
    });
    return 0;
}
