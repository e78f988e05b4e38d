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

int osl_frame_decode(uint8_t *event, int len, osl_fifo_t *q);
int osl_ad_find(int type, const uint8_t *event, int len);
int osl_name_cmp(const char *text, const uint8_t *frame);
int osl_rx_is_duplicate();
