// Key announcements kept for the application: the tick hears an actor's
// SEC_KEY frame and puts its address and key here, the application takes
// them with osl_key_announcement_read. A fixed ring of OSL_ANNOUNCEMENTS_MAX,
// one producer (the tick) and one consumer (the application's flow).
#pragma once

#include <cstdint>

// What kind of actor sends from this address (most significant byte first)
// with this key: its device type, or 0 when that cannot be told. Only the
// actors layer knows its registries and the frames it heard, so it installs
// the answer here; without it every announcement carries 0. Runs in the tick.
using osl_announcement_kind_fn = int (*)(const uint8_t *addr, const uint8_t *key);
void osl_announcement_set_kind(osl_announcement_kind_fn kind);

// At open, before the tick runs: no announcement waiting.
void osl_announcements_reset();

// Signal context: an announcement heard, its address as received (least
// significant byte first) and its key unsealed. Equal to one still waiting
// (address, key and kind), it is not kept again; a full ring loses its oldest.
void osl_announcement_heard(const uint8_t *frame_addr, const uint8_t *key, int8_t rssi);
