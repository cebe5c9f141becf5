/*
 * Frame stream: turns the camera's byte stream (stream headers, each followed
 * by a payload) into whole frames kept in a bounded first-in-first-out list.
 *
 * Get a stream from vx_stream_create(); after vx_stream_destroy() the handle
 * is no longer valid. One producer thread (the transport's event thread)
 * calls vx_stream_feed_input(); any other thread may call
 * vx_stream_fetch_frames() and vx_stream_get_state() at the same time.
 * vx_stream_set_cfg(), vx_stream_reset() and vx_stream_destroy() must not run
 * while a feed is in progress.
 *
 * Wire records are little-endian; the structs below match the wire layout
 * on little-endian hosts (no padding).
 */
#ifndef VX_STREAM_H
#define VX_STREAM_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** First two bytes of every stream header (bytes FB 98 on the wire). */
#define VX_STREAM_SYNC_WORD 0x98FBu
/** Size of a stream header on the wire. */
#define VX_STREAM_HDR_SIZE 36
/** Largest valid payload length of one header, exclusive. */
#define VX_STREAM_MAX_LEN 0x100000u
/** Largest valid frame size, exclusive. */
#define VX_STREAM_MAX_FRAME_SIZE 0x8000000u
/** Largest valid frame format code, exclusive. */
#define VX_STREAM_MAX_FRAME_FORMAT 1024u

/** `flag` bit 0: this header's payload begins a new frame. */
#define VX_STREAM_FLAG_FR_BOUND 0x0001u
/** `flag` bit 8: `data_cksum` holds the payload sum and is checked. */
#define VX_STREAM_FLAG_EN_DATA_CKSUM 0x0100u

/** Frame header info (20 bytes): describes the frame(s) of one payload. */
typedef struct {
    uint32_t frame_size;    /* bytes of one frame; valid below 0x8000000 */
    uint16_t frame_idx;     /* device frame counter of the first frame in the payload */
    uint16_t frame_format;  /* device frame format code; valid below 1024 */
    uint8_t frame_prop[12]; /* frame properties, read by the chip driver */
} vx_frinfo_t;

/** Stream header (36 bytes on the wire). */
typedef struct {
    uint16_t sync_word;  /* VX_STREAM_SYNC_WORD */
    uint16_t idx;        /* header sequence number, previous + 1 (mod 65536) */
    uint32_t len;        /* payload bytes following this header; valid below 0x100000 */
    vx_frinfo_t finfo;   /* the frame(s) this payload carries */
    uint32_t data_cksum; /* wrapping sum of the payload's little-endian u32 words */
    uint16_t flag;       /* VX_STREAM_FLAG_FR_BOUND | VX_STREAM_FLAG_EN_DATA_CKSUM */
    uint16_t cksum;      /* vx_stream_hash16() of bytes 0-33, seed 0 */
} vx_stream_hdr_t;

#ifdef __cplusplus
static_assert(sizeof(vx_frinfo_t) == 20, "vx_frinfo_t is a 20-byte wire record");
static_assert(sizeof(vx_stream_hdr_t) == VX_STREAM_HDR_SIZE, "vx_stream_hdr_t is a 36-byte wire record");
#else
_Static_assert(sizeof(vx_frinfo_t) == 20, "vx_frinfo_t is a 20-byte wire record");
_Static_assert(sizeof(vx_stream_hdr_t) == VX_STREAM_HDR_SIZE, "vx_stream_hdr_t is a 36-byte wire record");
#endif

/** Stream configuration. */
typedef struct {
    uint32_t max_frbuf_cnt; /* the most finished frames kept in the list */
} vx_stream_cfg_t;

/** A wall-clock time stamp. */
typedef struct {
    int64_t tv_sec;
    int64_t tv_usec;
} vx_stream_ts_t;

/** Counters since the last reset. */
typedef struct {
    uint32_t fridx;              /* frames completed */
    uint32_t frcnt_total;        /* frames moved into the finished list */
    uint32_t frcnt_err_discard;  /* frames dropped as damaged or incomplete */
    uint32_t frcnt_slow_discard; /* finished frames dropped because the list was full */
    uint32_t frcnt_in_list;      /* finished frames now in the list */
    uint32_t bytes_total;        /* kept at 0 */
    uint32_t bytes_since_frbound; /* kept at 0 */
    uint32_t bytes_discard;      /* bytes skipped before a header and data of dropped frames */
    vx_stream_ts_t reset_ts;     /* time of the last reset (or of creation) */
} vx_stream_state_t;

/** Opaque stream handle. */
typedef struct vx_stream *vx_stream_t;

/**
 * Create a stream with a copy of `cfg` (NULL: no finished frame is kept).
 * Returns NULL when memory runs out.
 */
KAVRO_API vx_stream_t vx_stream_create(const vx_stream_cfg_t *cfg);
/** Free the frames in progress, the finished frames and the stream. NULL is ignored. */
KAVRO_API void vx_stream_destroy(vx_stream_t s);
/** Replace the configuration; a smaller list limit takes effect at the next payload. */
KAVRO_API void vx_stream_set_cfg(vx_stream_t s, const vx_stream_cfg_t *cfg);
/** Copy the configuration into `cfg`; returns `cfg`. */
KAVRO_API vx_stream_cfg_t *vx_stream_get_cfg(vx_stream_t s, vx_stream_cfg_t *cfg);
/**
 * Clear the counters and the held header, free every frame and stamp
 * `reset_ts`. The configuration and the two sync flags keep their values.
 */
KAVRO_API void vx_stream_reset(vx_stream_t s);
/**
 * Hand `dbuf_len` bytes of the camera stream to the parser (pieces of any
 * size, split anywhere). Producer thread only. Returns true when at least one
 * finished frame is in the list afterwards.
 */
KAVRO_API bool vx_stream_feed_input(vx_stream_t s, const void *dbuf, int dbuf_len);
/**
 * Take (or with `peek` look at) up to `frame_cnt` of the oldest finished
 * frames. Their data are copied one after another into `outbuf` (if given) as
 * far as `outbuf_sz` allows; `finfo` (if given) receives the first frame's
 * info. Taken frames leave the list even when they did not fit. A peek with
 * no `outbuf` only counts. Returns the number of frames taken or looked at.
 */
KAVRO_API int vx_stream_fetch_frames(vx_stream_t s, void *outbuf, int outbuf_sz, int frame_cnt,
                                     vx_frinfo_t *finfo, bool peek);
/** Copy the counters into `stat`; returns `stat`. */
KAVRO_API vx_stream_state_t *vx_stream_get_state(vx_stream_t s, vx_stream_state_t *stat);
/**
 * Fletcher-16 with modulus 255 over `len` bytes, starting from `seed`
 * (low byte sum1, high byte sum2). `len` below 1 returns `seed`.
 */
KAVRO_API uint16_t vx_stream_hash16(const void *buf, int len, uint16_t seed);

KAVRO_END_DECLS

#endif /* VX_STREAM_H */
