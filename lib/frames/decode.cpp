#include "decode.h"

uint8_t osl_rx_slots[OSL_RX_SLOTS + 1][OSL_RX_SLOT_SIZE];
volatile uint8_t osl_rx_index;
volatile int32_t osl_rx_countdown;

// Placeholder until the decoder lands: every event is refused unread.
int osl_frame_decode(uint8_t *, int, osl_fifo_t *) {
    return -2;
}
