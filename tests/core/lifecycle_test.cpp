// Opening, the lock, the stop flag, reading records, paced sleep, the tick
// and its statistics, with the simulated controller.
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/adapter.h"
#include "lifecycle.h"
#include "core/fifo.h"
#include "frames/record.h"
#include "core/log.h"
#include "core/platform.h"
#include "frames/decode.h"
#include "frames/layout.h"
#include "frames/window.h"
#include "osl.h"
#include "support/capture.h"
#include "support/quiet_thread.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

using osl::test::mask_times;
using osl::test::StdoutCapture;

namespace {

class Lifecycle : public osl::test::LibFixture {
  protected:
    // Queues a record as the decoder would, with `type` in byte 4.
    static void queue_record(uint8_t type) {
        uint8_t report[osl::frame::REPORT_STD_SIZE] = {};
        uint8_t payload[16] = {};
        payload[4] = type;
        osl_record_push(report, payload, -50, &osl_fifo);
    }

    // An LE meta event of `len` bytes (so the scanning socket's filter lets
    // it through) whose other bytes count up from `first`.
    static std::vector<uint8_t> event(size_t len, uint8_t first = 0) {
        std::vector<uint8_t> e(len);
        for (size_t i = 0; i < len; i++)
            e[i] = static_cast<uint8_t>(first + i);
        e[0] = osl::hci::PKT_EVENT;
        e[1] = osl::hci::EVT_LE_META;
        return e;
    }
};

// ---- the lock -------------------------------------------------------------

TEST_F(Lifecycle, SecondProcessIsKeptOutByTheLock) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    // The child holds the library open until the parent has tried its own open.
    osl::test::Child holder(path("holder.out"), path("holder.err"), [&] {
        use_manual_timer();
        char c = osl_bt_open(0, 0, 0, 0) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        return 0;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    use_manual_timer();
    StdoutCapture out;
    EXPECT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 41);
    EXPECT_EQ(mask_times(out.stop()), "T [osl open] err:already running\n");
    EXPECT_TRUE(sim.calls().empty()); // the adapter is not touched

    (void)!write(done[1], "x", 1);
    EXPECT_TRUE(holder.wait());
}

TEST_F(Lifecycle, SecondOpenWhileOpenReturns41AndLeavesTheLiveLibraryAlone) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 0);
    sim.clear_record();
    StdoutCapture out;
    EXPECT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB | OSL_LOG_SENSORS), 41);
    EXPECT_EQ(mask_times(out.stop()), "T [osl open] err:already running\n");
    EXPECT_TRUE(sim.calls().empty());
    EXPECT_EQ(osl_adapter.state, OSL_ADAPTER_FILTERED);
    EXPECT_EQ(osl_bt_myaddr_get()[0], 0x56);
    EXPECT_EQ(osl_verbosity, OSL_LOG_LIB);
}

TEST_F(Lifecycle, OpenAfterCloseInTheSameProcessStillFindsTheLockHeld) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_bt_close();
    StdoutCapture out;
    EXPECT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 41);
    EXPECT_EQ(mask_times(out.stop()), "T [osl open] err:already running\n");
}

TEST_F(Lifecycle, LockFileIsCreatedWithMode0666LessTheUmask) {
    use_manual_timer();
    mode_t old = umask(022);
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path("osl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Held for the life of the process, by a descriptor a child program does not inherit.
    int fd = open(path("osl").c_str(), O_RDWR);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
    close(fd);
}

TEST_F(Lifecycle, SymbolicLinkAtTheLockPathIsNotFollowed) {
    const std::string target = path("elsewhere");
    ASSERT_EQ(symlink(target.c_str(), path("osl").c_str()), 0);
    use_manual_timer();
    EXPECT_EQ(osl_bt_open(0, 0, 0, 0), 0); // the failed lock is no reason to stop
    struct stat st;
    EXPECT_NE(stat(target.c_str(), &st), 0); // nothing created through the link
}

// ---- stop flag, read --------------------------------------------------------

TEST_F(Lifecycle, ReadTakesWholeRecordsUntilStopOrClose) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_record rec;
    memset(&rec, 0xEE, sizeof rec);
    EXPECT_EQ(osl_bt_read(&rec), 0);
    osl_fifo_put(&osl_fifo, 1); // 22 bytes held are not a record
    for (int i = 0; i < 21; i++)
        osl_fifo_put(&osl_fifo, 1);
    EXPECT_EQ(osl_bt_read(&rec), 0);
    EXPECT_EQ(rec.payload[0], 0xEE); // untouched
    osl_fifo_flush(&osl_fifo);

    queue_record(OSL_DEV_RELAY);
    queue_record(0xFE);
    EXPECT_EQ(osl_bt_read(&rec), OSL_DEV_RELAY);
    EXPECT_EQ(rec.rssi, -50);
    EXPECT_EQ(osl_bt_read(&rec), 0xFE); // the type byte, unsigned

    queue_record(OSL_DEV_METEO);
    raise(SIGINT);
    EXPECT_EQ(osl_stop_flag, OSL_STOP_REQUESTED);
    EXPECT_EQ(osl_bt_read(&rec), -1); // even with a record waiting
    raise(SIGINT);
    EXPECT_EQ(osl_stop_flag, OSL_STOP_REQUESTED);

    osl_bt_close();
    EXPECT_EQ(osl_stop_flag, OSL_CLOSED);
    EXPECT_EQ(osl_bt_read(&rec), -1);
    EXPECT_EQ(osl_fifo_used(&osl_fifo), 23u); // close leaves the queue alone
    // The handler stays installed but no longer stops anything.
    raise(SIGINT);
    EXPECT_EQ(osl_stop_flag, OSL_CLOSED);
}

TEST(LifecycleUnopened, ReadOfAnUnopenedLibraryFindsNothing) {
    osl_record rec;
    EXPECT_EQ(osl_bt_read(&rec), 0);
    EXPECT_EQ(osl_bt_lib_version(), 0x200);
}

// ---- address test, load figure ------------------------------------------

TEST(CheckAddr, ComparesTheTextWithTheRecordAddress) {
    osl_record rec = {};
    const uint8_t addr[6] = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
    memcpy(rec.addr, addr, 6);
    const struct {
        const char *text;
        int result;
    } cases[] = {
        {"CBFD786BAA68", 1}, {"cbfd786baa68", 1}, {"CBFD786BAA68FF", 1},    {"CBFD786BAA6", 0},
        {"CBFD786BAA69", 0}, {"68AA6B78FDCB", 0}, {"CB:FD:78:6B:AA:68", 0}, {"", 0},
        {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(osl_check_addr(c.text, &rec), c.result) << (c.text ? c.text : "null");
}

// ---- the tick, driven by hand ------------------------------------------------

TEST_F(Lifecycle, TimerIsArmedForTenMillisecondsAndDisarmedAtClose) {
    static std::vector<struct itimerspec> armed;
    static int removed = 0;
    static const osl_timer_ops recording = {
        [](timer_t *id) {
            *id = timer_t{};
            return 0;
        },
        [](timer_t, const struct itimerspec *s) {
            armed.push_back(*s);
            return 0;
        },
        [](timer_t) {
            removed++;
            return 0;
        },
    };
    osl_timer = &recording;
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    ASSERT_EQ(armed.size(), 1u);
    EXPECT_EQ(armed[0].it_value.tv_sec, 0);
    EXPECT_EQ(armed[0].it_value.tv_nsec, 10000000);
    EXPECT_EQ(armed[0].it_interval.tv_sec, 0);
    EXPECT_EQ(armed[0].it_interval.tv_nsec, 10000000);
    osl_bt_close();
    ASSERT_EQ(armed.size(), 2u);
    EXPECT_EQ(armed[1].it_value.tv_nsec, 0);
    EXPECT_EQ(armed[1].it_interval.tv_nsec, 0);
    EXPECT_EQ(removed, 1);
}

TEST_F(Lifecycle, LoadBeforeTheFirstWindowAndAtEvery201stTick) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    float shortest = -1, longest = -1;
    EXPECT_EQ(osl_lib_get_load(&shortest, &longest), 5);
    EXPECT_EQ(shortest, 1.0f);
    EXPECT_EQ(longest, 0.0f);
    EXPECT_EQ(osl_lib_get_load(nullptr, nullptr), 5);

    tick(200);
    osl_lib_get_load(&shortest, &longest);
    EXPECT_EQ(shortest, 1.0f); // nothing published yet
    tick(1);
    osl_lib_get_load(&shortest, &longest);
    // The first window's shortest started at 0 and no tick is shorter.
    EXPECT_EQ(shortest, 0.0f);
    EXPECT_GE(longest, 0.0f);

    tick(201);
    osl_lib_get_load(&shortest, &longest);
    EXPECT_GE(shortest, 0.0f);
    EXPECT_LT(shortest, 1000.0f); // measured, no longer the reset value
    EXPECT_LE(shortest, longest);
}

TEST_F(Lifecycle, TickReadsAtMostTenEventsAndNothingWhileTheTransmitterIsBusy) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    for (int i = 0; i < 12; i++)
        sim.deliver(event(osl::frame::REPORT_STD_SIZE));
    osl_tx_busy = 1;
    tick();
    EXPECT_EQ(sim.pending(), 12u);
    EXPECT_EQ(sim.reads(), 0u);
    osl_tx_busy = 0;
    tick();
    EXPECT_EQ(sim.pending(), 2u);
    tick();
    EXPECT_EQ(sim.pending(), 0u);
    EXPECT_EQ(sim.reads(), 13u); // 10, then 2 and the empty read that ends the intake
}

TEST_F(Lifecycle, TickDropsAnEventLongerThanTheQueueRoomAndEndsItsIntake) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    for (int i = 0; i < 1000; i++)
        osl_fifo_put(&osl_fifo, 0);
    sim.deliver(event(40));
    sim.deliver(event(24));
    tick();
    EXPECT_EQ(osl_overflow_count, 1u); // 24 bytes free: the 40-byte event is dropped
    EXPECT_EQ(sim.pending(), 1u);      // and the intake ends there
    tick();
    EXPECT_EQ(osl_overflow_count, 1u); // the 24-byte event fits the room test
    EXPECT_EQ(sim.pending(), 0u);
}

TEST_F(Lifecycle, TickClearsTheSlotBeyondWhatWasReadAndCutsLongPackets) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_rx_index = 3;
    sim.deliver(event(60, 1)); // longer than a slot: the rest is lost
    tick();
    EXPECT_EQ(osl_rx_slots[3][49], 50);
    EXPECT_EQ(osl_rx_slots[4][0], 0); // nothing spilled into the next slot
    sim.deliver(event(20, 100));
    tick();
    EXPECT_EQ(osl_rx_slots[3][19], 119);
    for (int i = 20; i < OSL_RX_SLOT_SIZE; i++)
        EXPECT_EQ(osl_rx_slots[3][i], 0) << "byte " << i;
}

TEST_F(Lifecycle, TickWithAFullWindowReadsIntoTheScratchRow) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_rx_index = OSL_RX_SLOTS;
    sim.deliver(event(osl::frame::REPORT_STD_SIZE, 7));
    tick();
    EXPECT_EQ(sim.pending(), 0u);
    EXPECT_EQ(osl_rx_slots[OSL_RX_SLOTS][2], 9);
    for (int s = 0; s < OSL_RX_SLOTS; s++)
        ASSERT_EQ(osl_rx_slots[s][0], 0) << "slot " << s;
}

// Nobody counts a sleep down while no tick runs (before open, after an open
// that failed before its timer ran): it counts its own waits to the end.
// (After close the stop flag ends every sleep at once.)
TEST_F(Lifecycle, SleepWithoutARunningTickStillEnds) {
    const std::function<void()> states[] = {
        [] {},
        [] {
            osl_timer = &osl::sim::timer_create_fails;
            osl_bt_open(0, 0, 0, 0);
        },
    };
    for (const auto &arrange : states) {
        EXPECT_TRUE(osl::test::passes_in_child([&] {
            arrange();
            osl_sleep_ms(50);
            return osl_sleep_countdown == 0;
        }));
    }
}

TEST_F(Lifecycle, ReceptionWindowClosesOnThe99thTickAfterTheLastFrame) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_rx_index = 5;
    osl_rx_countdown = OSL_RX_WINDOW_TICKS;
    tick(98);
    EXPECT_EQ(osl_rx_index, 5);
    tick(1);
    EXPECT_EQ(osl_rx_index, 0);
    EXPECT_EQ(osl_rx_countdown, 1);
    tick(5);
    EXPECT_EQ(osl_rx_countdown, 0);
}

TEST_F(Lifecycle, TickKeepsTheApplicationsErrno) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    errno = ERANGE;
    tick(); // its read finds the socket empty (EAGAIN)
    EXPECT_EQ(errno, ERANGE);
}

TEST(LifecycleDeath, TickOnAnyOtherSignalStopsWithItsAssertion) {
    EXPECT_DEATH(
        osl_timer_handler(SIGUSR1),
        "ostrel_lib_static_2\\.0:1855: osl_timer_handler: Assertion `sig == SIGALRM' failed");
}

// ---- paced sleep -------------------------------------------------------------

// Watches the sleep countdown from another thread while osl_sleep_ms runs
// under a timer that never ticks, then ends the sleep with SIGINT.
class SleepCountdown : public Lifecycle {
  protected:
    int32_t countdown_during(int ms) {
        use_manual_timer();
        EXPECT_EQ(osl_bt_open(0, 0, 0, 0), 0);
        osl_sleep_countdown = -7; // marks "not yet set"
        std::atomic<int32_t> seen{-7};
        // Signals go to the sleeper.
        std::thread watcher = osl::test::quiet_thread([&] {
            wait_until([] { return osl_sleep_countdown != -7; });
            seen = osl_sleep_countdown;
            kill(getpid(), SIGINT);
        });
        osl_sleep_ms(ms);
        watcher.join();
        return seen;
    }
};

TEST_F(SleepCountdown, LongSleepsAreCappedAt6000Ticks) {
    EXPECT_EQ(countdown_during(60001), 6000);
}
TEST_F(SleepCountdown, FifteenMillisecondsCountOneTick) {
    EXPECT_EQ(countdown_during(15), 1);
}
TEST_F(SleepCountdown, NegativeSleepsCountLikeZero) {
    EXPECT_EQ(countdown_during(-5), 0);
}

TEST_F(Lifecycle, ZeroSleepWaitsOnceAndStoppedSleepsReturnAtOnce) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    osl_sleep_ms(0); // one wake-up, with no tick at all
    raise(SIGINT);
    osl_sleep_ms(60000); // would take a minute if it waited
    osl_sleep_ms(100);
    SUCCEED();
}

// ---- the real 10 ms timer ---------------------------------------------------

TEST_F(Lifecycle, RealTimerPacesSleepAndSigintEndsTheApplicationLoop) {
    ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 0);
    // Sleep counts ticks: 150 ms are 15 of them, whatever the machine's load.
    osl_rx_countdown = 1000000;
    osl_sleep_ms(150);
    EXPECT_EQ(osl_sleep_countdown, 0);
    EXPECT_GE(1000000 - osl_rx_countdown, 15);

    // Events delivered while running are read by the ticks.
    sim.deliver(event(osl::frame::REPORT_STD_SIZE));
    EXPECT_TRUE(wait_until([&] { return sim.pending() == 0; }));

    std::thread interrupter = osl::test::quiet_thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGINT);
    });
    osl_record rec;
    int passes = 0;
    StdoutCapture out;
    for (;;) {
        int r = osl_bt_read(&rec);
        osl_sleep_ms(100);
        passes++;
        if (r == -1)
            break;
    }
    interrupter.join();
    osl_bt_close();
    EXPECT_EQ(mask_times(out.stop()),
              "T [osl stop] stopped\n\rT [osl close] closed\n\rT [osl closed]\n\r");
    EXPECT_GE(passes, 1);
}

} // namespace

namespace {

// The queue and the log ring under real interruptions: the tick, on the real
// timer, decodes frames and queues records and lines while the application's
// flow takes them out. Nothing may be lost, doubled or reordered.
TEST_F(Lifecycle, RealTimerHandsOverEveryRecordAndLineInOrder) {
    using namespace osl::test;
    constexpr uint32_t FRAMES = 100; // one window's worth of sealed frames
    constexpr uint32_t BATCH = OSL_TICK_READS_MAX;
    StdoutCapture out;
    ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_SENSORS), 0);

    std::vector<uint32_t> seen;
    osl_record rec;
    for (uint32_t sent = 0; sent < FRAMES; sent += BATCH) {
        // Batches small enough that the queue always has room, however late
        // the application's flow gets to run.
        for (uint32_t wt = sent; wt < sent + BATCH; wt++)
            sim.deliver(sensor_report(addr_from_text("A1B2C3D4E5F6"),
                                      DeviceBlock{wt, OSL_DEV_FLOOD, 71, 0, {}}.bytes(), -40));
        ASSERT_TRUE(wait_until([&] {
            int type;
            while ((type = osl_bt_read(&rec)) > 0) {
                uint32_t wt;
                memcpy(&wt, rec.payload, sizeof wt);
                seen.push_back(wt);
            }
            return seen.size() == sent + BATCH;
        })) << seen.size()
            << " records after " << sent + BATCH << " frames";
    }
    osl_bt_close();
    EXPECT_EQ(osl_overflow_count, 0u);

    for (uint32_t i = 0; i < FRAMES; i++)
        ASSERT_EQ(seen[i], i);
    std::string lines = mask_times(out.stop());
    std::string expected;
    for (uint32_t wt = 0; wt < FRAMES; wt++)
        expected += "T [osl rec] FLOOD 0xA1B2C3D4E5F6 <-40dBm fw00.00 1.00V Nm=0s Wt=" +
                    std::to_string(wt) + "s>\n\r\tCt=0*C Ff=00 NO FLOOD\n\r";
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(osl_log_dropped(), 0u);
}

} // namespace
