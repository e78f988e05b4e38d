// The decoder on arbitrary events, fed as the tick feeds it: each event is
// read into the slot the window points at, the rest of the slot cleared, and
// decoded there with the library's own record queue. The input also sets
// the reception window (index and countdown), the verbosity, and whether the
// window counts down between events, so every state the tick can meet is
// reached. The deferred log lines are printed too, since their printers read
// the payload bytes once more.
//
// Input: index, countdown, flags (verbosity in the low nibble, a window tick
// between events where bit 4 is set), then events, each a length byte
// (taken modulo 51) and that many bytes.
#include <cstdlib>
#include <cstring>

#include "actors/receive.h"
#include "core/fifo.h"
#include "core/lamps.h"
#include "core/log.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "osl.h"
#include "osl_fuzz_actors.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

void check(bool holds) {
    if (!holds)
        abort();
}

// Every result the decoder may give for an event of n bytes.
bool known_result(int r, int n) {
    switch (r) {
    case OSL_DECODE_NOT_EVENT:
    case OSL_DECODE_NOT_ADV_REPORT:
    case OSL_DECODE_NO_PAYLOAD:
    case OSL_DECODE_BAD_TAG:
    case OSL_DECODE_REPEAT:
    case OSL_DECODE_KEY_UNLOGGED:
    case OSL_REC_SIZE:
        return true;
    default:
        return r == n;
    }
}

// What the application does with the queue: takes every record (which also
// prints the lines the decoder recorded).
void drain() {
    osl_record rec;
    while (osl_fifo_used(&osl_fifo) >= OSL_REC_SIZE)
        check(osl_bt_read(&rec) >= 0);
    check(osl_fifo_used(&osl_fifo) == 0);
    osl_log_flush();
}

void decode_one(const uint8_t *event, int n) {
    uint8_t *slot = osl_rx_slot();
    memcpy(slot, event, static_cast<size_t>(n));
    osl_rx_slot_received(slot, n);
    // The tick decodes only when the queue has room for the whole event.
    if (static_cast<int>(OSL_FIFO_CAPACITY - osl_fifo_used(&osl_fifo)) < n)
        drain();

    const uint32_t used = osl_fifo_used(&osl_fifo);
    const int index = osl_rx_index;
    const int r = osl_frame_decode(slot, n, &osl_fifo);
    check(known_result(r, n));
    const uint32_t queued = osl_fifo_used(&osl_fifo) - used;
    // A whole record or nothing, and a record only with its result.
    check(queued == 0 || (queued == OSL_REC_SIZE && r == OSL_REC_SIZE));
    // A slot is taken one at a time, never beyond the window, and only by an
    // accepted sealed frame, which opens the window anew.
    const int now = osl_rx_index;
    check(now <= OSL_RX_SLOTS);
    check(now == index || now == index + 1);
    if (now == index + 1)
        check(osl_rx_countdown == OSL_RX_WINDOW_TICKS && r >= 0);
}

} // namespace

void decoder_init() {
    osl_fifo_init(&osl_fifo, osl_fifo_storage, OSL_FIFO_CAPACITY);
    osl_actors_listen();
    register_report_actors();
}

void decoder_run(const uint8_t *data, size_t size) {
    if (size < 3)
        return;
    memset(osl_rx_slots, 0, sizeof osl_rx_slots);
    osl_rx_index = static_cast<uint8_t>(data[0] % (OSL_RX_SLOTS + 1));
    osl_rx_countdown = data[1] % (OSL_RX_WINDOW_TICKS + 1);
    osl_verbosity = data[2] & (OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR);
    const bool ticks = (data[2] & 0x10) != 0;
    osl_lamps.osl_rx_lamp_count = 0;

    size_t at = 3;
    while (at < size) {
        const size_t want = data[at++] % (OSL_RX_SLOT_SIZE + 1);
        const size_t n = want < size - at ? want : size - at;
        decode_one(data + at, static_cast<int>(n));
        at += n;
        if (ticks) {
            osl_rx_window_tick();
            osl_rx_lamp_tick();
        }
    }
    drain();
}

} // namespace osl::fuzz
