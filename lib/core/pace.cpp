#include "pace.h"

#include <unistd.h>

#include "link.h"
#include "log.h"
#include "osl.h"

volatile int32_t osl_stop_flag;
volatile int32_t osl_sleep_countdown;
volatile int32_t osl_ticking;

void osl_sleep_tick() {
    if (osl_sleep_countdown > 0)
        osl_sleep_countdown = osl_sleep_countdown - 1;
}

extern "C" void osl_sleep_ms(int ms) {
    if (ms < 0)
        ms = 0;
    if (ms > OSL_SLEEP_MS_MAX)
        ms = OSL_SLEEP_MS_MAX;
    osl_sleep_countdown = ms / OSL_TICK_MS;
    for (;;) {
        if (osl_stop_flag != OSL_RUNNING)
            return;
        usleep(OSL_TICK_MS * 1000); // the next SIGALRM cuts this short
        if (osl_ticking == 0 && osl_sleep_countdown > 0)
            osl_sleep_countdown = osl_sleep_countdown - 1;
        osl_link_supervise();
        osl_log_flush();
        if (osl_sleep_countdown <= 0)
            return;
    }
}
