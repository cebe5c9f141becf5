/*
 * Recursive (IIR) bilateral filter for 16-bit distance images.
 *
 * Each output pixel is a normalised weighted average of the whole image: the
 * weight decays exponentially with the distance along rows and columns and,
 * at every step between two neighbours, with the difference of their raw
 * values, so smoothing does not cross depth edges. The cost per pixel does
 * not depend on the spatial spread.
 *
 * Lifecycle: zero the record (or let vx_bpf2d_iir_init do it), call
 * vx_bpf2d_iir_init for one image size, filter any number of images of
 * exactly that size with vx_bpf2d_iir, then vx_bpf2d_iir_uninit. After
 * uninit, or after a failed init, the record holds no buffers and must be
 * initialised again before use.
 *
 * Threads: the record's buffers are the working storage of one call, so one
 * record must not be used by two threads at once; separate records are
 * independent.
 */
#ifndef VX_BILATERALFILTER_H
#define VX_BILATERALFILTER_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Largest accepted image width or height. */
#define VX_BPF2D_IIR_MAX_SIZE 40960

typedef struct {
    int w;                    /* image size the record was made for */
    int h;
    float sigma_spatial;      /* spatial spread, fraction of width or height */
    float sigma_range;        /* range spread, fraction of the value range */
    float range_min;          /* value range given at creation */
    float range_max;
    float *range_table;       /* range_table_cnt weights exp(-i / (cnt * sigma_range)) */
    uint32_t range_table_cnt; /* range_max - range_min + 1 */
    float alpha_w;            /* spatial decay per column step */
    float alpha_h;            /* spatial decay per row step */
    uint16_t *dst;            /* output image of the call in progress */
    float *img_a;             /* w*h accumulated horizontal responses */
    float *fac_a;             /* w*h accumulated horizontal normalisation factors */
    /* Line buffers of 4*max(w, h) floats: causal response, causal factor,
     * anti-causal response, anti-causal factor, step weights, spare. */
    float *lbuf[6];
} vx_bpf2d_iir_t;

/**
 * Clear bpf and set it up for w x h images. Returns false, with every buffer
 * released, when w or h is 0 or above VX_BPF2D_IIR_MAX_SIZE, when the sigmas
 * are unusable (sigma_spatial negative, sigma_range not positive, either not
 * a number, or a spatial decay that rounds to 1), when range_max is below
 * range_min, or when memory is short.
 */
KAVRO_API bool vx_bpf2d_iir_init(vx_bpf2d_iir_t *bpf, uint32_t w, uint32_t h, float sigma_spatial,
                                 float sigma_range, uint16_t range_min, uint16_t range_max);
/** Free every buffer of bpf (NULL is ignored); bpf must be initialised again before use. */
KAVRO_API void vx_bpf2d_iir_uninit(vx_bpf2d_iir_t *bpf);
/**
 * Filter src into dst (both w x h, the record's size). Logs an error and
 * leaves dst untouched on a null pointer, an uninitialised record or a size
 * other than the record's. dst may equal src.
 */
KAVRO_API void vx_bpf2d_iir(vx_bpf2d_iir_t *bpf, uint16_t *dst, uint16_t *src, int w, int h);

KAVRO_END_DECLS

#endif /* VX_BILATERALFILTER_H */
