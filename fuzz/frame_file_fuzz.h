// Shared body of the frame-file loader fuzz targets: the input becomes the
// whole file (in memory), then frames are loaded from offset 0 until a load
// returns 0, into buffers of exactly their stated size so any write past
// dst_len or the tag buffer is caught.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

/// Writes `data` into an anonymous in-memory file and returns its
/// descriptor rewound to 0, or -1.
inline int fuzz_file_from(const uint8_t *data, size_t size) {
    const int fd = memfd_create("kavro_fuzz", 0);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

/// Load frames with `load(fd, dst_len)` until it returns 0 (at most a few
/// dozen), using a small destination whose length comes from the input.
template <typename Load>
void fuzz_load_all(const uint8_t *data, size_t size, Load load) {
    const int fd = fuzz_file_from(data, size);
    if (fd < 0) return;
    // The last input byte picks the destination length (0..15), so short
    // and empty buffers are both exercised.
    const int dst_len = size ? data[size - 1] % 16 : 4;
    for (int i = 0; i < 64; ++i) {
        const int got = load(fd, dst_len);
        if (got < 0 || got > dst_len) __builtin_trap();
        if (got == 0 && dst_len > 0) break;
    }
    close(fd);
}
