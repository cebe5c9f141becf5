// Data and firmware transfer between host files and the device's flash
// images, over the data action commands (request 0xCC) and the bulk OUT
// channel. The exported calls in kavro_ll.h use the default options; tests
// and tools reach the bounds and the waits through the internal forms.
#pragma once

#include <cstdint>
#include <functional>

#include "kavro_ll.h"

struct _kavro_xfer_opts_t {
    // Progress after each acknowledged packet or stored piece (may be empty).
    std::function<void(uint32_t done, uint32_t total)> progress;
    // Asked before each packet (write) or piece (read), once the image is
    // under way: true stops the transfer there with _KAVRO_XFER_STOPPED (an
    // application's Ctrl-C). A write stopped so leaves the device's image
    // incomplete; a read removes its file. May be empty.
    std::function<bool()> stop;
    // Every wait of a transfer goes through here (erase poll pauses and the
    // finishing waits); the default sleeps.
    std::function<void(uint32_t ms)> sleep;
    // Erase polling: at most this many acknowledgement reads while the device
    // reports its erase ongoing, with a pause between them. The defaults allow
    // an erase of at least five minutes, well above a whole-flash erase.
    uint32_t erase_poll_max = 30000;
    uint32_t erase_poll_pause_ms = 10;
    // Finishing waits: after the reset of a type 0/1 image, and for the
    // device to store a type 2/3 image.
    uint32_t reset_wait_ms = 10000;
    uint32_t store_wait_ms = 7000;
};

// Result of a transfer ended by the `stop` option (the public code).
constexpr int _KAVRO_XFER_STOPPED = KAVRO_XFER_STOPPED;

int _kavro_bin_data_write(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version, uint32_t addr,
                          const char *file_name, const _kavro_xfer_opts_t &opts);
int _kavro_bin_data_read(kavro_ll_dev_t *pdev, uint8_t type, const char *file_name,
                         const _kavro_xfer_opts_t &opts);
