// Inverse lens model: raw pixel to scene ray.
#include "sim_lens.h"

#include <cmath>

namespace kavro_sim {

lens lens_default()
{
    lens l{};
    l.cx = 157.262;
    l.cy = 122.083;
    l.fx = 210.783;
    l.fy = 204.817;
    l.dcoeff[0] = -0.378924;
    l.dcoeff[1] = 0.145035;
    l.dcoeff[2] = -0.000970854;
    l.dcoeff[3] = 6.20728e-05;
    l.dcoeff[4] = -0.0133954;
    l.img_w = 320;
    l.img_h = 240;
    return l;
}

void lens_distort(const lens& l, double x, double y, double* xd, double* yd)
{
    const double k1 = l.dcoeff[0], k2 = l.dcoeff[1], p1 = l.dcoeff[2], p2 = l.dcoeff[3],
                 k3 = l.dcoeff[4];
    double r2 = x * x + y * y;
    double radial = ((k3 * r2 + k2) * r2 + k1) * r2 + 1;
    *xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    *yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
}

bool lens_pixel_ray(const lens& l, double u, double v, vec3* dir)
{
    const double xd = (u - l.cx) / l.fx, yd = (v - l.cy) / l.fy;
    double x = xd, y = yd;
    // Newton on f(x, y) = distort(x, y) - (xd, yd) with a numerical Jacobian;
    // the default lens is monotonic over the whole image, so this converges
    // from the distorted point in a few steps.
    for (int it = 0; it < 50; ++it) {
        double fx0, fy0;
        lens_distort(l, x, y, &fx0, &fy0);
        fx0 -= xd;
        fy0 -= yd;
        if (std::fabs(fx0) < 1e-13 && std::fabs(fy0) < 1e-13)
            break;
        const double h = 1e-7;
        double ax, ay, bx, by;
        lens_distort(l, x + h, y, &ax, &ay);
        lens_distort(l, x, y + h, &bx, &by);
        double j00 = (ax - xd - fx0) / h, j10 = (ay - yd - fy0) / h;
        double j01 = (bx - xd - fx0) / h, j11 = (by - yd - fy0) / h;
        double det = j00 * j11 - j01 * j10;
        if (std::fabs(det) < 1e-12)
            return false;
        x -= (j11 * fx0 - j01 * fy0) / det;
        y -= (-j10 * fx0 + j00 * fy0) / det;
    }
    double cx, cy;
    lens_distort(l, x, y, &cx, &cy);
    if (std::fabs(cx - xd) > 1e-9 || std::fabs(cy - yd) > 1e-9)
        return false;
    *dir = normalize({x, y, 1.0});
    return true;
}

void lens_project(const lens& l, vec3 p, double* u, double* v)
{
    double xd, yd;
    lens_distort(l, p.x / p.z, p.y / p.z, &xd, &yd);
    *u = l.fx * xd + l.cx;
    *v = l.fy * yd + l.cy;
}

}  // namespace kavro_sim
