/*
 * Colour map: turns values (millimetres in the library's own use) into
 * display colours, near values red and far values blue, with a gray variant.
 * A colour is a uint32_t with red in bits 0-7, green 8-15, blue 16-23.
 *
 * Reading colours is safe from several threads; changing the range while
 * others read must be serialised by the caller.
 */
#ifndef VX_CMAP_H
#define VX_CMAP_H

#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Marker value: pixel rejected by the driver's filters (black in colour);
 * equal to KAVRO_DIST_REJECTED_MM of kavro.h, as VX_CMAP_VAL_SATURATED is
 * to KAVRO_DIST_SATURATED_MM. */
#define VX_CMAP_VAL_REJECTED 65300
/** Marker value with a fixed purple colour. */
#define VX_CMAP_VAL_MARK 65400
/** Marker value: saturated or empty raw sample (pink). */
#define VX_CMAP_VAL_SATURATED 65500

typedef struct {
    int num_color;
    int range_min;
    int range_max;
    float index_factor_color; /* num_color / (range_max - range_min) */
    float index_factor_gray;  /* 255 / (range_max - range_min) */
    uint32_t *rgb_map;        /* num_color entries, owned by the record */
} vx_cmap_t;

/** Build a table of color_num (>= 1) colours; range 0...4000. */
KAVRO_API void vx_cmap_init(vx_cmap_t *c, int color_num);
/** Free the table; the record is unusable until the next vx_cmap_init. */
KAVRO_API void vx_cmap_uninit(vx_cmap_t *c);
/** Set the display range (either order). Equal bounds keep the old range. */
KAVRO_API void vx_cmap_set_range(vx_cmap_t *c, int rmin, int rmax);
/** Colour of a value: range_max blue ... just above range_min red; else black. */
KAVRO_API uint32_t vx_cmap_get_color(const vx_cmap_t *c, int val);
/** Gray level of a value: range_min black ... range_max white. */
KAVRO_API uint32_t vx_cmap_get_gray(const vx_cmap_t *c, int val);

KAVRO_END_DECLS

#endif /* VX_CMAP_H */
