// Opening and closing the library, the 10 ms tick, paced sleep, and the
// small public queries.
#include "lifecycle.h"

// The tick's stop on a foreign signal must survive NDEBUG, but the C library
// declares its assertion reporter (__assert_fail) only where NDEBUG is unset.
// Declaring it ourselves clashes with that declaration under some compilers,
// so the header is read once with NDEBUG lifted.
#ifdef NDEBUG
#undef NDEBUG
#include <assert.h>
#define NDEBUG
#else
#include <assert.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "actors/receive.h"
#include "actors/registry.h"
#include "core/adapter.h"
#include "core/fifo.h"
#include "core/hci_port.h"
#include "core/lamps.h"
#include "core/link.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/results.h"
#include "core/text.h"
#include "frames/announce.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "osl.h"

volatile uint32_t osl_overflow_count;

namespace {

// Tick statistics, in milliseconds of processor time. A window spans 201 ticks.
constexpr uint32_t STATS_WINDOW_TICKS = 200;
volatile float window_longest;
volatile float window_shortest;
volatile float published_longest;
volatile float published_shortest;
volatile uint32_t window_ticks;

timer_t tick_timer;
bool timer_created;

// True from the moment an open passed the lock until the next close. A second
// open in that time must not clear the live adapter record.
bool library_open;

void osl_report_already_running(int flags) {
    if (flags & OSL_LOG_LIB) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        puts("[osl open] err:already running");
    }
}

// Takes the lock that keeps a second program out. Only a lock held elsewhere
// stops the open; a lock file that cannot be opened or locked otherwise does
// not. The descriptor stays open for the life of the process.
bool osl_lock_taken_elsewhere() {
    // O_NOFOLLOW: a symbolic link planted at the lock path is not followed.
    int fd = open(osl_lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return false;
    bool held = errno == EWOULDBLOCK;
    close(fd); // holds nothing
    return held;
}

// Processor time in microseconds, the unit clock() counts in. clock() itself
// is not async-signal-safe; clock_gettime is.
int64_t osl_cpu_time_us() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

float osl_elapsed_ms(int64_t start_us) {
    return static_cast<float>(osl_cpu_time_us() - start_us) / 1000000.0f * 1000.0f;
}

void osl_tick_statistics_window() {
    uint32_t ticks = window_ticks + 1;
    window_ticks = ticks;
    if (ticks > STATS_WINDOW_TICKS) {
        window_ticks = 0;
        published_longest = window_longest;
        published_shortest = window_shortest;
        window_longest = 0.0f;
        window_shortest = 1000.0f;
    }
}

void osl_tick_intake() {
    if (!osl_adapter_readable())
        return;
    for (int i = 0; i < OSL_TICK_READS_MAX; i++) {
        uint8_t *slot = osl_rx_slot();
        ssize_t n = osl_hci->read(osl_adapter.sock, slot, OSL_RX_SLOT_SIZE);
        if (n <= 0) {
            if (n < 0)
                osl_link_read_failed(errno);
            return;
        }
        osl_link_event_read();
        osl_rx_slot_received(slot, static_cast<int>(n));
        int32_t room = static_cast<int32_t>(OSL_FIFO_CAPACITY - osl_fifo_used(&osl_fifo));
        if (room < n) {
            osl_overflow_count = osl_overflow_count + 1;
            return;
        }
        osl_frame_decode(slot, static_cast<int>(n), &osl_fifo);
    }
}

} // namespace

void osl_timer_handler(int sig) {
    int64_t start = osl_cpu_time_us();
    if (sig != SIGALRM)
        __assert_fail("sig == SIGALRM", "ostrel_lib_static_2.0", 1855, "osl_timer_handler");
    // The application's errno must survive the reads below.
    int saved_errno = errno;

    osl_link_tick();
    osl_tick_statistics_window();
    osl_rx_window_tick();
    osl_rx_lamp_tick();
    osl_sleep_tick();
    osl_actor_triggers_tick();
    osl_tick_intake();

    float ms = osl_elapsed_ms(start);
    if (window_shortest > ms)
        window_shortest = ms;
    if (window_longest < ms)
        window_longest = ms;
    errno = saved_errno;
}

void osl_int_handler(int) {
    if (osl_stop_flag == OSL_RUNNING)
        osl_stop_flag = OSL_STOP_REQUESTED;
}

int osl_timer_start(int period_ms) {
    if (osl_timer->create(&tick_timer) != 0)
        return -2;
    timer_created = true;
    struct itimerspec period = {};
    period.it_value.tv_sec = period_ms / 1000;
    period.it_value.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
    period.it_interval = period.it_value;
    if (osl_timer->arm(tick_timer, &period) != 0)
        return -4;
    return 0;
}

void osl_timer_stop() {
    struct itimerspec off = {};
    osl_timer->arm(tick_timer, &off);
}

extern "C" {

int osl_bt_open(int pin_rx, int pin_tx, int pin_pwr, int flags) {
    if (library_open) {
        osl_report_already_running(flags);
        return OSL_OPEN_LOCKED;
    }
    osl_adapter = osl_adapter_t{};
    osl_verbosity = flags;
    published_shortest = 1.0f;

    if (osl_lock_taken_elsewhere()) {
        osl_report_already_running(flags);
        return OSL_OPEN_LOCKED;
    }
    library_open = true;

    int c = osl_fifo_init(&osl_fifo, osl_fifo_storage, OSL_FIFO_CAPACITY);
    if (c != 0) {
        if (osl_log_on(OSL_LOG_LIB)) {
            osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
            printf("[osl open] fifo error: %d\n", c);
        }
        return OSL_OPEN_QUEUE;
    }

    osl_lamps = osl_lamps_t{};
    osl_results_note_pins(pin_rx, pin_tx, pin_pwr);
    const int pins[3] = {pin_rx, pin_tx, pin_pwr};
    for (int lamp = LAMP_RX; lamp <= LAMP_PWR; lamp++) {
        int step = osl_lamp_setup(&osl_lamps, lamp, pins[lamp - 1]);
        if (step != 0)
            return OSL_OPEN_LAMP + OSL_LAMP_STEPS * (lamp - 1) + (step - OSL_LAMP_STEP_EXPORT);
    }
    // All lamps lit while the library starts; only the power lamp stays on.
    osl_lamp_set(&osl_lamps, LAMP_PWR, 1);
    osl_lamp_set(&osl_lamps, LAMP_RX, 1);
    osl_lamp_set(&osl_lamps, LAMP_TX, 1);

    osl_rx_window_reset();
    osl_announcements_reset();
    osl_actors_listen();

    if (int r = osl_adapter_open_scanning(); r != 0)
        return r;

    osl_link_reset();
    signal(SIGINT, osl_int_handler);
    signal(SIGALRM, osl_timer_handler);
    if (osl_timer_start(OSL_TICK_MS) != 0) {
        osl_log_lib("[osl start] error timer inti\n\r");
        return OSL_OPEN_TIMER;
    }

    osl_ticking = 1;
    osl_lamp_set(&osl_lamps, LAMP_RX, 0);
    osl_lamp_set(&osl_lamps, LAMP_TX, 0);
    osl_log_lib("[osl start] ok\n\r");
    osl_stop_flag = OSL_RUNNING;
    osl_link_start();
    return 0;
}

void osl_bt_close(void) {
    if (osl_stop_flag > OSL_STOP_REQUESTED)
        return;
    osl_stop_flag = OSL_CLOSED;
    osl_link_stop();
    if (timer_created) {
        osl_timer_stop();
        osl_timer->remove(tick_timer);
        timer_created = false;
    }
    osl_ticking = 0;
    osl_log_flush(); // what the last ticks recorded
    // Only now, with no tick left to write to them, may the lamp files close.
    osl_lamps_close(&osl_lamps);
    osl_lamps_release(&osl_lamps);
    osl_adapter_close();
    osl_log_lib("[osl closed]\n\r");
    fflush(stdout);
    library_open = false;
}

int osl_bt_read(osl_record *rec) {
    osl_link_supervise();
    osl_log_flush();
    if (osl_stop_flag != OSL_RUNNING)
        return OSL_READ_STOPPED;
    if (osl_fifo_used(&osl_fifo) < OSL_REC_SIZE)
        return OSL_READ_NONE;
    // The tick pushes whole records and only adds behind them, so 23 bytes
    // found are 23 bytes of one record even if a tick comes in between.
    uint8_t *bytes = reinterpret_cast<uint8_t *>(rec);
    for (int i = 0; i < OSL_REC_SIZE; i++)
        osl_fifo_get(&osl_fifo, &bytes[i]);
    return bytes[OSL_REC_TYPE];
}

int osl_bt_queued(void) {
    return static_cast<int>(osl_fifo_used(&osl_fifo) / OSL_REC_SIZE);
}

int osl_bt_running(void) {
    return osl_stop_flag == OSL_RUNNING && osl_link.active ? 1 : 0;
}

int osl_bt_lib_version(void) {
    return OSL_LIB_VERSION;
}

uint8_t *osl_bt_myaddr_get(void) {
    return osl_adapter.own_addr;
}

int osl_check_addr(const char *addr, const osl_record *rec) {
    uint8_t bytes[6];
    if (addr == nullptr || osl_hex_to_bytes(addr, bytes, 6) != 0)
        return 0;
    return memcmp(bytes, rec->addr, sizeof bytes) == 0 ? 1 : 0;
}

int osl_link_get_status(osl_link_status *status) {
    if (status == nullptr)
        return OSL_LINK_NO_STATUS;
    *status = osl_link_status{};
    status->state = !osl_link.active ? OSL_LINK_CLOSED
                    : osl_link.down  ? OSL_LINK_DOWN
                                     : OSL_LINK_UP;
    status->dev_id = status->state == OSL_LINK_UP ? static_cast<int>(osl_adapter.dev_id) : -1;
    status->recoveries = osl_link.recoveries;
    status->read_errors = osl_link.read_errors;
    status->last_error = osl_link.last_errno;
    status->ms_since_event = osl_link_ms_since_event();
    status->events_dropped = osl_overflow_count;
    status->window_overflows = osl_rx_overflows;
    status->log_lines_dropped = osl_log_dropped();
    return 0;
}

uint8_t osl_lib_get_load(float *shortest_ms, float *longest_ms) {
    float shortest = published_shortest;
    float longest = published_longest;
    if (shortest_ms != nullptr)
        *shortest_ms = shortest;
    if (longest_ms != nullptr)
        *longest_ms = longest;
    // Mean of the two tick times, in percent of the 10 ms period.
    double percent = static_cast<double>(longest + shortest) * 100.0 / 2.0 / 10.0;
    uint32_t whole = percent <= 0.0            ? 0u
                     : percent >= 4294967295.0 ? 0xFFFFFFFFu
                                               : static_cast<uint32_t>(percent);
    return static_cast<uint8_t>(whole & 0xFF);
}

} // extern "C"
