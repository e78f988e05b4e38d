// The time-of-day parser and the two predicates on arbitrary floats: every
// bit pattern, NaNs and infinities included, against a wall clock the input
// sets (in UTC, so the answers can be checked).
//
// Input: two floats (4 bytes each, as stored), a day mask, and 4 bytes of
// calendar time; missing bytes count as zero.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "osl.h"
#include "schedule/time_of_day.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

time_t clock_now;

time_t input_clock(time_t *out) {
    if (out != nullptr)
        *out = clock_now;
    return clock_now;
}

void check(bool holds) {
    if (!holds)
        abort();
}

float float_at(const uint8_t *bytes) {
    float f;
    memcpy(&f, bytes, sizeof f);
    return f;
}

// Parses and checks what the parser promises; true when the time is valid.
bool parse(float t, uint8_t *hour, uint8_t *minute) {
    *hour = 0xEE;
    *minute = 0xEE;
    const int r = osl_time_parse(hour, minute, t);
    check(r == OSL_TIME_OK || r == OSL_TIME_NEGATIVE || r == OSL_TIME_TOO_LATE ||
          r == OSL_TIME_BAD_MINUTE);
    if (r != OSL_TIME_OK)
        return false;
    check(!std::isnan(t) && t >= 0.0f && t <= OSL_TIME_LATEST);
    check(*hour <= 23 && *minute <= 59);
    return true;
}

} // namespace

void time_init() {
    setenv("TZ", "UTC", 1);
    tzset();
    osl_wall_clock = input_clock;
}

void time_run(const uint8_t *data, size_t size) {
    uint8_t in[13] = {};
    memcpy(in, data, size < sizeof in ? size : sizeof in);
    const float a = float_at(in);
    const float b = float_at(in + 4);
    const uint8_t mask = in[8];
    uint32_t when;
    memcpy(&when, in + 9, sizeof when);
    clock_now = static_cast<time_t>(when);

    uint8_t ha, ma, hb, mb;
    const bool a_ok = parse(a, &ha, &ma);
    const bool b_ok = parse(b, &hb, &mb);

    const int now = osl_time_is_now(mask, a);
    check(now == 0 || now == 1);
    check(now == 0 || (a_ok && (mask & 0x7F) != 0));
    const int between = osl_time_is_between(a, b);
    check(between == 0 || between == 1);
    check(between == 0 || (a_ok && b_ok && a != b));
    check(osl_time_is_between(a, a) == 0);

    if (a_ok) {
        // The same day at the parsed hour and minute, any second: the
        // minute itself is now on every day, and on none.
        const time_t day = clock_now - clock_now % 86400;
        clock_now = day + ha * 3600 + ma * 60 + when % 60;
        check(osl_time_is_now(0x7F, a) == 1);
        check(osl_time_is_now(0x80, a) == 0);
        check(osl_time_is_between(a, a) == 0);
        // A bound never lies strictly inside its own span (for a time
        // written as its minute names it; 12.594 is 12:59 too, but lies
        // after 12:59 as a number).
        const float written = static_cast<float>(ha * 100 + ma) / 100.0f;
        if (b_ok && a == written)
            check(osl_time_is_between(a, b) == 0);
    }
}

} // namespace osl::fuzz
