/* A kit owner's own application, built out of the tree against the installed
 * library: it only checks that it links and runs. */
#include <stdio.h>

#include <osl.h>

int main(void) {
    int version = osl_bt_lib_version();
    printf("osl_lib_version: %04X\n", version);
    /* Any valid time of day parses; the answer depends on the clock. */
    int between = osl_time_is_between(0.0f, 23.59f);
    return version == OSL_LIB_VERSION && (between == 0 || between == 1) ? 0 : 1;
}
