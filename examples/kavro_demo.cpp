// The demo: initialise the library, colour-map a synthetic depth scene with
// the library's colour map and write it as a PNG image.
//
//   kavro_demo [OUTPUT_DIR]     (default: build/demo)
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kavro.h"
#include "png_writer.h"
#include "vx_cmap.h"

namespace {

constexpr int WIDTH = 320;
constexpr int HEIGHT = 240;

// A wall receding from 0.6 m on the left to 3.8 m on the right, with a ball
// at 1 m in the middle and a band of rejected pixels along the bottom.
std::vector<uint16_t> synthetic_depth() {
    std::vector<uint16_t> depth(WIDTH * HEIGHT);
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            double d = 600.0 + 3200.0 * x / (WIDTH - 1);
            const double dx = x - WIDTH / 2.0, dy = y - HEIGHT / 2.0, r = 60.0;
            if (dx * dx + dy * dy < r * r) d = 1000.0 - std::sqrt(r * r - dx * dx - dy * dy) * 4.0;
            if (y >= HEIGHT - 12) d = VX_CMAP_VAL_REJECTED;
            depth[static_cast<size_t>(y) * WIDTH + x] = static_cast<uint16_t>(d);
        }
    }
    return depth;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string out_dir = argc > 1 ? argv[1] : "build/demo";
    kavro_path_cfg((out_dir + "/").c_str());
    kavro_init((out_dir + "/kavro_demo.log").c_str());

    vx_cmap_t cmap;
    vx_cmap_init(&cmap, 30000);
    vx_cmap_set_range(&cmap, 500, 4000);

    const std::vector<uint16_t> depth = synthetic_depth();
    std::vector<uint8_t> rgb(depth.size() * 3);
    for (size_t i = 0; i < depth.size(); ++i) {
        const uint32_t c = vx_cmap_get_color(&cmap, depth[i]);
        rgb[i * 3 + 0] = static_cast<uint8_t>(c);
        rgb[i * 3 + 1] = static_cast<uint8_t>(c >> 8);
        rgb[i * 3 + 2] = static_cast<uint8_t>(c >> 16);
    }
    vx_cmap_uninit(&cmap);

    const std::string png = out_dir + "/depth_colormap.png";
    std::string error;
    const bool ok = write_png_rgb(png, rgb.data(), WIDTH, HEIGHT, error);
    kavro_uninit();
    if (!ok) {
        fprintf(stderr, "kavro_demo: %s\n", error.c_str());
        return 1;
    }
    printf("kavro_demo: wrote a %dx%d colour-mapped depth image (0.5 m red ... 4 m blue) to %s\n",
           WIDTH, HEIGHT, png.c_str());
    return 0;
}
