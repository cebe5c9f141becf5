#include "device_names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kavro_cli {

namespace {

struct filter_desc {
    const char *name;
    kavro_filter_id_e id;
};

constexpr filter_desc k_filters[] = {
    {"lens", KAVRO_FILTER_ID_LEN_CALIB},       {"pixel_calib", KAVRO_FILTER_ID_PIXEL_CALIB},
    {"median", KAVRO_FILTER_ID_MEDIAN},        {"amp", KAVRO_FILTER_ID_AMP},
    {"auto_intg", KAVRO_FILTER_ID_AUTO_INTG},  {"sync_delay", KAVRO_FILTER_ID_SYNC_DELAY},
    {"temp_monitor", KAVRO_FILTER_ID_TEMP_MONITOR}, {"hdr", KAVRO_FILTER_ID_HDR},
    {"offset", KAVRO_FILTER_ID_OFFSET},        {"sport_mode", KAVRO_FILTER_ID_SPORT_MODE},
};

std::string text_field(const char *p, size_t n) {
    std::string s(p, strnlen(p, n));
    return s;
}

}  // namespace

const std::vector<param_desc> &param_table() {
    static const std::vector<param_desc> table = {
        {"dev_mode", PARAM_DEV_MODE, 4, true, "mode", "0 normal, 1 firmware update, 8 test, 9 data upload"},
        {"mod_freq", PARAM_MOD_FREQ, 4, true, "Hz", "1000000 ... 100000000 (the driver's default 12000000)"},
        {"vendor", PARAM_INFO_VENDOR, 18, false, "text", "up to 18 characters"},
        {"product", PARAM_INFO_PRODUCT, 18, false, "text", "up to 18 characters; picks the chip driver"},
        {"capability", PARAM_INFO_CAPABILITY, 10, false, "pixels, fps, us",
         "largest frame, frame rate and integration time"},
        {"serial", PARAM_INFO_SERIAL, 12, false, "id", "three 32-bit words"},
        {"version", PARAM_INFO_VERSION, 8, false, "numbers", "hardware and firmware versions, 0 ... 65535 each"},
        {"sensor", PARAM_INFO_SENSOR, 6, false, "numbers", "part version, chip id, wafer id"},
        {"calib", PARAM_INFO_CALIB, 18, false, "bytes", "calibration package: valid, zip, id, timestamp, sizes"},
        {"roi", PARAM_ROI, 16, false, "pixels", "rows and columns read from the sensor"},
        {"frame_format", PARAM_FRAME_FORMAT, 4, true, "format",
         "2 (four phase images a frame) or 4 (one image of alternating phase rows)"},
        {"illum_power", PARAM_ILLUM_POWER, 1, true, "%", "0 ... 100"},
        {"frame_rate", PARAM_FRAME_RATE, 4, true, "fps", "1 ... the camera's largest (capability)"},
        {"intg_time", PARAM_INTG_TIME, 2, true, "us", "1 ... the camera's largest (capability)"},
        {"phase_corr", PARAM_PHASE_CORR, 4, false, "numbers", "two phase corrections"},
        {"temp", PARAM_TEMP, 10, false, "sensor units", "calibration temperatures of the four corners and the board"},
        {"hdr_intg_time", PARAM_HDR_INTG_TIME, 2, true, "us", "0 (HDR off) ... the camera's largest (capability)"},
        {"sync_delay", PARAM_SYNC_DELAY, 3, false, "flag, delay", "random delay on/off and the delay (the filter sync_delay sets it)"},
    };
    return table;
}

const param_desc *param_find(const std::string &name) {
    for (const auto &d : param_table())
        if (name == d.name) return &d;
    return nullptr;
}

std::string param_help() {
    std::string s = "Parameters (* settable with `params set`; units and the values the camera takes):\n";
    char line[200];
    for (const auto &d : param_table()) {
        snprintf(line, sizeof line, "  %-14s %-16s %s\n", (std::string(d.name) + (d.settable ? "*" : "")).c_str(),
                 d.unit, d.range);
        s += line;
    }
    return s;
}

std::string param_format(const param_desc &d, const kavro_param_item_t &item) {
    const kavro_param_val_u &v = item.param_val;
    char buf[160];
    switch (d.id) {
    case PARAM_DEV_MODE: snprintf(buf, sizeof buf, "%u", v.dev_mode); break;
    case PARAM_MOD_FREQ: snprintf(buf, sizeof buf, "%u", v.mod_freq); break;
    case PARAM_INFO_VENDOR: return std::string(d.name) + ": " + text_field(v.info_vendor, sizeof v.info_vendor);
    case PARAM_INFO_PRODUCT: return std::string(d.name) + ": " + text_field(v.info_product, sizeof v.info_product);
    case PARAM_INFO_CAPABILITY:
        snprintf(buf, sizeof buf, "max %ux%ux%u, %u fps, %u us", v.info_capability.max_frame_width,
                 v.info_capability.max_frame_height, v.info_capability.max_frame_depth, v.info_capability.max_fps,
                 v.info_capability.max_intg_us);
        break;
    case PARAM_INFO_SERIAL:
        snprintf(buf, sizeof buf, "%08X-%08X-%08X", v.info_serial.serial[0], v.info_serial.serial[1],
                 v.info_serial.serial[2]);
        break;
    case PARAM_INFO_VERSION:
        snprintf(buf, sizeof buf, "hw %u, sw %u, sw2 %u, hw2 %u", v.info_version.hw_ver, v.info_version.sw_ver,
                 v.info_version.sw2_ver, v.info_version.hw2_ver);
        break;
    case PARAM_INFO_SENSOR:
        snprintf(buf, sizeof buf, "part %u, chip 0x%04X, wafer %u", v.chip_info.part_ver, v.chip_info.chip_id,
                 v.chip_info.wafer_id);
        break;
    case PARAM_INFO_CALIB:
        snprintf(buf, sizeof buf, "valid %u, zip %u, id %u, timestamp %u, size %u, data %u", v.cinfo.valid,
                 v.cinfo.flag, v.cinfo.ID, v.cinfo.timestamp, v.cinfo.fsize, v.cinfo.datasize);
        break;
    case PARAM_ROI:
        snprintf(buf, sizeof buf, "rows %u-%u, cols %u-%u, size %u of %u", v.roi.srow, v.roi.erow, v.roi.scol,
                 v.roi.ecol, v.roi.cur_fsize, v.roi.max_fsize);
        break;
    case PARAM_FRAME_FORMAT: snprintf(buf, sizeof buf, "%u", v.frame_format.format); break;
    case PARAM_ILLUM_POWER: snprintf(buf, sizeof buf, "%u", v.illum_power.percent); break;
    case PARAM_FRAME_RATE: snprintf(buf, sizeof buf, "%u", v.frame_rate.fps); break;
    case PARAM_INTG_TIME: snprintf(buf, sizeof buf, "%u", v.intg.intg_us); break;
    case PARAM_PHASE_CORR: snprintf(buf, sizeof buf, "%u, %u", v.phase_corr.corr1, v.phase_corr.corr2); break;
    case PARAM_TEMP:
        snprintf(buf, sizeof buf, "tl %d, tr %d, bl %d, br %d, ib %d", v.temp.tl_cal, v.temp.tr_cal, v.temp.bl_cal,
                 v.temp.br_cal, v.temp.ib_cal);
        break;
    case PARAM_HDR_INTG_TIME: snprintf(buf, sizeof buf, "%u", v.intg_hdr.intg_3dhdr); break;
    case PARAM_SYNC_DELAY:
        snprintf(buf, sizeof buf, "random %u, delay %u", v.sync_delay.random_delay_en, v.sync_delay.delay);
        break;
    default: snprintf(buf, sizeof buf, "?"); break;
    }
    return std::string(d.name) + ": " + buf;
}

bool param_fill(const param_desc &d, unsigned long long value, kavro_param_item_t *item) {
    const unsigned long long max = d.len >= 4 ? std::numeric_limits<uint32_t>::max()
                                   : d.len == 2 ? std::numeric_limits<uint16_t>::max()
                                                : std::numeric_limits<uint8_t>::max();
    if (!d.settable || value > max) return false;
    *item = kavro_param_item_t{};
    item->param_id = d.id;
    item->param_val_len = static_cast<uint8_t>(d.len);
    // Little-endian value in the first len bytes, whatever the member.
    for (int i = 0; i < d.len; ++i) item->param_val.raw[i] = static_cast<uint8_t>(value >> (8 * i));
    return true;
}

bool reg_target_parse(const std::string &name, kavro_dev_reg_e *out) {
    static const struct {
        const char *name;
        kavro_dev_reg_e id;
    } targets[] = {{"cam0", DEV_REG_CAM0}, {"cam1", DEV_REG_CAM1}, {"ir0", DEV_REG_IR_0},
                   {"ir1", DEV_REG_IR_1},  {"mcu", DEV_REG_MCU}};
    for (const auto &t : targets)
        if (name == t.name) {
            *out = t.id;
            return true;
        }
    return false;
}

bool filter_parse(const std::string &name, kavro_filter_id_e *out) {
    for (const auto &f : k_filters)
        if (name == f.name) {
            *out = f.id;
            return true;
        }
    return false;
}

bool filter_arg(kavro_filter_id_e fid, const std::string &text, kavro_filter_args_u *out) {
    long long v[2] = {0, 0};
    int n = 0;
    const char *p = text.c_str();
    while (*p && n < 2) {
        char *end = nullptr;
        v[n++] = std::strtoll(p, &end, 0);
        if (end == p || (*end && *end != ',')) return false;
        p = *end ? end + 1 : end;
    }
    if (*p || (n == 2) != (fid == KAVRO_FILTER_ID_HDR && !text.empty())) return false;
    kavro_filter_args_u a{};
    switch (fid) {
    case KAVRO_FILTER_ID_LEN_CALIB: a.lens_id = static_cast<uint32_t>(v[0]); break;
    case KAVRO_FILTER_ID_PIXEL_CALIB: a.case_idx = static_cast<uint8_t>(v[0]); break;
    case KAVRO_FILTER_ID_MEDIAN: a.median_ksize = static_cast<uint8_t>(v[0]); break;
    case KAVRO_FILTER_ID_AMP: a.min_amp = static_cast<uint16_t>(v[0]); break;
    case KAVRO_FILTER_ID_AUTO_INTG: a.sat_ratio = static_cast<uint16_t>(v[0]); break;
    case KAVRO_FILTER_ID_SYNC_DELAY: a.sync_delay = static_cast<uint16_t>(v[0]); break;
    case KAVRO_FILTER_ID_TEMP_MONITOR: a.temp_threshold = static_cast<int16_t>(v[0]); break;
    case KAVRO_FILTER_ID_HDR:
        a.intg.intg_3d = static_cast<uint16_t>(v[0]);
        a.intg.intg_3dhdr = static_cast<uint16_t>(v[1]);
        break;
    case KAVRO_FILTER_ID_OFFSET: a.offset_mm = static_cast<int32_t>(v[0]); break;
    case KAVRO_FILTER_ID_SPORT_MODE: a.sport_mode = static_cast<uint8_t>(v[0]); break;
    default: break;
    }
    *out = a;
    return true;
}

std::string filter_names() {
    std::string s;
    for (const auto &f : k_filters) s += (s.empty() ? "" : ", ") + std::string(f.name);
    return s;
}

}  // namespace kavro_cli
