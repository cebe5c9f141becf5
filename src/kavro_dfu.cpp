// Firmware upgrade and the camera interface's data transfer entry points.
// A firmware image is written like any data image, at flash address 0; the
// camera calls run the transfer on the device's transport record inside the
// API guard, so a close waits for a transfer in progress.
#include "kavro.h"
#include "kavro_bin_data_handle.h"
#include "kavro_handler.h"
#include "kavro_ll.h"
#include "vx_log_internal.h"

namespace {

// A running capture owns the bulk channel and the device's attention: a
// transfer then would break both, so it is refused (logged).
bool _kavro_xfer_allowed(_kavro_handler_t *h) {
    if (!h->is_capturing.load()) return true;
    LOG_ERR("device is capturing: stop capture first\n");
    return false;
}

// The transfer options of the device calls: the caller's progress and
// cancel callbacks, the library's bounds and waits.
_kavro_xfer_opts_t xfer_opts(kavro_xfer_progress_f progress, kavro_xfer_cancel_f cancel, void *arg) {
    _kavro_xfer_opts_t opts;
    if (progress) opts.progress = [progress, arg](uint32_t done, uint32_t total) { progress(done, total, arg); };
    if (cancel) opts.stop = [cancel, arg] { return cancel(arg); };
    return opts;
}

}  // namespace

extern "C" {

int kavro_ll_firmware_upgrade(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version,
                              const char *file_name) {
    return kavro_bin_data_write(pdev, type, version, 0, file_name);
}

int kavro_data_download(kavro_dev_t *dev, char *name, uint8_t type, uint16_t version,
                        uint32_t addr) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_DBG("Wrong params\n");
        return KAVRO_XFER_FAILED;
    }
    if (!_kavro_xfer_allowed(guard.handler())) return KAVRO_XFER_FAILED;
    return kavro_bin_data_write(&guard.handler()->ll_dev, type, version, addr, name);
}

int kavro_data_upload(kavro_dev_t *dev, uint8_t type, const char *file_name) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_DBG("Wrong params\n");
        return KAVRO_XFER_FAILED;
    }
    if (!_kavro_xfer_allowed(guard.handler())) return KAVRO_XFER_FAILED;
    return kavro_bin_data_read(&guard.handler()->ll_dev, type, file_name);
}

int kavro_firmware_upgrade(kavro_dev_t *dev, uint8_t type, uint16_t version,
                           const char *file_name) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_DBG("Wrong params\n");
        return KAVRO_XFER_FAILED;
    }
    if (!_kavro_xfer_allowed(guard.handler())) return KAVRO_XFER_FAILED;
    return kavro_bin_data_write(&guard.handler()->ll_dev, type, version, 0, file_name);
}

int kavro_dev_data_write(kavro_dev_t *dev, uint8_t type, uint16_t version, uint32_t addr, const char *file_name,
                         kavro_xfer_progress_f progress, kavro_xfer_cancel_f cancel, void *arg) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR("device not open\n");
        return KAVRO_XFER_FAILED;
    }
    if (!_kavro_xfer_allowed(guard.handler())) return KAVRO_XFER_FAILED;
    return _kavro_bin_data_write(&guard.handler()->ll_dev, type, version, addr, file_name,
                                 xfer_opts(progress, cancel, arg));
}

int kavro_dev_data_read(kavro_dev_t *dev, uint8_t type, const char *file_name, kavro_xfer_progress_f progress,
                        kavro_xfer_cancel_f cancel, void *arg) {
    _kavro_api_guard guard(dev);
    if (!guard) {
        LOG_ERR("device not open\n");
        return KAVRO_XFER_FAILED;
    }
    if (!_kavro_xfer_allowed(guard.handler())) return KAVRO_XFER_FAILED;
    return _kavro_bin_data_read(&guard.handler()->ll_dev, type, file_name, xfer_opts(progress, cancel, arg));
}

}  // extern "C"
