// Ray casting and the built-in scenes of the camera simulator.
#include "sim_scene.h"

#include <cmath>
#include <limits>

namespace kavro_sim {

vec3 normalize(vec3 a)
{
    double l = std::sqrt(dot(a, a));
    return l > 0 ? a * (1.0 / l) : a;
}

prim make_quad(vec3 centre, vec3 half_u, vec3 half_v, double refl)
{
    prim q;
    q.kind = prim_kind::quad;
    q.p = centre;
    q.u = half_u;
    q.v = half_v;
    q.refl = refl;
    return q;
}

prim make_box(vec3 lo, vec3 hi, double refl)
{
    prim b;
    b.kind = prim_kind::box;
    b.p = lo;
    b.u = hi;
    b.refl = refl;
    return b;
}

prim make_sphere(vec3 centre, double radius, double refl)
{
    prim s;
    s.kind = prim_kind::sphere;
    s.p = centre;
    s.radius = radius;
    s.refl = refl;
    return s;
}

namespace {

constexpr double k_eps = 1e-9;

bool cast_quad(const prim& q, vec3 org, vec3 dir, double* t, vec3* n)
{
    vec3 nrm = normalize(cross(q.u, q.v));
    double den = dot(nrm, dir);
    if (std::fabs(den) < k_eps)
        return false;
    double tt = dot(q.p - org, nrm) / den;
    if (tt <= k_eps)
        return false;
    vec3 d = org + dir * tt - q.p;
    // The half-extent vectors need not be unit: project and compare with 1.
    double su = dot(d, q.u) / dot(q.u, q.u);
    double sv = dot(d, q.v) / dot(q.v, q.v);
    if (std::fabs(su) > 1.0 || std::fabs(sv) > 1.0)
        return false;
    *t = tt;
    *n = den < 0 ? nrm : nrm * -1.0;
    return true;
}

bool cast_box(const prim& b, vec3 org, vec3 dir, double* t, vec3* n)
{
    // Slab method; the entry face gives the normal. A ray starting inside
    // the box sees no surface (the camera is never inside an object).
    const double o[3] = {org.x, org.y, org.z};
    const double d[3] = {dir.x, dir.y, dir.z};
    const double lo[3] = {b.p.x, b.p.y, b.p.z};
    const double hi[3] = {b.u.x, b.u.y, b.u.z};
    double tmin = -std::numeric_limits<double>::infinity();
    double tmax = std::numeric_limits<double>::infinity();
    int axis = -1;
    double sign = 0;
    for (int a = 0; a < 3; ++a) {
        if (std::fabs(d[a]) < k_eps) {
            if (o[a] < lo[a] || o[a] > hi[a])
                return false;
            continue;
        }
        double t0 = (lo[a] - o[a]) / d[a];
        double t1 = (hi[a] - o[a]) / d[a];
        double s = -1.0;  // entering through the low face: normal points to -axis
        if (t0 > t1) {
            std::swap(t0, t1);
            s = 1.0;
        }
        if (t0 > tmin) {
            tmin = t0;
            axis = a;
            sign = s;
        }
        tmax = std::min(tmax, t1);
    }
    if (axis < 0 || tmin > tmax || tmin <= k_eps)
        return false;
    *t = tmin;
    vec3 nn;
    (axis == 0 ? nn.x : axis == 1 ? nn.y : nn.z) = sign;
    *n = nn;
    return true;
}

bool cast_sphere(const prim& s, vec3 org, vec3 dir, double* t, vec3* n)
{
    vec3 oc = org - s.p;
    double b = dot(oc, dir);
    double c = dot(oc, oc) - s.radius * s.radius;
    double disc = b * b - c;
    if (disc < 0)
        return false;
    double sq = std::sqrt(disc);
    double tt = -b - sq;
    if (tt <= k_eps)
        return false;  // behind or around the camera
    *t = tt;
    *n = normalize(org + dir * tt - s.p);
    return true;
}

}  // namespace

hit scene_cast(const scene& s, vec3 org, vec3 dir)
{
    hit best;
    best.t = std::numeric_limits<double>::infinity();
    for (const prim& p : s.prims) {
        double t = 0;
        vec3 n;
        bool ok = false;
        switch (p.kind) {
        case prim_kind::quad: ok = cast_quad(p, org, dir, &t, &n); break;
        case prim_kind::box: ok = cast_box(p, org, dir, &t, &n); break;
        case prim_kind::sphere: ok = cast_sphere(p, org, dir, &t, &n); break;
        }
        if (ok && t < best.t) {
            best.ok = true;
            best.t = t;
            best.normal = n;
            best.refl = p.refl;
        }
    }
    if (!best.ok)
        best.t = 0;
    return best;
}

namespace {

// A fronto-parallel wall far wider than the view, 1 m in front of the camera.
scene scene_wall()
{
    scene s;
    s.name = "wall";
    s.about = "flat white wall facing the camera at 1 m";
    s.prims.push_back(make_quad({0, 0, 1000}, {10000, 0, 0}, {0, 10000, 0}, 0.8));
    return s;
}

// A room 4 m wide, 2.6 m high and 4.5 m deep; the camera stands 1.2 m above
// the floor, 2 m from either side wall, and looks along the room.
scene scene_room()
{
    scene s;
    s.name = "room";
    s.about = "room with floor, ceiling, three walls, a box on the floor and a sphere";
    const double floor_y = 1200, ceil_y = -1400, back_z = 4500, side_x = 2000, near_z = -500;
    const double mid_z = (back_z + near_z) / 2, half_z = (back_z - near_z) / 2;
    const double mid_y = (floor_y + ceil_y) / 2, half_y = (floor_y - ceil_y) / 2;
    s.prims.push_back(make_quad({0, floor_y, mid_z}, {side_x, 0, 0}, {0, 0, half_z}, 0.35));
    s.prims.push_back(make_quad({0, ceil_y, mid_z}, {side_x, 0, 0}, {0, 0, half_z}, 0.7));
    s.prims.push_back(make_quad({0, mid_y, back_z}, {side_x, 0, 0}, {0, half_y, 0}, 0.6));
    s.prims.push_back(make_quad({-side_x, mid_y, mid_z}, {0, half_y, 0}, {0, 0, half_z}, 0.55));
    s.prims.push_back(make_quad({side_x, mid_y, mid_z}, {0, half_y, 0}, {0, 0, half_z}, 0.55));
    s.prims.push_back(make_box({-900, floor_y - 500, 1800}, {-200, floor_y, 2500}, 0.5));
    s.prims.push_back(make_sphere({700, 300, 2200}, 350, 0.9));
    return s;
}

// Eight fronto-parallel steps from 0.5 m to 4 m, each a horizontal band of the
// view: the nearest at the top of the image, the farthest at the bottom.
scene scene_stairs()
{
    scene s;
    s.name = "stairs";
    s.about = "eight fronto-parallel steps from 0.5 m to 4 m, one band of rows each";
    const int steps = 8;
    const double z0 = 500, z1 = 4000;
    // Band edges lie on rays through fixed normalised heights (y / z), so each
    // step fills one band of rows whatever its depth and none hides another.
    // The view spans about -0.7 ... 0.7 in y / z along the centre column.
    const double yn_top = -0.7, yn_bot = 0.7;
    for (int i = 0; i < steps; ++i) {
        double z = z0 + (z1 - z0) * i / (steps - 1);
        double y0 = (yn_top + (yn_bot - yn_top) * i / steps) * z;
        double y1 = (yn_top + (yn_bot - yn_top) * (i + 1) / steps) * z;
        // Extend the first and last band beyond the view.
        if (i == 0)
            y0 -= 4 * z;
        if (i == steps - 1)
            y1 += 4 * z;
        double refl = (i % 2) ? 0.5 : 0.8;
        s.prims.push_back(
            make_quad({0, (y0 + y1) / 2, z}, {6 * z, 0, 0}, {0, (y1 - y0) / 2, 0}, refl));
    }
    return s;
}

// Thin posts, a picket of narrow slats and spheres in front of a far wall:
// every pixel row crosses many depth edges, which is where flying (mixed)
// pixels appear.
scene scene_edges()
{
    scene s;
    s.name = "edges";
    s.about = "posts, slats and spheres in front of a wall at 3 m: many depth edges";
    s.prims.push_back(make_quad({0, 0, 3000}, {10000, 0, 0}, {0, 10000, 0}, 0.6));
    for (int i = 0; i < 9; ++i) {
        double x = -1200 + 300 * i;
        s.prims.push_back(make_box({x - 20, -1500, 1200}, {x + 20, 1500, 1240}, 0.8));
    }
    for (int i = 0; i < 6; ++i) {
        double y = -700 + 280 * i;
        s.prims.push_back(make_box({-600, y - 30, 1800.0 + 100 * i}, {600, y + 30, 1840.0 + 100 * i}, 0.4));
    }
    s.prims.push_back(make_sphere({-500, 450, 800}, 120, 0.9));
    s.prims.push_back(make_sphere({450, -400, 900}, 90, 0.3));
    return s;
}

}  // namespace

bool scene_builtin(const std::string& name, scene* out)
{
    if (name == "wall")
        *out = scene_wall();
    else if (name == "room")
        *out = scene_room();
    else if (name == "stairs")
        *out = scene_stairs();
    else if (name == "edges")
        *out = scene_edges();
    else
        return false;
    return true;
}

std::vector<std::string> scene_names() { return {"wall", "room", "stairs", "edges"}; }

}  // namespace kavro_sim
