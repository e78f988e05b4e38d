// Log lines of received frames. The decoder runs in the tick, so a line is
// recorded as data (osl_rx_line) into the signal-safe log ring and printed
// later in the application's flow by a printer of its family.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/addr.h"
#include "core/log.h"

// What a deferred line needs: the address as received, the RSSI, the 16
// payload bytes after unsealing, and for actors which entry sent it (the
// printer reads the name itself: a removal, which moves entries, prints the
// lines recorded before it first).
struct osl_rx_line {
    uint8_t addr[OSL_ADDR_SIZE]; // least significant byte first
    int8_t rssi;
    uint8_t payload[16];
    uint8_t kind;
    uint8_t index;
};
static_assert(sizeof(osl_rx_line) <= OSL_LOG_DATA_MAX, "fits a deferred line");

// Signal context: records the line of the frame in `event`.
void osl_rx_line_defer(osl_log_printer print, const uint8_t *event, int8_t rssi,
                       const uint8_t *payload, int kind = 0, int index = 0);
// Application's flow: the recorded line back.
osl_rx_line osl_rx_line_from(const uint8_t *data, unsigned len);

// The 23 record bytes the line's fields are read from: the payload and the
// RSSI (the address stays in the line, in the order received).
void osl_rx_line_record(const osl_rx_line &line, uint8_t *record);
