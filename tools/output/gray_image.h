// Amplitude images to 8-bit pixels, shared by the example programs and the
// kavro tool.
#pragma once

#include <cstdint>
#include <vector>

/// Gray image to 8 bits: amplitudes scaled so that the 99th percentile of the
/// frame is white (a few saturated pixels would otherwise darken the rest).
std::vector<uint8_t> gray_to_8bit(const std::vector<float> &gray);
