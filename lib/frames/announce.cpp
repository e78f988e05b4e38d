#include "announce.h"

#include <atomic>
#include <cstring>

#include "core/addr.h"
#include "osl.h"

namespace {

static_assert((OSL_ANNOUNCEMENTS_MAX & (OSL_ANNOUNCEMENTS_MAX - 1)) == 0,
              "the ring's size is a power of two");
constexpr uint32_t RING_PLACES = OSL_ANNOUNCEMENTS_MAX;
constexpr uint32_t RING_MASK = RING_PLACES - 1;

// The counters run freely and wrap at 2^32; a place is counter & RING_MASK.
// The tick never waits for the reader: a new announcement in a full ring takes
// the oldest one's place, and the reader, seeing the writer a whole ring or
// more ahead, starts from the oldest left.
osl_key_announcement ring[RING_PLACES];
volatile uint32_t ring_write; // advanced only by the tick
volatile uint32_t ring_read;  // advanced only by the application's flow

osl_announcement_kind_fn kind_of;

// The counter of the oldest announcement still waiting.
uint32_t osl_oldest_waiting(uint32_t read, uint32_t write) {
    return write - read > RING_PLACES ? write - RING_PLACES : read;
}

bool osl_same_announcement(const osl_key_announcement &a, const osl_key_announcement &b) {
    return a.type == b.type && memcmp(a.addr, b.addr, sizeof a.addr) == 0 &&
           memcmp(a.key, b.key, sizeof a.key) == 0;
}

} // namespace

void osl_announcement_set_kind(osl_announcement_kind_fn kind) {
    kind_of = kind;
}

void osl_announcements_reset() {
    ring_read = 0;
    ring_write = 0;
}

// An actor repeats its announcement many times a second while it announces:
// one still waiting is enough for the reader.
void osl_announcement_heard(const uint8_t *frame_addr, const uint8_t *key, int8_t rssi) {
    osl_key_announcement heard = {};
    osl_addr_flip(frame_addr, heard.addr);
    memcpy(heard.key, key, sizeof heard.key);
    heard.type = kind_of != nullptr ? kind_of(heard.addr, heard.key) : 0;
    heard.rssi = rssi;
    const uint32_t w = ring_write;
    for (uint32_t i = osl_oldest_waiting(ring_read, w); i != w; i++)
        if (osl_same_announcement(ring[i & RING_MASK], heard))
            return;
    ring[w & RING_MASK] = heard;
    std::atomic_signal_fence(std::memory_order_release);
    ring_write = w + 1;
}

extern "C" int osl_key_announcement_read(osl_key_announcement *out) {
    if (out == nullptr)
        return 0;
    for (;;) {
        const uint32_t w = ring_write;
        const uint32_t r = osl_oldest_waiting(ring_read, w);
        if (r == w)
            return 0;
        std::atomic_signal_fence(std::memory_order_acquire);
        const osl_key_announcement taken = ring[r & RING_MASK];
        std::atomic_signal_fence(std::memory_order_seq_cst);
        // A tick during the copy that went round the ring to this place wrote
        // over it: the copy may be half of each. Take the oldest afresh.
        if (ring_write - r > RING_PLACES)
            continue;
        *out = taken;
        ring_read = r + 1;
        return 1;
    }
}
