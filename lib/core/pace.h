// The pace of the library: the 10 ms tick period, the stop flag that SIGINT
// raises, and the paced sleep (osl_sleep_ms) that applications and the
// command transmitter wait in, counted down by the tick.
#pragma once

#include <cstdint>

// Stop flag values.
enum : int32_t { OSL_RUNNING = 0, OSL_STOP_REQUESTED = 1, OSL_CLOSED = 2 };

inline constexpr int OSL_TICK_MS = 10;
inline constexpr int OSL_SLEEP_MS_MAX = 60000;

extern volatile int32_t osl_stop_flag;
extern volatile int32_t osl_sleep_countdown;
// Non-zero while the tick timer runs. Without it nobody counts a sleep
// down: before open, after a failed open, after close. The sleep then counts
// its own 10 ms waits, so it still ends after about the time asked.
extern volatile int32_t osl_ticking;

// The tick's step: one tick less to sleep.
void osl_sleep_tick();
