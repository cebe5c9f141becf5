// Driver registry: the table of built-in chip drivers and the lookup of the
// driver for a device's product string. Adding a driver is one line here.
#include "kavro_driver.h"

#include <cstdio>
#include <cstring>

#include "vx_log_internal.h"

kavro_drv_t g_kavro_drivers[KAVRO_DRIVER_COUNT] = {
    {.name = "TI OP8241 chip driver", .id_str = "T0", .op = &g_kavro_driver_op_ti, .dev = nullptr,
     .priv_data = nullptr},
    {.name = "EPC chip driver", .id_str = "E1", .op = &g_kavro_driver_op_epc, .dev = nullptr,
     .priv_data = nullptr},
    {.name = "EPC chip driver", .id_str = "E2", .op = &g_kavro_driver_op_epc, .dev = nullptr,
     .priv_data = nullptr},
    {.name = "EPC chip driver", .id_str = "E3", .op = &g_kavro_driver_op_epc, .dev = nullptr,
     .priv_data = nullptr},
};

extern "C" {

kavro_drv_t *kavro_drv_find(kavro_dev_t *dev) {
    if (!dev) return nullptr;
    // The product string is "<field>-<chip code>-<field>"; each field is read
    // into 16 characters and a terminator. A longer field stops the scan
    // before its '-', so the match fails.
    char f0[17] = {};
    char chip[17] = {};
    char f2[17] = {};
    char product[sizeof dev->product + 1] = {};
    memcpy(product, dev->product, sizeof dev->product);  // the field may lack a terminator
    if (sscanf(product, "%16[^-]-%16[^-]-%16[^-]", f0, chip, f2) < 3) return nullptr;
    for (kavro_drv_t &drv : g_kavro_drivers) {
        if (strcmp(chip, drv.id_str) != 0) continue;
        LOG_DBG(" find driver: %s (device=%s [SW=%u,BT=%u,HW=%u])\n", drv.name, product,
                dev->version.ver.sw_ver, dev->version.ver.sw2_ver, dev->version.ver.hw_ver);
        return &drv;
    }
    return nullptr;
}

}  // extern "C"
