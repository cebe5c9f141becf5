// The interface between the kavro tool and its simulator module
// (libkavro_simcam.so), which the tool loads with dlopen() only for --sim:
// the module holds the camera simulator on umockdev's emulated USB bus, so
// the tool itself needs neither umockdev nor GLib. Plain C types only; the
// module's copy of the simulator and of the pieces of the library it uses
// stay inside it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kavro.h"

#define KAVRO_SIM_MODULE_ABI 1
#define KAVRO_SIM_MODULE_ENTRY "kavro_sim_module_v1"

enum {
    KAVRO_SIM_FAULT_REFUSE_IMAGES = 0x1,
    KAVRO_SIM_FAULT_UNPLUG_DURING_TRANSFER = 0x2,
    KAVRO_SIM_FAULT_NO_CALIB = 0x4,
};

struct kavro_sim_module_api {
    uint32_t abi;  // KAVRO_SIM_MODULE_ABI
    // Build the bus and its camera with the state in state_dir; null with
    // err (err_len bytes) filled on failure.
    void *(*camera_new)(unsigned faults, const char *state_dir, char *err, size_t err_len);
    // Save the state for the next run and free the camera.
    void (*camera_free)(void *cam);
    void (*on_transfer_progress)(void *cam, unsigned done, unsigned total);
    void (*flash_write_begins)(void *cam, int type);
    // The kept parameters (up to max; returns how many there are) and
    // registers (target, address, value triples).
    int (*saved_params)(void *cam, kavro_param_item_t *out, int max);
    int (*saved_regs)(void *cam, int *targets, uint32_t *addrs, uint32_t *vals, int max);
    void (*remember_params)(void *cam, const kavro_param_item_t *items, int n);
    void (*remember_regs)(void *cam, int target, uint32_t addr, const uint32_t *vals, int n);
};

typedef const struct kavro_sim_module_api *(*kavro_sim_module_entry_f)(void);
