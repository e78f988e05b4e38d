// Schedule questions about the local wall-clock time: is it this minute on
// one of these weekdays, is it strictly between two times of day. Times are
// hh.mm in a float (12.1 is 12:10); nothing is kept between calls.
#include "time_of_day.h"

#include "osl.h"

time_t (*osl_wall_clock)(time_t *) = time;

namespace {

constexpr float HUNDRED = 100.0f; // hh.mm: the minute is the first two decimals
constexpr uint8_t LAST_MINUTE = 59;

// The local broken-down time, in storage of the caller's own: the library's
// log lines convert times too, and nothing here may share a static result.
bool osl_local_now(struct tm *local) {
    time_t now = osl_wall_clock(nullptr);
    return localtime_r(&now, local) != nullptr;
}

} // namespace

// Single precision throughout, as the application wrote its times. The
// minute is rounded up from a remainder above 0.4, so that every hh.mm
// written as a float comes back as the hour and minute it names (0.29 is
// held as 0.28999999).
int osl_time_parse(uint8_t *hour, uint8_t *minute, float time_of_day) {
    if (time_of_day < 0.0f)
        return OSL_TIME_NEGATIVE;
    // Written as "not at most" so that a NaN is refused here rather than
    // converted to an integer below, which is undefined.
    if (!(time_of_day <= OSL_TIME_LATEST))
        return OSL_TIME_TOO_LATE;
    // In range, so the conversion truncates toward zero and cannot overflow.
    const uint8_t h = static_cast<uint8_t>(time_of_day);
    *hour = h;
    const float fraction = time_of_day - static_cast<float>(h);
    const float hundredths = fraction * HUNDRED;
    int m = static_cast<int>(hundredths);
    const float remainder = hundredths - static_cast<float>(m);
    if (remainder * 10.0f > 4.0f)
        m++;
    if (m > LAST_MINUTE)
        return OSL_TIME_BAD_MINUTE;
    *minute = static_cast<uint8_t>(m);
    return OSL_TIME_OK;
}

extern "C" {

int osl_time_is_now(uint8_t day_mask, float time_of_day) {
    uint8_t hour, minute;
    if (osl_time_parse(&hour, &minute, time_of_day) != OSL_TIME_OK)
        return 0;
    struct tm local;
    if (!osl_local_now(&local))
        return 0;
    // tm_wday is 0..6, so bit 7 of the mask never matches.
    if (((day_mask >> local.tm_wday) & 1u) == 0)
        return 0;
    return local.tm_hour == hour && local.tm_min == minute ? 1 : 0;
}

int osl_time_is_between(float from, float to) {
    uint8_t hour, minute;
    if (osl_time_parse(&hour, &minute, from) != OSL_TIME_OK ||
        osl_time_parse(&hour, &minute, to) != OSL_TIME_OK)
        return 0;
    struct tm local;
    if (!osl_local_now(&local))
        return 0;
    // Now as the float that hh.mm written in the program would be: one
    // correctly rounded division of exact whole numbers. Adding minute / 100
    // to the hour instead rounds twice and lands one step off for 14 minutes
    // of the day (1:18 gives 1.18000007 where 1.18 is 1.17999995), which
    // would count a bound as lying strictly inside its own span.
    const float now = static_cast<float>(local.tm_hour * 100 + local.tm_min) / HUNDRED;
    if (from < to)
        return now > from && now < to ? 1 : 0;
    if (from > to) // the span crosses midnight
        return now > from || now < to ? 1 : 0;
    return 0;
}

} // extern "C"
