/*
 * libkavro calibration parameter files.
 *
 * A camera's calibration parameter file is a container: a fixed header
 * (version, magic number, timestamp, lens parameters, checksum), a block
 * header (block count, total size, second checksum) and up to seven typed
 * blocks whose data belong to the chip driver. kavro_param_open_file()
 * verifies a file and keeps it open in a caller-owned handle;
 * kavro_param_parse_blk() reads one block and hands it to a callback.
 *
 * All numbers in the file are little-endian and every record is packed.
 * Files of version below 140 use the old block layout (42-byte unit
 * headers), 140 and above the current one (5-byte unit headers).
 *
 * Threads: a handle is used by one thread at a time; different handles
 * are independent (the module keeps no global state).
 */
#ifndef KAVRO_PARAM_H
#define KAVRO_PARAM_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "kavro.h"
#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Versions below this use the old block layout. */
#define KAVRO_PARAM_VER_CURRENT_LAYOUT 140
/** magic_id of old-layout files. */
#define KAVRO_PARAM_MAGIC_OLD 1000u
/** magic_id of current-layout files: the ASCII bytes "VXP1". */
#define KAVRO_PARAM_MAGIC 0x31505856u
/** A file carries at most this many blocks. */
#define KAVRO_PARAM_BLK_MAX 7
/** Entries of the per-block tables of a handle. */
#define KAVRO_PARAM_BLK_SLOTS 8
/** Longest file name a handle keeps, without the terminating NUL. */
#define KAVRO_PARAM_FILENAME_MAX 127

#pragma pack(push, 1)

/** Lens parameters (144 bytes). An empty name: the file carries none. */
typedef struct {
    char name[64]; /* NUL-padded, not necessarily NUL-terminated */
    double cx;     /* principal point, pixels */
    double cy;
    double fx; /* focal lengths, pixels */
    double fy;
    double dcoeff[5]; /* distortion coefficients */
    uint32_t img_w;   /* image size the parameters belong to */
    uint32_t img_h;
} kavro_param_len_t;

/** Fixed header (1188 bytes at file offset 0). */
typedef struct {
    uint8_t ver;       /* format version; < 140 old layout */
    uint32_t ts;       /* calibration timestamp */
    uint32_t magic_id; /* KAVRO_PARAM_MAGIC_OLD or KAVRO_PARAM_MAGIC */
    uint32_t reserved;
    uint8_t ver2; /* second version byte, not interpreted */
    uint32_t resreved2;
    uint16_t ck_sum; /* checksum over bytes 20..1187 (lens and reserved2) */
    kavro_param_len_t lens;
    uint8_t reserved2[1024];
} kavro_param_fix_t;

/** Block header (14 bytes at file offset 1188), followed by the blocks. */
typedef struct {
    uint32_t ts;             /* block timestamp, logged only */
    uint32_t blk_cnt;        /* number of blocks, at most 7 */
    uint32_t blk_size_total; /* size of all blocks with their unit headers */
    uint16_t ck_sum;         /* checksum over all blocks (current layout) */
} kavro_param_blk_t;

/** The first 1202 bytes of a file. */
typedef struct {
    kavro_param_fix_t p_fix;
    kavro_param_blk_t p_blks;
} kavro_param_t;

/** Block unit header, current layout (5 bytes). */
typedef struct {
    uint8_t type;  /* block type, interpreted by the chip driver */
    uint32_t size; /* number of data bytes that follow */
} kavro_param_blk_unit_t;

/** Block unit header, old layout (42 bytes). */
typedef struct {
    uint8_t type; /* must be 1 */
    uint32_t data_start[5];
    uint8_t reserved2;
    uint32_t size; /* number of data bytes after the 42-byte header */
    uint32_t reserved3[4];
} kavro_param_blk_unit_old_t;

#pragma pack(pop)

/**
 * An open, verified parameter file. The caller owns it (usually on its
 * stack). Get one from kavro_param_open_file(); after kavro_param_close()
 * it is no longer valid. Treat the members as read-only.
 *
 * For an old-layout file every block is recorded with type 1 and size
 * `size` + 41, and its data start one byte into the 42-byte unit header:
 * the parser callback receives the old header without its type byte,
 * followed by the data.
 */
typedef struct {
    char pfilename[KAVRO_PARAM_FILENAME_MAX + 1];
    FILE *fd;
    kavro_param_t vx_hdr;                                   /* copy of the first 1202 bytes */
    kavro_param_blk_unit_t par_blk_hdr[KAVRO_PARAM_BLK_SLOTS]; /* unit header per block */
    uint32_t par_blk_offset[KAVRO_PARAM_BLK_SLOTS];          /* file offset of each block's data */
    bool param_valid; /* true from a successful open until close */
} kavro_param_handle_t;

/**
 * Block parser called by kavro_param_parse_blk() on the caller's thread with
 * the block's unit header and its data (data_len bytes, valid only during
 * the call). Return non-zero to accept the block.
 */
typedef int (*kavro_param_blk_parse_cb_f)(kavro_param_handle_t *h, const kavro_param_blk_unit_t *unit,
                                          void *data, int data_len, void *cb_arg);

/** Module set-up; the module keeps no global state, so this always succeeds. */
KAVRO_API bool kavro_param_init(void);
KAVRO_API void kavro_param_uninit(void);

/**
 * Zero *h, open pfilename and verify it: magic number, header checksum, lens
 * range, block count, block sizes against the file's size, and (current
 * layout) the block total and the block checksum. True: the handle holds the
 * open file and is valid. False: the file is closed and the handle invalid.
 */
KAVRO_API bool kavro_param_open_file(kavro_param_handle_t *h, const char *pfilename);
/** Close the file of a valid handle and mark it invalid; nothing otherwise. */
KAVRO_API void kavro_param_close(kavro_param_handle_t *h);
/** Whether h is a valid open handle (false for NULL). */
KAVRO_API bool kavro_param_is_valid(const kavro_param_handle_t *h);
/** Number of blocks of a valid handle, else 0. */
KAVRO_API int kavro_param_get_blk_cnt(const kavro_param_handle_t *h);
/**
 * Read block blk_idx (0 <= blk_idx < block count) and call cb_func with it.
 * Returns whether the block was read and the callback returned non-zero.
 */
KAVRO_API bool kavro_param_parse_blk(kavro_param_handle_t *h, int blk_idx, kavro_param_blk_parse_cb_f cb_func,
                                     void *cb_arg);

/**
 * Build the device's parameter file name "<path>kavro_param_<id>.bin" into
 * buf (at most len bytes with the NUL), from the sensor and serial
 * information read from the open device. Returns buf, or NULL when the
 * device could not be read or the arguments are unusable.
 */
KAVRO_API char *kavro_get_param_absolute_name(kavro_dev_t *dev, char *buf, int len);
/** The same for the lens file "<path>kavro_param_lens_<id>.txt". */
KAVRO_API char *kavro_get_param_lens_absolute_name(kavro_dev_t *dev, char *buf, int len);

/**
 * Fetch the camera's calibration package and write the device's parameter
 * file (or extract the package's archive) into the device's path. The camera
 * must be open and not capturing; the call uses its capture engine for its
 * duration and leaves the capture frame buffer size at 1228800 bytes with no
 * capture callbacks. Blocks on the caller's thread. Returns true when the
 * device reported a usable package and the download could begin; whether a
 * valid file resulted is found out by opening it afterwards. The parameter
 * file is only ever replaced by a complete copy (written under a temporary
 * name, then renamed). The download's working files ("calibration.bin",
 * "tmp.zip") are removed whether it succeeded or not; a download that did
 * not finish logs why and leaves the parameter file as it was.
 */
KAVRO_API bool kavro_param_load_from_dev(kavro_dev_t *dev);

/** Outcome of a calibration download (kavro_param_load_from_dev_ex). */
typedef enum {
    KAVRO_PARAM_LOAD_OK = 0,         /* a valid parameter file is in the device's path */
    KAVRO_PARAM_LOAD_NO_PACKAGE = 1, /* the camera holds no usable calibration package */
    KAVRO_PARAM_LOAD_DEVICE = 2,     /* the camera did not answer as needed (mode, information, identity) */
    KAVRO_PARAM_LOAD_TRANSFER = 3,   /* the package arrived incomplete, damaged or not valid */
    KAVRO_PARAM_LOAD_STORE = 4       /* the cache folder is not writable (read-only, missing, full) */
} kavro_param_load_e;

/**
 * kavro_param_load_from_dev, and then a check that a valid parameter file
 * resulted. Returns the outcome; with why (why_len bytes, may be NULL) a
 * text naming the cause of a failure, e.g. "cannot write
 * /home/u/.cache/kavro/calibration.bin: Permission denied" ("" on success).
 */
KAVRO_API kavro_param_load_e kavro_param_load_from_dev_ex(kavro_dev_t *dev, char *why, int why_len);

KAVRO_END_DECLS

#endif /* KAVRO_PARAM_H */
