// Deferred log lines: recorded in signal context, printed later in order.
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/text.h"
#include "osl.h"
#include "support/capture.h"
#include "support/lib_fixture.h"

using osl::test::mask_times;
using osl::test::StdoutCapture;

namespace {

// A line that carries a number: "T [test] line <n>\n\r".
void print_numbered(time_t when, const uint8_t *data, unsigned len) {
    uint32_t n;
    ASSERT_EQ(len, sizeof n);
    memcpy(&n, data, sizeof n);
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    printf("[test] line %u\n\r", n);
}

time_t printed_when;
void remember_when(time_t when, const uint8_t *, unsigned) {
    printed_when = when;
}

void defer_numbered(uint32_t n) {
    osl_log_defer(print_numbered, &n, sizeof n);
}

std::string numbered_lines(uint32_t from, uint32_t to) {
    std::string s;
    for (uint32_t n = from; n < to; n++)
        s += "T [test] line " + std::to_string(n) + "\n\r";
    return s;
}

TEST(LogRing, LinesRecordedInASignalHandlerPrintInOrderAtTheNextFlush) {
    static uint32_t next = 0;
    signal(SIGUSR1, [](int) {
        defer_numbered(next++);
        defer_numbered(next++);
    });
    StdoutCapture out;
    raise(SIGUSR1);
    raise(SIGUSR1);
    EXPECT_EQ(out.take(), ""); // nothing printed from the handler itself
    osl_log_flush();
    EXPECT_EQ(mask_times(out.take()), numbered_lines(0, 4));
    osl_log_flush();
    EXPECT_EQ(out.take(), ""); // each line once
}

TEST(LogRing, KeepsTheMomentTheLineAroseNotTheMomentItPrints) {
    time_t before = time(nullptr);
    ASSERT_EQ(osl_log_defer(remember_when, nullptr, 0), 0);
    time_t after = time(nullptr);
    osl_log_flush();
    EXPECT_GE(printed_when, before);
    EXPECT_LE(printed_when, after);
}

TEST(LogRing, BurstBeyondTheRingDropsAndCountsTheExcessKeepingTheOldest) {
    const uint32_t burst = OSL_LOG_RING_LINES + 44;
    StdoutCapture out;
    for (uint32_t n = 0; n < burst; n++)
        defer_numbered(n);
    EXPECT_EQ(osl_log_dropped(), 44u);
    osl_log_flush();
    EXPECT_EQ(mask_times(out.take()), numbered_lines(0, OSL_LOG_RING_LINES));
    // Room again once printed.
    defer_numbered(7);
    osl_log_flush();
    EXPECT_EQ(mask_times(out.take()), numbered_lines(7, 8));
    EXPECT_EQ(osl_log_dropped(), 44u);
}

TEST(LogRing, RefusesDataLargerThanAnEntry) {
    uint8_t big[OSL_LOG_DATA_MAX + 1] = {};
    EXPECT_EQ(osl_log_defer(remember_when, big, sizeof big), -1);
    EXPECT_EQ(osl_log_dropped(), 1u);
    EXPECT_EQ(osl_log_defer(remember_when, big, OSL_LOG_DATA_MAX), 0);
    osl_log_flush();
}

// The application's calls into the library are where deferred lines come out.
class LogFlushPoints : public osl::test::LibFixture {};

TEST_F(LogFlushPoints, ReadSleepCloseAndMainFlowLinesPrintWhatTheTickRecorded) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    StdoutCapture out;
    osl_record rec;

    defer_numbered(1);
    EXPECT_EQ(osl_bt_read(&rec), 0);
    EXPECT_EQ(mask_times(out.take()), numbered_lines(1, 2));

    defer_numbered(2);
    osl_sleep_ms(0); // one wake-up
    EXPECT_EQ(mask_times(out.take()), numbered_lines(2, 3));

    // A line of the application's flow comes after the older deferred ones.
    defer_numbered(3);
    osl_print_local_time("%T ");
    EXPECT_EQ(mask_times(out.take()).substr(0, 17), numbered_lines(3, 4));

    defer_numbered(4);
    osl_bt_close();
    EXPECT_EQ(mask_times(out.take()), numbered_lines(4, 5));
}

} // namespace
