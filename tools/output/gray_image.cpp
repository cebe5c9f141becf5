#include "gray_image.h"

#include <algorithm>
#include <cmath>

std::vector<uint8_t> gray_to_8bit(const std::vector<float> &gray) {
    std::vector<uint8_t> out(gray.size());
    if (gray.empty()) return out;
    std::vector<float> sorted(gray);
    const size_t k = sorted.size() * 99 / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k), sorted.end());
    const float top = std::max(sorted[k], 1.0f);
    for (size_t i = 0; i < gray.size(); ++i)
        out[i] = static_cast<uint8_t>(std::lround(255.0f * std::clamp(gray[i] / top, 0.0f, 1.0f)));
    return out;
}
