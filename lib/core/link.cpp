#include "link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter.h"
#include "hci_port.h"
#include "log.h"
#include "osl.h"
#include "pace.h"
#include "text.h"

osl_link_t osl_link;

namespace {

// Errors that say the adapter itself is gone (unplugged, its socket no
// longer bound to a device), so no second look is needed. A network that is
// down may come up again under the same socket: that one has to persist.
bool osl_link_errno_is_fatal(int err) {
    switch (err) {
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case EBADFD:
        return true;
    default:
        return false;
    }
}

bool osl_link_due(uint32_t at) {
    return static_cast<int32_t>(osl_link.ticks - at) >= 0;
}

// Ticks without an event, counted from the later of the last event and the
// moment the link was (re)opened or its scan restarted.
uint32_t osl_link_silence() {
    const uint32_t now = osl_link.ticks;
    const uint32_t event = osl_link.last_event;
    const bool event_later = static_cast<int32_t>(event - osl_link.counted_from) > 0;
    return now - (event_later ? event : osl_link.counted_from);
}

// From now on, a silence counts afresh.
void osl_link_count_from_now() {
    osl_link.counted_from = osl_link.ticks;
    osl_link.next_question = osl_link.ticks + OSL_LINK_SILENCE_TICKS;
}

// A library-event line of the link's own, time prefix first.
bool osl_link_line() {
    if (!osl_log_on(OSL_LOG_LIB))
        return false;
    osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
    return true;
}

// Closes both sockets without asking the adapter anything: it may be gone.
// The state goes first, so the tick stops reading before the sockets close.
void osl_link_close_quietly() {
    const int32_t state = osl_adapter.state;
    osl_adapter.state = OSL_ADAPTER_CLOSED;
    if (state != OSL_ADAPTER_CLOSED) {
        osl_hci->close(osl_adapter.sock);
        osl_hci->close(osl_adapter.cmd_sock);
    }
}

// The open's own steps, from finding the adapter (which may now have
// another index) to the scan with the library's filter. Their lines belong
// to the first open: here the link's own lines say what happened. Returns
// 0 or the open result (OSL_OPEN_...).
int osl_link_open_steps() {
    const int32_t verbosity = osl_verbosity;
    osl_verbosity = verbosity & ~OSL_LOG_LIB;
    osl_adapter = osl_adapter_t{};
    const int r = osl_adapter_open_scanning();
    osl_verbosity = verbosity;
    if (r != 0)
        osl_link_close_quietly();
    return r;
}

void osl_link_up_again() {
    osl_link.recoveries++;
    osl_link.down = false;
    osl_link.attempts = 0;
    osl_link.wedged_after = OSL_LINK_WEDGED_TICKS;
    osl_link_count_from_now();
}

void osl_link_attempt() {
    // A controller that went away comes back down, and on a board without
    // bluetoothd nobody else brings it up. One that someone powered down is
    // left for them to power up again.
    if (osl_link.gone) {
        const int up = osl_hci->bring_up(osl_link.dev_id);
        if (up >= 0 && osl_link_line())
            printf("[osl link] hci%d was down: brought up\n\r", up);
    }
    const int r = osl_link_open_steps();
    if (r == 0) {
        osl_link.gone = false;
        osl_link_up_again();
        if (osl_link_line())
            printf("[osl link] open again: hci%d\n\r", static_cast<int>(osl_adapter.dev_id));
        return;
    }
    // Never a tight loop: an adapter that keeps failing is left alone for
    // longer each time, up to a minute.
    uint32_t delay = OSL_LINK_RETRY_FIRST_TICKS;
    for (uint32_t i = 0; i < osl_link.attempts && delay < OSL_LINK_RETRY_MAX_TICKS; i++)
        delay *= 2;
    if (delay > OSL_LINK_RETRY_MAX_TICKS)
        delay = OSL_LINK_RETRY_MAX_TICKS;
    osl_link.attempts++;
    osl_link.next_attempt = osl_link.ticks + delay;
    if (osl_link_line()) {
        const char *why = osl_result_text(OSL_OP_OPEN, r);
        printf("[osl link] not open (code %d: %s); next try in %u s\n\r", r,
               why != nullptr ? why : "?", static_cast<unsigned>(delay / OSL_LINK_TICKS_PER_S));
    }
}

// The link is gone: close it and open it again at once, then with back-off.
void osl_link_lose(const char *why, int err) {
    if (osl_link_line())
        printf("[osl link] lost: %s (%s)\n\r", why, strerror(err));
    osl_link.dev_id = osl_adapter.dev_id;
    osl_link_close_quietly();
    osl_link.gone = osl_link_errno_is_fatal(err);
    osl_link.lost = 0;
    osl_link.failing = 0;
    osl_link.down = true;
    osl_link.attempts = 0;
    osl_link_attempt();
}

// A room full of BLE traffic is never silent for a minute: a controller that
// says it scans and reports nothing is wedged. Its scan is stopped and
// started again, less often each time the silence goes on.
void osl_link_maybe_wedged() {
    if (static_cast<int32_t>(osl_link.last_event - osl_link.counted_from) > 0)
        osl_link.wedged_after = OSL_LINK_WEDGED_TICKS; // it reported since
    const uint32_t silent = osl_link_silence();
    if (silent < osl_link.wedged_after)
        return;
    const int r = osl_scan_restart();
    if (r != OSL_SCAN_STARTED_AGAIN) {
        osl_link_lose("the adapter does not answer", errno);
        return;
    }
    osl_link.recoveries++;
    osl_link_count_from_now();
    if (osl_link.wedged_after < OSL_LINK_WEDGED_MAX_TICKS)
        osl_link.wedged_after *= 2;
    if (osl_link_line())
        printf("[osl link] no report for %u s: scan started again\n\r",
               static_cast<unsigned>(silent / OSL_LINK_TICKS_PER_S));
}

// A silence: does the controller still scan?
void osl_link_question() {
    osl_link.next_question = osl_link.ticks + OSL_LINK_SILENCE_TICKS;
    const int r = osl_scan_ensure();
    if (r == OSL_SCAN_STILL_ON) {
        osl_link_maybe_wedged();
        return; // a quiet room, or one that has been quiet for too long
    }
    if (r == OSL_SCAN_STARTED_AGAIN) {
        osl_link_up_again();
        if (osl_link_line())
            fputs("[osl link] scanning was off: started again\n\r", stdout);
        return;
    }
    osl_link_lose("the adapter does not answer", errno);
}

} // namespace

void osl_link_tick() {
    osl_link.ticks = osl_link.ticks + 1;
}

void osl_link_event_read() {
    osl_link.last_event = osl_link.ticks;
    osl_link.failing = 0;
}

void osl_link_read_failed(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        osl_link.failing = 0; // nothing waiting: a quiet moment, not a fault
        return;
    }
    osl_link.read_errors = osl_link.read_errors + 1;
    osl_link.last_errno = err;
    const uint32_t failing = osl_link.failing + 1;
    osl_link.failing = failing;
    if (osl_link.lost == 0 && (osl_link_errno_is_fatal(err) || failing >= OSL_LINK_ERROR_TICKS))
        osl_link.lost = err != 0 ? err : EIO;
}

void osl_link_reset() {
    osl_link.lost = 0;
    osl_link.failing = 0;
    osl_link.down = false;
    osl_link.busy = false;
    osl_link.gone = false;
    osl_link.attempts = 0;
    osl_link.wedged_after = OSL_LINK_WEDGED_TICKS;
}

void osl_link_start() {
    osl_link_count_from_now();
    osl_link.active = true;
}

void osl_link_stop() {
    osl_link.active = false;
}

void osl_link_supervise() {
    if (!osl_link.active || osl_link.busy || osl_tx_busy != 0 || osl_stop_flag != OSL_RUNNING)
        return;
    osl_link.busy = true;
    if (osl_link.down) {
        if (osl_link_due(osl_link.next_attempt))
            osl_link_attempt();
    } else if (osl_link.lost != 0) {
        osl_link_lose("read error", osl_link.lost);
    } else if (osl_link_silence() >= OSL_LINK_SILENCE_TICKS &&
               osl_link_due(osl_link.next_question)) {
        osl_link_question();
    }
    osl_link.busy = false;
}

uint32_t osl_link_ms_since_event() {
    return (osl_link.ticks - osl_link.last_event) * static_cast<uint32_t>(OSL_TICK_MS);
}
