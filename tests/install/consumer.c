/* Built only against the installed headers and library. */
#include <kavro.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    kavro_init("consumer.log");
    int ok = strcmp(kavro_error_name(3), "KAVRO_ERR_CAP_FRAME_DISCARD") == 0;
    kavro_uninit();
    puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
