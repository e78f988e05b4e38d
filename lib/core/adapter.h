// The adapter link: one raw HCI socket, non-blocking, scanning passively with
// a filter that lets only LE meta events through.
#pragma once

#include <cstdint>

#include "hci_defs.h"

enum osl_adapter_state : int32_t {
    OSL_ADAPTER_CLOSED = 0,
    OSL_ADAPTER_OPEN = 2,     // socket bound and non-blocking
    OSL_ADAPTER_SCANNING = 3, // scan enabled, library filter not (yet) set
    OSL_ADAPTER_FILTERED = 4, // scanning with the library's filter: the tick may read
};

// Two raw sockets on the one adapter. The scanning socket only receives
// advertising reports (and carries the scan commands). Commands to actors go
// through a socket of their own: hci_send_req reads and throws away every
// event queued on its socket while it waits for its answer, and gives up
// after ten that are not, so on the scanning socket each command would cost
// the sensor frames heard meanwhile and could fail under load.
struct osl_adapter_t {
    int32_t dev_id;
    int32_t sock; // scanning socket
    osl::hci::Filter saved_filter;
    volatile int32_t state;
    uint8_t own_addr[6]; // least significant byte first
    int32_t cmd_sock;    // command socket; open whenever sock is
};

extern osl_adapter_t osl_adapter;

// Non-zero while the command transmitter owns the socket: its HCI replies
// must reach it, not the tick's reads.
extern volatile int32_t osl_tx_busy;

// True when the tick may read advertising reports from the socket: scanning
// with the library's filter, and no command in flight.
inline bool osl_adapter_readable() {
    return osl_tx_busy == 0 && osl_adapter.state == OSL_ADAPTER_FILTERED;
}

int osl_adapter_open(); // 0; 2 no adapter; 4 a socket not created; 6 not bound; 8 not non-blocking
int osl_scan_start();   // 0; 2 parameters refused twice; 4 enable refused; 6/8 filter
void osl_scan_stop();
int osl_adapter_close(); // always 0
int osl_read_own_addr(); // 0; -4 request failed; -6 controller error status
