/*
 * libkavro transport interface: the layer that reaches one camera, over USB
 * or by replaying a recorded raw frame file.
 */
#ifndef KAVRO_LL_H
#define KAVRO_LL_H

#include <stdbool.h>
#include <stdint.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Initialise every transport in list order; false at the first failure. */
KAVRO_API bool kavro_ll_init(void);
/** Release every transport. */
KAVRO_API void kavro_ll_uninit(void);
/** Pass a debug level to every transport. */
KAVRO_API void kavro_ll_set_debug(int level);

KAVRO_END_DECLS

#endif /* KAVRO_LL_H */
