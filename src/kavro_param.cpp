// Calibration parameter files.
#include "kavro_param.h"

extern "C" {

bool kavro_param_init(void) { return true; }
void kavro_param_uninit(void) {}

}  // extern "C"
