// Point clouds as binary little-endian PLY files, shared by the example
// programs and the kavro tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The rule the library's point-cloud calls use to keep a pixel: only
/// distances inside 0 < d < 60 m become points.
inline bool ply_valid_distance(float d) { return d > 0.0f && d < 60.0f; }

/// Write `points` points of `pcl` (x y z floats in metres, in pixel order with
/// invalid pixels left out, as kavro_frame_get_pcl makes them) as a binary
/// little-endian PLY with the colour of the pixel each point came from:
/// `rgb` holds 3 bytes per pixel of the `pixels`-pixel distance image `dist`,
/// and the n-th valid pixel of `dist` is the n-th point. `comment` goes into
/// the header (one line, may be empty). False with `error` filled when the
/// file cannot be written or the points do not match the image.
bool write_ply_xyz_rgb(const std::string &path, const std::vector<float> &pcl, int points,
                       const float *dist, const uint8_t *rgb, int pixels, const std::string &comment,
                       std::string &error);
