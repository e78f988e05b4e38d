// Command transmitter: advertises sealed commands to registered actors.
#pragma once

#include <cstdint>

// Non-zero while a command owns the adapter socket; the tick then leaves the
// socket alone so the HCI replies reach the transmitter, not the decoder.
extern volatile int32_t osl_tx_busy;
