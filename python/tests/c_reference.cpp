// Reference decode for the Python tests, through the C interface only:
// replays a recording and writes, for every frame it captures, the raw bytes
// and what the decoding calls make of them, as plain little-endian files in
// OUTDIR named after the frame index:
//   <idx>.raw   the frame bytes           <idx>.dist  distance, float32
//   <idx>.gray  gray, float32             <idx>.pcl   points x y z, float32
//   <idx>.xyzd  points x y z d, float32   <idx>.rgb   colour map 0.5 ... 5 m, RGB
// and prints "frame <idx> <bytes> <width> <height> <info flags> <temp0> <temp1>"
// per frame (the frame information's flags and its two temperatures, 0.1 degC).
//
//   kavro_py_reference RECORDING OUTDIR
#include <cstdio>
#include <string>
#include <vector>

#include "kavro.h"

namespace {

constexpr uint32_t FRAME_BUF_BYTES = 0x400000;
constexpr float CMAP_MIN_M = 0.5f, CMAP_MAX_M = 5.0f;

template <typename T>
bool write_file(const std::string &path, const T *data, size_t count) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(data, sizeof(T), count, f) == count;
    return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: kavro_py_reference RECORDING OUTDIR\n");
        return 2;
    }
    const std::string out = std::string(argv[2]) + "/";
    kavro_path_cfg(out.c_str());
    kavro_init((out + "reference.log").c_str());
    kavro_dev_t *dev = kavro_dev_open_replay(argv[1]);
    if (!dev) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        kavro_uninit();
        return 1;
    }
    kavro_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.frame_rate.fps = 30;
    int status = 0;
    if (!kavro_param_batch_set(dev, &rate, 1) || !kavro_cap_start(dev)) status = 1;

    std::vector<uint8_t> raw(FRAME_BUF_BYTES);
    while (status == 0) {
        kavro_frame_t fr{};
        const int n = kavro_cap_get_frames(dev, 1, raw.data(), FRAME_BUF_BYTES, &fr);
        if (n < 0) status = 1;
        if (n <= 0) break;
        const kavro_frame_info_t &info = fr.frame_info;
        const int w = static_cast<int>(info.width), h = static_cast<int>(info.height), px = w * h;
        const int src_len = static_cast<int>(info.frame_size);
        std::vector<float> dist(px), gray(px), pcl(static_cast<size_t>(px) * 3), xyzd(static_cast<size_t>(px) * 4);
        std::vector<uint8_t> rgb(static_cast<size_t>(px) * 3);
        if (kavro_frame_get_distance(dev, dist.data(), px, raw.data(), src_len, &info) != px ||
            kavro_frame_get_gray(dev, gray.data(), px, raw.data(), src_len, &info) != px) {
            status = 1;
            break;
        }
        const int np = kavro_frame_get_pcl(dev, pcl.data(), px * 3, dist.data(), px, w, h, nullptr);
        const int nx = kavro_frame_get_pcl_xyzd(dev, xyzd.data(), px * 4, dist.data(), px, w, h, false, nullptr);
        const int nc = kavro_cmap_float(rgb.data(), px * 3, dist.data(), px, KAVRO_CMAP_OUTFMT_RGB, CMAP_MIN_M,
                                        CMAP_MAX_M);
        const std::string base = out + std::to_string(info.frame_idx);
        if (nc != px || !write_file(base + ".raw", raw.data(), info.frame_size) ||
            !write_file(base + ".dist", dist.data(), dist.size()) ||
            !write_file(base + ".gray", gray.data(), gray.size()) ||
            !write_file(base + ".pcl", pcl.data(), static_cast<size_t>(np) * 3) ||
            !write_file(base + ".xyzd", xyzd.data(), static_cast<size_t>(nx) * 4) ||
            !write_file(base + ".rgb", rgb.data(), rgb.size())) {
            status = 1;
            break;
        }
        printf("frame %u %u %d %d %u %d %d\n", static_cast<unsigned>(info.frame_idx),
               static_cast<unsigned>(info.frame_size), w, h, static_cast<unsigned>(info.flags), info.temp0,
               info.temp1);
    }
    kavro_cap_stop(dev);
    kavro_dev_close(dev);
    kavro_uninit();
    return status;
}
