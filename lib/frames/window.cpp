#include "window.h"

#include <cstring>

#include "core/addr.h"
#include "core/hci_defs.h"
#include "decode.h"
#include "layout.h"

uint8_t osl_rx_slots[OSL_RX_SLOTS + 1][OSL_RX_SLOT_SIZE];
volatile uint8_t osl_rx_index;
volatile int32_t osl_rx_countdown;
volatile uint8_t osl_rx_oldest;
volatile uint32_t osl_rx_overflows;

namespace {

// The repeat test compares the address and the frame type with the tag (in
// the standard layout report bytes 37..44). Where the type lies in each
// accepted slot is kept beside it, since a payload need not sit at the
// standard position.
constexpr int REPEAT_TAIL_LEN = OSL_SEALED_SIZE - OSL_SEALED_TYPE;
uint8_t slot_tail[OSL_RX_SLOTS];

// The repeat test's two comparisons as fixed-size loads, which the compiler
// keeps inline on every target: a memcmp of 6 or 8 bytes is a library call
// on ARM, and the scan makes up to 100 of each per event.
static_assert(REPEAT_TAIL_LEN == sizeof(uint64_t), "the type and the tag fill one load");
uint64_t osl_rx_load_tail(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
uint64_t osl_rx_load_addr(const uint8_t *p) {
    uint32_t low;
    uint16_t high;
    static_assert(sizeof low + sizeof high == OSL_ADDR_SIZE, "an address is six bytes");
    memcpy(&low, p, sizeof low);
    memcpy(&high, p + sizeof low, sizeof high);
    return low | static_cast<uint64_t>(high) << 32;
}

// The slot the current event lies in: with the window full (index 100) that
// is the scratch row.
int osl_rx_current_row() {
    int index = osl_rx_index;
    return index > OSL_RX_SLOTS ? OSL_RX_SLOTS : index;
}

// A full window keeps taking frames: the new one, read into the scratch row,
// takes the place of the oldest, which leaves the window. Refusing every new
// frame until a quiet second instead would lose the readings of a busy kit.
// The event is copied before it is unsealed, but the repeat test reads only
// the address and the bytes from the frame type on, which unsealing never
// changes.
void osl_rx_ring_take(int tail) {
    const uint8_t oldest = osl_rx_oldest;
    memcpy(osl_rx_slots[oldest], osl_rx_slots[OSL_RX_SLOTS], OSL_RX_SLOT_SIZE);
    slot_tail[oldest] = static_cast<uint8_t>(tail);
    osl_rx_oldest = static_cast<uint8_t>((oldest + 1) % OSL_RX_SLOTS);
    osl_rx_overflows = osl_rx_overflows + 1;
    osl_rx_countdown = OSL_RX_WINDOW_TICKS;
}

} // namespace

void osl_rx_window_reset() {
    osl_rx_index = 0;
    osl_rx_oldest = 0;
}

void osl_rx_window_tick() {
    int32_t left = osl_rx_countdown;
    if (left > 0) {
        osl_rx_countdown = --left;
        if (left == 1) {
            osl_rx_index = 0;
            osl_rx_oldest = 0;
        }
    }
}

uint8_t *osl_rx_slot() {
    return osl_rx_slots[osl_rx_current_row()];
}

void osl_rx_slot_received(uint8_t *slot, int n) {
    if (n < 0)
        n = 0;
    if (n < OSL_RX_SLOT_SIZE)
        memset(slot + n, 0, static_cast<size_t>(OSL_RX_SLOT_SIZE - n));
}

int osl_rx_is_duplicate(int tail) {
    const int current = osl_rx_current_row();
    const uint8_t *now = osl_rx_slots[current];
    const int addr = osl::hci::report::ADDR;
    const uint64_t now_addr = osl_rx_load_addr(now + addr);
    const uint64_t now_tail = osl_rx_load_tail(now + tail);
    for (int s = current - 1; s >= 0; s--) {
        const uint8_t *old = osl_rx_slots[s];
        if (osl_rx_load_addr(old + addr) == now_addr &&
            osl_rx_load_tail(old + slot_tail[s]) == now_tail)
            return 1;
    }
    return 0;
}

int osl_rx_admit(int tail) {
    if (tail < 0 || tail + REPEAT_TAIL_LEN > OSL_RX_SLOT_SIZE)
        return OSL_DECODE_NO_PAYLOAD; // never so: the payload was received whole
    if (osl_rx_is_duplicate(tail))
        return OSL_DECODE_REPEAT;
    uint8_t index = osl_rx_index;
    if (index >= OSL_RX_SLOTS) {
        osl_rx_ring_take(tail);
        return 0;
    }
    slot_tail[index] = static_cast<uint8_t>(tail);
    osl_rx_index = static_cast<uint8_t>(index + 1);
    osl_rx_countdown = OSL_RX_WINDOW_TICKS;
    return 0;
}
