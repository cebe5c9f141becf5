#include "sim_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "kavro_handler.h"
#include "ll/ll_usb_proto.h"

namespace kavro_test {

using kavro_sim::xfer_result;
using kavro_sim::xfer_status;

namespace {

sim_link* link_of(kavro_ll_dev_t* d) { return d ? static_cast<sim_link*>(d->h) : nullptr; }

void record(sim_link* l, const sim_call& c) {
    std::lock_guard<std::mutex> g(l->mu);
    l->calls.push_back(c);
}

bool lost(sim_link* l, sim_call& c) { return l->before && l->before(c) == sim_verdict::lost; }

// Send phase of a command.
bool send_phase(sim_link* l, uint8_t req, uint16_t val, const void* buf, int len) {
    sim_call c{sim_call::ctrl_out, req, val, {}};
    if (len > 0) c.data.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + len);
    const bool drop = lost(l, c);
    record(l, c);
    if (drop) return false;
    const xfer_result r = l->fw.control_out(req, val, c.data.data(), (uint16_t)c.data.size());
    return r.status == xfer_status::ok && r.len == (int)c.data.size();
}

// Read phase of a command into `buf`.
bool read_phase(sim_link* l, uint8_t req, uint16_t val, void* buf, int len) {
    sim_call c{sim_call::ctrl_in, req, val, {}};
    if (lost(l, c)) {
        record(l, c);
        return false;
    }
    c.data.assign((size_t)std::max(len, 0), 0);
    const xfer_result r = l->fw.control_in(req, val, c.data.data(), (uint16_t)c.data.size());
    if (r.status != xfer_status::ok || r.len != len) {
        record(l, c);
        return false;
    }
    if (l->after) l->after(c);
    record(l, c);
    std::memcpy(buf, c.data.data(), std::min(c.data.size(), (size_t)std::max(len, 0)));
    return true;
}

// Completion check: the status request until the device stops answering
// "still running" (a bounded number of times).
bool check(sim_link* l, uint8_t req, uint16_t val) {
    for (int i = 0; i <= l->max_busy_polls; ++i) {
        vxif_cmd_status_t s{};
        const xfer_result r = l->fw.control_in(VXIF_REQ_STATUS, VXIF_STATUS_LAST_CMD, &s, sizeof s);
        if (r.status != xfer_status::ok || r.len != (int)sizeof s) return false;
        if (s.cmd_status == VXIF_CMD_RUNNING) continue;
        if (s.cmd_req_type != req || s.cmd_req_val != (uint8_t)val) return false;
        return s.cmd_status != VXIF_CMD_FAILED;
    }
    return false;
}

bool command(sim_link* l, uint8_t req, uint16_t val, const void* buf, int len) {
    return send_phase(l, req, val, buf, len) && check(l, req, val);
}

bool exchange(sim_link* l, uint8_t req, uint16_t val, void* buf, int len) {
    return command(l, req, val, buf, len) && read_phase(l, req, val, buf, len) && check(l, req, val);
}

kavro_ll_dev_t* sim_dev_open(kavro_ll_dev_t* d) {
    if (!link_of(d)) return nullptr;
    d->ll_info.type = LL_IF_USB;
    d->ll_op = &g_sim_ll_op;
    d->init_flag = true;
    return d;
}

// Ends the bulk IN pump, if one runs, and waits for it.
void stop_pump(sim_link* l) {
    l->pump_stop = true;
    if (l->pump.joinable() && l->pump.get_id() != std::this_thread::get_id()) l->pump.join();
}

void sim_dev_close(kavro_ll_dev_t* d) {
    // The link belongs to the test and stays bound, so the record can be
    // opened again; only a running pump is ended.
    if (sim_link* l = link_of(d)) stop_pump(l);
}

// The pump thread: the bulk IN stream, piece by piece, into the notify
// callback, with the transfer statuses of the USB transport.
void pump_loop(kavro_ll_dev_t* d, sim_link* l) {
    std::vector<uint8_t> buf(65536);
    while (!l->pump_stop) {
        const xfer_result r = l->fw.bulk_in(buf.data(), (int)buf.size(), 50);
        if (l->pump_stop) break;
        switch (r.status) {
        case xfer_status::ok:
            if (r.len > 0) l->notify(d, LL_TRANS_OK, buf.data(), r.len, l->notify_arg);
            break;
        case xfer_status::timeout:
        case xfer_status::pending: break;
        case xfer_status::stall:
            l->fw.clear_halt();
            l->notify(d, LL_TRANS_STALL, nullptr, 0, l->notify_arg);
            break;
        case xfer_status::no_device:
        case xfer_status::error:
            l->notify(d, LL_TRANS_ERROR, nullptr, 0, l->notify_arg);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            break;
        }
    }
}

void sim_cap_abort(kavro_ll_dev_t* d) {
    if (sim_link* l = link_of(d)) l->pump_stop = true;
}

bool sim_cap_start(kavro_ll_dev_t* d, uint32_t fr_cnt, kavro_ll_trans_notify_f cb, void* cb_arg) {
    sim_link* l = link_of(d);
    if (!l || !cb) return false;
    stop_pump(l);
    vxif_frame_cnt_t fc{fr_cnt};
    if (!command(l, VXIF_REQ_CTRL, VXIF_CTRL_CAP_START, &fc, sizeof fc)) return false;
    l->notify = cb;
    l->notify_arg = cb_arg;
    l->pump_stop = false;
    l->pump = std::thread(pump_loop, d, l);
    return true;
}

bool sim_cap_stop(kavro_ll_dev_t* d) {
    sim_link* l = link_of(d);
    if (!l) return false;
    stop_pump(l);
    const uint8_t b = VXIF_CAP_STOP_BYTE;
    return command(l, VXIF_REQ_CTRL, VXIF_CTRL_CAP_STOP, &b, 1);
}

bool sim_exe_cmd(kavro_ll_dev_t* d, bool wr_nrd, uint8_t req, uint16_t val, void* buf, int len,
                 uint32_t) {
    sim_link* l = link_of(d);
    if (!l) return false;
    return wr_nrd ? command(l, req, val, buf, len) : exchange(l, req, val, buf, len);
}

// Bulk OUT, with the result codes of the USB transport.
int sim_tx_data(kavro_ll_dev_t* d, const void* buf, uint32_t len) {
    sim_link* l = link_of(d);
    if (!l) return -4;
    sim_call c{sim_call::bulk_out, 0, 0, {}};
    c.data.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + len);
    const bool drop = lost(l, c);
    record(l, c);
    if (drop) return -7;  // the device does not take it: the transfer times out
    const xfer_result r = l->fw.bulk_out(c.data.data(), (int)c.data.size());
    switch (r.status) {
    case xfer_status::ok: return r.len;
    case xfer_status::timeout:
    case xfer_status::pending: return -7;
    case xfer_status::stall: return -9;
    case xfer_status::no_device: return -4;
    case xfer_status::error: return -1;
    }
    return -99;
}

bool sim_dev_reset(kavro_ll_dev_t* d, uint8_t target) {
    sim_link* l = link_of(d);
    if (!l) return false;
    const uint32_t t = target;
    if (target == RESET_TARGET_USB) {
        send_phase(l, VXIF_REQ_DEV, VXIF_DEV_RESET, &t, sizeof t);
        return false;  // the interface drops off; no reopen here
    }
    return command(l, VXIF_REQ_DEV, VXIF_DEV_RESET, &t, sizeof t);
}

bool sim_reg_write(kavro_ll_dev_t* d, uint8_t target, uint32_t base, const uint32_t* vals,
                   uint16_t cnt) {
    sim_link* l = link_of(d);
    if (!l) return false;
    vxif_reg_rw_t h{target, base, (uint16_t)(cnt * 4)};
    std::vector<uint8_t> b(sizeof h + 4u * cnt);
    std::memcpy(b.data(), &h, sizeof h);
    if (cnt) std::memcpy(b.data() + sizeof h, vals, 4u * cnt);
    return command(l, VXIF_REQ_CTRL, VXIF_CTRL_REG_WRITE, b.data(), (int)b.size());
}

bool sim_reg_read(kavro_ll_dev_t* d, uint8_t target, uint32_t base, uint32_t* vals, uint16_t cnt) {
    sim_link* l = link_of(d);
    if (!l) return false;
    for (uint16_t done = 0; done < cnt;) {
        const uint16_t k = (uint16_t)std::min<int>(VXIF_REG_READ_CHUNK, cnt - done);
        vxif_reg_rw_t h{target, base + done, (uint16_t)(k * 4)};
        if (!command(l, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, &h, sizeof h) ||
            !read_phase(l, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ, vals + done, k * 4) ||
            !check(l, VXIF_REQ_CTRL, VXIF_CTRL_REG_READ))
            return false;
        done = (uint16_t)(done + k);
    }
    return true;
}

bool sim_param_set(kavro_ll_dev_t* d, const vxif_param_item_t* items, int cnt) {
    sim_link* l = link_of(d);
    if (!l) return false;
    return command(l, VXIF_REQ_DEV, VXIF_DEV_PARAM_SET, items, cnt * (int)sizeof *items);
}

bool sim_param_get(kavro_ll_dev_t* d, vxif_param_item_t* items, int cnt) {
    sim_link* l = link_of(d);
    if (!l) return false;
    for (int i = 0; i < cnt; ++i) {
        items[i].param_val_len = 0;
        std::memset(&items[i].param_val, 0, sizeof items[i].param_val);
    }
    for (int i = 0; i < cnt; i += VXIF_PARAM_GET_CHUNK) {
        const int k = std::min(VXIF_PARAM_GET_CHUNK, cnt - i);
        if (!exchange(l, VXIF_REQ_DEV, VXIF_DEV_PARAM_GET, items + i, k * (int)sizeof *items))
            return false;
    }
    return true;
}

}  // namespace

const kavro_ll_op g_sim_ll_op = {
    .init = nullptr,
    .uninit = nullptr,
    .set_debug = nullptr,
    .dev_open = sim_dev_open,
    .dev_open_by_fd = nullptr,
    .dev_close = sim_dev_close,
    .dev_list = nullptr,
    .exe_cmd = sim_exe_cmd,
    .tx_data = sim_tx_data,
    .cap_abort = sim_cap_abort,
    .cap_start = sim_cap_start,
    .cap_stop = sim_cap_stop,
    .dev_reset = sim_dev_reset,
    .dev_reg_write = sim_reg_write,
    .dev_reg_read = sim_reg_read,
    .dev_param_set = sim_param_set,
    .dev_param_get = sim_param_get,
};

sim_link::~sim_link() { stop_pump(this); }

std::vector<sim_call> sim_link::of(sim_call::kind_e kind, uint8_t req, uint16_t val) {
    std::lock_guard<std::mutex> g(mu);
    std::vector<sim_call> out;
    for (const sim_call& c : calls)
        if (c.kind == kind && (kind == sim_call::bulk_out || (c.req == req && c.val == val)))
            out.push_back(c);
    return out;
}

void sim_bind(kavro_ll_dev_t* dev, sim_link* link) {
    dev->h = link;
    sim_dev_open(dev);
}

void sim_bind_dev(kavro_dev_t* dev, sim_link* link) {
    _kavro_handler_t* h = _kavro_handler_alloc();
    h->ll_dev.ll_op = &g_sim_ll_op;
    h->ll_dev.ll_info.type = LL_IF_USB;
    h->ll_dev.h = link;
    dev->handler = h;
}

}  // namespace kavro_test
