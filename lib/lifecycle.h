// State of the lifecycle and the tick: the top of the library, the one unit
// that sees every layer below. Not part of the public interface.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/pace.h"

inline constexpr int OSL_TICK_READS_MAX = 10; // events read per tick at most

extern volatile uint32_t osl_overflow_count;

void osl_timer_handler(int sig); // the tick (SIGALRM)
void osl_int_handler(int sig);   // SIGINT
int osl_timer_start(int period_ms);
void osl_timer_stop();
