// After osl_bt_open the library allocates nothing: a run of real 10 ms ticks
// that receives a frame of every family and key announcements, sends
// commands, complies, arms and collects triggers, removes an actor and closes
// again makes not one call to the allocator.
//
// The test program puts its own allocator in front of the C library's (or,
// under AddressSanitizer, which owns the allocator, installs its allocation
// hooks) and counts every call while armed. While armed the test itself
// allocates nothing either: the events are made beforehand, the simulated
// controller records no calls, waits are plain loops of library calls, and
// every check is made after disarming. Standard output and the time zone are
// warmed up before arming: the C library allocates those once, on first use.
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/fifo.h"
#include "core/platform.h"
#include "osl.h"
#include "support/capture.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSL_ALLOC_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSL_ALLOC_HOOKS 1
#endif
#endif

namespace {

std::atomic<bool> armed{false};
std::atomic<unsigned> allocations{0};
std::atomic<unsigned> releases{0};

void count_allocation() {
    if (armed.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
void count_release(const void *p) {
    if (p != nullptr && armed.load(std::memory_order_relaxed))
        releases.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#ifdef OSL_ALLOC_HOOKS
// The sanitizers' runtime calls these on every allocation and release. Its
// header comes with clang only; GCC's runtime has the same function.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));

namespace {
void malloc_hook(const volatile void *, size_t) {
    count_allocation();
}
void free_hook(const volatile void *p) {
    count_release(const_cast<const void *>(p));
}
const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(malloc_hook, free_hook);
} // namespace

#else
// glibc's own allocator under its internal names; everything below forwards
// to it, counting.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void *__libc_valloc(size_t);
void *__libc_pvalloc(size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    count_allocation();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
    count_allocation();
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
    count_allocation();
    return __libc_realloc(p, n);
}
void *memalign(size_t alignment, size_t n) {
    count_allocation();
    return __libc_memalign(alignment, n);
}
void *aligned_alloc(size_t alignment, size_t n) {
    count_allocation();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void **out, size_t alignment, size_t n) {
    count_allocation();
    void *p = __libc_memalign(alignment, n);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
void *valloc(size_t n) {
    count_allocation();
    return __libc_valloc(n);
}
void *pvalloc(size_t n) {
    count_allocation();
    return __libc_pvalloc(n);
}
void free(void *p) {
    count_release(p);
    __libc_free(p);
}
} // extern "C"

namespace {
void *new_block(size_t n) {
    void *p = malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void *new_aligned(size_t n, std::align_val_t al) {
    void *p = aligned_alloc(static_cast<size_t>(al), n == 0 ? static_cast<size_t>(al) : n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
} // namespace

void *operator new(size_t n) {
    return new_block(n);
}
void *operator new[](size_t n) {
    return new_block(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    return malloc(n == 0 ? 1 : n);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    return malloc(n == 0 ? 1 : n);
}
void *operator new(size_t n, std::align_val_t al) {
    return new_aligned(n, al);
}
void *operator new[](size_t n, std::align_val_t al) {
    return new_aligned(n, al);
}
void operator delete(void *p) noexcept {
    free(p);
}
void operator delete[](void *p) noexcept {
    free(p);
}
void operator delete(void *p, size_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t) noexcept {
    free(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
    free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
    free(p);
}
#endif

namespace osl::test {
namespace {

constexpr int RX_PIN = 5;
constexpr int TX_PIN = 6;

const char *const RELAY_NAME = "hall";
const char *const RELAY_ADDR = "CBFD786BAA68";
const char *const RELAY_KEY = "000102030405060708090A0B0C0D0E0F";
const char *const DIMMER_NAME = "lamp";
const char *const DIMMER_ADDR = "0A1B2C3D4E5F";
const char *const DIMMER_KEY = "F0E1D2C3B4A5968778695A4B3C2D1E0F";
const char *const PWM_NAME = "strip";
const char *const PWM_ADDR = "665544332211";
const char *const PWM_KEY = "2B7E151628AED2A6ABF7158809CF4F3C";
const char *const STRANGER_ADDR = "D1E2F3A4B5C6";
const char *const STRANGER_KEY = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";

// One frame to deliver and the record it must give (none for a key
// announcement, which is printed, never queued).
struct Frame {
    Bytes event;
    bool queued;
    osl_record record;
};

// A frame of every family: the five sensors and an unknown one, the air
// sensor, a key announcement, and a frame of each registered actor
// reporting a state other than the one the test will want.
std::vector<Frame> every_family() {
    std::vector<Frame> frames;
    const Addr sensor = addr_from_text("D40A1B2C3D01");
    for (uint8_t type : std::initializer_list<uint8_t>{1, 2, 3, 4, 5, 9}) {
        DeviceBlock b;
        b.wt = 1000u + type;
        b.type = type;
        b.vcc = 213;
        b.b7 = {0x81, 0x9C, 0xFF, 12, 34, 0x0C, 0xE4, 0x01, 0x2A};
        const int8_t rssi = static_cast<int8_t>(-40 - type);
        frames.push_back(
            {sensor_report(sensor, b.bytes(), rssi), true, record_of(b.bytes(), sensor, rssi)});
    }
    AirBlock air;
    air.minutes_from = 1;
    air.minutes_to = 4;
    air.vcc = 213;
    air.type = 0x30; // not 0: osl_bt_read answers a record's type, and 0 means none
    air.kelvin_x100 = 0x739B;
    air.rh = 45;
    air.pm10 = 300;
    const Addr air_addr = addr_from_text("E8F1A2B3C4D5");
    frames.push_back(
        {air_report(air_addr, air.bytes(), -61), true, record_of(air.bytes(), air_addr, -61)});
    frames.push_back({sec_key_report(addr_from_text(RELAY_ADDR), key_from_text(RELAY_KEY), -55),
                      false, osl_record{}});
    // An actor nobody registered, then its announcement: the tick tries the
    // announced key on the frame it remembered.
    DeviceBlock stranger;
    stranger.wt = 3000;
    stranger.type = OSL_DEV_DIMMER;
    frames.push_back({actor_report(addr_from_text(STRANGER_ADDR), stranger.bytes(),
                                   key_from_text(STRANGER_KEY), -70),
                      false, osl_record{}});
    frames.push_back(
        {sec_key_report(addr_from_text(STRANGER_ADDR), key_from_text(STRANGER_KEY), -70), false,
         osl_record{}});

    struct ActorFrame {
        const char *addr;
        const char *key;
        uint8_t type;
        int state_at;
    };
    for (const ActorFrame &a : {ActorFrame{RELAY_ADDR, RELAY_KEY, OSL_DEV_RELAY, 7},
                                ActorFrame{DIMMER_ADDR, DIMMER_KEY, OSL_DEV_DIMMER, 9},
                                ActorFrame{PWM_ADDR, PWM_KEY, OSL_DEV_PWM, 9}}) {
        DeviceBlock b;
        b.wt = 2000u + a.type;
        b.type = a.type;
        b.vcc = 142;
        b.b7[static_cast<size_t>(a.state_at - 7)] = 0x09;
        const Addr from = addr_from_text(a.addr);
        frames.push_back({actor_report(from, b.bytes(), key_from_text(a.key), -50), true,
                          record_of(b.bytes(), from, -50)});
    }
    return frames;
}

// Monotonic time in milliseconds: a deadline without any allocation.
long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Generous: a loaded machine may hold the ticks back for a long while.
constexpr long long DEADLINE_MS = 20000;

// What the armed run saw, checked once it is over.
struct ArmedRun {
    std::array<osl_record, 16> records{};
    int taken = 0;
    int read_error = 0;
    int sends[3] = {-1, -1, -1};
    int complies[3] = {1, 1, 1};
    int triggers_fired = 0;
    int gets = 0;
    osl_link_status lost{};  // while the adapter was away
    osl_link_status again{}; // once it was back
    std::array<osl_key_announcement, OSL_ANNOUNCEMENTS_MAX> announced{};
    int announcements = 0;
    int removed = 1;
};

class NoAllocation : public LibFixture {
  protected:
    void open_library() {
        mkdir(path("gpio").c_str(), 0700);
        for (int pin : {RX_PIN, TX_PIN}) {
            const std::string dir = "gpio/gpio" + std::to_string(pin);
            mkdir(path(dir).c_str(), 0700);
            for (const char *f : {"/direction", "/value"})
                write_file(path(dir + f), "");
        }
        write_file(path("gpio/export"), "");
        write_file(path("gpio/unexport"), "");
        ASSERT_EQ(osl_relay_add(RELAY_NAME, RELAY_ADDR, RELAY_KEY), 0);
        ASSERT_EQ(osl_dimmer_add(DIMMER_NAME, DIMMER_ADDR, DIMMER_KEY), 0);
        ASSERT_EQ(osl_pwm_add(PWM_NAME, PWM_ADDR, PWM_KEY), 0);
        osl_timer = &osl_timer_posix; // real ticks: a send waits for them
        ASSERT_EQ(osl_bt_open(RX_PIN, TX_PIN, 0,
                              OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR),
                  0);
        sim.record_calls = false;
        // The C library's own first-use allocations: the stdout buffer and
        // the time zone.
        printf("warm-up\n");
        osl_print_local_time("%H:%M:%S");
        puts("warm");
        fflush(stdout);
    }

    // Takes records until `want` have come or the deadline passes.
    static void take(ArmedRun &run, int want) {
        const long long end = now_ms() + DEADLINE_MS;
        while (run.taken < want && now_ms() < end) {
            osl_record rec;
            const int type = osl_bt_read(&rec);
            if (type < 0) {
                run.read_error = type;
                return;
            }
            if (type == 0) {
                osl_sleep_ms(10);
                continue;
            }
            if (run.taken < static_cast<int>(run.records.size()))
                run.records[static_cast<size_t>(run.taken)] = rec;
            run.taken++;
        }
    }

    // The record of the actor with that type among those taken.
    static const osl_record *actor_record(const ArmedRun &run, uint8_t type) {
        for (int i = 0; i < run.taken; i++)
            if (run.records[static_cast<size_t>(i)].payload[OSL_REC_TYPE] == type)
                return &run.records[static_cast<size_t>(i)];
        return nullptr;
    }

    // Everything the application may do after the open, allocation armed,
    // the adapter's loss and return among it.
    static void armed_run(const std::vector<Frame> &frames, int queued, ArmedRun &run) {
        for (const Frame &f : frames)
            osl::sim::Controller::get().deliver(f.event.data(), f.event.size());
        take(run, queued);
        // Both announcements came before the last record was queued.
        while (run.announcements < OSL_ANNOUNCEMENTS_MAX &&
               osl_key_announcement_read(&run.announced[static_cast<size_t>(run.announcements)]))
            run.announcements++;

        run.sends[0] = osl_relay_on(RELAY_NAME, 0x03);
        run.sends[1] = osl_dimmer_set(DIMMER_NAME, 40);
        run.sends[2] = osl_pwm_set(PWM_NAME, 10, 20, 30);
        // The actors reported 0x09 and levels 9, 0, 0: each differs from
        // what is wanted now, so each comply sends the wanted state again.
        const uint8_t types[3] = {OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM};
        int (*const comply[3])(const osl_record *) = {osl_relay_comply, osl_dimmer_comply,
                                                      osl_pwm_comply};
        for (int k = 0; k < 3; k++)
            if (const osl_record *r = actor_record(run, types[k]))
                run.complies[k] = comply[k](r);

        run.gets = osl_relay_get_ch0(RELAY_NAME) + osl_relay_get_ch3(RELAY_NAME) +
                   osl_dimmer_get(DIMMER_NAME) + osl_pwm_get_ch0(PWM_NAME) +
                   osl_pwm_get_ch2(PWM_NAME);

        osl_dimmer_set_trigger(DIMMER_NAME, 60);
        osl_dimmer_clear_trigger(DIMMER_NAME);
        osl_pwm_set_trigger(PWM_NAME, 1);
        osl_relay_set_trigger(RELAY_NAME, 1);
        const long long end = now_ms() + DEADLINE_MS;
        while (run.triggers_fired < 2 && now_ms() < end) {
            run.triggers_fired += osl_relay_is_trigger(RELAY_NAME) + osl_pwm_is_trigger(PWM_NAME);
            osl_sleep_ms(50);
        }

        // The adapter unplugged and plugged back: the supervision closes the
        // link, looks for the adapter, brings it up and opens it again.
        auto &sim = osl::sim::Controller::get();
        auto wait_link = [](int state, osl_link_status &s) {
            const long long until = now_ms() + DEADLINE_MS;
            do {
                osl_sleep_ms(20);
                osl_link_get_status(&s);
            } while (s.state != state && now_ms() < until);
        };
        sim.unplug();
        wait_link(OSL_LINK_DOWN, run.lost);
        sim.plug(0);
        wait_link(OSL_LINK_UP, run.again);

        run.removed = osl_actor_remove(DIMMER_ADDR);

        float shortest, longest;
        osl_lib_get_load(&shortest, &longest);
        osl_check_addr(RELAY_ADDR, &run.records[0]);
        osl_time_is_now(0x7F, 12.0f);
        osl_time_is_between(22.0f, 6.0f);
        osl_bt_myaddr_get();
        osl_print_local_time("%H:%M:%S");
        puts("done");
        osl_bt_close();
    }
};

TEST_F(NoAllocation, NothingIsAllocatedFromOpenToClose) {
    const std::vector<Frame> frames = every_family();
    int queued = 0;
    for (const Frame &f : frames)
        queued += f.queued ? 1 : 0;
    ASSERT_NO_FATAL_FAILURE(open_library());
    // Only from here: a capture would swallow the failure messages too.
    StdoutCapture out;

    ArmedRun run;
    allocations = 0;
    releases = 0;
    armed = true;
    armed_run(frames, queued, run);
    armed = false;
    const std::string said = mask_times(out.stop());

    EXPECT_EQ(allocations.load(), 0u) << "allocations while armed";
    EXPECT_EQ(releases.load(), 0u) << "blocks freed while armed";

    // And the run did what it claims: every record came, whole, and the
    // sends, complies and triggers went through.
    EXPECT_EQ(run.read_error, 0);
    ASSERT_EQ(run.taken, queued) << said;
    for (const Frame &f : frames) {
        if (!f.queued)
            continue;
        int found = 0;
        for (int i = 0; i < run.taken; i++)
            found += memcmp(&run.records[static_cast<size_t>(i)], &f.record, OSL_REC_SIZE) == 0;
        EXPECT_EQ(found, 1) << "record of " << hex(f.event);
    }
    for (int s : run.sends)
        EXPECT_EQ(s, 0);
    for (int c : run.complies)
        EXPECT_EQ(c, -4) << "the wanted state sent again";
    EXPECT_EQ(run.triggers_fired, 2);
    ASSERT_EQ(run.announcements, 2);
    EXPECT_EQ(hex(run.announced[0].addr, 6), RELAY_ADDR);
    EXPECT_EQ(run.announced[0].type, OSL_DEV_RELAY);
    EXPECT_EQ(hex(run.announced[1].addr, 6), STRANGER_ADDR);
    EXPECT_EQ(hex(run.announced[1].key, 16), STRANGER_KEY);
    EXPECT_EQ(run.announced[1].type, OSL_DEV_DIMMER);
    EXPECT_EQ(run.removed, 0);
    EXPECT_NE(said.find("[osl remove] dimmer 0x0A1B2C3D4E5F 'lamp'"), std::string::npos) << said;
    EXPECT_EQ(run.lost.state, OSL_LINK_DOWN);
    EXPECT_EQ(run.again.state, OSL_LINK_UP);
    EXPECT_EQ(run.again.recoveries, 1u);
    EXPECT_NE(said.find("[osl link] open again: hci0"), std::string::npos) << said;
    EXPECT_NE(said.find("[osl rec] SEC_KEY \"CBFD786BAA68\""), std::string::npos) << said;
    EXPECT_NE(said.find("[osl rec] PWM 'strip'"), std::string::npos) << said;
    EXPECT_NE(said.find("[osl rec] Tulvo "), std::string::npos) << said;
}

} // namespace
} // namespace osl::test
