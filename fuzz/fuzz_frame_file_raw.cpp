// Raw frame file loader on arbitrary files.
#include <cstring>

#include "frame_file_fuzz.h"
#include "kavro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_load_all(data, size, [&](int fd, int dst_len) {
        std::unique_ptr<uint16_t[]> dst(new uint16_t[dst_len ? dst_len : 1]);
        const int tag_len = dst_len / 2;  // 0..7 bytes, exactly allocated
        std::unique_ptr<char[]> tag(new char[tag_len ? tag_len : 1]);
        int w = 0, h = 0, n = 0;
        const int got =
            kavro_frame_load_raw(fd, dst.get(), dst_len, &w, &h, &n, tag.get(), tag_len);
        if (got > 0 && tag_len > 0 && memchr(tag.get(), '\0', static_cast<size_t>(tag_len)) == nullptr)
            __builtin_trap();  // the tag must come back terminated inside its buffer
        return got;
    });
    return 0;
}
