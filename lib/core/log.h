// Log output that is safe in signal context.
//
// The tick must not call stdio or localtime. A line that arises there is
// recorded as data (the moment it arose, a printer and the bytes the printer
// needs) into a fixed lock-free ring; the application's flow prints the
// recorded lines, in order, at its next call into the library (osl_bt_read,
// every wake-up in osl_sleep_ms, osl_bt_close). Lines that arise in the
// application's flow print at once.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr unsigned OSL_LOG_DATA_MAX = 48;    // bytes a deferred line may carry
inline constexpr unsigned OSL_LOG_RING_LINES = 256; // power of two

// Prints one deferred line, time prefix included; runs in the application's flow.
using osl_log_printer = void (*)(time_t when, const uint8_t *data, unsigned len);

// Signal context: records a line. Returns 0, or -1 when the ring is full or
// len is too large; the line is then dropped and counted.
int osl_log_defer(osl_log_printer print, const void *data, unsigned len);

// Application's flow: prints every recorded line, oldest first, and flushes stdout.
void osl_log_flush();

// Lines dropped because the ring was full, since the program started.
uint32_t osl_log_dropped();

// The verbosity bits given to osl_bt_open (OSL_LOG_LIB, OSL_LOG_SENSORS, ...).
extern volatile int32_t osl_verbosity;

// True when the given verbosity bit was passed to osl_bt_open.
inline bool osl_log_on(int32_t bit) {
    return (osl_verbosity & bit) != 0;
}

// What a line prints where a key's 32 digits would stand, under OSL_LOG_HIDE_KEYS.
inline constexpr const char *OSL_LOG_HIDDEN_KEY = "(hidden)";

// Application's flow: a library-event line, time prefix first, printed only
// with OSL_LOG_LIB. The text carries its own line end.
void osl_log_lib(const char *line);
