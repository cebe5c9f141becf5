// Recordings made by the library: the raw frames of an open device in a raw
// frame file R, and the side file R.info (and calibration copy R.calib) that
// let a replay answer and decode like the live camera (kavro_rec_info.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "driver/epc/kavro_driver_epc.h"
#include "kavro.h"
#include "kavro_driver.h"
#include "kavro_handler.h"
#include "kavro_rec_info.h"
#include "vx_log_internal.h"

struct kavro_rec {
    kavro_dev_t *dev = nullptr;
    std::string path;
    int fd = -1;          // the raw file
    FILE *info = nullptr;  // the side file
    kavro_rec_info_t hdr;  // header values; written with the first frame (or at close)
    bool hdr_written = false;
    uint32_t frames = 0;
    uint32_t frame_size = 0, w = 0, h = 0, dcs = 0;
    bool failed = false;
};

namespace {

// Keeps errno across logging: a failed call leaves the cause of its failure
// in errno for the caller (the log may have written a file in between).
struct errno_keeper {
    int saved = errno;
    ~errno_keeper() { errno = saved; }
};

uint64_t monotonic_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// The flag word of the frame information: the 32-bit word after the two
// temperatures (the first of the record's last eight bytes).
uint32_t frame_flags(const kavro_frame_info_t &fi) {
    uint32_t f;
    std::memcpy(&f, reinterpret_cast<const uint8_t *>(&fi) + sizeof fi - 8, sizeof f);
    return f;
}

template <typename T>
bool get_param(kavro_dev_t *dev, uint32_t id, T *out) {
    kavro_param_item_t it{};
    it.param_id = id;
    it.param_val_len = sizeof(T);
    if (!kavro_param_batch_get(dev, &it, 1)) return false;
    std::memcpy(out, it.param_val.raw, sizeof(T));
    return true;
}

bool put_text(kavro_rec *r, const std::string &text) {
    if (std::fputs(text.c_str(), r->info) < 0 || std::fflush(r->info) != 0) {
        errno_keeper keep;
        LOG_ERR("write %s.info failed\n", r->path.c_str());
        r->failed = true;
        return false;
    }
    return true;
}

// Lens values the driver decodes frames of w x h with.
void gather_lens(kavro_rec *r, uint32_t w, uint32_t h) {
    _kavro_api_guard guard(r->dev);
    if (!guard) return;
    kavro_drv_t *drv = guard.handler()->driver;
    vx_len_param_t l{};
    if (drv && drv->op && drv->op->lens_param_get &&
        drv->op->lens_param_get(drv, &l, static_cast<int>(w), static_cast<int>(h))) {
        r->hdr.lens = l;
        r->hdr.has_lens = true;
    }
}

// The calibration the device decodes with, copied to path.calib.
void gather_calib(kavro_rec *r) {
    char pname[EPC_PNAME_SIZE] = {};
    int kind = 0;
    {
        _kavro_api_guard guard(r->dev);
        if (!guard) return;
        kavro_drv_t *drv = guard.handler()->driver;
        if (drv && drv->op == &g_kavro_driver_op_epc) kind = _epc_calib_in_use(drv, pname, sizeof pname);
    }
    const std::string copy = r->path + ".calib";
    if (kind == 0) {
        ::unlink(copy.c_str());  // a stale copy of an earlier recording
        return;
    }
    uint64_t bytes = 0;
    uint32_t crc = 0;
    if (!_kavro_rec_copy_file(pname, copy, &bytes, &crc)) {
        LOG_WRN("cannot copy the calibration %s to %s: the recording replays without calibration\n", pname,
                copy.c_str());
        return;
    }
    r->hdr.calib_kind = kind == 2 ? "pixel" : "simple";
    r->hdr.calib_file = _kavro_rec_base_of(copy);
    r->hdr.calib_bytes = bytes;
    r->hdr.calib_crc = crc;
}

}  // namespace

extern "C" {

kavro_rec_t *kavro_rec_open(kavro_dev_t *dev, const char *path) {
    if (!dev || !path || !*path || !_kavro_dev_handler(dev)) {
        LOG_ERR("wrong params: dev=%p, path=%s\n", static_cast<void *>(dev), path ? path : "(null)");
        return nullptr;
    }
    std::unique_ptr<kavro_rec> r(new (std::nothrow) kavro_rec);
    if (!r) return nullptr;
    r->dev = dev;
    r->path = path;
    kavro_rec_info_t &i = r->hdr;
    i.product = _kavro_rec_token(dev->product, sizeof dev->product);
    i.vendor = _kavro_rec_token(dev->vendor, sizeof dev->vendor);
    uint32_t serial[3];
    std::memcpy(serial, dev->serial, sizeof serial);
    char text[96];
    std::snprintf(text, sizeof text, "%08X-%08X-%08X", serial[0], serial[1], serial[2]);
    i.serial = text;
    const kavro_dev_ver_u &v = dev->version;
    std::snprintf(text, sizeof text, "hw_%u,_sw_%u,_sw2_%u,_hw2_%u", v.ver.hw_ver, v.ver.sw_ver, v.ver.sw2_ver,
                  v.ver.hw2_ver);
    i.version = text;
    uint16_t sensor[3] = {0, 0, 0};
    if (get_param(dev, PARAM_INFO_SENSOR, &sensor)) std::memcpy(i.sensor, sensor, sizeof sensor);
    get_param(dev, PARAM_MOD_FREQ, &i.mod_freq);
    uint16_t intg = 0;
    if (get_param(dev, PARAM_INTG_TIME, &intg)) i.intg_time = intg;
    uint32_t fps = 0;
    if (get_param(dev, PARAM_FRAME_RATE, &fps)) i.frame_rate = fps;
    i.has_frame_format = get_param(dev, PARAM_FRAME_FORMAT, &i.frame_format);

    r->fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (r->fd < 0) {
        errno_keeper keep;
        LOG_ERR("cannot create recording %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    const std::string info_path = _kavro_rec_info_path(path);
    r->info = std::fopen(info_path.c_str(), "w");
    if (!r->info) {
        errno_keeper keep;
        LOG_ERR("cannot create %s: %s\n", info_path.c_str(), std::strerror(errno));
        ::close(r->fd);
        ::unlink(path);
        return nullptr;
    }
    gather_calib(r.get());
    LOG_DBG("recording %s: %s, calib %s\n", path, i.product.c_str(), i.calib_kind.c_str());
    return r.release();
}

bool kavro_rec_add(kavro_rec_t *r, const kavro_frame_t *frame) {
    if (!r || !frame || !frame->frame_data) return false;
    const kavro_frame_info_t &fi = frame->frame_info;
    const uint64_t px = uint64_t{fi.width} * fi.height;
    if (px == 0 || fi.frame_size == 0 || fi.frame_size % (2 * px) != 0) {
        LOG_ERR("wrong frame: %ux%u, %u bytes\n", fi.width, fi.height, fi.frame_size);
        return false;
    }
    if (r->frames == 0) {
        r->frame_size = fi.frame_size;
        r->w = fi.width;
        r->h = fi.height;
        r->dcs = static_cast<uint32_t>(fi.frame_size / (2 * px));
    } else if (fi.frame_size != r->frame_size || fi.width != r->w || fi.height != r->h) {
        LOG_ERR("frame %ux%u (%u bytes) differs from the recording's %ux%u (%u bytes)\n", fi.width, fi.height,
                fi.frame_size, r->w, r->h, r->frame_size);
        return false;
    }
    if (!r->hdr_written) {
        gather_lens(r, r->w, r->h);
        r->hdr.frame_format = fi.frame_format;
        r->hdr.has_frame_format = true;
        if (!put_text(r, _kavro_rec_info_header_text(r->hdr))) return false;
        r->hdr_written = true;
    }
    // A frame that does not get into both files whole (a full disk, a file
    // size limit) is cut off the raw file again: the recording keeps whole
    // frames only, each with its side file line.
    const off_t frame_start = ::lseek(r->fd, 0, SEEK_CUR);
    auto drop_frame = [&]() {
        errno_keeper keep;
        if (frame_start >= 0 && (::ftruncate(r->fd, frame_start) != 0 || ::lseek(r->fd, frame_start, SEEK_SET) < 0))
            LOG_ERR("cannot cut the unfinished frame off %s\n", r->path.c_str());
        r->failed = true;
    };
    if (!kavro_frame_save_raw(r->fd, KAVRO_FRAME_SAVE_UINT16, static_cast<const uint16_t *>(frame->frame_data),
                              static_cast<int>(fi.frame_size / 2), static_cast<int>(r->w), static_cast<int>(r->h),
                              static_cast<int>(r->dcs), r->hdr.product.c_str())) {
        errno_keeper keep;
        LOG_ERR("write %s failed\n", r->path.c_str());
        drop_frame();
        return false;
    }
    kavro_rec_frame_t line;
    line.temp_cb = fi.temp0;
    line.temp_ib = fi.temp1;
    // The frame's arrival on the host when the device still knows it (a
    // frame the capture calls delivered), else the time it is recorded.
    uint64_t arrived_ns = 0;
    line.host_us = kavro_frame_get_host_time(r->dev, &fi, &arrived_ns) ? arrived_ns / 1000u : monotonic_us();
    line.flags = frame_flags(fi);
    if (!put_text(r, _kavro_rec_info_frame_line(r->frames, line))) {
        drop_frame();
        return false;
    }
    ++r->frames;
    return true;
}

bool kavro_rec_close(kavro_rec_t *r) {
    if (!r) return true;
    bool ok = !r->failed;
    int first_errno = 0;  // the cause of the first failure here
    auto step = [&](bool done) {
        if (!done && ok) first_errno = errno;
        ok = ok && done;
    };
    if (!r->hdr_written) step(put_text(r, _kavro_rec_info_header_text(r->hdr)));
    step(std::fclose(r->info) == 0);
    step(::fsync(r->fd) == 0 || errno == EINVAL);
    step(::close(r->fd) == 0);
    if (!ok) LOG_ERR("recording %s is incomplete\n", r->path.c_str());
    delete r;
    if (first_errno) errno = first_errno;
    return ok;
}

}  // extern "C"
