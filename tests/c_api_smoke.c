/* A plain C program against the shared library: set-up, error names, teardown. */
#include <stdio.h>
#include <string.h>

#include "kavro.h"
#include "vx_cmap.h"
#include "vx_log.h"

int main(void) {
    kavro_init("c_api_smoke.log");
    if (strcmp(kavro_error_name(KAVRO_ERR_CAP_TIMEOUT), "KAVRO_ERR_CAP_TIMEOUT") != 0) {
        fprintf(stderr, "unexpected error name\n");
        return 1;
    }
    vx_cmap_t cmap;
    vx_cmap_init(&cmap, 8);
    unsigned first = vx_cmap_get_color(&cmap, 4000);
    vx_cmap_uninit(&cmap);
    kavro_uninit();
    if (first != 0x7F0000u) {
        fprintf(stderr, "unexpected colour %06x\n", first);
        return 1;
    }
    puts("c_api_smoke ok");
    return 0;
}
