#include "ply_writer.h"

#include <cstdio>
#include <memory>

bool write_ply_xyz_rgb(const std::string &path, const std::vector<float> &pcl, int points,
                       const float *dist, const uint8_t *rgb, int pixels, const std::string &comment,
                       std::string &error) {
    if (points < 0 || static_cast<size_t>(points) * 3 > pcl.size()) {
        error = "point count " + std::to_string(points) + " exceeds the point buffer";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> fp(fopen(path.c_str(), "wb"), fclose);
    if (!fp) {
        error = "cannot open " + path + " for writing";
        return false;
    }
    std::string header = "ply\nformat binary_little_endian 1.0\n";
    if (!comment.empty()) header += "comment " + comment + "\n";
    header += "element vertex " + std::to_string(points) +
              "\nproperty float x\nproperty float y\nproperty float z\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the PLY body is written in host order");
    std::vector<uint8_t> body;
    body.reserve(static_cast<size_t>(points) * 15);
    int n = 0;
    for (int i = 0; i < pixels && n < points; ++i) {
        if (!ply_valid_distance(dist[i])) continue;
        const auto *xyz = reinterpret_cast<const uint8_t *>(&pcl[static_cast<size_t>(n) * 3]);
        body.insert(body.end(), xyz, xyz + 12);
        body.insert(body.end(), &rgb[static_cast<size_t>(i) * 3], &rgb[static_cast<size_t>(i) * 3] + 3);
        ++n;
    }
    if (n != points) {
        error = "the distance image has fewer valid pixels than points for " + path;
        return false;
    }
    if (fwrite(header.data(), 1, header.size(), fp.get()) != header.size() ||
        fwrite(body.data(), 1, body.size(), fp.get()) != body.size() || fflush(fp.get()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
