/*
 * libkavro transport interface: the layer that reaches one camera, over USB
 * or by replaying a recorded raw frame file.
 *
 * Every transport fills one constant operation table (kavro_ll_op). A device
 * record (kavro_ll_dev_t) points at the table of the transport that listed
 * or opened it, and each kavro_ll_* call below dispatches through it.
 *
 * Record lifecycle: fresh (h NULL, ll_op NULL or set by a listing) ->
 * kavro_ll_dev_open() -> open (h set, event thread running) ->
 * kavro_ll_dev_close() -> closed (h NULL; ll_op and ll_info stay, so the
 * record can be opened again and reaches the same device).
 *
 * Threads: any application thread may call these functions; the notify
 * callback given to kavro_ll_cap_start() runs on the device's event thread.
 * Only kavro_ll_cap_abort() may be called from inside that callback.
 */
#ifndef KAVRO_LL_H
#define KAVRO_LL_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro.h"
#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Kind of transport behind a device record. */
typedef enum {
    LL_IF_USB = 0,
    LL_IF_ETH = 1, /* network camera: declared, no transport of this build serves it */
    LL_IF_FILE = 2,
    LL_IF_NONE = 99 /* undecided: the USB transport opens the first camera it finds */
} kavro_ll_if_e;

/** Where the device is. Same layout as kavro_dev_if_info_t. */
typedef struct {
    kavro_ll_if_e type;
    union {
        struct {
            uint8_t usb_bus_num;
            uint8_t usb_port_num;
            uint8_t usb_dev_addr;
            uint8_t usb_speed; /* 0 unknown, 1 low, 2 full, 3 high, 4 super */
        } usb;
        struct {
            uint8_t addr[16];
            uint8_t reserved[16];
            uint32_t token;
            uint32_t cid;
        } eth;
        struct {
            /* The recording's open FILE (binary read mode). The caller opens
             * it before the open and closes it after the close; the
             * transport never closes it. */
            void *fd;
        } fil;
    } info;
} kavro_ll_info_t;

struct kavro_ll_op;

/** One device at transport level. */
typedef struct {
    void *h;                         /* transport's private state; NULL when not open */
    kavro_ll_info_t ll_info;         /* where the device is */
    const struct kavro_ll_op *ll_op; /* table of the transport that listed/opened it */
    bool init_flag;                  /* the record names one particular device */
} kavro_ll_dev_t;

#pragma pack(push, 1)
/** One device parameter as exchanged with the device: 20 bytes, sent as is. */
typedef struct {
    uint8_t param_id;            /* kavro_dev_param_e */
    uint8_t param_val_len;       /* valid bytes in param_val */
    kavro_param_val_u param_val; /* 18 bytes, little-endian numbers */
} vxif_param_item_t;
#pragma pack(pop)

/** Reset targets of dev_reset; same values as kavro_dev_rst_e. */
typedef enum {
    RESET_TARGET_SYS = 0,
    RESET_TARGET_CAM0 = 1,
    RESET_TARGET_CAM1 = 2,
    RESET_TARGET_USB = 3,
    RESET_TARGET_IR0 = 4,
    RESET_TARGET_IR1 = 5,
    RESET_TARGET_MCU = 8
} kavro_ll_reset_target_e;

/**
 * Statuses handed to the notify callback. The negative ones equal the public
 * capture error codes (KAVRO_ERR_CAP_*), so the capture engine can pass an
 * unknown status on unchanged.
 */
typedef enum {
    LL_TRANS_OK = 0,           /* data received: buf/len are the data */
    LL_TRANS_CANCELLED = -3,   /* USB transfer cancelled; replay: end of file (len 0) */
    LL_TRANS_TIMEOUT = -5,     /* USB transfer timed out */
    LL_TRANS_STALL = -7,       /* USB endpoint stalled; halt already cleared */
    LL_TRANS_LOAD_FAILED = -8, /* replay: a frame could not be read (len 0) */
    LL_TRANS_ERROR = -10       /* any other transfer failure */
} kavro_ll_trans_status_e;

/**
 * Notify callback: called on the transport's event thread, never on the
 * caller's, once per piece of received data and once per failed or
 * cancelled transfer. `arg` is the cb_arg given to cap_start.
 */
typedef void (*kavro_ll_trans_notify_f)(kavro_ll_dev_t *dev, int trans_status, void *buf, int len,
                                        void *arg);

/**
 * Operation table of one transport, slots in this order. A NULL slot means
 * the transport does not offer the operation: dispatch then returns false,
 * 0 or NULL (init counts as succeeded: nothing to set up).
 */
typedef struct kavro_ll_op {
    /* 1. One-time set-up of the transport. May block briefly. true on success. Optional. */
    bool (*init)(void);
    /* 2. Undo init. May block briefly. Optional. */
    void (*uninit)(void);
    /* 3. Verbosity of the transport's own USB library, level 0..5. Non-blocking. Optional. */
    void (*set_debug)(int level);
    /* 4. Open the device if ll_info.type is this transport's kind (else NULL, record untouched):
     *    allocate h, reach the device, fill ll_info, start the event thread, set ll_op.
     *    Blocks. Returns dev, or NULL after freeing what it allocated. Required. */
    kavro_ll_dev_t *(*dev_open)(kavro_ll_dev_t *dev);
    /* 5. Open from a handle the host system already opened. Blocks. dev or NULL. Optional. */
    kavro_ll_dev_t *(*dev_open_by_fd)(kavro_ll_dev_t *dev, int fd);
    /* 6. For a record of this kind: stop and join the event thread, release the device,
     *    free h and set it NULL. Blocks until the thread ended. Required. */
    void (*dev_close)(kavro_ll_dev_t *dev);
    /* 7. Fill up to num records (ll_info, init_flag, ll_op set; h NULL), one per device
     *    found. Blocks. Returns how many were filled. Optional. */
    int (*dev_list)(kavro_ll_dev_t *list, int num);
    /* 8. Run one device command: wr_nrd sends buf_len bytes of buf, else sends buf and
     *    reads buf_len bytes back into it. Blocks up to timeout_ms per phase. true only if
     *    every phase completed in full and the device reported success. Optional. */
    bool (*exe_cmd)(kavro_ll_dev_t *dev, bool wr_nrd, uint8_t cmd_type, uint16_t cmd_val,
                    void *buf, int buf_len, uint32_t timeout_ms);
    /* 9. Send a block on the bulk channel. Blocks. Bytes sent, or negative error. Optional. */
    int (*tx_data)(kavro_ll_dev_t *dev, const void *buf, uint32_t len);
    /* 10. Set the stop flag only. Never blocks, takes no lock: callable from inside the
     *     notify callback. Required. */
    void (*cap_abort)(kavro_ll_dev_t *dev);
    /* 11. Store cb/cb_arg and begin delivering data through cb on the event thread.
     *     May block briefly (device lock, start command). true on success. Required. */
    bool (*cap_start)(kavro_ll_dev_t *dev, uint32_t fr_cnt, kavro_ll_trans_notify_f cb,
                      void *cb_arg);
    /* 12. Stop delivering data. May block briefly. true on success. Required. */
    bool (*cap_stop)(kavro_ll_dev_t *dev);
    /* 13. Reset the part of the device named by target (kavro_ll_reset_target_e). Blocks.
     *     true on success. Optional. */
    bool (*dev_reset)(kavro_ll_dev_t *dev, uint8_t target);
    /* 14. Write reg_cnt consecutive registers of a register target. Blocks. true on
     *     success. Optional. */
    bool (*dev_reg_write)(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                          const uint32_t *reg_vals, uint16_t reg_cnt);
    /* 15. Read reg_cnt consecutive registers into reg_vals. Blocks. true on success.
     *     Optional. */
    bool (*dev_reg_read)(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                         uint32_t *reg_vals, uint16_t reg_cnt);
    /* 16. Set parameters. Blocks. true on success. Optional. */
    bool (*dev_param_set)(kavro_ll_dev_t *dev, const vxif_param_item_t *items, int item_cnt);
    /* 17. Get parameters: the caller fills param_id, the transport length and value.
     *     Blocks. true on success. Optional. */
    bool (*dev_param_get)(kavro_ll_dev_t *dev, vxif_param_item_t *items, int item_cnt);
} kavro_ll_op;

/** Initialise every transport in list order; false at the first failure. */
KAVRO_API bool kavro_ll_init(void);
/** Release every transport. */
KAVRO_API void kavro_ll_uninit(void);
/** Pass a debug level to every transport. */
KAVRO_API void kavro_ll_set_debug(int level);

/**
 * Fill up to dev_list_num records, USB cameras first, then the other
 * transports into the remaining slots. Returns how many were filled.
 */
KAVRO_API int kavro_ll_dev_list(kavro_ll_dev_t *dev_list, int dev_list_num);
/**
 * Open a device. A record with ll_op set (listed or opened before) goes to
 * that transport only; otherwise each transport is tried in list order and
 * decides by ll_info.type. Returns dev, or NULL.
 */
KAVRO_API kavro_ll_dev_t *kavro_ll_dev_open(kavro_ll_dev_t *dev);
/** Like kavro_ll_dev_open, from a handle the host system already opened. */
KAVRO_API kavro_ll_dev_t *kavro_ll_dev_open_by_fd(kavro_ll_dev_t *dev, int fd);

/*
 * The calls below need a record a transport has listed or opened. With a
 * NULL record, a record without ll_op, or a transport that lacks the
 * operation, they do nothing and return false (0 for kavro_ll_tx_data).
 */
KAVRO_API void kavro_ll_dev_close(kavro_ll_dev_t *dev);
KAVRO_API bool kavro_ll_dev_reset(kavro_ll_dev_t *dev, uint8_t target);
KAVRO_API bool kavro_ll_exe_cmd(kavro_ll_dev_t *dev, bool wr_nrd, uint8_t cmd_type,
                                uint16_t cmd_val, void *buf, int buf_len, uint32_t timeout_ms);
KAVRO_API int kavro_ll_tx_data(kavro_ll_dev_t *dev, const void *buf, uint32_t len);
/** Raise the stop flag only; safe from inside the notify callback. */
KAVRO_API void kavro_ll_cap_abort(kavro_ll_dev_t *dev);
KAVRO_API bool kavro_ll_cap_start(kavro_ll_dev_t *dev, uint32_t fr_cnt, kavro_ll_trans_notify_f cb,
                                  void *cb_arg);
KAVRO_API bool kavro_ll_cap_stop(kavro_ll_dev_t *dev);
KAVRO_API bool kavro_ll_reg_write(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                                  const uint32_t *reg_vals, uint16_t reg_cnt);
KAVRO_API bool kavro_ll_reg_read(kavro_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                                 uint32_t *reg_vals, uint16_t reg_cnt);
KAVRO_API bool kavro_ll_param_set(kavro_ll_dev_t *dev, const vxif_param_item_t *param_items,
                                  int item_cnt);
KAVRO_API bool kavro_ll_param_get(kavro_ll_dev_t *dev, vxif_param_item_t *param_items,
                                  int item_cnt);

/* ---- data and firmware transfer ------------------------------------------
 * Blocking, on the caller's thread; results are the KAVRO_XFER_* codes of
 * kavro.h. A dead device cannot hold the caller forever: every command is
 * bounded by the transport and the erase poll by a count.
 */
/** Write the file into the device as an image of `type` at flash address `addr`. */
KAVRO_API int kavro_bin_data_write(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version,
                                   uint32_t addr, const char *file_name);
/** Read the device's image of `type` into a file (NULL: "calib.bin"). 1 or -1. */
KAVRO_API int kavro_bin_data_read(kavro_ll_dev_t *pdev, uint8_t type, const char *file_name);
/** kavro_bin_data_write at address 0. */
KAVRO_API int kavro_ll_firmware_upgrade(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version,
                                        const char *file_name);
/** kavro_bin_data_write reporting progress through `cb` (may be NULL). */
KAVRO_API int kavro_bin_data_write_progress(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version,
                                            uint32_t addr, const char *file_name,
                                            kavro_xfer_progress_f cb, void *cb_arg);
/** kavro_bin_data_read reporting progress through `cb` (may be NULL). */
KAVRO_API int kavro_bin_data_read_progress(kavro_ll_dev_t *pdev, uint8_t type,
                                           const char *file_name, kavro_xfer_progress_f cb,
                                           void *cb_arg);

KAVRO_END_DECLS

#endif /* KAVRO_LL_H */
