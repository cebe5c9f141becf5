// Feeds arbitrary bytes to a frame stream, cut into feed calls at lengths
// taken from the input, with fetches and state reads in between, and checks
// the stream's bookkeeping after every feed.
//
// Input layout:
//   byte 0      bits 0-2 list limit, bits 3-4 fetch pattern, bit 7 reset halfway
//   byte 1      bits 0-3 k: number of cut lengths that follow
//   2k bytes    cut lengths, u16 little-endian, used in turn (0: all the rest)
//   the rest    the camera byte stream
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "vx_stream.h"
#include "vx_stream_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const unsigned k = data[1] & 15u;
    size_t pos = 2;
    if (size < pos + 2 * k) return 0;
    uint16_t cuts[15] = {};
    for (unsigned i = 0; i < k; ++i) cuts[i] = static_cast<uint16_t>(data[pos + 2 * i] | data[pos + 2 * i + 1] << 8);
    pos += 2 * k;

    const vx_stream_cfg_t cfg{mode & 7u};
    vx_stream_t s = vx_stream_create(&cfg);
    check(s != nullptr);
    const unsigned fetch = (mode >> 3) & 3u;
    // The default logger is left uninitialised, so messages are dropped.
    size_t reset_at = (mode & 0x80) ? pos + (size - pos) / 2 : SIZE_MAX;
    uint32_t taken = 0;
    uint8_t out[200];
    unsigned turn = 0;
    while (pos < size) {
        size_t n = k ? cuts[turn++ % k] : 0;
        if (n == 0 || n > size - pos) n = size - pos;
        // Each piece in an allocation of exactly its size, so reads past it are caught.
        std::unique_ptr<uint8_t[]> piece(new uint8_t[n]);
        std::memcpy(piece.get(), data + pos, n);
        const bool have = vx_stream_feed_input(s, piece.get(), static_cast<int>(n));
        pos += n;

        vx_stream_state_t st{};
        vx_stream_get_state(s, &st);
        check(have == (st.frcnt_in_list > 0));
        check(st.frcnt_in_list <= cfg.max_frbuf_cnt);
        check(st.fridx == st.frcnt_total);
        check(st.frcnt_total == st.frcnt_in_list + st.frcnt_slow_discard + taken);
        check(st.bytes_total == 0 && st.bytes_since_frbound == 0);

        vx_frinfo_t info{};
        int got = 0;
        switch (fetch) {
        case 1:
            got = vx_stream_fetch_frames(s, out, sizeof(out), 1, &info, false);
            taken += static_cast<uint32_t>(got);
            break;
        case 2:
            check(vx_stream_fetch_frames(s, nullptr, 0, 3, nullptr, true) ==
                  static_cast<int>(st.frcnt_in_list < 3 ? st.frcnt_in_list : 3));
            got = vx_stream_fetch_frames(s, out, 7, 2, &info, true);
            break;
        case 3:
            got = vx_stream_fetch_frames(s, nullptr, 0, 100, &info, false);
            taken += static_cast<uint32_t>(got);
            break;
        default:
            break;
        }
        if (got > 0) check(info.frame_size > 0 && info.frame_size < VX_STREAM_MAX_FRAME_SIZE);
        if (pos >= reset_at) {
            vx_stream_reset(s);
            taken = 0;
            reset_at = SIZE_MAX;
        }
    }
    vx_stream_destroy(s);
    return 0;
}
