// Log lines of received frames. The decoder runs in the tick, so a line is
// recorded as data (osl_rx_line) into the signal-safe log ring and printed
// later in the application's flow by a printer of its family.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/addr.h"
#include "core/log.h"

// What a deferred line needs: the address as received, the RSSI, the 16
// payload bytes after unsealing, and for actors which entry sent it (names
// never change once registered, so the printer reads the name itself).
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

// Pieces several families' lines share.
void osl_rx_print_head(time_t when, const char *tag);
void osl_rx_print_rssi(int8_t rssi);
void osl_rx_print_fw(const uint8_t *p);  // " fwHH.HH", bytes 14 and 15
void osl_rx_print_vcc(const uint8_t *p); // " V.VVV", byte 5
void osl_rx_print_nm_wt(const uint8_t *p);
// The payload's fields: the wake time (bytes 0..3, least significant first),
// big-endian 16 bits at i, a signed byte, volts.
int32_t osl_rx_wt(const uint8_t *p);
int osl_rx_u16(const uint8_t *p, int i);
int osl_rx_s8(uint8_t b);
float osl_rx_volts(uint8_t b);
