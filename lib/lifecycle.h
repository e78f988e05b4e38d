// State of the lifecycle and the tick: the top of the library, the one unit
// that sees every layer below. Not part of the public interface.
#pragma once

#include <cstdint>
#include <ctime>

// Stop flag values.
enum : int32_t { OSL_RUNNING = 0, OSL_STOP_REQUESTED = 1, OSL_CLOSED = 2 };

inline constexpr int OSL_TICK_MS = 10;
inline constexpr int OSL_TICK_READS_MAX = 10; // events read per tick at most
inline constexpr int OSL_SLEEP_MS_MAX = 60000;

extern volatile int32_t osl_stop_flag;
extern volatile int32_t osl_sleep_countdown;
extern volatile uint32_t osl_overflow_count;

void osl_timer_handler(int sig); // the tick (SIGALRM)
void osl_int_handler(int sig);   // SIGINT
int osl_timer_start(int period_ms);
void osl_timer_stop();
