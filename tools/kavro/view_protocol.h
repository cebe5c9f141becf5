// What `kavro view` sends over its WebSocket (the page, web/viewer.js, reads
// the same layout).
//
// Binary messages start with a 16-byte header, little-endian:
//   offset 0  u8  kind (view_msg_kind)
//          1  u8  layout version (1)
//          2  u16 flags (0)
//          4  u16 width, pixels
//          6  u16 height, pixels
//          8  u32 frame index (the camera's frame_idx; 0 for rays)
//         12  u32 bytes of data after the header
// then the data:
//   frame: width x height u16 distances in mm (0 = no measurement:
//          rejected, saturated or beyond 60 m), then width x height u8 gray
//          values, contrast-stretched; 3 bytes a pixel keep one 320 x 240
//          frame at 230 kB, 6.9 MB/s at 30 fps.
//   rays:  width x height x 3 f32, the unit ray of each pixel (X, Y, Z) of
//          the lens the driver decodes with (NaN where it has none): a point
//          is distance x ray, as the library's point clouds are. Sent once
//          per geometry (and again when a filter changes the lens).
// Text messages are JSON objects: from the server "type" hello (with the
// settings), frame (the status sent before a frame's binary message),
// settings (sent whenever they change, with a rising "version"), reply and
// error (answers to a control); from the page "cmd" (see view_server.cpp).
#pragma once

#include <cstdint>

namespace kavro_cli {

enum view_msg_kind : uint8_t { VIEW_MSG_FRAME = 1, VIEW_MSG_RAYS = 2 };

constexpr uint8_t k_view_layout_version = 1;
constexpr size_t k_view_header_bytes = 16;

}  // namespace kavro_cli
