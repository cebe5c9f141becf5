// Firmware model of the camera simulator (see sim_firmware.h).
#include "sim_firmware.h"

#include <algorithm>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <deque>
#include <thread>

#include "vx_stream.h"

namespace kavro_sim {

const char* xfer_status_name(xfer_status s)
{
    switch (s) {
    case xfer_status::ok: return "ok";
    case xfer_status::timeout: return "timeout";
    case xfer_status::stall: return "stall";
    case xfer_status::no_device: return "no_device";
    case xfer_status::pending: return "pending";
    case xfer_status::error: return "error";
    }
    return "?";
}

namespace {

constexpr int k_param_cnt = PARAM_ENUM_COUNT;
// Package frames go out as fast as the bus takes them, not at the frame rate.
constexpr double k_data_up_fps = 200;
// A model left alone for long (virtual time jumps) does not render every
// frame it could not have sent anyway: past this many, frames are skipped.
constexpr uint64_t k_max_catch_up = 1000;

uint32_t get_u32(const uint8_t* p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n && i < 4; ++i)
        v |= (uint32_t)p[i] << (8 * i);
    return v;
}

uint32_t fnv1a(const std::vector<uint8_t>& d)
{
    uint32_t h = 2166136261u;
    for (uint8_t b : d)
        h = (h ^ b) * 16777619u;
    return h;
}

bool reg_target_ok(uint32_t t) { return t == 1 || t == 2 || t == 4 || t == 5 || t == 8; }

struct pval {
    uint8_t len = 0;
    kavro_param_val_u v{};
};

}  // namespace

struct firmware::impl {
    firmware_cfg cfg;
    std::mutex mu;
    std::mt19937_64 frng;
    fault_counts fc;

    // Clock.
    uint64_t vclock_us = 0;
    std::chrono::steady_clock::time_point t_start = std::chrono::steady_clock::now();

    // Bus.
    usb_state st = usb_state::attached;
    uint64_t back_at_us = 0;
    uint32_t enums = 1;

    // Status of the last command.
    int8_t last_status = 0;
    uint8_t last_type = 0, last_val = 0;
    std::string last_msg;
    int busy_left = 0;

    // Parameters and registers.
    pval params[k_param_cnt];
    std::vector<uint8_t> get_ids;  // ids of a pending parameter read
    bool get_pending = false;
    std::map<uint8_t, std::map<uint32_t, uint32_t>> regs;
    bool rd_reg_pending = false;
    uint8_t rd_reg_target = 0;
    uint32_t rd_reg_base = 0;
    uint16_t rd_reg_cnt = 0;

    // Capture and the byte stream.
    bool cap = false;
    bool cap_data_up = false;
    uint32_t cap_limit = 0;     // frames to send, 0 = until stopped
    uint64_t cap_t0_us = 0;
    uint64_t cap_gen = 0;       // frames generated (sent or lost) since start
    uint32_t cap_sent = 0;      // frames put into the FIFO
    double cap_fps = 30;
    uint16_t hdr_idx = 0;
    std::vector<uint8_t> fifo;
    size_t fifo_head = 0;
    // Frames taken into the FIFO whose bytes are not made yet: a frame is
    // admitted (or lost) when it falls due, by its size in the stream, and
    // rendered only when the host reads that far. A host that fell behind
    // then gets the next bytes after rendering one frame, not after the
    // model has rendered everything that fell due meanwhile (a whole FIFO
    // of frames, while holding the lock). What is admitted and lost is the
    // same: between two reads the FIFO only fills, so each frame sees the
    // level it would have seen at its due time.
    struct pending_frame {
        uint64_t k;        // frame number since the capture start
        bool data_up;      // a package frame (`pkg_frame`) or a camera frame
        uint32_t pkg_frame;
        uint32_t bytes;    // its size in the stream
    };
    std::deque<pending_frame> pend;
    size_t pend_bytes = 0;
    bool halted = false;
    std::unique_ptr<camera> cam;
    bool cam_dirty = true;
    frame fr;
    std::vector<uint8_t> frbytes;

    // Calibration package.
    std::vector<uint8_t> calib_pkg;

    // Flash and the data transfer.
    std::map<uint8_t, flash_image> flash;
    enum class ws_e { idle, announced, erasing, receiving } ws = ws_e::idle;
    data_action_info_t winfo{};
    uint32_t wframe_len = 0;
    uint32_t wnext = 0;
    uint8_t wstatus = TRANS_STATUS_NONE;
    int erase_left = 0;
    uint64_t erase_end_us = 0;
    std::vector<uint8_t> wbuf;
    uint32_t crc_errors = 0;
    int rd_type = -1;
    uint32_t rd_cursor = 0;
    std::vector<uint8_t> rd_piece;
    data_ginfo_t ginfo{};
    bool ginfo_pending = false;
    data_action_pack_t ack{};
    bool ack_pending = false;

    explicit impl(const firmware_cfg& c) : cfg(c), frng(c.faults.seed) { defaults(); }

    // ---- helpers -----------------------------------------------------------------
    uint64_t now() const
    {
        if (cfg.virtual_time)
            return vclock_us;
        return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - t_start)
            .count();
    }

    bool roll(const fault& f, uint32_t* counter)
    {
        if (f.prob <= 0 || (f.limit >= 0 && *counter >= (uint32_t)f.limit))
            return false;
        std::uniform_real_distribution<double> u(0.0, 1.0);
        if (u(frng) >= f.prob)
            return false;
        ++*counter;
        return true;
    }

    void set_param(int id, const void* v, uint8_t len)
    {
        params[id].len = len;
        std::memset(&params[id].v, 0, sizeof params[id].v);
        std::memcpy(&params[id].v, v, len);
    }

    // The identity's versions: the configured ones, with the firmware the
    // camera runs instead where its flash holds an image of a firmware type
    // that carries a version (type 0: the 'sw' version, type 1: 'sw2'). A
    // camera runs the firmware in its flash from its start or its system
    // reset on, so an upgrade shows after the restart that ends it.
    void set_running_version()
    {
        uint16_t v[4];
        std::memcpy(v, cfg.version, sizeof v);
        for (const auto& [type, slot] : {std::pair<uint8_t, int>{0, 1}, {1, 2}}) {
            auto it = flash.find(type);
            if (it != flash.end() && it->second.version != 0)
                v[slot] = it->second.version;
        }
        set_param(PARAM_INFO_VERSION, v, 8);
    }

    void defaults()
    {
        for (auto& p : params)
            p = pval{};
        uint32_t u = DEV_MODE_NORMAL;
        set_param(PARAM_DEV_MODE, &u, 1);
        set_param(PARAM_MOD_FREQ, &cfg.sensor.mod_freq, 4);
        char text[18] = {};
        std::snprintf(text, sizeof text, "%s", cfg.vendor.c_str());
        set_param(PARAM_INFO_VENDOR, text, (uint8_t)std::min<size_t>(cfg.vendor.size() + 1, 18));
        std::memset(text, 0, sizeof text);
        std::snprintf(text, sizeof text, "%s", cfg.product.c_str());
        set_param(PARAM_INFO_PRODUCT, text, (uint8_t)std::min<size_t>(cfg.product.size() + 1, 18));
        uint16_t capab[5] = {320, 240, 4, cfg.max_fps, cfg.max_intg_us};
        set_param(PARAM_INFO_CAPABILITY, capab, 10);
        set_param(PARAM_INFO_SERIAL, cfg.serial, 12);
        set_running_version();
        set_param(PARAM_INFO_SENSOR, cfg.chip_info, 6);
        refresh_calib_info();
        kavro_param_roi_t roi{0, 239, 0, 319, 0, 0};
        roi.max_fsize = 320 * 240 * 8;
        roi.cur_fsize = frame_bytes_for((uint32_t)cfg.sensor.format);
        set_param(PARAM_ROI, &roi, sizeof roi);
        u = (uint32_t)cfg.sensor.format;
        set_param(PARAM_FRAME_FORMAT, &u, 4);
        uint8_t pw = 100;
        set_param(PARAM_ILLUM_POWER, &pw, 1);
        u = (uint32_t)cfg.sensor.fps;
        set_param(PARAM_FRAME_RATE, &u, 4);
        uint16_t intg = (uint16_t)cfg.sensor.intg_us;
        set_param(PARAM_INTG_TIME, &intg, 2);
        uint16_t corr[2] = {0, 0};
        set_param(PARAM_PHASE_CORR, corr, 4);
        int16_t temp[5] = {0, 0, 0, 0, 0};
        set_param(PARAM_TEMP, temp, 10);
        uint16_t hdr = 0;
        set_param(PARAM_HDR_INTG_TIME, &hdr, 2);
        uint8_t sd[3] = {0, 0, 0};
        set_param(PARAM_SYNC_DELAY, sd, 3);
        cam_dirty = true;
    }

    static uint32_t frame_bytes_for(uint32_t format) { return format == 4 ? 320 * 240 * 2 : 320 * 240 * 8; }

    void refresh_calib_info()
    {
        vxif_calib_info_t ci{};
        if (calib_pkg.size() >= sizeof ci)
            std::memcpy(&ci, calib_pkg.data(), sizeof ci);
        set_param(PARAM_INFO_CALIB, &ci, sizeof ci);
    }

    uint32_t param_u32(int id) const { return get_u32(params[id].v.raw, params[id].len); }

    void update_bus()
    {
        if (st == usb_state::resetting && now() >= back_at_us) {
            st = usb_state::attached;
            ++enums;
            last_status = 0;
            last_type = last_val = 0;
            last_msg.clear();
            busy_left = 0;
        }
    }

    void drop_off(usb_state to)
    {
        st = to;
        cap = false;
        fifo_drop();
        halted = false;
        get_pending = rd_reg_pending = ginfo_pending = ack_pending = false;
    }

    // Bytes the FIFO holds, frames not yet rendered included.
    size_t fifo_level() const { return fifo.size() - fifo_head + pend_bytes; }
    size_t fifo_made() const { return fifo.size() - fifo_head; }

    void fifo_drop()
    {
        fifo.clear();
        fifo_head = 0;
        pend.clear();
        pend_bytes = 0;
    }

    void fifo_put(const void* p, size_t n)
    {
        if (fifo_head > 0 && fifo_head == fifo.size()) {
            fifo.clear();
            fifo_head = 0;
        }
        const uint8_t* b = (const uint8_t*)p;
        fifo.insert(fifo.end(), b, b + n);
    }

    // ---- commands -------------------------------------------------------------
    void fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[VXIF_CMD_MSG_LEN];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        last_status = VXIF_CMD_FAILED;
        last_msg = buf;
    }

    bool param_set_one(const uint8_t* item)
    {
        const uint8_t id = item[0];
        const uint8_t len = std::min<uint8_t>(item[1], VXIF_PARAM_VAL_SIZE);
        const uint8_t* v = item + 2;
        const uint32_t u = get_u32(v, len);
        switch (id) {
        case PARAM_DEV_MODE:
            if (u != DEV_MODE_NORMAL && u != DEV_MODE_DFU && u != DEV_MODE_TEST && u != DEV_MODE_DATA_UP)
                return fail("bad device mode %u", u), false;
            if (cap)
                return fail("mode change while capturing"), false;
            break;
        case PARAM_MOD_FREQ:
            if (u < 1000000 || u > 100000000)
                return fail("bad modulation frequency %u", u), false;
            cam_dirty = true;
            break;
        case PARAM_FRAME_FORMAT:
            if (u != 2 && u != 4)
                return fail("unsupported frame format %u", u), false;
            if (cap)
                return fail("format change while capturing"), false;
            cam_dirty = true;
            break;
        case PARAM_FRAME_RATE:
            if (u < 1 || u > cfg.max_fps)
                return fail("bad frame rate %u", u), false;
            cam_dirty = true;
            break;
        case PARAM_INTG_TIME:
            if ((u & 0xFFFF) < 1 || (u & 0xFFFF) > cfg.max_intg_us)
                return fail("bad integration time %u", u & 0xFFFF), false;
            cam_dirty = true;
            break;
        case PARAM_ILLUM_POWER:
            if ((u & 0xFF) > 100)
                return fail("bad illumination power %u", u & 0xFF), false;
            break;
        case PARAM_ROI:
        case PARAM_PHASE_CORR:
        case PARAM_HDR_INTG_TIME:
        case PARAM_SYNC_DELAY:
            break;
        default:
            if (id < k_param_cnt)
                return fail("parameter %u is read only", id), false;
            return fail("unknown parameter %u", id), false;
        }
        if (id == PARAM_ROI) {
            // The sensor always reads the full frame; the window is kept only
            // to be read back.
        }
        set_param(id, v, len);
        return true;
    }

    void cmd_param_set(const uint8_t* d, int len)
    {
        if (len <= 0 || len % VXIF_PARAM_ITEM_SIZE)
            return fail("bad parameter batch length %d", len);
        // All items are checked before any is taken, so a batch is applied
        // whole or not at all.
        pval saved[k_param_cnt];
        std::copy(std::begin(params), std::end(params), saved);
        const bool dirty = cam_dirty;
        for (int i = 0; i < len; i += VXIF_PARAM_ITEM_SIZE) {
            if (!param_set_one(d + i)) {
                std::copy(std::begin(saved), std::end(saved), params);
                cam_dirty = dirty;
                return;
            }
        }
        if (params[PARAM_FRAME_FORMAT].len) {
            kavro_param_roi_t roi;
            std::memcpy(&roi, params[PARAM_ROI].v.raw, sizeof roi);
            roi.cur_fsize = frame_bytes_for(param_u32(PARAM_FRAME_FORMAT));
            std::memcpy(params[PARAM_ROI].v.raw, &roi, sizeof roi);
        }
    }

    void cmd_param_get_out(const uint8_t* d, int len)
    {
        get_pending = false;
        if (len <= 0 || len % VXIF_PARAM_ITEM_SIZE)
            return fail("bad parameter batch length %d", len);
        get_ids.clear();
        for (int i = 0; i < len; i += VXIF_PARAM_ITEM_SIZE) {
            if (d[i] >= k_param_cnt)
                return fail("unknown parameter %u", d[i]);
            get_ids.push_back(d[i]);
        }
        get_pending = true;
    }

    void update_temp_param()
    {
        int16_t cb = 0, ib = 0;
        if (cam)
            cam->temperatures((uint32_t)cap_gen, &cb, &ib);
        else
            cb = ib = (int16_t)(cfg.sensor.temp_ambient_c * 10);
        int16_t t[5] = {cb, cb, cb, cb, ib};
        set_param(PARAM_TEMP, t, 10);
    }

    void cmd_param_get_in(uint8_t* d, int len)
    {
        if (!get_pending)
            return fail("no parameter read pending");
        if (len != (int)get_ids.size() * VXIF_PARAM_ITEM_SIZE)
            return fail("parameter read of %d bytes, %d expected", len,
                        (int)get_ids.size() * VXIF_PARAM_ITEM_SIZE);
        get_pending = false;
        update_temp_param();
        for (size_t i = 0; i < get_ids.size(); ++i) {
            uint8_t* item = d + i * VXIF_PARAM_ITEM_SIZE;
            item[0] = get_ids[i];
            item[1] = params[get_ids[i]].len;
            std::memcpy(item + 2, params[get_ids[i]].v.raw, VXIF_PARAM_VAL_SIZE);
        }
    }

    void cmd_reg_write(const uint8_t* d, int len)
    {
        vxif_reg_rw_t h;
        if (len < (int)sizeof h)
            return fail("short register write");
        std::memcpy(&h, d, sizeof h);
        if (!reg_target_ok(h.target))
            return fail("bad register target %u", h.target);
        if (h.val_cnt % 4 || h.val_cnt != len - (int)sizeof h)
            return fail("register write of %u value bytes, %d sent", h.val_cnt, len - (int)sizeof h);
        for (int i = 0; i < h.val_cnt / 4; ++i)
            regs[h.target][h.baseaddr + i] = get_u32(d + sizeof h + 4 * i, 4);
    }

    void cmd_reg_read_out(const uint8_t* d, int len)
    {
        rd_reg_pending = false;
        vxif_reg_rw_t h;
        if (len != (int)sizeof h)
            return fail("register read request of %d bytes", len);
        std::memcpy(&h, d, sizeof h);
        if (!reg_target_ok(h.target))
            return fail("bad register target %u", h.target);
        if (h.val_cnt == 0 || h.val_cnt % 4 || h.val_cnt > 64 * 4)
            return fail("bad register count (%u bytes)", h.val_cnt);
        rd_reg_pending = true;
        rd_reg_target = h.target;
        rd_reg_base = h.baseaddr;
        rd_reg_cnt = h.val_cnt / 4;
    }

    void cmd_reg_read_in(uint8_t* d, int len)
    {
        if (!rd_reg_pending)
            return fail("no register read pending");
        if (len != rd_reg_cnt * 4)
            return fail("register read of %d bytes, %d expected", len, rd_reg_cnt * 4);
        rd_reg_pending = false;
        auto& bank = regs[rd_reg_target];
        for (int i = 0; i < rd_reg_cnt; ++i) {
            auto it = bank.find(rd_reg_base + i);
            uint32_t v = it == bank.end() ? 0 : it->second;
            std::memcpy(d + 4 * i, &v, 4);
        }
    }

    void cmd_reset(const uint8_t* d, int len)
    {
        if (len != 4)
            return fail("reset of %d bytes", len);
        const uint32_t t = get_u32(d, 4);
        switch (t) {
        case DEV_RST_DEV: {
            // System reset: the firmware restarts with its defaults; the
            // flash (images, calibration package) keeps its content.
            cap = false;
            fifo_drop();
            regs.clear();
            ws = ws_e::idle;
            defaults();
            break;
        }
        case DEV_RST_USB:
            // Answered first; the interface drops off the bus once the
            // transfer has completed (see control()).
            break;
        case DEV_RST_CAM0: case DEV_RST_CAM1: case DEV_RST_IR1: case DEV_RST_IR2: case DEV_RST_MCU:
            regs.erase((uint8_t)t);
            break;
        case 6: case 7:
            break;  // unassigned targets: nothing to reset
        default:
            fail("unknown reset target %u", t);
        }
    }

    void cmd_cap_start(const uint8_t* d, int len)
    {
        if (len != 4)
            return fail("capture start of %d bytes", len);
        const uint32_t mode = param_u32(PARAM_DEV_MODE);
        if (mode == DEV_MODE_DFU)
            return fail("no capture in DFU mode");
        if (mode == DEV_MODE_DATA_UP) {
            if (calib_pkg.size() < VXIF_CALIB_FRAME_SIZE)
                return fail("no calibration package");
            cap_data_up = true;
            cap_fps = k_data_up_fps;
        } else {
            cap_data_up = false;
            cap_fps = param_u32(PARAM_FRAME_RATE);
            if (cam_dirty || !cam) {
                if (!build_camera())
                    return fail("unknown scene");
            }
        }
        cap = true;
        cap_limit = get_u32(d, 4);
        cap_t0_us = now();
        cap_gen = 0;
        cap_sent = 0;
    }

    void cmd_cap_stop(const uint8_t* d, int len)
    {
        if (len != 1 || d[0] != VXIF_CAP_STOP_BYTE)
            return fail("bad capture stop");
        cap = false;
        // What the FIFO still holds is dropped with the stream.
        fifo_drop();
    }

    bool build_camera()
    {
        render_pending();  // frames already admitted come from the camera that took them
        scene sc;
        if (!scene_builtin(cfg.scene, &sc))
            return false;
        sensor_cfg sc_cfg = cfg.sensor;
        sc_cfg.mod_freq = param_u32(PARAM_MOD_FREQ);
        sc_cfg.format = (int)param_u32(PARAM_FRAME_FORMAT);
        sc_cfg.fps = param_u32(PARAM_FRAME_RATE);
        sc_cfg.intg_us = get_u32(params[PARAM_INTG_TIME].v.raw, 2);
        cam = std::make_unique<camera>(sc, sc_cfg);
        cam_dirty = false;
        return true;
    }

    // ---- data and firmware transfer ---------------------------------------------
    void data_out(uint16_t action, const uint8_t* d, int len)
    {
        switch (action) {
        case DATA_ACTION_GET_INFO: {
            if (len != (int)sizeof(data_ginfo_t))
                return fail("get info of %d bytes", len);
            data_ginfo_t q;
            std::memcpy(&q, d, sizeof q);
            ginfo = data_ginfo_t{};
            ginfo.type = q.type;
            auto it = flash.find(q.type);
            if (it == flash.end()) {
                ginfo.size = DATA_SIZE_NONE;
            } else {
                ginfo.ptype = it->second.ptype;
                ginfo.version = it->second.version;
                ginfo.size = (uint32_t)it->second.data.size();
                ginfo.addr = it->second.addr;
                ginfo.hash32 = fnv1a(it->second.data);
            }
            ginfo_pending = true;
            rd_type = q.type;  // payload requests read this image from its start
            rd_cursor = 0;
            return;
        }
        case DATA_ACTION_INFO: {
            if (len != (int)sizeof(data_action_info_t))
                return fail("announcement of %d bytes", len);
            std::memcpy(&winfo, d, sizeof winfo);
            if (winfo.size == 0 || winfo.size > cfg.flash_capacity) {
                ws = ws_e::idle;
                wnext = 0;
                wstatus = TRANS_STATUS_FAIL;
                return fail("image of %u bytes does not fit", winfo.size);
            }
            wnext = 0;
            if (cfg.refuse_images) {
                ws = ws_e::idle;
                wstatus = TRANS_STATUS_FAIL;
                return;
            }
            ws = ws_e::announced;
            wstatus = TRANS_STATUS_REQ;
            return;
        }
        case DATA_ACTION_ACK: {
            if (len != (int)sizeof(data_action_pack_t))
                return fail("acknowledgement request of %d bytes", len);
            if (ws == ws_e::erasing) {
                if (erase_left > 0 || now() < erase_end_us) {
                    if (erase_left > 0)
                        --erase_left;
                    wstatus = TRANS_STATUS_EARSE_ONGOING;
                } else {
                    ws = ws_e::receiving;
                    wnext = 0;
                    wstatus = TRANS_STATUS_OK;
                }
            }
            ack = data_action_pack_t{};
            ack.next_number = wnext;
            ack.status = wstatus;
            ack_pending = true;
            return;
        }
        case DATA_ACTION_CFM: {
            if (len != (int)sizeof(data_action_cfm_t))
                return fail("confirmation of %d bytes", len);
            data_action_cfm_t c;
            std::memcpy(&c, d, sizeof c);
            if (ws != ws_e::announced)
                return fail("confirmation without announcement");
            if (c.type != winfo.type || c.data_len != winfo.size || c.frame_len == 0 ||
                c.frame_len > DATA_PACKET_PAYLOAD)
                return fail("confirmation does not match the image");
            wframe_len = c.frame_len;
            flash.erase(winfo.type);
            wbuf.assign(winfo.size, 0xFF);
            ws = ws_e::erasing;
            erase_left = cfg.erase_polls;
            erase_end_us = now() + (uint64_t)cfg.erase_ms * 1000;
            wstatus = TRANS_STATUS_EARSE_ONGOING;
            wnext = 0;
            return;
        }
        case DATA_ACTION_PAYLOAD: {
            rd_piece.clear();
            // The host sends the request as an exchange of the piece size:
            // the request fills the first 12 bytes, the rest is padding.
            if (len < (int)sizeof(data_payload_req_t))
                return fail("payload request of %d bytes", len);
            data_payload_req_t r;
            std::memcpy(&r, d, sizeof r);
            auto it = rd_type < 0 ? flash.end() : flash.find((uint8_t)rd_type);
            if (it == flash.end())
                return fail("no image selected");
            if (r.len == 0 || r.len > cfg.max_read_piece)
                return fail("payload request of %u bytes", r.len);
            const auto& img = it->second.data;
            // A camera serves its image and nothing beyond: a request that
            // reaches past the end is refused, the cursor stays.
            if ((uint64_t)rd_cursor + r.len > img.size())
                return fail("payload request of %u bytes at %u: the image has %zu", r.len, rd_cursor, img.size());
            rd_piece.assign(img.begin() + (long)rd_cursor, img.begin() + (long)(rd_cursor + r.len));
            rd_cursor += r.len;
            return;
        }
        default:
            return fail("unknown data action %u", action);
        }
    }

    void data_in(uint16_t action, uint8_t* d, int len)
    {
        switch (action) {
        case DATA_ACTION_GET_INFO:
            if (!ginfo_pending || len != (int)sizeof ginfo)
                return fail("no information pending");
            std::memcpy(d, &ginfo, sizeof ginfo);
            ginfo_pending = false;
            return;
        case DATA_ACTION_ACK:
            if (!ack_pending || len != (int)sizeof ack)
                return fail("no acknowledgement pending");
            std::memcpy(d, &ack, sizeof ack);
            ack_pending = false;
            return;
        case DATA_ACTION_PAYLOAD:
            // The read phase is as long as the request's exchange: the piece,
            // or the 12 bytes of the request record when the piece is
            // shorter (the piece comes first, zeros after it).
            if (rd_piece.empty() || len < (int)rd_piece.size() ||
                len > (int)std::max(rd_piece.size(), sizeof(data_payload_req_t)))
                return fail("no payload pending");
            std::memcpy(d, rd_piece.data(), rd_piece.size());
            rd_piece.clear();
            return;
        default:
            return fail("data action %u has nothing to read", action);
        }
    }

    // ---- control transfers --------------------------------------------------------
    xfer_result control(const uint8_t s[8], uint8_t* d)
    {
        if (cfg.virtual_time)
            vclock_us += 100;  // a control transfer takes its time on the bus
        update_bus();
        if (st != usb_state::attached)
            return {xfer_status::no_device, 0};
        const uint8_t rt = s[0], req = s[1];
        const uint16_t val = (uint16_t)(s[2] | s[3] << 8);
        const int len = s[6] | s[7] << 8;
        if (roll(cfg.faults.ctrl_hang, &fc.ctrl_hang))
            return {xfer_status::pending, 0};
        if (rt != VXIF_SETUP_OUT && rt != VXIF_SETUP_IN)
            return {xfer_status::error, 0};
        const bool in = rt == VXIF_SETUP_IN;

        if (req == VXIF_REQ_STATUS) {
            if (!in || len != (int)sizeof(vxif_cmd_status_t))
                return {xfer_status::error, 0};
            vxif_cmd_status_t r{};
            if (busy_left > 0) {
                --busy_left;
                r.cmd_status = VXIF_CMD_RUNNING;
            } else {
                r.cmd_status = last_status;
                std::snprintf(r.msg, sizeof r.msg, "%s", last_status == VXIF_CMD_FAILED ? last_msg.c_str() : "");
            }
            r.cmd_req_type = last_type;
            r.cmd_req_val = last_val;
            std::memcpy(d, &r, sizeof r);
            return {xfer_status::ok, len};
        }

        const bool known = req == VXIF_REQ_DEV || req == VXIF_REQ_CTRL || req == VXIF_REQ_DATA;
        if (!known)
            return {xfer_status::error, 0};
        last_type = req;
        last_val = (uint8_t)val;
        last_status = 0;
        last_msg.clear();
        bool usb_reset = false;
        if (in)
            std::memset(d, 0, (size_t)len);
        if (roll(cfg.faults.cmd_fail, &fc.cmd_fail)) {
            fail("injected failure");
        } else if (!in) {
            if (req == VXIF_REQ_DEV && val == VXIF_DEV_RESET) {
                cmd_reset(d, len);
                usb_reset = last_status == 0 && get_u32(d, 4) == DEV_RST_USB;
            } else if (req == VXIF_REQ_DEV && val == VXIF_DEV_PARAM_SET) {
                cmd_param_set(d, len);
            } else if (req == VXIF_REQ_DEV && val == VXIF_DEV_PARAM_GET) {
                cmd_param_get_out(d, len);
            } else if (req == VXIF_REQ_CTRL && val == VXIF_CTRL_REG_WRITE) {
                cmd_reg_write(d, len);
            } else if (req == VXIF_REQ_CTRL && val == VXIF_CTRL_REG_READ) {
                cmd_reg_read_out(d, len);
            } else if (req == VXIF_REQ_CTRL && val == VXIF_CTRL_CAP_START) {
                cmd_cap_start(d, len);
            } else if (req == VXIF_REQ_CTRL && val == VXIF_CTRL_CAP_STOP) {
                cmd_cap_stop(d, len);
            } else if (req == VXIF_REQ_DATA) {
                data_out(val, d, len);
            } else {
                fail("unknown command 0x%02x/%u", req, val);
            }
        } else {
            if (req == VXIF_REQ_DEV && val == VXIF_DEV_PARAM_GET)
                cmd_param_get_in(d, len);
            else if (req == VXIF_REQ_CTRL && val == VXIF_CTRL_REG_READ)
                cmd_reg_read_in(d, len);
            else if (req == VXIF_REQ_DATA)
                data_in(val, d, len);
            else
                fail("command 0x%02x/%u has nothing to read", req, val);
        }
        busy_left = cfg.busy_polls;
        if (roll(cfg.faults.status_storm, &fc.status_storm))
            busy_left += cfg.faults.storm_len;
        if (usb_reset) {
            drop_off(usb_state::resetting);
            back_at_us = now() + (uint64_t)cfg.usb_reset_ms * 1000;
        }
        return {xfer_status::ok, len};
    }

    // ---- byte stream --------------------------------------------------------------
    void emit_frame(const uint8_t* data, uint32_t size, uint16_t format, uint16_t frame_idx,
                    const uint8_t prop[12])
    {
        const uint32_t piece = std::max<uint32_t>(4, std::min<uint32_t>(cfg.piece_len, VX_STREAM_MAX_LEN - 4));
        std::vector<uint8_t> pay;
        for (uint32_t off = 0, n = 0; off < size; off += n) {
            n = std::min(piece, size - off);
            const bool first = off == 0;
            if (!first && roll(cfg.faults.missing_cont_hdr, &fc.missing_cont_hdr)) {
                ++hdr_idx;  // sent, and lost on the way
                continue;
            }
            if (!first && roll(cfg.faults.seq_jump, &fc.seq_jump))
                ++hdr_idx;
            vx_stream_hdr_t h{};
            h.sync_word = VX_STREAM_SYNC_WORD;
            h.idx = hdr_idx++;
            h.len = n;
            h.finfo.frame_size = size;
            h.finfo.frame_idx = frame_idx;
            h.finfo.frame_format = format;
            std::memcpy(h.finfo.frame_prop, prop, 12);
            h.flag = first ? VX_STREAM_FLAG_FR_BOUND : 0;
            if (cfg.payload_sums) {
                uint32_t sum = 0;
                for (uint32_t i = 0; i + 4 <= n; i += 4)
                    sum += get_u32(data + off + i, 4);
                h.data_cksum = sum;
                h.flag |= VX_STREAM_FLAG_EN_DATA_CKSUM;
            }
            h.cksum = vx_stream_hash16(&h, 34, 0);
            if (!first && roll(cfg.faults.bad_hdr_cksum, &fc.bad_hdr_cksum))
                h.cksum ^= 0x5A5A;
            fifo_put(&h, sizeof h);
            pay.assign(data + off, data + off + n);
            if (roll(cfg.faults.corrupt_byte, &fc.corrupt_byte)) {
                std::uniform_int_distribution<uint32_t> at(0, n - 1);
                pay[at(frng)] ^= 0x40;
            }
            if (n > 1 && roll(cfg.faults.drop_bytes, &fc.drop_bytes)) {
                std::uniform_int_distribution<uint32_t> cnt(1, (uint32_t)std::max(1, cfg.faults.drop_bytes_max));
                const uint32_t k = std::min(cnt(frng), n - 1);
                std::uniform_int_distribution<uint32_t> at(0, n - k);
                const uint32_t a = at(frng);
                pay.erase(pay.begin() + a, pay.begin() + a + k);
            }
            fifo_put(pay.data(), pay.size());
        }
    }

    // Bytes that frame `size` takes in the stream.
    uint32_t stream_bytes(uint32_t size) const
    {
        const uint32_t piece = std::max<uint32_t>(4, std::min<uint32_t>(cfg.piece_len, VX_STREAM_MAX_LEN - 4));
        return size + (size + piece - 1) / piece * (uint32_t)sizeof(vx_stream_hdr_t);
    }

    uint64_t due_us(uint64_t k) const { return cap_t0_us + (uint64_t)((double)k * 1e6 / cap_fps); }

    bool cap_done() const { return cap_limit && cap_gen >= cap_limit; }

    // Generates every frame due by now.
    void pump()
    {
        const uint64_t t = now();
        while (cap && !cap_done() && due_us(cap_gen) <= t) {
            // Frames far in the past are skipped: the FIFO could not hold them.
            const uint64_t behind = (uint64_t)((double)(t - due_us(cap_gen)) * cap_fps / 1e6);
            if (behind > k_max_catch_up) {
                const uint64_t skip = behind - k_max_catch_up;
                fc.fifo_overflow += (uint32_t)skip;
                cap_gen += skip;
                continue;
            }
            const uint64_t k = cap_gen++;
            if (roll(cfg.faults.disappear, &fc.disappear)) {
                drop_off(usb_state::gone);
                return;
            }
            if (cap_data_up) {
                const uint32_t n_frames = (uint32_t)(calib_pkg.size() / VXIF_CALIB_FRAME_SIZE);
                if (n_frames == 0) {  // the package was taken away meanwhile
                    cap = false;
                    return;
                }
                const uint32_t i = (uint32_t)(k % n_frames);  // the package is sent round and round
                const uint32_t bytes = stream_bytes(VXIF_CALIB_FRAME_SIZE);
                if (bytes + fifo_level() > cfg.fifo_bytes) {
                    ++fc.fifo_overflow;
                    continue;
                }
                if (roll(cfg.faults.slow_host, &fc.slow_host))
                    continue;
                pend.push_back({k, true, i, bytes});
                pend_bytes += bytes;
                ++cap_sent;
                continue;
            }
            const uint32_t bytes = stream_bytes(frame_bytes_for(param_u32(PARAM_FRAME_FORMAT)));
            if (bytes + fifo_level() > cfg.fifo_bytes) {
                ++fc.fifo_overflow;
                continue;
            }
            if (roll(cfg.faults.slow_host, &fc.slow_host))
                continue;
            pend.push_back({k, false, 0, bytes});
            pend_bytes += bytes;
            ++cap_sent;
        }
        if (cap && cap_done())
            cap = false;  // the requested frames are out
    }

    // Makes the bytes of the oldest admitted frame.
    void render_one()
    {
        const pending_frame p = pend.front();
        pend.pop_front();
        pend_bytes -= p.bytes;
        if (p.data_up) {
            // A package replaced meanwhile (see set_calib_package) renders
            // what was pending first; a frame beyond the package is lost.
            if ((size_t)(p.pkg_frame + 1) * VXIF_CALIB_FRAME_SIZE > calib_pkg.size())
                return;
            uint8_t prop[12] = {};
            emit_frame(calib_pkg.data() + (size_t)p.pkg_frame * VXIF_CALIB_FRAME_SIZE, VXIF_CALIB_FRAME_SIZE,
                       VXIF_CALIB_FRAME_FORMAT, (uint16_t)p.pkg_frame, prop);
            return;
        }
        if (!cam)
            return;
        cam->render((uint32_t)p.k, &fr);
        frbytes.resize(fr.raw.size() * 2);
        std::memcpy(frbytes.data(), fr.raw.data(), frbytes.size());
        uint8_t prop[12] = {};
        const uint16_t w = (uint16_t)fr.width, hh = (uint16_t)fr.height;
        std::memcpy(prop + 0, &w, 2);
        std::memcpy(prop + 2, &hh, 2);
        std::memcpy(prop + 4, &fr.temp_cb, 2);
        std::memcpy(prop + 6, &fr.temp_ib, 2);
        emit_frame(frbytes.data(), (uint32_t)frbytes.size(), (uint16_t)fr.format, (uint16_t)p.k, prop);
    }

    void render_pending()
    {
        while (!pend.empty())
            render_one();
    }

    xfer_result take(uint8_t* buf, int cap_bytes)
    {
        while (fifo_made() < (size_t)cap_bytes && !pend.empty())
            render_one();
        const size_t n = std::min<size_t>((size_t)cap_bytes, fifo_made());
        std::memcpy(buf, fifo.data() + fifo_head, n);
        fifo_head += n;
        if (fifo_head == fifo.size()) {
            fifo.clear();
            fifo_head = 0;
        } else if (fifo_head > (1u << 22)) {
            fifo.erase(fifo.begin(), fifo.begin() + (long)fifo_head);
            fifo_head = 0;
        }
        return {xfer_status::ok, (int)n};
    }
};

// ---- firmware ------------------------------------------------------------------------

firmware::firmware(const firmware_cfg& cfg) : p_(std::make_unique<impl>(cfg)) {}
firmware::~firmware() = default;

xfer_result firmware::control(const uint8_t setup[8], uint8_t* data)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->control(setup, data);
}

xfer_result firmware::control_out(uint8_t req, uint16_t val, const void* data, uint16_t len)
{
    const uint8_t s[8] = {VXIF_SETUP_OUT, req, (uint8_t)val, (uint8_t)(val >> 8), 0, 0,
                          (uint8_t)len, (uint8_t)(len >> 8)};
    std::vector<uint8_t> d((const uint8_t*)data, (const uint8_t*)data + len);
    return control(s, d.data());
}

xfer_result firmware::control_in(uint8_t req, uint16_t val, void* data, uint16_t len)
{
    const uint8_t s[8] = {VXIF_SETUP_IN, req, (uint8_t)val, (uint8_t)(val >> 8), 0, 0,
                          (uint8_t)len, (uint8_t)(len >> 8)};
    return control(s, (uint8_t*)data);
}

xfer_result firmware::bulk_in(uint8_t* buf, int cap, uint32_t timeout_ms)
{
    std::unique_lock<std::mutex> lk(p_->mu);
    impl& m = *p_;
    const uint64_t deadline = m.now() + (uint64_t)timeout_ms * 1000;
    if (cap <= 0)
        return {xfer_status::ok, 0};
    for (;;) {
        m.update_bus();
        if (m.st != usb_state::attached)
            return {xfer_status::no_device, 0};
        if (m.halted)
            return {xfer_status::stall, 0};
        m.pump();
        if (m.st != usb_state::attached)
            return {xfer_status::no_device, 0};
        if (m.roll(m.cfg.faults.bulk_stall, &m.fc.bulk_stall)) {
            m.halted = true;
            return {xfer_status::stall, 0};
        }
        if (m.roll(m.cfg.faults.bulk_timeout, &m.fc.bulk_timeout)) {
            if (m.cfg.virtual_time)
                m.vclock_us = std::max(m.vclock_us, deadline);
            return {xfer_status::timeout, 0};
        }
        if (m.fifo_level() > 0) {
            const xfer_result r = m.take(buf, cap);
            if (r.len > 0)
                return r;
            continue;  // what was pending rendered to nothing (a package taken away)
        }
        const uint64_t t = m.now();
        const bool more = m.cap && !m.cap_done();
        const uint64_t next = more ? m.due_us(m.cap_gen) : UINT64_MAX;
        const uint64_t wake = std::min(next, deadline);
        if (t >= deadline && next > t)
            return {xfer_status::timeout, 0};
        if (m.cfg.virtual_time) {
            m.vclock_us = std::max(m.vclock_us, wake);
            if (next > deadline)
                return {xfer_status::timeout, 0};
            continue;
        }
        // Real time: wait for the next frame (or the time-out) without the lock.
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(std::min<uint64_t>(wake - t, 20000)));
        lk.lock();
    }
}

xfer_result firmware::bulk_out(const uint8_t* buf, int len)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    impl& m = *p_;
    m.update_bus();
    if (m.st != usb_state::attached)
        return {xfer_status::no_device, 0};
    if (m.ws != impl::ws_e::receiving)
        return {xfer_status::stall, 0};
    data_action_data_t h{};
    const uint32_t total = m.winfo.size;
    const uint32_t off = m.wnext * m.wframe_len;
    const uint32_t want = std::min(m.wframe_len, total - off);
    if (len >= (int)sizeof h)
        std::memcpy(&h, buf, sizeof h);
    if (len < (int)sizeof h || h.len != want || (uint32_t)len != sizeof h + h.len) {
        m.wstatus = TRANS_STATUS_FAIL;  // the packet is refused; next stays
        return {xfer_status::ok, len};
    }
    const uint8_t* payload = buf + sizeof h;
    if (vxif_crc16_xmodem(payload, h.len) != h.crc) {
        ++m.crc_errors;
        m.wstatus = TRANS_STATUS_REQ;  // send the same packet again
        return {xfer_status::ok, len};
    }
    std::memcpy(m.wbuf.data() + off, payload, h.len);
    ++m.wnext;
    if (off + h.len == total) {
        flash_image img;
        img.ptype = m.winfo.ptype;
        img.version = m.winfo.version;
        img.addr = m.winfo.addr;
        img.data = std::move(m.wbuf);
        m.flash[m.winfo.type] = std::move(img);
        m.wbuf.clear();
        m.wstatus = TRANS_STATUS_FIN;
        m.ws = impl::ws_e::idle;
    } else {
        m.wstatus = TRANS_STATUS_OK;
    }
    return {xfer_status::ok, len};
}

void firmware::clear_halt()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->halted = false;
}

uint64_t firmware::now_us() const
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->now();
}

void firmware::advance_us(uint64_t us)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    if (p_->cfg.virtual_time)
        p_->vclock_us += us;
}

usb_state firmware::state()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->update_bus();
    return p_->st;
}

uint32_t firmware::enumerations()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->update_bus();
    return p_->enums;
}

void firmware::replug()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    if (p_->st == usb_state::attached)
        return;
    p_->st = usb_state::attached;
    ++p_->enums;
    p_->last_status = 0;
    p_->last_type = p_->last_val = 0;
    p_->busy_left = 0;
}

bool firmware::capturing()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->cap;
}

uint32_t firmware::frames_sent()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->cap_sent;
}

size_t firmware::fifo_level()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->fifo_level();
}

uint32_t firmware::dev_mode()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->param_u32(PARAM_DEV_MODE);
}

fault_counts firmware::counts()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->fc;
}

void firmware::set_faults(const fault_cfg& f)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->cfg.faults = f;
    p_->frng.seed(f.seed);
    p_->fc = fault_counts{};
}

void firmware::set_calib_package(std::vector<uint8_t> pkg)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->render_pending();
    p_->calib_pkg = std::move(pkg);
    p_->refresh_calib_info();
}

const flash_image* firmware::image(uint8_t type)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    auto it = p_->flash.find(type);
    return it == p_->flash.end() ? nullptr : &it->second;
}

void firmware::put_image(uint8_t type, const flash_image& img)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    p_->flash[type] = img;
    // An image put in place stands for what the camera was started with: a
    // firmware image is the one it runs.
    if (type == 0 || type == 1)
        p_->set_running_version();
}

uint32_t firmware::crc_errors()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    return p_->crc_errors;
}

uint32_t firmware::reg(uint8_t target, uint32_t addr)
{
    std::lock_guard<std::mutex> lk(p_->mu);
    auto& bank = p_->regs[target];
    auto it = bank.find(addr);
    return it == bank.end() ? 0 : it->second;
}

const camera& firmware::sensor_camera()
{
    std::lock_guard<std::mutex> lk(p_->mu);
    if (!p_->cam || p_->cam_dirty)
        p_->build_camera();
    return *p_->cam;
}

}  // namespace kavro_sim
