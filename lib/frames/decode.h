// Advertising frame decoder: turns one received advertising report into at
// most one record. Runs in the tick, so it works in place in the window slot
// and hands its log lines to the signal-safe log ring.
#pragma once

#include <cstdint>

#include "core/fifo.h"

// Results of osl_frame_decode and of the handlers it dispatches to: 23 a
// record queued; 0 a key announcement not logged; the event's length for a
// key announcement printed, an unregistered actor or an unknown frame type.
enum : int {
    OSL_DECODE_NOT_EVENT = -2,
    OSL_DECODE_NOT_ADV_REPORT = -4,
    OSL_DECODE_NO_PAYLOAD = -6,
    OSL_DECODE_BAD_TAG = -10,
    OSL_DECODE_REPEAT = -12,
    OSL_DECODE_KEY_UNLOGGED = 0,
};

// Decodes the event in a window slot (len bytes received, the rest of the
// slot zero), unsealing in place.
int osl_frame_decode(uint8_t *event, int len, osl_fifo_t *q);
// Index of the length byte of the first AD structure of that type whose type
// byte lies within len bytes, or -1.
int osl_ad_find(int type, const uint8_t *event, int len);
// Where the payload of the first manufacturer-specific structure starts,
// when `size` bytes of it were received (within avail); else -1. A payload
// cut short by the report's end would be made up of whatever follows, so it
// is refused before any of it is read.
int osl_manuf_payload(const uint8_t *event, int avail, int size);
// 0 when the frame begins with the text, else the first difference.
int osl_name_cmp(const char *text, const uint8_t *frame);

// Sealed frames whose type is neither a sensor's nor a key announcement are
// the actors': only the layer that holds their registries and keys can judge
// them, so it installs a handler here. The handler gets the event, its
// received length, the sealed payload inside it and the frame's RSSI, and
// returns a decoder result. Without a handler they count as unknown frames.
using osl_sealed_handler = int (*)(const uint8_t *event, int len, uint8_t *payload, int8_t rssi,
                                   osl_fifo_t *q);
void osl_frame_set_actor_handler(osl_sealed_handler handler);

// Where the frame type of the sealed payload at `payload` lies in the event,
// for the repeat test.
int osl_frame_tail(const uint8_t *event, const uint8_t *payload);

// The RSSI of a frame whose payload starts at `payload`: the byte after a
// sealed payload in the standard layout; otherwise the report's own RSSI
// field after the advertising data; 0 when neither was received.
int8_t osl_frame_rssi(const uint8_t *event, int avail, int payload);

// The air sensor's plain frames (air.cpp, the one source built once per
// reading of the temperature's high byte).
bool osl_air_is_frame(const uint8_t *event, int avail);
int osl_air_decode(const uint8_t *event, int avail, osl_fifo_t *q);
