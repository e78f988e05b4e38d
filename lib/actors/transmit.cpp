#include "transmit.h"

volatile int32_t osl_tx_busy;
