// Parametric scene of the camera simulator: flat quads, axis-aligned boxes
// and spheres, each with a diffuse reflectivity, and a ray caster over them.
//
// Coordinates are camera coordinates in millimetres: origin at the optical
// centre, +z along the optical axis, +x towards increasing image columns,
// +y towards increasing image rows (down).
#ifndef KAVRO_SIM_SCENE_H
#define KAVRO_SIM_SCENE_H

#include <string>
#include <vector>

namespace kavro_sim {

struct vec3 {
    double x = 0, y = 0, z = 0;
};

inline vec3 operator+(vec3 a, vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline vec3 operator-(vec3 a, vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline vec3 operator*(vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double dot(vec3 a, vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline vec3 cross(vec3 a, vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
vec3 normalize(vec3 a);

enum class prim_kind { quad, box, sphere };

// One surface. quad: centre `p`, half-extent vectors `u` and `v` (the normal
// is u x v, both faces reflect); box: corners `p` (min) and `u` (max);
// sphere: centre `p`, radius `radius`.
struct prim {
    prim_kind kind = prim_kind::quad;
    vec3 p, u, v;
    double radius = 0;
    double refl = 0.5;  // diffuse reflectivity 0..1 at the illumination wavelength
};

struct hit {
    bool ok = false;
    double t = 0;  // distance along the (unit) ray, mm
    vec3 normal;   // unit surface normal facing the ray origin
    double refl = 0;
};

struct scene {
    std::string name;
    std::string about;
    std::vector<prim> prims;
};

// Nearest surface along the unit ray `dir` from `org`; hit.ok false when the
// ray leaves the scene.
hit scene_cast(const scene& s, vec3 org, vec3 dir);

// Built-in scenes: "wall", "room", "stairs", "edges". False for other names.
bool scene_builtin(const std::string& name, scene* out);
std::vector<std::string> scene_names();

prim make_quad(vec3 centre, vec3 half_u, vec3 half_v, double refl);
prim make_box(vec3 lo, vec3 hi, double refl);
prim make_sphere(vec3 centre, double radius, double refl);

}  // namespace kavro_sim

#endif
