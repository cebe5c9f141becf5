// Frame decoding for the application: raw frames to distance images in
// metres and gray images through the chip driver, distance images to point
// clouds with the caller's or the driver's lens values, colour maps of
// float images, and the driver filter switches.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_globals.h"
#include "imgproc/vx_lens_rays.h"
#include "kavro_handler.h"
#include "vx_cmap.h"
#include "vx_conv.h"
#include "vx_log_internal.h"

namespace {

// The device's driver, looked up and kept when the handler has none yet.
kavro_drv_t *handler_driver(_kavro_handler_t *h) {
    if (h->driver) return h->driver;
    kavro_drv_t *entry = kavro_drv_find(h->dev);
    if (!entry) return nullptr;
    h->drv_inst = *entry;
    h->drv_inst.dev = nullptr;
    h->drv_inst.priv_data = nullptr;
    h->driver = &h->drv_inst;
    return h->driver;
}

// Integer part of 1000 * v, held inside the int range (a non-number gives 0).
int milli(float v) {
    const double m = 1000.0 * static_cast<double>(v);
    if (!(m == m)) return 0;
    if (m >= 2147483647.0) return INT32_MAX;
    if (m <= -2147483648.0) return INT32_MIN;
    return static_cast<int>(m);
}

// The driver's lens model of the images it decodes at img_w x img_h (see
// kavro_drv_op.lens_view_get); drivers with only lens_param_get give the
// lens record, taken as the model of the images as they are.
bool driver_lens_view(kavro_drv_t *drv, int img_w, int img_h, vx_len_param_t *lp, bool *undistorted) {
    *undistorted = false;
    if (drv->op->lens_view_get) return drv->op->lens_view_get(drv, lp, img_w, img_h, undistorted);
    return drv->op->lens_param_get(drv, lp, img_w, img_h);
}

// The ray table of the lens values lp, shared by the device's calls: the
// cached one when it was built from the same values, else a new one that
// replaces it. Built outside the lock; two threads that miss at once both
// build, and the last one's table stays.
std::shared_ptr<const vx_ray_table> device_rays(_kavro_handler_t *h, const vx_len_param_t &lp) {
    {
        std::lock_guard<std::mutex> g(h->pcl_rays_mutex);
        if (h->pcl_rays && vx_lens_same(h->pcl_rays->lens, lp)) return h->pcl_rays;
    }
    std::shared_ptr<const vx_ray_table> t = vx_ray_table_build(&lp);
    if (!t) return nullptr;
    std::lock_guard<std::mutex> g(h->pcl_rays_mutex);
    h->pcl_rays = t;
    return t;
}

// Writes the point d * (X, Y, Z) (and its fourth value) at slot `points`.
inline void put_point(float *pcl, int per_point, int points, float X, float Y, float Z, float d,
                      bool pseudo_color) {
    float *p = pcl + static_cast<size_t>(per_point) * static_cast<size_t>(points);
    p[0] = X;
    p[1] = Y;
    p[2] = Z;
    if (per_point == 4) p[3] = pseudo_color ? static_cast<float>(vx_cmap_get_color(&g_vx_cmap, milli(d))) : d;
}

}  // namespace

// Decode src into the 16-bit image dst (dst_len pixels) in format dst_fmt.
// Pixels written, 0 on failure.
int _kavro_frame_get_u16(kavro_dev_t *dev, uint16_t *dst, int dst_len, kavro_frame_fmt_e dst_fmt, void *src,
                         int src_len, const kavro_frame_info_t *frinfo) {
    _kavro_api_guard guard(dev);
    _kavro_handler_t *h = guard.handler();
    if (!h || !dst || !src || !frinfo || !h->driver || !h->driver->op || !h->driver->op->frame_decode) {
        LOG_DBG("Wrong params\n");
        return 0;
    }
    if (src_len < 0 || static_cast<uint32_t>(src_len) < frinfo->frame_size) {
        LOG_ERR("raw frame length too small: datalen=%d, frlen=%d\n", src_len, frinfo->frame_size);
        return 0;
    }
    const int64_t bytes = static_cast<int64_t>(dst_len) * 2;
    int ret;
    {
        std::lock_guard<std::mutex> lk(h->decode_mutex);
        ret = h->driver->op->frame_decode(h->driver, dst, bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes),
                                          dst_fmt, src, src_len, frinfo);
    }
    if (ret < 0) {
        LOG_ERR("raw frame decode to %d failed: %d\n", dst_fmt, ret);
        return 0;
    }
    return ret / 2;
}

// Distance and gray getters: decode into the second half of dst, then widen
// to float front to back. Float i is written at byte 4i and 16-bit sample i
// is read from byte 4 * (dst_len / 2) + 2i, never behind a write, so the
// conversion is safe in place.
static int _kavro_frame_get_f32(kavro_dev_t *dev, float *dst, int dst_len, uint8_t *src, int src_len,
                                const kavro_frame_info_t *finfo, kavro_frame_fmt_e fmt, float scale) {
    if (!dst || !finfo || dst_len < 0) return 0;
    const uint64_t need = static_cast<uint64_t>(finfo->width) * finfo->height;
    if (static_cast<uint64_t>(dst_len) < need) {
        LOG_ERR("wrong dst_len: %d (wxh=%dx%d)\n", dst_len, finfo->width, finfo->height);
        return 0;
    }
    auto *u16 = reinterpret_cast<uint16_t *>(dst + dst_len / 2);
    const int n = _kavro_frame_get_u16(dev, u16, dst_len, fmt, src, src_len, finfo);
    if (n <= 0) return 0;
    vx_conv_u16_f32(dst, u16, n, scale);
    return n;
}

// Point cloud of 3 or 4 floats per point (see the public header). Each point
// is the pixel's distance along the pixel's own unit ray:
// - with the caller's pinhole values, the ray (u, v, 1) normalised, u =
//   (x - cx) / fx, v = (y - cy) / fy: the image is taken as a pinhole view;
// - with the driver's lens, the ray the lens gives the pixel (the
//   distortion inverted; for an undistorted image the pinhole of the
//   undistorted view), from a per-device table kept for the lens values and
//   the image size, so a point costs one lookup and one multiply.
//
// Organised (`organized`, 3 floats per point): every pixel has its slot, and
// a pixel left out gets NaN in all three; the caller checked that pcl holds
// every pixel. Returns the valid points, or -1 when nothing was written.
static int _kavro_frame_get_pcl_n(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist, int img_w, int img_h,
                                  int per_point, bool pseudo_color, const kavro_camera_para_t *p_cam_param,
                                  const char *caller, bool organized = false) {
    const int fail = organized ? -1 : 0;
    if (!dev) return fail;
    _kavro_api_guard guard(dev);
    _kavro_handler_t *h = guard.handler();
    if (!h || !pcl || !dist || img_w <= 0 || img_h <= 0) return fail;
    int points = 0;
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    // Where pixel i goes and what a left-out pixel leaves there.
    auto slot = [&](size_t i) { return organized ? static_cast<int>(i) : points; };
    auto skip = [&](size_t i) {
        if (organized) put_point(pcl, 3, static_cast<int>(i), nan, nan, nan, nan, false);
    };
    if (p_cam_param) {
        const double cx = p_cam_param->cx, cy = p_cam_param->cy, fx = p_cam_param->fx, fy = p_cam_param->fy;
        const float s = p_cam_param->scale;
        for (int y = 0; y < img_h; ++y) {
            for (int x = 0; x < img_w; ++x) {
                if (!organized && per_point * points + per_point - 1 >= pcl_len) return points;
                const size_t i = static_cast<size_t>(y) * static_cast<size_t>(img_w) + static_cast<size_t>(x);
                float d = dist[i];
                if (!(d > 0.0f && d < 60.0f)) {
                    skip(i);
                    continue;
                }
                d = d * s;
                const double u = (x - cx) / fx;
                const double v = (y - cy) / fy;
                const double k = d / std::sqrt(1.0 + u * u + v * v);
                put_point(pcl, per_point, slot(i), static_cast<float>(u * k), static_cast<float>(v * k),
                          static_cast<float>(k), d, pseudo_color);
                ++points;
            }
        }
        return points;
    }

    kavro_drv_t *drv = h->driver;
    if (!drv || !drv->op || (!drv->op->lens_param_get && !drv->op->lens_view_get)) {
        vx_log(nullptr, VX_LOG_LEVEL_ERROR, "ERR", "[%s] Cannot generate PCL: no lens parameter in driver.\n", caller);
        return fail;
    }
    vx_len_param_t lp{};
    bool undistorted = false;
    if (!driver_lens_view(drv, img_w, img_h, &lp, &undistorted)) return fail;
    lp.img_w = img_w;
    lp.img_h = img_h;
    const std::shared_ptr<const vx_ray_table> rays = device_rays(h, lp);
    if (!rays) {
        vx_log(nullptr, VX_LOG_LEVEL_ERROR, "ERR", "[%s] Cannot generate PCL: unusable lens parameters.\n", caller);
        return fail;
    }
    const size_t n = static_cast<size_t>(img_w) * static_cast<size_t>(img_h);
    for (size_t i = 0; i < n; ++i) {
        if (!organized && per_point * points + per_point - 1 >= pcl_len) return points;
        const float d = dist[i];
        const float *r = rays->at(i);
        // Out of range, or the lens gives this pixel no ray.
        if (!(d > 0.0f && d < 60.0f) || r[2] == 0.0f) {
            skip(i);
            continue;
        }
        put_point(pcl, per_point, slot(i), d * r[0], d * r[1], d * r[2], d, pseudo_color);
        ++points;
    }
    return points;
}

extern "C" {

int kavro_frame_get_distance(kavro_dev_t *dev, float *dst, int dst_len, uint8_t *src, int src_len,
                             const kavro_frame_info_t *finfo) {
    return _kavro_frame_get_f32(dev, dst, dst_len, src, src_len, finfo, VX_FRAME_FMT_DISTANCE, 0.001f);
}

int kavro_frame_get_gray(kavro_dev_t *dev, float *dst, int dst_len, uint8_t *src, int src_len,
                         const kavro_frame_info_t *finfo) {
    return _kavro_frame_get_f32(dev, dst, dst_len, src, src_len, finfo, VX_FRAME_FMT_GRAY, 1.0f);
}

// The distance image must hold img_w x img_h values.
static bool _pcl_dist_fits(int dist_len, int img_w, int img_h, const char *caller) {
    if (img_w <= 0 || img_h <= 0) return true;  // refused by the point cloud itself
    if (dist_len >= 0 && static_cast<int64_t>(img_w) * img_h <= dist_len) return true;
    vx_log(nullptr, VX_LOG_LEVEL_ERROR, "ERR", "[%s] wrong dist_len: %d (wxh=%dx%d)\n", caller, dist_len, img_w,
           img_h);
    return false;
}

int kavro_frame_get_pcl(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist, int dist_len, int img_w,
                        int img_h, const kavro_camera_para_t *p_cam_param) {
    if (!_pcl_dist_fits(dist_len, img_w, img_h, __func__)) return 0;
    return _kavro_frame_get_pcl_n(dev, pcl, pcl_len, dist, img_w, img_h, 3, false, p_cam_param, __func__);
}

int kavro_frame_get_pcl_xyzd(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist, int dist_len, int img_w,
                             int img_h, bool pseudo_color, const kavro_camera_para_t *p_cam_param) {
    if (!_pcl_dist_fits(dist_len, img_w, img_h, __func__)) return 0;
    return _kavro_frame_get_pcl_n(dev, pcl, pcl_len, dist, img_w, img_h, 4, pseudo_color, p_cam_param, __func__);
}

int kavro_frame_get_pcl_organized(kavro_dev_t *dev, float *pcl, int pcl_len, const float *dist, int dist_len,
                                  int img_w, int img_h, const kavro_camera_para_t *p_cam_param) {
    if (img_w <= 0 || img_h <= 0 || !_pcl_dist_fits(dist_len, img_w, img_h, __func__)) return -1;
    if (pcl_len < 0 || static_cast<int64_t>(img_w) * img_h * 3 > pcl_len) {
        vx_log(nullptr, VX_LOG_LEVEL_ERROR, "ERR", "[%s] wrong pcl_len: %d (wxhx3=%dx%dx3)\n", __func__, pcl_len,
               img_w, img_h);
        return -1;
    }
    return _kavro_frame_get_pcl_n(dev, pcl, pcl_len, dist, img_w, img_h, 3, false, p_cam_param, __func__, true);
}

bool kavro_dev_get_intrinsics(kavro_dev_t *dev, int img_w, int img_h, kavro_intrinsics_t *out) {
    if (!dev || !out || img_w <= 0 || img_h <= 0) return false;
    _kavro_api_guard guard(dev);
    _kavro_handler_t *h = guard.handler();
    kavro_drv_t *drv = h ? h->driver : nullptr;
    if (!drv || !drv->op || (!drv->op->lens_param_get && !drv->op->lens_view_get)) return false;
    vx_len_param_t lp{};
    bool undistorted = false;
    if (!driver_lens_view(drv, img_w, img_h, &lp, &undistorted)) return false;
    kavro_intrinsics_t r{};
    r.img_w = img_w;
    r.img_h = img_h;
    r.cx = lp.cx;
    r.cy = lp.cy;
    r.fx = lp.fx;
    r.fy = lp.fy;
    for (int i = 0; i < 5; ++i) r.dist[i] = undistorted ? 0.0 : lp.dcoeff[i];
    r.undistorted = undistorted;
    *out = r;
    return true;
}

int kavro_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, kavro_cmap_outfmt_e outfmt,
                     float min_val, float max_val) {
    if (!dst || !src || dst_len < 0 || src_len < 0) return 0;
    int per;
    switch (outfmt) {
    case KAVRO_CMAP_OUTFMT_RGBA: per = 4; break;
    case KAVRO_CMAP_OUTFMT_RGB:
    case KAVRO_CMAP_OUTFMT_BGR: per = 3; break;
    default: return 0;
    }
    vx_cmap_set_range(&g_vx_cmap, milli(min_val), milli(max_val));
    const int n = src_len < dst_len / per ? src_len : dst_len / per;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = vx_cmap_get_color(&g_vx_cmap, milli(src[i]));
        uint8_t *p = dst + static_cast<size_t>(i) * static_cast<size_t>(per);
        const uint8_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
        if (outfmt == KAVRO_CMAP_OUTFMT_RGBA) {
            p[0] = r;
            p[1] = g;
            p[2] = b;
            p[3] = static_cast<uint8_t>(c >> 24);
        } else if (outfmt == KAVRO_CMAP_OUTFMT_RGB) {
            p[0] = r;
            p[1] = g;
            p[2] = b;
        } else {
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    }
    return n;
}

int kavro_filter_enable(kavro_dev_t *dev, kavro_filter_id_e fid, kavro_filter_args_u *args, uint32_t) {
    _kavro_api_guard guard(dev);
    _kavro_handler_t *h = guard.handler();
    kavro_drv_t *drv = h ? handler_driver(h) : nullptr;
    if (!drv) {
        LOG_ERR("cannot find driver for device: product=%s\n", dev ? dev->product : "(null)");
        return -1;
    }
    // A driver without filter operations offers no filter.
    if (!drv->op || !drv->op->filter_enable) return 0;
    std::lock_guard<std::mutex> lk(h->decode_mutex);
    return drv->op->filter_enable(drv, fid, args) ? 1 : 0;
}

int kavro_filter_disable(kavro_dev_t *dev, kavro_filter_id_e fid) {
    _kavro_api_guard guard(dev);
    _kavro_handler_t *h = guard.handler();
    kavro_drv_t *drv = h ? handler_driver(h) : nullptr;
    if (!drv) {
        LOG_ERR("cannot find driver for device: product=%s\n", dev ? dev->product : "(null)");
        return -1;
    }
    if (!drv->op || !drv->op->filter_disable) return 0;
    std::lock_guard<std::mutex> lk(h->decode_mutex);
    return drv->op->filter_disable(drv, fid) ? 1 : 0;
}

}  // extern "C"
