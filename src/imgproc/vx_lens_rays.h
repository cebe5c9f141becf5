// Pixel rays of a lens: the unit direction in camera space that each pixel
// of an image sees, found by inverting the lens' distortion model (the one
// the undistortion map uses: principal point, focal lengths, radial k1, k2,
// k3 and tangential p1, p2). Pixel centres sit at integer coordinates.
//
// A ray table holds the rays of every pixel of one image size for one set
// of lens values, so that a point cloud costs one lookup and one multiply
// per pixel. A table is immutable once built and may be read by any number
// of threads.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "vx_imgproc.h"

// Unit ray (x, y, z; z > 0) through the pixel position (u, v) of an image
// seen through `lens`. Solves distort(x, y) = ((u - cx) / fx, (v - cy) / fy)
// by Newton's method from the distorted position. False when the model has
// no solution there that the lens can produce (no convergence, a folded-over
// model or a non-positive radial factor): such a pixel has no ray.
bool vx_lens_pixel_ray(const vx_len_param_t *lens, double u, double v, double ray[3]);

struct vx_ray_table {
    vx_len_param_t lens{};    // the values the table was built from (img_w x img_h)
    std::vector<float> rays;  // 3 floats per pixel, row-major; all 0 for a pixel without a ray

    const float *at(size_t i) const { return rays.data() + 3 * i; }
};

// True when a and b hold the same lens values and image size.
bool vx_lens_same(const vx_len_param_t &a, const vx_len_param_t &b);

// The ray table of lens->img_w x lens->img_h pixels; null when the size or
// the values are unusable (size <= 0, non-finite values, zero focal length)
// or memory runs out.
std::shared_ptr<const vx_ray_table> vx_ray_table_build(const vx_len_param_t *lens);
