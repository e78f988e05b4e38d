// Advertising frame decoder and the reception window it shares with the tick.
#pragma once

#include <cstdint>

#include "../core/fifo.h"

inline constexpr int OSL_RX_SLOTS = 100;
inline constexpr int OSL_RX_SLOT_SIZE = 50; // bytes read per event at most
inline constexpr int32_t OSL_RX_WINDOW_TICKS = 100;

// One row per window slot, plus a scratch row (index OSL_RX_SLOTS) that takes
// events while the window is full, so nothing is ever written past the window.
extern uint8_t osl_rx_slots[OSL_RX_SLOTS + 1][OSL_RX_SLOT_SIZE];
extern volatile uint8_t osl_rx_index;
extern volatile int32_t osl_rx_countdown;

// Decodes the event in a window slot (len bytes received, the rest of the
// slot zero), unsealing in place. Results: -2 not an event, -4 not an
// advertising report, -6 no usable payload, -10 bad tag, -12 repeat within
// the window, -14 window full, 0 a key announcement not logged, 23 a record
// queued, len a key announcement printed, an unregistered actor or an
// unknown frame type.
int osl_frame_decode(uint8_t *event, int len, osl_fifo_t *q);
// Index of the length byte of the first AD structure of that type whose type
// byte lies within len bytes, or -1.
int osl_ad_find(int type, const uint8_t *event, int len);
// 0 when the frame begins with the text, else the first difference.
int osl_name_cmp(const char *text, const uint8_t *frame);
// 1 when the slot at osl_rx_index repeats a frame accepted earlier in the window.
int osl_rx_is_duplicate();
