// The virtual kit inside the process, behind the simulated controller.
//
// Everything runs on the program's one thread. The devices' clock is the
// library's own tick: each socket read the tick makes first lets the kit
// send what is due (CLOCK_MONOTONIC decides), so the kit's frames arrive as
// LE Advertising Reports, with an RSSI, exactly while the library listens.
// That work runs in signal context and allocates nothing. Commands go the
// other way in the application's flow: when the library switches
// advertising on, the advertising data it loaded is offered to the actors,
// with SIGALRM held off so that no tick builds a report from a half-changed
// actor. No second thread ever touches the controller's queues or the
// devices.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>

#include "kit.h"

namespace osl::virtkit {

// What the library meets in an in-process run, for a program that links
// the library and this module and uses nothing else of either:
// the simulated controller in place of the Bluetooth adapter (reset to a
// present, healthy controller with nothing recorded), the real 10 ms timer
// or one that never fires (the caller ticks with tick_by_hand()), and the
// lock file and the sysfs GPIO tree at scratch paths, which must stay valid
// until restore_real_machine().
enum class Tick { Real, Hand };
void install_simulated_machine(const char *lock_path, const char *gpio_root,
                               Tick tick = Tick::Real);
// One tick of the library, run in the caller's flow (Tick::Hand).
void tick_by_hand();
// The real adapter, timer, lock file and GPIO tree again.
void restore_real_machine();

// Holds the library's tick off for its lifetime (signal mask of this thread).
class TickHold {
  public:
    TickHold();
    ~TickHold();
    TickHold(const TickHold &) = delete;
    TickHold &operator=(const TickHold &) = delete;

  private:
    sigset_t old_;
};

class InProcessKit {
  public:
    explicit InProcessKit(Kit &kit) : kit_(kit) {}
    ~InProcessKit() { stop(); }
    InProcessKit(const InProcessKit &) = delete;
    InProcessKit &operator=(const InProcessKit &) = delete;

    // Puts the kit on the simulated controller's air (Controller::get(),
    // which the caller installs and resets); the kit's clock starts now.
    void start();
    // Off the air again. The destructor does it too.
    void stop();

    // Changes devices behind the library's back (a relay switched by hand):
    // run `change` with the tick held off.
    template <class F> void by_hand(F change) {
        TickHold hold;
        change(kit_);
    }

    // Schedules a change behind the library's back at `at_ms` on the kit's
    // clock, with a note for standard error (for demonstrations). It runs
    // in the tick, so `change` may only store into the devices. One at a time.
    void schedule(uint32_t at_ms, void (*change)(Kit &), const char *note);

    uint32_t frames_sent() const { return frames_; }
    uint32_t commands_obeyed() const { return obeyed_; }
    uint32_t commands_refused() const { return refused_; }

  private:
    static void poll(void *self); // signal context
    static void send(void *self, Device &from, const AdvData &data);

    Kit &kit_;
    struct timespec start_ = {};
    bool on_air_ = false;
    volatile uint32_t frames_ = 0;
    volatile uint32_t obeyed_ = 0;
    volatile uint32_t refused_ = 0;
    void (*volatile scheduled_)(Kit &) = nullptr;
    uint32_t scheduled_at_ = 0;
    const char *scheduled_note_ = nullptr;
};

} // namespace osl::virtkit
