#include "log.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "osl.h"
#include "text.h"

volatile int32_t osl_verbosity;

namespace {

static_assert((OSL_LOG_RING_LINES & (OSL_LOG_RING_LINES - 1)) == 0, "ring size is a power of two");

struct Line {
    time_t when;
    osl_log_printer print;
    unsigned len;
    uint8_t data[OSL_LOG_DATA_MAX];
};

Line ring[OSL_LOG_RING_LINES];
volatile uint32_t ring_write; // advanced only by the tick
volatile uint32_t ring_read;  // advanced only by the application's flow
volatile uint32_t ring_dropped;

} // namespace

int osl_log_defer(osl_log_printer print, const void *data, unsigned len) {
    uint32_t w = ring_write;
    if (len > OSL_LOG_DATA_MAX || w - ring_read >= OSL_LOG_RING_LINES) {
        ring_dropped = ring_dropped + 1;
        return -1;
    }
    Line &line = ring[w & (OSL_LOG_RING_LINES - 1)];
    line.when = time(nullptr); // async-signal-safe, unlike localtime
    line.print = print;
    line.len = len;
    if (len != 0)
        memcpy(line.data, data, len);
    std::atomic_signal_fence(std::memory_order_release);
    ring_write = w + 1;
    return 0;
}

void osl_log_flush() {
    bool printed = false;
    for (uint32_t r = ring_read; r != ring_write; r = ring_read) {
        std::atomic_signal_fence(std::memory_order_acquire);
        const Line &line = ring[r & (OSL_LOG_RING_LINES - 1)];
        line.print(line.when, line.data, line.len);
        // Free the entry only once it is printed: the tick may refill it.
        std::atomic_signal_fence(std::memory_order_release);
        ring_read = r + 1;
        printed = true;
    }
    if (printed)
        fflush(stdout);
}

uint32_t osl_log_dropped() {
    return ring_dropped;
}

void osl_log_lib(const char *line) {
    if (osl_log_on(OSL_LOG_LIB)) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        fputs(line, stdout);
    }
}
