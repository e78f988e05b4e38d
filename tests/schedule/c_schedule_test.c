/* The time-of-day predicates called from plain C99, linked by the C
 * toolchain with nothing but what the library needs (no libm). */
#include <stdio.h>

#include "osl.h"

int main(void) {
    /* Invalid times answer 0 whatever the clock says. */
    if (osl_time_is_now(0x7F, 24.0f) != 0 || osl_time_is_between(12.6f, 13.0f) != 0 ||
        osl_time_is_between(12.0f, 12.0f) != 0) {
        fprintf(stderr, "time-of-day predicates\n");
        return 1;
    }
    /* No weekday in the mask: never now. */
    if (osl_time_is_now(0x00, 0.0f) != 0) {
        fprintf(stderr, "empty day mask\n");
        return 1;
    }
    puts("c schedule ok");
    return 0;
}
