// Time-of-day predicates: the parser both share and the clock they read.
// Not part of the public interface (osl.h declares the predicates).
#pragma once

#include <cstdint>
#include <ctime>

// Latest valid time of day, 23:59, written as hh.mm.
inline constexpr float OSL_TIME_LATEST = 23.59f;

// Results of osl_time_parse.
enum : int {
    OSL_TIME_OK = 0,
    OSL_TIME_NEGATIVE = -2,
    OSL_TIME_TOO_LATE = -4, // above 23.59, or not a number at all
    OSL_TIME_BAD_MINUTE = -6,
};

// Splits hh.mm into hour and minute. The hour is stored once the value is
// found in range, the minute only on success.
int osl_time_parse(uint8_t *hour, uint8_t *minute, float time_of_day);

// The wall clock the predicates read, time() unless a test sets a clock of
// its own.
extern time_t (*osl_wall_clock)(time_t *);
