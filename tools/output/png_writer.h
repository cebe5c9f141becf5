// Minimal 8-bit PNG writer shared by the example programs and the kavro tool.
#pragma once

#include <cstdint>
#include <string>

/// Write `rgb` (width * height * 3 bytes, rows top to bottom) as a PNG file.
/// Returns false and fills `error` when the file cannot be written.
bool write_png_rgb(const std::string &path, const uint8_t *rgb, int width, int height,
                   std::string &error);

/// Write `gray` (width * height bytes, rows top to bottom) as a grayscale PNG file.
bool write_png_gray(const std::string &path, const uint8_t *gray, int width, int height,
                    std::string &error);
