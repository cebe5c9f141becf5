// Calibration parameter file and package of the simulator (see sim_calib.h).
#include "sim_calib.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef KAVRO_SIM_HAVE_ZIP
#include <zip.h>
#endif

#include "ll/ll_usb_proto.h"
#include "sim_scene.h"

namespace kavro_sim {

namespace {

constexpr int W = 320, H = 240;

void put(std::vector<uint8_t>& b, size_t at, const void* v, size_t n) { std::memcpy(b.data() + at, v, n); }

template <typename T>
void put_v(std::vector<uint8_t>& b, size_t at, T v)
{
    std::memcpy(b.data() + at, &v, sizeof v);
}

// One EPC block: unit header, EPC header, reference images.
std::vector<uint8_t> drnu_block(const sensor_cfg& s, const calib_opts& o, uint32_t freq)
{
    sensor_cfg c = s;
    c.mod_freq = freq;
    scene sc;
    scene_builtin("wall", &sc);
    camera cam(sc, c, o.ln);
    const double range = cam.range();
    const size_t data = (size_t)k_epc_hdr_size + (size_t)o.num_dist * k_drnu_rec_size;
    std::vector<uint8_t> b(k_param_unit_size + data, 0);
    b[0] = 1;  // DRNU block
    put_v<uint32_t>(b, 1, (uint32_t)data);
    const size_t h0 = k_param_unit_size;
    put_v<uint32_t>(b, h0 + 0, freq);
    put_v<float>(b, h0 + 8, o.box_len_cm);
    put_v<int16_t>(b, h0 + 16, o.temp_cb);
    put_v<int16_t>(b, h0 + 18, o.temp_ib);
    put_v<int8_t>(b, h0 + 20, (int8_t)o.num_dist);
    put_v<uint32_t>(b, h0 + 25, W);
    put_v<uint32_t>(b, h0 + 29, H);
    put_v<uint32_t>(b, h0 + 33, o.atan_scale);

    const double drift = cam.drift_mm(o.temp_cb, o.temp_ib);
    const std::vector<float>& fpn = cam.fpn_mm();
    for (int k = 0; k < o.num_dist; ++k) {
        const int32_t ref_um = k * o.step_um;
        const size_t r0 = h0 + k_epc_hdr_size + (size_t)k * k_drnu_rec_size;
        put_v<int32_t>(b, r0 + 0, ref_um);
        put_v<uint32_t>(b, r0 + 4, W);
        put_v<uint32_t>(b, r0 + 8, H);
        // The target's radial distance, the same for every pixel, and the
        // delay line's shift on top of it.
        const double ref_mm = o.box_len_cm * 10.0 + ref_um / 1000.0;
        std::vector<uint16_t> img((size_t)W * H);
        for (int sr = 0; sr < H; ++sr) {
            const int y = sensor_row_to_image(sr, H);
            for (int x = 0; x < W; ++x) {
                const size_t p = (size_t)y * W + x;
                uint32_t v;
                if (cam.dead(p)) {
                    // Every sample 0: the phase of a zero vector, half a
                    // period, whatever the distance.
                    v = o.atan_scale / 2;
                } else {
                    double d = ref_mm + c.zero_offset_mm + fpn[p];
                    d += cam.wiggle_mm(d) + drift;
                    double ph = std::fmod(d, range);
                    if (ph < 0)
                        ph += range;
                    v = (uint32_t)std::lround(ph / range * o.atan_scale);
                    if (v >= o.atan_scale)
                        v -= o.atan_scale;
                }
                img[(size_t)sr * W + x] = (uint16_t)v;
            }
        }
        if (o.ver < 150) {
            // Files before version 150 hold each two-row block one sample
            // early: sample i of a block carries sample i + 1, the last one
            // its own.
            for (size_t j = 0; j < img.size(); j += 2 * W)
                std::memmove(&img[j], &img[j + 1], (2 * W - 1) * sizeof(uint16_t));
        }
        put(b, r0 + 20, img.data(), img.size() * sizeof(uint16_t));
    }
    return b;
}

}  // namespace

uint16_t calib_cksum16(const uint8_t* p, size_t n, uint16_t seed)
{
    uint32_t s1 = seed & 0xFF, s2 = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return (uint16_t)(s2 << 8 | s1);
}

int32_t calib_param_id(uint16_t chip_id, uint16_t wafer_id, uint32_t serial0)
{
    return (int32_t)(((uint32_t)chip_id + (uint32_t)wafer_id * 65536u) ^ serial0);
}

std::string calib_param_file_name(int32_t id)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "kavro_param_%d.bin", id);
    return buf;
}

bool calib_param_file(const sensor_cfg& s, const calib_opts& o, std::vector<uint8_t>* out, std::string* err)
{
    if (o.mod_freqs.empty() || o.mod_freqs.size() > 7)
        return *err = "between 1 and 7 modulation frequencies", false;
    if (o.num_dist < 2 || o.num_dist > 127)
        return *err = "between 2 and 127 reference distances", false;
    if (o.ver < 140)
        return *err = "only the current container layout (version 140 and above) is written", false;
    if (o.atan_scale == 0 || o.atan_scale > 65535)
        return *err = "atan_scale must be 1 ... 65535", false;
    for (uint32_t f : o.mod_freqs)
        if (f < 1000000 || f > 100000000)
            return *err = "modulation frequency out of range", false;

    std::vector<uint8_t> f(k_param_hdr_size, 0);
    f[0] = o.ver;
    put_v<uint32_t>(f, 1, o.ts);
    put_v<uint32_t>(f, 5, k_param_magic);
    if (!o.lens_name.empty()) {
        char name[64] = {};
        std::snprintf(name, sizeof name, "%s", o.lens_name.c_str());
        put(f, 20, name, 64);
        const double v[4] = {o.ln.cx, o.ln.cy, o.ln.fx, o.ln.fy};
        put(f, 84, v, sizeof v);
        put(f, 116, o.ln.dcoeff, sizeof o.ln.dcoeff);
        put_v<uint32_t>(f, 156, (uint32_t)o.ln.img_w);
        put_v<uint32_t>(f, 160, (uint32_t)o.ln.img_h);
    }
    put_v<uint16_t>(f, 18, calib_cksum16(f.data() + 20, k_param_fix_size - 20, 0));

    uint16_t blk_sum = 0;
    uint32_t total = 0;
    for (uint32_t freq : o.mod_freqs) {
        std::vector<uint8_t> b = drnu_block(s, o, freq);
        blk_sum = calib_cksum16(b.data(), b.size(), blk_sum);
        total += (uint32_t)b.size();
        f.insert(f.end(), b.begin(), b.end());
    }
    put_v<uint32_t>(f, k_param_fix_size + 0, o.ts);
    put_v<uint32_t>(f, k_param_fix_size + 4, (uint32_t)o.mod_freqs.size());
    put_v<uint32_t>(f, k_param_fix_size + 8, total);
    put_v<uint16_t>(f, k_param_fix_size + 12, blk_sum);
    *out = std::move(f);
    return true;
}

#ifdef KAVRO_SIM_HAVE_ZIP
static bool zip_one(const std::vector<uint8_t>& file, const std::string& name, std::vector<uint8_t>* out,
                    std::string* err)
{
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* mem = zip_source_buffer_create(nullptr, 0, 0, &ze);
    if (!mem)
        return *err = "zip: no memory", false;
    zip_source_keep(mem);
    bool ok = false;
    zip_t* za = zip_open_from_source(mem, ZIP_TRUNCATE, &ze);
    if (za) {
        zip_source_t* fs = zip_source_buffer(za, file.data(), file.size(), 0);
        if (fs && zip_file_add(za, name.c_str(), fs, ZIP_FL_ENC_UTF_8) >= 0) {
            ok = zip_close(za) == 0;
            if (!ok)
                zip_discard(za);
        } else {
            if (fs)
                zip_source_free(fs);
            zip_discard(za);
        }
    }
    if (ok && zip_source_open(mem) == 0) {
        zip_source_seek(mem, 0, SEEK_END);
        const zip_int64_t n = zip_source_tell(mem);
        zip_source_seek(mem, 0, SEEK_SET);
        out->resize(n > 0 ? (size_t)n : 0);
        ok = n > 0 && zip_source_read(mem, out->data(), (zip_uint64_t)n) == n;
        zip_source_close(mem);
    } else {
        ok = false;
    }
    zip_source_free(mem);
    zip_error_fini(&ze);
    if (!ok)
        *err = "zip: archive not written";
    return ok;
}
#endif

bool calib_package(const std::vector<uint8_t>& file, bool zip, const std::string& entry_name, uint32_t pkg_id,
                   uint32_t ts, std::vector<uint8_t>* pkg, std::string* err)
{
    std::vector<uint8_t> payload;
    if (zip) {
#ifdef KAVRO_SIM_HAVE_ZIP
        if (!zip_one(file, entry_name, &payload, err))
            return false;
#else
        (void)entry_name;
        return *err = "built without libzip", false;
#endif
    } else {
        payload = file;
    }
    const size_t raw = sizeof(vxif_calib_info_t) + payload.size();
    const size_t frames = (raw + VXIF_CALIB_FRAME_SIZE - 1) / VXIF_CALIB_FRAME_SIZE;
    const size_t fsize = frames * VXIF_CALIB_FRAME_SIZE;
    if (fsize > VXIF_CALIB_MAX_FSIZE)
        return *err = "package larger than 10 MiB", false;
    vxif_calib_info_t ci{};
    ci.valid = 1;
    ci.flag = zip ? 1 : 0;
    ci.ID = pkg_id;
    ci.timestamp = ts;
    ci.fsize = (uint32_t)fsize;
    ci.datasize = (uint32_t)payload.size();
    pkg->assign(fsize, 0);
    std::memcpy(pkg->data(), &ci, sizeof ci);
    std::memcpy(pkg->data() + sizeof ci, payload.data(), payload.size());
    return true;
}

bool calib_package_for(const firmware_cfg& fc, const calib_opts& o, bool zip, std::vector<uint8_t>* pkg,
                       std::string* err)
{
    std::vector<uint8_t> file;
    if (!calib_param_file(fc.sensor, o, &file, err))
        return false;
    const int32_t id = calib_param_id(fc.chip_info[1], fc.chip_info[2], fc.serial[0]);
    return calib_package(file, zip, calib_param_file_name(id), (uint32_t)id, o.ts, pkg, err);
}

}  // namespace kavro_sim
