// Pixel rays by Newton inversion of the lens distortion model.
#include "imgproc/vx_lens_rays.h"

#include <cmath>
#include <cstdint>
#include <new>

namespace {

constexpr int NEWTON_MAX_STEPS = 30;
// Residual in normalised coordinates below which a solution is taken:
// about 1e-7 of a pixel for focal lengths of a few hundred pixels.
constexpr double NEWTON_TOL = 1e-10;

bool finite_lens(const vx_len_param_t &l) {
    if (!std::isfinite(l.cx) || !std::isfinite(l.cy) || !std::isfinite(l.fx) || !std::isfinite(l.fy)) return false;
    for (double d : l.dcoeff)
        if (!std::isfinite(d)) return false;
    return l.fx != 0.0 && l.fy != 0.0;
}

}  // namespace

bool vx_lens_pixel_ray(const vx_len_param_t *lens, double u, double v, double ray[3]) {
    const double k1 = lens->dcoeff[0], k2 = lens->dcoeff[1], p1 = lens->dcoeff[2], p2 = lens->dcoeff[3],
                 k3 = lens->dcoeff[4];
    const double xd = (u - lens->cx) / lens->fx, yd = (v - lens->cy) / lens->fy;
    double x = xd, y = yd;
    bool done = false;
    for (int it = 0; it < NEWTON_MAX_STEPS; ++it) {
        const double r2 = x * x + y * y;
        const double radial = ((k3 * r2 + k2) * r2 + k1) * r2 + 1.0;
        // d(radial) / d(r2)
        const double dradial = (3.0 * k3 * r2 + 2.0 * k2) * r2 + k1;
        const double fx = x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x) - xd;
        const double fy = y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y - yd;
        if (std::fabs(fx) < NEWTON_TOL && std::fabs(fy) < NEWTON_TOL) {
            // Only the branch the lens maps monotonically counts: beyond the
            // fold of a strong barrel term the model has spurious solutions.
            const double j00 = radial + 2.0 * x * x * dradial + 2.0 * p1 * y + 6.0 * p2 * x;
            const double j01 = 2.0 * x * y * dradial + 2.0 * p1 * x + 2.0 * p2 * y;
            const double j11 = radial + 2.0 * y * y * dradial + 6.0 * p1 * y + 2.0 * p2 * x;
            done = radial > 0.0 && j00 * j11 - j01 * j01 > 0.0;
            break;
        }
        const double j00 = radial + 2.0 * x * x * dradial + 2.0 * p1 * y + 6.0 * p2 * x;
        const double j01 = 2.0 * x * y * dradial + 2.0 * p1 * x + 2.0 * p2 * y;  // also d(fy)/dx
        const double j11 = radial + 2.0 * y * y * dradial + 6.0 * p1 * y + 2.0 * p2 * x;
        const double det = j00 * j11 - j01 * j01;
        if (!(std::fabs(det) > 1e-12)) break;
        x -= (j11 * fx - j01 * fy) / det;
        y -= (j00 * fy - j01 * fx) / det;
        if (!std::isfinite(x) || !std::isfinite(y)) break;
    }
    if (!done) return false;
    const double n = 1.0 / std::sqrt(x * x + y * y + 1.0);
    ray[0] = x * n;
    ray[1] = y * n;
    ray[2] = n;
    return true;
}

bool vx_lens_same(const vx_len_param_t &a, const vx_len_param_t &b) {
    if (a.cx != b.cx || a.cy != b.cy || a.fx != b.fx || a.fy != b.fy || a.img_w != b.img_w || a.img_h != b.img_h)
        return false;
    for (int i = 0; i < 5; ++i)
        if (a.dcoeff[i] != b.dcoeff[i]) return false;
    return true;
}

std::shared_ptr<const vx_ray_table> vx_ray_table_build(const vx_len_param_t *lens) {
    if (!lens || lens->img_w <= 0 || lens->img_h <= 0 || !finite_lens(*lens)) return nullptr;
    const uint64_t n = static_cast<uint64_t>(lens->img_w) * static_cast<uint64_t>(lens->img_h);
    if (n > (1u << 26)) return nullptr;
    auto t = std::shared_ptr<vx_ray_table>(new (std::nothrow) vx_ray_table);
    if (!t) return nullptr;
    t->lens = *lens;
    try {
        t->rays.assign(3 * n, 0.0f);
    } catch (...) {
        return nullptr;
    }
    for (int y = 0; y < lens->img_h; ++y)
        for (int x = 0; x < lens->img_w; ++x) {
            double r[3];
            if (!vx_lens_pixel_ray(lens, x, y, r)) continue;
            float *p = t->rays.data() + 3 * (static_cast<size_t>(y) * static_cast<size_t>(lens->img_w) + x);
            p[0] = static_cast<float>(r[0]);
            p[1] = static_cast<float>(r[1]);
            p[2] = static_cast<float>(r[2]);
        }
    return t;
}
