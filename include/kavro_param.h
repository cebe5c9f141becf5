/*
 * libkavro calibration parameter files.
 */
#ifndef KAVRO_PARAM_H
#define KAVRO_PARAM_H

#include <stdbool.h>

#include "kavro_export.h"

KAVRO_BEGIN_DECLS

/** Module set-up; the module keeps no global state, so this always succeeds. */
KAVRO_API bool kavro_param_init(void);
KAVRO_API void kavro_param_uninit(void);

KAVRO_END_DECLS

#endif /* KAVRO_PARAM_H */
