// One whole tick at its heaviest: ten reports waiting on the adapter socket,
// each read into its window slot, authenticated, checked for repeats,
// unsealed and queued as a record, with or without its log line recorded.
// The adapter is the simulated controller, so the figure is the library's
// own work; on the board each read is one system call more.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "lifecycle.h"
#include "core/fifo.h"
#include "sim/hci_sim.h"
#include "core/log.h"
#include "core/platform.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "osl.h"
#include "report_builder.h"

namespace {

constexpr int EVENTS_PER_TICK = OSL_TICK_READS_MAX;

std::string lock_path;

// Opens the library once per process, against the simulated controller and
// with the tick driven by hand.
void open_library(int flags) {
    static bool opened = false;
    if (opened)
        return;
    char dir[] = "/tmp/osl-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        abort();
    lock_path = std::string(dir) + "/osl";
    osl_lock_path = lock_path.c_str();
    osl_timer = &osl::sim::hand_timer;
    osl::sim::Controller::get().reset();
    osl::sim::Controller::get().install();
    if (osl_bt_open(0, 0, 0, flags) != 0)
        abort();
    opened = true;
}

// Empties the log ring without the lines reaching the benchmark's output.
void discard_log_lines() {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *null = fopen("/dev/null", "w");
    dup2(fileno(null), STDOUT_FILENO);
    osl_log_flush();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(null);
}

void BM_TickTenAcceptedFrames(benchmark::State &state) {
    const int flags = static_cast<int>(state.range(0));
    open_library(flags);
    osl_verbosity = flags;
    auto &sim = osl::sim::Controller::get();
    uint8_t events[EVENTS_PER_TICK][OSL_RX_SLOT_SIZE];
    for (int i = 0; i < EVENTS_PER_TICK; i++)
        osl::bench::meteo_report(events[i], static_cast<uint8_t>(i), 1000);

    for (auto _ : state) {
        state.PauseTiming();
        osl_rx_index = 0;
        osl_fifo_flush(&osl_fifo);
        discard_log_lines();
        for (auto &e : events)
            sim.deliver(e, osl::frame::REPORT_STD_SIZE);
        state.ResumeTiming();

        osl_timer_handler(SIGALRM);
    }
    if (osl_fifo_used(&osl_fifo) != EVENTS_PER_TICK * OSL_REC_SIZE)
        state.SkipWithError("not every frame was queued");
}
BENCHMARK(BM_TickTenAcceptedFrames)->Arg(0)->Arg(OSL_LOG_SENSORS)->ArgName("verbosity");

// The design maximum: ten new sealed frames accepted in one tick, each
// compared with every earlier frame of the window (90 at first, 99 for the
// last), all from one address so that every comparison reaches the tag.
void BM_TickTenNewFramesIntoAFullWindow(benchmark::State &state) {
    open_library(0);
    osl_verbosity = 0;
    constexpr int EARLIER = OSL_RX_SLOTS - EVENTS_PER_TICK;
    auto &sim = osl::sim::Controller::get();
    osl_rx_index = 0;
    uint8_t event[OSL_RX_SLOT_SIZE];
    for (int i = 0; i < EARLIER; i++) {
        osl::bench::meteo_report(event, 0, 5000 + static_cast<uint32_t>(i));
        sim.deliver(event, osl::frame::REPORT_STD_SIZE);
        osl_timer_handler(SIGALRM);
        osl_fifo_flush(&osl_fifo);
    }
    if (osl_rx_index != EARLIER)
        state.SkipWithError("the earlier frames did not fill the window");
    uint8_t events[EVENTS_PER_TICK][OSL_RX_SLOT_SIZE];
    for (int i = 0; i < EVENTS_PER_TICK; i++)
        osl::bench::meteo_report(events[i], 0, 1000 + static_cast<uint32_t>(i));

    for (auto _ : state) {
        state.PauseTiming();
        osl_rx_index = EARLIER;
        osl_rx_countdown = OSL_RX_WINDOW_TICKS;
        osl_fifo_flush(&osl_fifo);
        for (auto &e : events)
            sim.deliver(e, osl::frame::REPORT_STD_SIZE);
        state.ResumeTiming();

        osl_timer_handler(SIGALRM);
    }
    if (osl_rx_index != OSL_RX_SLOTS || osl_fifo_used(&osl_fifo) != EVENTS_PER_TICK * OSL_REC_SIZE)
        state.SkipWithError("not every frame was accepted");
}
BENCHMARK(BM_TickTenNewFramesIntoAFullWindow);

// The common case: nothing waiting, the tick only counts down.
void BM_TickIdle(benchmark::State &state) {
    open_library(0);
    for (auto _ : state)
        osl_timer_handler(SIGALRM);
}
BENCHMARK(BM_TickIdle);

} // namespace

BENCHMARK_MAIN();
