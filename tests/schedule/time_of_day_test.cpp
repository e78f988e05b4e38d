// The time-of-day predicates against a clock the test sets. The zone is
// 5:30 ahead of UTC with no summer time, so a predicate that read UTC
// instead of local time would answer for the wrong minute, and on some
// hours for the wrong weekday.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "osl.h"
#include "schedule/time_of_day.h"

namespace osl::test {
namespace {

time_t fake_now;
time_t fake_clock(time_t *t) {
    if (t != nullptr)
        *t = fake_now;
    return fake_now;
}

enum : int { SUN, MON, TUE, WED, THU, FRI, SAT };

constexpr uint8_t MON_TO_WED = 0x0E;
constexpr uint8_t EVERY_DAY = 0x7F;

// hh.mm as a program writes it: the float nearest the decimal text.
float written(int hour, int minute) {
    char text[8];
    snprintf(text, sizeof text, "%d.%02d", hour, minute);
    return strtof(text, nullptr);
}

class TimeOfDayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "<+0530>-5:30", 1);
        tzset();
        osl_wall_clock = fake_clock;
    }
    void TearDown() override { osl_wall_clock = time; }

    // Sets the clock to a local time on the given weekday (a week of January
    // 2024, which began on a Monday).
    static void set_clock(int weekday, int hour, int minute, int second = 0) {
        struct tm t = {};
        t.tm_year = 2024 - 1900;
        t.tm_mon = 0;
        t.tm_mday = 1 + (weekday + 6) % 7;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        fake_now = mktime(&t);
        ASSERT_EQ(t.tm_wday, weekday);
    }
};

// --- the parser -------------------------------------------------------------

struct ParseCase {
    float value;
    int result;
    int hour, minute; // on success
};
void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << c.value;
}

class TimeParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TimeParseTest, SplitsOrRefuses) {
    const ParseCase &c = GetParam();
    uint8_t hour = 99, minute = 99;
    ASSERT_EQ(osl_time_parse(&hour, &minute, c.value), c.result);
    if (c.result == OSL_TIME_OK) {
        EXPECT_EQ(hour, c.hour);
        EXPECT_EQ(minute, c.minute);
    }
}

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, TimeParseTest,
    ::testing::Values(
        ParseCase{23.59f, OSL_TIME_OK, 23, 59}, ParseCase{0.0f, OSL_TIME_OK, 0, 0},
        ParseCase{-0.0f, OSL_TIME_OK, 0, 0}, ParseCase{12.1f, OSL_TIME_OK, 12, 10},
        ParseCase{7.05f, OSL_TIME_OK, 7, 5}, ParseCase{0.29f, OSL_TIME_OK, 0, 29},
        // a remainder of 0.4 stays, anything above rounds up
        ParseCase{12.594f, OSL_TIME_OK, 12, 59}, ParseCase{12.586f, OSL_TIME_OK, 12, 59},
        ParseCase{12.595f, OSL_TIME_BAD_MINUTE, 0, 0}, ParseCase{12.6f, OSL_TIME_BAD_MINUTE, 0, 0},
        ParseCase{12.99f, OSL_TIME_BAD_MINUTE, 0, 0}, ParseCase{24.0f, OSL_TIME_TOO_LATE, 0, 0},
        ParseCase{23.591f, OSL_TIME_TOO_LATE, 0, 0}, ParseCase{-0.5f, OSL_TIME_NEGATIVE, 0, 0},
        ParseCase{-0.001f, OSL_TIME_NEGATIVE, 0, 0},
        // not a time at all: refused, never converted to an integer
        ParseCase{NaN, OSL_TIME_TOO_LATE, 0, 0}, ParseCase{INF, OSL_TIME_TOO_LATE, 0, 0},
        ParseCase{-INF, OSL_TIME_NEGATIVE, 0, 0}));

TEST(TimeParse, EveryMinuteOfTheDayWrittenAsAFloatParsesExactly) {
    for (int h = 0; h < 24; h++) {
        for (int m = 0; m < 60; m++) {
            uint8_t hour = 99, minute = 99;
            ASSERT_EQ(osl_time_parse(&hour, &minute, written(h, m)), OSL_TIME_OK) << h << ":" << m;
            ASSERT_EQ(hour, h) << h << ":" << m;
            ASSERT_EQ(minute, m) << h << ":" << m;
        }
    }
}

// --- osl_time_is_now -----------------------------------------------------------

TEST_F(TimeOfDayTest, IsNowHoldsTheWholeMinuteOnTheMaskedDaysOnly) {
    for (int day = SUN; day <= SAT; day++) {
        const int expected = (day == MON || day == TUE || day == WED) ? 1 : 0;
        for (int second = 0; second < 60; second++) {
            set_clock(day, 11, 59, second);
            ASSERT_EQ(osl_time_is_now(MON_TO_WED, 11.59f), expected) << day << " :" << second;
        }
        set_clock(day, 11, 58, 59);
        EXPECT_EQ(osl_time_is_now(MON_TO_WED, 11.59f), 0) << day;
        set_clock(day, 12, 0, 0);
        EXPECT_EQ(osl_time_is_now(MON_TO_WED, 11.59f), 0) << day;
        // the same minute of another hour
        set_clock(day, 10, 59, 30);
        EXPECT_EQ(osl_time_is_now(MON_TO_WED, 11.59f), 0) << day;
    }
}

// Local 02:00 on a Monday is still Sunday in UTC.
TEST_F(TimeOfDayTest, IsNowReadsTheLocalWeekdayAndHour) {
    set_clock(MON, 2, 0);
    EXPECT_EQ(osl_time_is_now(1u << MON, 2.0f), 1);
    EXPECT_EQ(osl_time_is_now(1u << SUN, 2.0f), 0);
    EXPECT_EQ(osl_time_is_now(EVERY_DAY, 20.3f), 0);
}

TEST_F(TimeOfDayTest, IsNowWithNoDayOrOnlyBitSevenNeverHolds) {
    for (int day = SUN; day <= SAT; day++) {
        set_clock(day, 8, 15);
        EXPECT_EQ(osl_time_is_now(EVERY_DAY, 8.15f), 1) << day;
        EXPECT_EQ(osl_time_is_now(0x00, 8.15f), 0) << day;
        EXPECT_EQ(osl_time_is_now(0x80, 8.15f), 0) << day;
    }
}

TEST_F(TimeOfDayTest, IsNowKnowsTheDaysFirstAndLastMinute) {
    set_clock(SAT, 23, 59, 59);
    EXPECT_EQ(osl_time_is_now(EVERY_DAY, 23.59f), 1);
    set_clock(SAT, 0, 0);
    EXPECT_EQ(osl_time_is_now(EVERY_DAY, -0.0f), 1);
    EXPECT_EQ(osl_time_is_now(EVERY_DAY, 0.0f), 1);
    set_clock(SAT, 12, 59);
    EXPECT_EQ(osl_time_is_now(EVERY_DAY, 12.594f), 1);
}

// Sweeps every minute of a day: an invalid time never matches, not even the
// minute it might be mistaken for (24.0 as 0:00, 12.6 as 13:00).
TEST_F(TimeOfDayTest, InvalidTimesNeverHold) {
    for (int h = 0; h < 24; h++) {
        for (int m = 0; m < 60; m++) {
            set_clock(WED, h, m, 30);
            for (float bad : {24.0f, -0.5f, 12.6f, 12.595f, NaN}) {
                ASSERT_EQ(osl_time_is_now(EVERY_DAY, bad), 0) << bad << " at " << h << ":" << m;
                ASSERT_EQ(osl_time_is_between(bad, 23.0f), 0) << bad << " at " << h << ":" << m;
                ASSERT_EQ(osl_time_is_between(1.0f, bad), 0) << bad << " at " << h << ":" << m;
            }
        }
    }
}

// --- osl_time_is_between -------------------------------------------------------

// The answer at every minute of a day, against the expected span.
void expect_between_over_a_day(float from, float to, bool (*inside)(int minute_of_day)) {
    for (int h = 0; h < 24; h++) {
        for (int m = 0; m < 60; m++) {
            struct tm t = {};
            t.tm_year = 2024 - 1900;
            t.tm_mday = 3;
            t.tm_hour = h;
            t.tm_min = m;
            t.tm_sec = 59;
            t.tm_isdst = -1;
            fake_now = mktime(&t);
            ASSERT_EQ(osl_time_is_between(from, to), inside(h * 60 + m) ? 1 : 0)
                << from << ".." << to << " at " << h << ":" << m;
        }
    }
}

TEST_F(TimeOfDayTest, BetweenExcludesBothBounds) {
    // 12:01 through 12:09
    expect_between_over_a_day(12.0f, 12.1f, [](int t) { return t > 12 * 60 && t < 12 * 60 + 10; });
}

TEST_F(TimeOfDayTest, BetweenCrossesMidnightWhenFromIsLater) {
    // 22:01 through 23:59 and 0:00 through 5:59
    expect_between_over_a_day(22.0f, 6.0f, [](int t) { return t > 22 * 60 || t < 6 * 60; });
}

TEST_F(TimeOfDayTest, BetweenEqualBoundsNeverHolds) {
    expect_between_over_a_day(12.0f, 12.0f, [](int) { return false; });
    expect_between_over_a_day(0.0f, -0.0f, [](int) { return false; });
}

// Every minute of the day as a bound: the bound's own minute is never inside
// the span, and the minute between two neighbours always is. (Now formed as
// minute / 100 + hour would be one float step off at 14 minutes, 1:18 among
// them, and put such a bound inside its own span.)
TEST_F(TimeOfDayTest, EveryMinuteAsABoundIsExcludedAndItsNeighboursSpanIt) {
    for (int t = 0; t < 24 * 60; t++) {
        const int h = t / 60, m = t % 60;
        const int before = (t + 24 * 60 - 1) % (24 * 60), after = (t + 1) % (24 * 60);
        const float at = written(h, m);
        const float prev = written(before / 60, before % 60);
        const float next = written(after / 60, after % 60);
        set_clock(THU, h, m, 30);
        ASSERT_EQ(osl_time_is_between(at, next), 0) << h << ":" << m;
        ASSERT_EQ(osl_time_is_between(prev, at), 0) << h << ":" << m;
        ASSERT_EQ(osl_time_is_between(prev, next), 1) << h << ":" << m;
    }
}

} // namespace
} // namespace osl::test
