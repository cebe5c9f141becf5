#include "fake_transport.h"

#include <cstring>

#include "kavro_handler.h"

namespace {

FakeCamera *cam_of(kavro_ll_dev_t *d) { return static_cast<FakeCamera *>(d->h); }

kavro_ll_dev_t *fake_dev_open(kavro_ll_dev_t *d) {
    FakeCamera *cam = cam_of(d);
    if (!cam) return nullptr;
    cam->record("open");
    if (cam->fail_open) return nullptr;
    d->init_flag = true;
    return d;
}

void fake_dev_close(kavro_ll_dev_t *d) {
    if (FakeCamera *cam = cam_of(d)) cam->record("close");
    // The transport state stays reachable for the test; a real transport
    // frees it here.
}

void fake_cap_abort(kavro_ll_dev_t *d) { cam_of(d)->record("cap_abort"); }

bool fake_cap_start(kavro_ll_dev_t *d, uint32_t, kavro_ll_trans_notify_f cb, void *arg) {
    FakeCamera *cam = cam_of(d);
    cam->record("cap_start");
    cam->cb = cb;
    cam->cb_arg = arg;
    return true;
}

bool fake_cap_stop(kavro_ll_dev_t *d) {
    FakeCamera *cam = cam_of(d);
    cam->record("cap_stop");
    return !cam->fail_cap_stop;
}

bool fake_dev_reset(kavro_ll_dev_t *d, uint8_t target) {
    FakeCamera *cam = cam_of(d);
    cam->record("reset");
    std::lock_guard<std::mutex> g(cam->log_mutex);
    cam->last_target = target;
    return true;
}

bool fake_reg(kavro_ll_dev_t *d, const char *what, uint8_t target, uint32_t base, const void *vals, uint16_t cnt) {
    FakeCamera *cam = cam_of(d);
    cam->record(what);
    std::lock_guard<std::mutex> g(cam->log_mutex);
    cam->last_target = target;
    cam->last_reg_base = base;
    cam->last_reg_vals = vals;
    cam->last_reg_cnt = cnt;
    return true;
}

bool fake_reg_write(kavro_ll_dev_t *d, uint8_t t, uint32_t b, const uint32_t *v, uint16_t c) {
    return fake_reg(d, "reg_write", t, b, v, c);
}

bool fake_reg_read(kavro_ll_dev_t *d, uint8_t t, uint32_t b, uint32_t *v, uint16_t c) {
    for (uint16_t i = 0; i < c; ++i) v[i] = b + i;
    return fake_reg(d, "reg_read", t, b, v, c);
}

bool fake_param_set(kavro_ll_dev_t *d, const vxif_param_item_t *items, int n) {
    FakeCamera *cam = cam_of(d);
    cam->record("param_set");
    std::lock_guard<std::mutex> g(cam->log_mutex);
    cam->last_set.assign(items, items + n);
    return !cam->fail_param_set;
}

void put_text(vxif_param_item_t &it, const std::string &s) {
    const size_t n = std::min(s.size(), sizeof it.param_val);
    memset(&it.param_val, 0, sizeof it.param_val);
    memcpy(&it.param_val, s.data(), n);
    it.param_val_len = static_cast<uint8_t>(n);
}

bool fake_param_get(kavro_ll_dev_t *d, vxif_param_item_t *items, int n) {
    FakeCamera *cam = cam_of(d);
    {
        std::unique_lock<std::mutex> g(cam->gate_mutex);
        if (cam->block) {
            ++cam->blocked;
            cam->gate_cv.wait(g, [cam] { return !cam->block; });
            --cam->blocked;
        }
    }
    ++cam->param_gets;
    {
        std::lock_guard<std::mutex> g(cam->log_mutex);
        cam->calls.push_back("param_get");
        cam->last_get_request.assign(items, items + n);
    }
    if (cam->fail_param_get) {
        for (int i = 0; i < n; ++i) memset(&items[i].param_val, 0xEE, sizeof items[i].param_val);
        return false;
    }
    for (int i = 0; i < n; ++i) {
        vxif_param_item_t &it = items[i];
        switch (it.param_id) {
        case PARAM_INFO_VENDOR: put_text(it, cam->vendor); break;
        case PARAM_INFO_PRODUCT: put_text(it, cam->product); break;
        case PARAM_INFO_SERIAL:
            memcpy(&it.param_val, cam->serial, sizeof it.param_val);
            it.param_val_len = cam->serial_len;
            break;
        case PARAM_INFO_VERSION:
            memset(&it.param_val, 0, sizeof it.param_val);
            memcpy(&it.param_val, cam->version, sizeof cam->version);
            it.param_val_len = sizeof cam->version;
            break;
        case PARAM_FRAME_RATE:
            memcpy(&it.param_val, &cam->fps, sizeof cam->fps);
            it.param_val_len = 4;
            break;
        default:
            memset(&it.param_val, 0x5A, sizeof it.param_val);
            it.param_val_len = 3;
            break;
        }
    }
    return true;
}

bool fake_init() { return true; }
void fake_uninit() {}
void fake_set_debug(int) {}
kavro_ll_dev_t *fake_open_by_fd(kavro_ll_dev_t *, int) { return nullptr; }
int fake_dev_list(kavro_ll_dev_t *, int) { return 0; }
bool fake_exe_cmd(kavro_ll_dev_t *, bool, uint8_t, uint16_t, void *, int, uint32_t) { return true; }
int fake_tx_data(kavro_ll_dev_t *, const void *, uint32_t) { return 0; }

}  // namespace

const kavro_ll_op g_fake_ll_op = {
    .init = fake_init,
    .uninit = fake_uninit,
    .set_debug = fake_set_debug,
    .dev_open = fake_dev_open,
    .dev_open_by_fd = fake_open_by_fd,
    .dev_close = fake_dev_close,
    .dev_list = fake_dev_list,
    .exe_cmd = fake_exe_cmd,
    .tx_data = fake_tx_data,
    .cap_abort = fake_cap_abort,
    .cap_start = fake_cap_start,
    .cap_stop = fake_cap_stop,
    .dev_reset = fake_dev_reset,
    .dev_reg_write = fake_reg_write,
    .dev_reg_read = fake_reg_read,
    .dev_param_set = fake_param_set,
    .dev_param_get = fake_param_get,
};

void FakeCamera::record(const std::string &what) {
    std::lock_guard<std::mutex> g(log_mutex);
    calls.push_back(what);
}

int FakeCamera::count(const std::string &what) {
    std::lock_guard<std::mutex> g(log_mutex);
    int n = 0;
    for (const auto &c : calls) n += c == what;
    return n;
}

void FakeCamera::release() {
    {
        std::lock_guard<std::mutex> g(gate_mutex);
        block = false;
    }
    gate_cv.notify_all();
}

void fake_bind(kavro_dev_t *dev, FakeCamera *cam) {
    _kavro_handler_t *h = _kavro_handler_alloc();
    h->ll_dev.ll_op = &g_fake_ll_op;
    h->ll_dev.h = cam;
    dev->handler = h;
}

kavro_dev_t *fake_open(kavro_dev_t *dev, FakeCamera *cam) {
    fake_bind(dev, cam);
    return kavro_dev_open(dev);
}
