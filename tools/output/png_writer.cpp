#include "png_writer.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// channels: 1 (gray) or 3 (RGB), 8 bits each.
bool write_png(const std::string &path, const uint8_t *pixels, int width, int height, int channels,
               std::string &error) {
    std::unique_ptr<FILE, int (*)(FILE *)> fp(fopen(path.c_str(), "wb"), fclose);
    if (!fp) {
        error = "cannot open " + path + " for writing";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng could not allocate its state";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y)
        rows[static_cast<size_t>(y)] = const_cast<png_bytep>(pixels + static_cast<size_t>(y) * width * channels);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = "libpng failed while writing " + path;
        return false;
    }
    png_init_io(png, fp.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    // The last buffered bytes reach the file here: a full disk shows now.
    if (fflush(fp.get()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

bool write_png_rgb(const std::string &path, const uint8_t *rgb, int width, int height,
                   std::string &error) {
    return write_png(path, rgb, width, height, 3, error);
}

bool write_png_gray(const std::string &path, const uint8_t *gray, int width, int height,
                    std::string &error) {
    return write_png(path, gray, width, height, 1, error);
}
