// The reception window: the slots that received events are read into, and
// the memory of the sealed frames accepted lately, against which repeats are
// refused. An accepted frame keeps its slot and (re)opens the window for 100
// ticks; when they run out the index returns to 0 and the window is empty.
// A full window is a ring: each new frame takes the oldest one's slot.
#pragma once

#include <cstdint>

inline constexpr int OSL_RX_SLOTS = 100;
inline constexpr int OSL_RX_SLOT_SIZE = 50; // bytes read per event at most
inline constexpr int32_t OSL_RX_WINDOW_TICKS = 100;

// One row per window slot, plus a scratch row (index OSL_RX_SLOTS) that takes
// events while the window is full, so nothing is ever written past the window.
extern uint8_t osl_rx_slots[OSL_RX_SLOTS + 1][OSL_RX_SLOT_SIZE];
extern volatile uint8_t osl_rx_index;
extern volatile int32_t osl_rx_countdown;
// While the window is full: the slot of the oldest accepted frame, the next
// to leave.
extern volatile uint8_t osl_rx_oldest;
// Frames that found the window full and pushed its oldest frame out, since
// the program started.
extern volatile uint32_t osl_rx_overflows;

// At open: the window starts empty.
void osl_rx_window_reset();
// The tick's step: counts the window down; the index returns to 0 on the
// 99th tick after the last accepted frame.
void osl_rx_window_tick();
// Where the next event is read to: the slot at the index, or the scratch row
// while the window is full.
uint8_t *osl_rx_slot();
// After a read of n bytes into that slot: nothing of an earlier event may
// pass for part of this one.
void osl_rx_slot_received(uint8_t *slot, int n);
// 1 when the event in the current slot repeats a frame accepted earlier in
// the window: same address, same frame type and tag. `tail` is where the
// event's frame type lies (its tag follows): wherever the payload sits, those
// bytes are never changed by unsealing, which works on the 16 before them.
int osl_rx_is_duplicate(int tail);
// A sealed frame that passed its tag, its frame type at `tail`: 0 when it
// keeps its slot (in a full window the oldest frame's), else the decoder's
// refusal, -12 a repeat.
int osl_rx_admit(int tail);
