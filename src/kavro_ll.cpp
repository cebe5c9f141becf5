// Transport dispatch. No transport is registered yet.
#include "kavro_ll.h"

extern "C" {

bool kavro_ll_init(void) { return true; }
void kavro_ll_uninit(void) {}
void kavro_ll_set_debug(int) {}

}  // extern "C"
