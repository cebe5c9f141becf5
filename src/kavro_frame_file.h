// Frame files, internal side: the remembered header as a record, so that a
// reader that must not share the process-wide state (the replay transport,
// one per open recording) can keep its own.
#pragma once

#include <cstdint>

#include "kavro.h"

/// Geometry and sample type of the last header a loader parsed. All zero
/// means "no usable header": loads at later offsets then return 0.
struct vx_frame_file_hdr_t {
    int img_w;
    int img_h;
    int dcs_cnt;  // raw files only; 1 for distance and gray
    kavro_frame_save_fmt_t save_fmt;
};

/// Largest frame, in file bytes, a loader accepts from a header. Frame byte
/// counts travel as int (log messages, return values), so a header claiming
/// more is taken as damaged rather than trusted.
constexpr int64_t VX_FRAME_FILE_MAX_BYTES = 0x7FFFFFFF;

/// kavro_frame_load_raw with the remembered header in `hdr` instead of the
/// process-wide one. Logs in the name of kavro_frame_load_raw.
int _kavro_frame_load_raw(vx_frame_file_hdr_t *hdr, int fd, uint16_t *dst, int dst_len, int *dst_w,
                          int *dst_h, int *dst_dcsn, char *dst_tag, int dst_tag_len);
