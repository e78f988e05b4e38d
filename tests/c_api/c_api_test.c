/* The public header used from plain C99, linked with the C toolchain. */
#include <stdio.h>
#include <string.h>

#include "osl.h"

int main(void) {
    osl_record rec;
    float shortest = 0.0f, longest = 0.0f;

    memset(&rec, 0, sizeof rec);
    if (sizeof(osl_record) != 23 || osl_bt_lib_version() != OSL_LIB_VERSION) {
        fprintf(stderr, "record size or version wrong\n");
        return 1;
    }
    /* Without osl_bt_open nothing is queued and the address is all zero. */
    if (osl_bt_read(&rec) != 0 || osl_bt_myaddr_get()[0] != 0) {
        fprintf(stderr, "unopened library not idle\n");
        return 1;
    }
    if (osl_check_addr("000000000000", &rec) != 1 || osl_check_addr("zz", &rec) != 0) {
        fprintf(stderr, "osl_check_addr\n");
        return 1;
    }
    (void)osl_lib_get_load(&shortest, &longest);
    if (osl_bt_queued() != 0 || osl_bt_running() != 0) {
        fprintf(stderr, "unopened library has records or runs\n");
        return 1;
    }
    {
        osl_link_status link;
        if (osl_link_get_status(&link) != 0 || link.state != OSL_LINK_CLOSED ||
            osl_link_get_status(NULL) != OSL_LINK_NO_STATUS) {
            fprintf(stderr, "link status of an unopened library\n");
            return 1;
        }
    }
    {
        /* Pairing: nothing heard while closed, and nothing to remove. */
        osl_key_announcement heard;
        memset(&heard, 0x55, sizeof heard);
        if (osl_key_announcement_read(&heard) != 0 || osl_key_announcement_read(NULL) != 0 ||
            heard.type != 0x55555555 || sizeof heard.addr != 6 || sizeof heard.key != 16 ||
            OSL_ANNOUNCEMENTS_MAX != 8) {
            fprintf(stderr, "key announcements of an unopened library\n");
            return 1;
        }
        if (osl_actor_remove(NULL) != OSL_ADD_BAD_ADDR ||
            osl_actor_remove("00000000000") != OSL_ADD_BAD_ADDR ||
            osl_actor_remove("000000000000") != OSL_NO_ACTOR ||
            osl_result_text(OSL_OP_REMOVE, OSL_NO_ACTOR) == NULL) {
            fprintf(stderr, "osl_actor_remove\n");
            return 1;
        }
        if (osl_relay_add("r", "0000000000AA", "00000000000000000000000000000000") != 0 ||
            osl_actor_remove("0000000000aa") != 0 ||
            osl_relay_add("r", "0000000000AA", "11111111111111111111111111111111") != 0) {
            fprintf(stderr, "osl_actor_remove of a registered relay\n");
            return 1;
        }
    }
    /* Referenced so the link proves every entry point is there for C. */
    if (0) {
        osl_bt_open(0, 0, 0,
                    OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR |
                        OSL_LOG_HIDE_KEYS);
        osl_sleep_ms(100);
        osl_print_local_time("%T ");
        osl_relay_add("r", "000000000000", "00000000000000000000000000000000");
        osl_dimmer_add("d", "000000000000", "00000000000000000000000000000000");
        osl_pwm_add("p", "000000000000", "00000000000000000000000000000000");
        osl_bt_close();
    }
    puts("c api ok");
    return 0;
}
