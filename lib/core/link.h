// Supervision of the adapter link: the library notices when the adapter
// stops delivering and opens the link again.
//
// An adapter can fall silent for good while the program runs on: an HCI
// Reset or a power cycle stops its scan while the socket stays open; an
// adapter unplugged (or a virtual controller restarted) comes back as a new
// device, perhaps under another index; another program (bluetoothd, a
// user's `bluetoothctl scan off`, hcitool) switches scanning off. A read
// error alone looks like a quiet room to the tick. So:
//
// - The tick only notes what it saw (signal context, single words): each
//   event read, each failed read and its errno, and whether the failures
//   say the link is gone.
// - The application's flow (osl_bt_read and every wake-up of osl_sleep_ms,
//   which programs call all the time) acts: a link gone is closed and opened
//   again with the open's own steps, with back-off between attempts; after a
//   silence it asks the controller whether it still scans, by loading the
//   scan parameters, which a scanning controller refuses, and starts the
//   scan again when it does not.
//
// While all is well nothing of this sends anything or prints anything.
#pragma once

#include <cstdint>

#include "pace.h"

inline constexpr uint32_t OSL_LINK_TICKS_PER_S = 1000 / OSL_TICK_MS;
// Failed reads in a row, one per tick, that count as a link gone, whatever
// their errno (1 s: a passing fault loses nothing); the errnos of a device
// that is gone say so at once.
inline constexpr uint32_t OSL_LINK_ERROR_TICKS = 1 * OSL_LINK_TICKS_PER_S;
// Ticks without any event before the controller is asked whether it still
// scans (5 s); asked again after as long each time the silence goes on.
inline constexpr uint32_t OSL_LINK_SILENCE_TICKS = 5 * OSL_LINK_TICKS_PER_S;
// A controller that says it scans but reports nothing for this long is taken
// for wedged, and its scan stopped and started again (60 s; twice as long
// after each such restart without a report since, at most an hour).
inline constexpr uint32_t OSL_LINK_WEDGED_TICKS = 60 * OSL_LINK_TICKS_PER_S;
inline constexpr uint32_t OSL_LINK_WEDGED_MAX_TICKS = 3600 * OSL_LINK_TICKS_PER_S;
// Back-off between attempts to open a lost link: 1 s, doubling, at most 60 s.
inline constexpr uint32_t OSL_LINK_RETRY_FIRST_TICKS = 1 * OSL_LINK_TICKS_PER_S;
inline constexpr uint32_t OSL_LINK_RETRY_MAX_TICKS = 60 * OSL_LINK_TICKS_PER_S;

// What the tick and the application's flow share; every field is a whole
// word written by one side only. The flow clears `lost` and `failing` only
// while the link is closed, when the tick does not read.
struct osl_link_t {
    volatile uint32_t ticks;       // tick: ticks since the program started
    volatile uint32_t last_event;  // tick: `ticks` when an event was last read
    volatile uint32_t read_errors; // tick: failed reads (not EAGAIN), ever
    volatile int32_t last_errno;   // tick: errno of the last failed read
    volatile uint32_t failing;     // tick: failed reads in a row
    volatile int32_t lost;         // tick sets it (errno): the link is gone
    // The application's flow only.
    bool active;            // open and supervised: from a successful open to close
    bool down;              // the link is closed and waits to be opened again
    bool busy;              // a supervision step is running (no re-entry)
    bool gone;              // lost because the device went away (unplugged)
    int32_t dev_id;         // the adapter's index when the link was lost
    uint32_t recoveries;    // links opened again, ever
    uint32_t attempts;      // failed attempts in the current outage
    uint32_t next_attempt;  // `ticks` of the next attempt to open
    uint32_t next_question; // `ticks` of the next question whether it scans
    uint32_t counted_from;  // `ticks` from which a silence counts: (re)opened, scan restarted
    uint32_t wedged_after;  // silence that makes a scanning controller wedged
};

extern osl_link_t osl_link;

// Signal context (the tick).
void osl_link_tick();
void osl_link_event_read();
void osl_link_read_failed(int err);

// Application's flow: in the open before the tick starts; at the end of a
// successful open; at close.
void osl_link_reset();
void osl_link_start();
void osl_link_stop();
// Application's flow: one step of supervision; does nothing while all is
// well, while the transmitter owns the adapter, or while the library is not
// open. Called from osl_bt_read and osl_sleep_ms.
void osl_link_supervise();

// Milliseconds since the last event read (since the program started when
// none was read yet).
uint32_t osl_link_ms_since_event();
