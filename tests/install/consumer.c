/* Built only against the installed headers and library. */
#include <kavro.h>
#include <stdio.h>
#include <string.h>

#define STR2(x) #x
#define STR(x) STR2(x)

int main(void) {
    kavro_init("consumer.log");
    int ok = strcmp(kavro_error_name(3), "KAVRO_ERR_CAP_FRAME_DISCARD") == 0;
    /* The loaded library is the one the header belongs to. */
    const char *want = STR(KAVRO_VERSION_MAJOR) "." STR(KAVRO_VERSION_MINOR) "." STR(KAVRO_VERSION_PATCH);
    if (strcmp(kavro_version(), want) != 0) {
        printf("library %s, header %s\n", kavro_version(), want);
        ok = 0;
    }
    kavro_uninit();
    puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
