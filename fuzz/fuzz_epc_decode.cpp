// Feeds arbitrary frame headers and sample data to the EPC driver: frame
// description, then the decode to each output format with the driver's
// pipeline stages switched on and off by the input, into destination
// buffers of the exact size the input asks for. The frame data sits in an
// allocation of exactly its size, so any read past it is caught; a decode
// that claims success must have written within the destination it was given.
//
// Input layout:
//   byte 0      stage switches: bit 0 clean-up chain, 1 minimum amplitude,
//               2 HDR merge, 3 interference check, 4 undistortion,
//               5 flying-pixel stage, 6 hysteresis, 7 distance offset
//   byte 1      bits 0-2 output format (kavro_frame_fmt_e, taken modulo 5),
//               bits 3-4 destination size: 0 what the format needs, 1 one
//               byte short, 2 half, 3 none; bits 5-6 sport mode (0 off, 1
//               one DCS, 2 two DCS)
//   20 bytes    vx_frinfo_t frame header (frame size, index, format, w, h,
//               temperatures), little-endian
//   the rest    the frame's bytes
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/epc/kavro_driver_epc.h"
#include "kavro.h"
#include "vx_stream.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Bytes per output pixel of each format, as the decoding API sizes them.
size_t out_bytes_per_pixel(kavro_frame_fmt_e f) {
    switch (f) {
    case VX_FRAME_FMT_PCLOUD: return 12;
    case VX_FRAME_FMT_RGB: return 3;
    default: return 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr size_t hdr_at = 2;
    if (size < hdr_at + sizeof(vx_frinfo_t)) return 0;
    const uint8_t sw = data[0], mode = data[1];
    vx_frinfo_t hdr;
    std::memcpy(&hdr, data + hdr_at, sizeof hdr);
    const size_t src_len = size - hdr_at - sizeof hdr;

    // One driver for the whole run: setting it up builds the filter objects
    // and lens tables, which would otherwise dominate every input.
    static kavro_drv_t drv = [] {
        _epc_len_param_reset();
        kavro_drv_t d{};
        check(epc_init(&d, nullptr));
        epc_event_freq_change(&d, 12000000, 0);
        return d;
    }();
    epc_drv_t *e = static_cast<epc_drv_t *>(drv.priv_data);
    e->f_en_temp_ctrl = false;
    e->f_en_auto_intg = false;  // adjusts the camera, and there is none here
    e->f_en_median = sw & 1;
    e->f_en_minamp = sw & 2;
    e->f_en_hdr = sw & 4;
    e->f_en_sync_delay = sw & 8;
    e->f_en_lens_calib = sw & 16;
    e->f_en_flyfilter = sw & 32;
    e->f_en_hysteresis = sw & 64;
    e->f_en_offset = sw & 128;
    e->f_param_offset_mm = -150;
    const unsigned sport = (mode >> 5) & 3u;
    e->f_en_sport_mode = sport == 1 || sport == 2;
    e->f_param_sport_mode = static_cast<uint8_t>(sport);

    kavro_frame_info_t fi{};
    if (epc_frame_get_info(&drv, &fi, &hdr)) {
        check(fi.width > 0 && fi.height > 0);
        // Keep the destination within what a camera frame can describe, so
        // the fuzzer spends its time in the decoder, not in allocation.
        const uint64_t pixels = static_cast<uint64_t>(fi.width) * fi.height;
        const auto fmt = static_cast<kavro_frame_fmt_e>((mode & 7u) % 5u);
        if (pixels <= 640u * 480u) {
            const size_t need = static_cast<size_t>(pixels) * out_bytes_per_pixel(fmt);
            size_t dst_len = need;
            switch ((mode >> 3) & 3u) {
            case 1: dst_len = need ? need - 1 : 0; break;
            case 2: dst_len = need / 2; break;
            case 3: dst_len = 0; break;
            default: break;
            }
            // Exactly-sized copies of the frame and the destination, with
            // a guard area behind the destination that must stay untouched.
            std::unique_ptr<uint8_t[]> src(new uint8_t[src_len ? src_len : 1]);
            if (src_len) std::memcpy(src.get(), data + hdr_at + sizeof hdr, src_len);
            constexpr size_t guard = 64;
            std::vector<uint8_t> dst(dst_len + guard, 0x5A);
            const int r = epc_frame_decode(&drv, dst.data(), static_cast<int>(dst_len), fmt, src.get(),
                                           static_cast<int>(src_len), &fi);
            (void)r;
            for (size_t i = dst_len; i < dst.size(); ++i) check(dst[i] == 0x5A);
        }
    }
    return 0;
}
