// Steps of the undistortion map construction, reachable for tests.
//
// cam is the camera matrix (fx, 0, cx / 0, fy, cy / 0, 0, 1) of the raw
// image, dcoeff the distortion coefficients k1, k2, p1, p2, k3.
#pragma once

#include <cstdint>

#include "imgproc/matrix/mat3.h"

struct vx_rect_f {
    float x;
    float y;
    float width;
    float height;
};

// Undistorts n pixel points (x, y pairs in src) into dst (may equal src) by
// five fixed-point iterations of the inverse distortion model, then projects
// them with proj, or leaves them in normalised camera coordinates when proj
// is null.
void undistor_points(const float *src, float *dst, int n, const double *cam, const double *dcoeff,
                     const double *proj);

// Undistorts a 9x9 grid spanning 0..img_w and 0..img_h (inclusive) and gives
// the rectangle inside which every point lies (outer) and the one that lies
// inside the undistorted image border (inner).
void get_undistort_rectangle(const double *cam, const double *dcoeff, const double *proj, int img_w, int img_h,
                             vx_rect_f *inner, vx_rect_f *outer);

// New camera matrix that keeps every raw pixel inside the corrected image,
// and the valid region (x, y, width, height) of the corrected image.
void get_optimal_new_mtx(const double *cam, const double *dcoeff, int img_w, int img_h, mat3_t new_cam,
                         int roi[4]);

// For every pixel of the corrected image (seen through new_cam) the raw image
// coordinates it shows, as two img_w*img_h planes.
void init_undistort_rectify_map(const double *cam, const double *dcoeff, const double *new_cam, int img_w, int img_h,
                                float *map_x, float *map_y);

// Map entry for raw image coordinates: the row-major index of the nearest raw
// pixel, taken as trunc(v + 0.5) per axis, or VX_LEN_MAP_NO_SOURCE when that
// pixel lies outside img_w x img_h (or the coordinates are not finite).
uint32_t len_map_index(float mx, float my, int img_w, int img_h);
