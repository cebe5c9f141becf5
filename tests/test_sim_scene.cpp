// Geometry of the simulator: lens rays, ray casting and the built-in scenes.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "sim_lens.h"
#include "sim_scene.h"
#include "sim_sensor.h"

using namespace kavro_sim;

// Pixel -> ray -> pixel comes back to the same place all over the image,
// including the corners where the default lens bends most.
TEST(SimLens, PixelRayProjectsBack)
{
    lens ln = lens_default();
    double worst = 0;
    for (int v = 0; v < ln.img_h; v += 7) {
        for (int u = 0; u < ln.img_w; u += 7) {
            vec3 dir;
            ASSERT_TRUE(lens_pixel_ray(ln, u, v, &dir)) << u << "," << v;
            EXPECT_NEAR(dot(dir, dir), 1.0, 1e-12);
            double pu, pv;
            lens_project(ln, dir * 1234.0, &pu, &pv);
            worst = std::max({worst, std::fabs(pu - u), std::fabs(pv - v)});
        }
    }
    for (int corner = 0; corner < 4; ++corner) {
        double u = (corner & 1) ? ln.img_w - 1 : 0, v = (corner & 2) ? ln.img_h - 1 : 0;
        vec3 dir;
        ASSERT_TRUE(lens_pixel_ray(ln, u, v, &dir));
        double pu, pv;
        lens_project(ln, dir, &pu, &pv);
        worst = std::max({worst, std::fabs(pu - u), std::fabs(pv - v)});
        // Barrel distortion: the corner ray lies further out than the pinhole
        // ray through the same pixel.
        double pin_x = (u - ln.cx) / ln.fx;
        EXPECT_GT(std::fabs(dir.x / dir.z), std::fabs(pin_x));
    }
    EXPECT_LT(worst, 1e-6);
    vec3 axis;
    ASSERT_TRUE(lens_pixel_ray(ln, ln.cx, ln.cy, &axis));
    EXPECT_NEAR(axis.z, 1.0, 1e-12);
}

TEST(SimScene, RayCastPrimitives)
{
    struct cast_case {
        const char* name;
        prim pr;
        vec3 dir;
        bool hit;
        double t;
        vec3 normal;
    };
    const vec3 fwd{0, 0, 1};
    const vec3 diag = normalize({1, 0, 1});
    const cast_case cases[] = {
        {"quad ahead", make_quad({0, 0, 1000}, {100, 0, 0}, {0, 100, 0}, 0.5), fwd, true, 1000, {0, 0, -1}},
        {"quad seen from its back", make_quad({0, 0, 1000}, {0, 100, 0}, {100, 0, 0}, 0.5), fwd, true, 1000,
         {0, 0, -1}},
        {"ray passes beside the quad", make_quad({500, 0, 1000}, {100, 0, 0}, {0, 100, 0}, 0.5), fwd, false, 0,
         {}},
        {"quad behind the camera", make_quad({0, 0, -1000}, {100, 0, 0}, {0, 100, 0}, 0.5), fwd, false, 0, {}},
        {"box front face", make_box({-50, -50, 800}, {50, 50, 900}, 0.5), fwd, true, 800, {0, 0, -1}},
        {"box side face", make_box({100, -50, 0}, {200, 50, 1000}, 0.5), diag, true, 100 * std::sqrt(2.0),
         {-1, 0, 0}},
        {"sphere", make_sphere({0, 0, 2000}, 300, 0.5), fwd, true, 1700, {0, 0, -1}},
        {"sphere missed", make_sphere({0, 400, 2000}, 300, 0.5), fwd, false, 0, {}},
    };
    for (const cast_case& c : cases) {
        SCOPED_TRACE(c.name);
        scene s;
        s.prims.push_back(c.pr);
        hit h = scene_cast(s, {}, c.dir);
        EXPECT_EQ(h.ok, c.hit);
        if (!c.hit)
            continue;
        EXPECT_NEAR(h.t, c.t, 1e-9);
        EXPECT_NEAR(h.normal.x, c.normal.x, 1e-12);
        EXPECT_NEAR(h.normal.y, c.normal.y, 1e-12);
        EXPECT_NEAR(h.normal.z, c.normal.z, 1e-12);
        EXPECT_EQ(h.refl, 0.5);
    }
    // The nearest of several surfaces wins, whatever their order.
    scene s;
    s.prims.push_back(make_quad({0, 0, 3000}, {1000, 0, 0}, {0, 1000, 0}, 0.2));
    s.prims.push_back(make_sphere({0, 0, 1500}, 100, 0.9));
    hit h = scene_cast(s, {}, fwd);
    EXPECT_NEAR(h.t, 1400, 1e-9);
    EXPECT_EQ(h.refl, 0.9);
}

// Ground truth of the flat wall is the radial distance 1000 / cos(angle),
// the distance the decoder reports, not the depth z.
TEST(SimScene, WallTruthIsRadialDistance)
{
    scene sc;
    ASSERT_TRUE(scene_builtin("wall", &sc));
    camera cam(sc, sensor_cfg{});
    lens ln = lens_default();
    for (int v = 0; v < 240; v += 17) {
        for (int u = 0; u < 320; u += 13) {
            vec3 dir;
            ASSERT_TRUE(lens_pixel_ray(ln, u, v, &dir));
            EXPECT_NEAR(cam.truth_mm()[v * 320 + u], 1000.0 / dir.z, 1e-3);
        }
    }
}

TEST(SimScene, BuiltinScenes)
{
    for (const std::string& name : scene_names()) {
        SCOPED_TRACE(name);
        scene sc;
        ASSERT_TRUE(scene_builtin(name, &sc));
        EXPECT_EQ(sc.name, name);
        EXPECT_FALSE(sc.about.empty());
        // The closed scenes fill the whole view.
        camera cam(sc, sensor_cfg{});
        int empty = 0;
        for (float t : cam.truth_mm())
            empty += t <= 0;
        EXPECT_EQ(empty, 0);
    }
    scene sc;
    EXPECT_FALSE(scene_builtin("moon", &sc));

    // Stairs: eight depths from 0.5 m to 4 m, each a band of rows along the
    // centre column, nearest at the top.
    ASSERT_TRUE(scene_builtin("stairs", &sc));
    camera cam(sc, sensor_cfg{});
    lens ln = lens_default();
    const int u = (int)std::lround(ln.cx);
    std::set<int> depths;
    double prev = 0;
    for (int v = 0; v < 240; ++v) {
        vec3 dir;
        ASSERT_TRUE(lens_pixel_ray(ln, u, v, &dir));
        double z = cam.truth_mm()[v * 320 + u] * dir.z;
        EXPECT_GE(z, prev - 0.01);  // truth is single precision
        prev = z;
        depths.insert((int)std::lround(z));
    }
    EXPECT_EQ(depths.size(), 8u);
    EXPECT_EQ(*depths.begin(), 500);
    EXPECT_EQ(*depths.rbegin(), 4000);
}

// The sensor reads rows from the middle outwards: even rows go up, odd rows down.
TEST(SimScene, SensorRowOrder)
{
    EXPECT_EQ(sensor_row_to_image(0, 4), 1);
    EXPECT_EQ(sensor_row_to_image(1, 4), 2);
    EXPECT_EQ(sensor_row_to_image(2, 4), 0);
    EXPECT_EQ(sensor_row_to_image(3, 4), 3);
    std::set<int> rows;
    for (int s = 0; s < 240; ++s)
        rows.insert(sensor_row_to_image(s, 240));
    EXPECT_EQ(rows.size(), 240u);
    EXPECT_EQ(*rows.rbegin(), 239);
    EXPECT_EQ(range_mm(12000000), 12491u);
}
