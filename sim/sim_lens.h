// Lens model of the camera simulator: which ray of the scene every sensor
// pixel sees. The same pinhole-plus-distortion model the library undistorts
// with (principal point, focal lengths, k1, k2, p1, p2, k3), here run the
// other way: from a raw (distorted) pixel to a unit ray.
#ifndef KAVRO_SIM_LENS_H
#define KAVRO_SIM_LENS_H

#include "sim_scene.h"

namespace kavro_sim {

struct lens {
    double cx, cy, fx, fy;
    double dcoeff[5];  // k1, k2, p1, p2, k3
    int img_w, img_h;
};

// The library's built-in lens values for 320 x 240 frames (used when no lens
// parameter file overrides them), so frames undistort correctly by default.
lens lens_default();

// Distorts normalised camera coordinates (x, y) into (xd, yd).
void lens_distort(const lens& l, double x, double y, double* xd, double* yd);

// Unit ray through the raw pixel position (u, v) (pixel centres at integer
// coordinates). Solves the distortion model by Newton iteration; false when
// it does not converge (never for the default lens inside the image).
bool lens_pixel_ray(const lens& l, double u, double v, vec3* dir);

// Raw pixel position of the camera-space point p (z > 0).
void lens_project(const lens& l, vec3 p, double* u, double* v);

}  // namespace kavro_sim

#endif
