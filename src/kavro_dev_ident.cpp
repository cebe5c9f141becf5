// Cameras by identity: a listing that asks each camera for its vendor,
// product, serial and version, the serial as text, and an open that picks
// the camera by its serial.
//
// A camera is asked at transport level only (transport open, one parameter
// read, transport close): no driver, no calibration, nothing the camera
// keeps. The camera's serial is a parameter, not a USB string descriptor,
// so it cannot be read without opening the camera.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "kavro.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "vx_log_internal.h"

namespace {

// Ask the listed camera `rec` for its identity; false (record untouched)
// when it cannot be opened or does not answer.
bool ask_identity(const kavro_ll_dev_t &listed, kavro_dev_t *rec) {
    kavro_ll_dev_t ll = listed;
    ll.h = nullptr;
    if (!kavro_ll_dev_open(&ll)) {
        LOG_DBG("camera at %d:%d cannot be asked for its identity\n", ll.ll_info.info.usb.usb_bus_num,
                ll.ll_info.info.usb.usb_dev_addr);
        return false;
    }
    constexpr kavro_dev_param_e ids[4] = {PARAM_INFO_VENDOR, PARAM_INFO_PRODUCT, PARAM_INFO_SERIAL,
                                          PARAM_INFO_VERSION};
    vxif_param_item_t items[4] = {};
    for (int i = 0; i < 4; ++i) items[i].param_id = static_cast<uint8_t>(ids[i]);
    const bool ok = kavro_ll_param_get(&ll, items, 4);
    kavro_ll_dev_close(&ll);
    if (!ok) return false;
    kavro_param_item_t id[4] = {};
    for (int i = 0; i < 4; ++i) {
        id[i].param_id = ids[i];
        id[i].param_val_len = items[i].param_val_len;
        memcpy(id[i].param_val.raw, &items[i].param_val, sizeof id[i].param_val.raw);
    }
    _kavro_dev_fill_ident(rec, id);
    return true;
}

// The three words of a serial text "XXXXXXXX-XXXXXXXX-XXXXXXXX" (any letter
// case, blanks around it allowed); false when it is not one.
bool parse_serial(const char *text, uint32_t out[3]) {
    if (!text) return false;
    std::string s(text);
    const size_t b = s.find_first_not_of(" \t\r\n");
    const size_t e = s.find_last_not_of(" \t\r\n");
    if (b == std::string::npos) return false;
    s = s.substr(b, e - b + 1);
    if (s.size() != KAVRO_SERIAL_TEXT_SIZE - 1 || s[8] != '-' || s[17] != '-') return false;
    for (int w = 0; w < 3; ++w) {
        uint32_t v = 0;
        for (int k = 0; k < 8; ++k) {
            const char c = s[static_cast<size_t>(w * 9 + k)];
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
            v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        out[w] = v;
    }
    return true;
}

constexpr int IDENT_LIST_MAX = 64;

}  // namespace

extern "C" {

int kavro_dev_list_ident(kavro_dev_t *dev_list, int dev_list_num) {
    const int n = kavro_dev_list(dev_list, dev_list_num);
    if (n <= 0) return n;
    // The listing again at transport level: the records keep the transport
    // each camera was found by.
    std::unique_ptr<kavro_ll_dev_t[]> ll(new (std::nothrow) kavro_ll_dev_t[static_cast<size_t>(n)]{});
    if (!ll) return n;
    const int m = kavro_ll_dev_list(ll.get(), n);
    for (int i = 0; i < n; ++i) {
        // A camera this program has open is not disturbed: its open record
        // knows the answer.
        if (_kavro_dev_ident_of_open(dev_list[i].if_info, &dev_list[i])) continue;
        // The same camera in both lists: same place on the same interface.
        for (int j = 0; j < m; ++j) {
            if (memcmp(&ll[j].ll_info, &dev_list[i].if_info, sizeof dev_list[i].if_info) != 0) continue;
            ask_identity(ll[j], &dev_list[i]);
            break;
        }
    }
    return n;
}

bool kavro_dev_serial_text(const kavro_dev_t *dev, char *buf, int buf_len) {
    if (!dev || !buf || buf_len < KAVRO_SERIAL_TEXT_SIZE) return false;
    uint32_t w[3];
    memcpy(w, dev->serial, sizeof w);
    snprintf(buf, static_cast<size_t>(buf_len), "%08X-%08X-%08X", w[0], w[1], w[2]);
    return true;
}

kavro_dev_t *kavro_dev_open_by_serial(kavro_dev_t *dev, const char *serial) {
    uint32_t want[3];
    if (!parse_serial(serial, want)) {
        LOG_ERR("not a camera serial: '%s' (expected XXXXXXXX-XXXXXXXX-XXXXXXXX)\n", serial ? serial : "(null)");
        return nullptr;
    }
    if (dev && _kavro_dev_handler(dev)) {
        LOG_ERR("the record is open: close it first\n");
        return nullptr;
    }
    std::unique_ptr<kavro_dev_t[]> list(new (std::nothrow) kavro_dev_t[IDENT_LIST_MAX]{});
    if (!list) return nullptr;
    const int n = kavro_dev_list_ident(list.get(), IDENT_LIST_MAX);
    for (int i = 0; i < n; ++i) {
        if (list[i].product[0] == 0 || memcmp(list[i].serial, want, sizeof want) != 0) continue;
        kavro_dev_t open_here{};
        if (_kavro_dev_ident_of_open(list[i].if_info, &open_here)) {
            LOG_ERR("the camera with serial %s is open already\n", serial);
            return nullptr;
        }
        kavro_dev_t *rec = dev;
        if (!rec) {
            rec = static_cast<kavro_dev_t *>(calloc(1, sizeof *rec));
            if (!rec) return nullptr;
        }
        memset(rec, 0, sizeof *rec);
        rec->if_info = list[i].if_info;
        rec->init_flag = list[i].init_flag;
        rec->alloc_flag = dev == nullptr;
        // A failed open frees a record with alloc_flag set.
        return kavro_dev_open(rec);
    }
    LOG_ERR("no camera with serial %s found (%d listed)\n", serial, n);
    return nullptr;
}

}  // extern "C"
